// What the progress window does with an operator command, and the clock text. Plain C++.
#pragma once

#include <string>

namespace morx {

enum RunStatus : int {
    kRunning = 0,
    kStopRequested = 1,
    kFinishRequested = 2,
};

constexpr int kStopButtonId = 2000;
constexpr int kFinishButtonId = 3000;

enum class CommandAction {
    Ignore,         // nothing happens
    ConfirmStop,    // ask "Stop ?"
    ConfirmFinish,  // ask "Finish after present iteration ?"
};

// Reaction to a command from control `commandId` (the close box and Escape arrive as other ids).
// Once a stop or finish was accepted every further command is ignored, so the status never changes
// again until the window closes.
CommandAction actionForCommand(int commandId, int status);

// Status after the operator answered a confirmation (accepted = OK).
int statusAfterConfirmation(CommandAction action, bool accepted, int status);

// Text of the window's clock: "time: HH:MM:SS"; out-of-range fields are clamped.
std::string clockText(int hour, int minute, int second);

}  // namespace morx
