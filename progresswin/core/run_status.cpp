#include "run_status.h"

#include <algorithm>
#include <cstdio>

namespace morx {

CommandAction actionForCommand(int commandId, int status) {
    if (status != kRunning) return CommandAction::Ignore;
    if (commandId == kFinishButtonId) return CommandAction::ConfirmFinish;
    return CommandAction::ConfirmStop;
}

int statusAfterConfirmation(CommandAction action, bool accepted, int status) {
    if (!accepted || status != kRunning) return status;
    switch (action) {
        case CommandAction::ConfirmStop:
            return kStopRequested;
        case CommandAction::ConfirmFinish:
            return kFinishRequested;
        case CommandAction::Ignore:
            break;
    }
    return status;
}

std::string clockText(int hour, int minute, int second) {
    char text[32];
    std::snprintf(text, sizeof text, "time: %02d:%02d:%02d", std::clamp(hour, 0, 23),
                  std::clamp(minute, 0, 59), std::clamp(second, 0, 59));
    return text;
}

}  // namespace morx
