// The progress window: its thread, dialog procedure and library-wide state.
#pragma once

#include <windows.h>

namespace morx32 {

// Called on library load and unload.
void attachLibrary(HINSTANCE instance);
// processExit: the process is ending and every other thread is already gone.
void detachLibrary(bool processExit);

// Starts the window thread and waits until every control exists. Shows "Failed to create window"
// and returns false when no window could be made.
bool openProgressDialog();
// Current window, or nullptr when none is open.
HWND progressWindow();

int runStatus();
// Sets the colour index and text of control number + 1000; returns the run status.
int setLabel(int number, int colourIndex, const char* text);

// Runs on the window thread: start / stop timer 1, restore and focus the window.
void startClock();
void stopClock();
void presentWindow();

// Status back to 0 and the dialog ended. Waits (bounded) until the window is gone.
void closeProgressDialog();

}  // namespace morx32
