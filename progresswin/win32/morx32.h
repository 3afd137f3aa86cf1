// Exports of morx32.dll: the progress window an outside 32-bit batch engine shows while it runs.
// All exports use __stdcall and are exported under their plain names (see morx32.def).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Opens the progress window on a thread of its own. 1 when the window is up, 0 when it could not be
// created (the operator saw "Failed to create window").
int __stdcall SHOWDLGB(void);

// Sets the text and colour index of control number + 1000. The fourth argument is ignored.
// Returns the run status: 0 running, 1 stop requested, 2 finish after the present iteration.
int __stdcall LABELB(int number, int colourIndex, const char* text, int unused);

// OK-only message box owned by the progress window. Returns 0.
int __stdcall SHOWMSGB(const char* text, const char* caption);

// Ends the run: confirms with the operator, closes the window, brings the menu window to the front.
// Returns the run status after the window closed (0).
int __stdcall FINISHB(void);

// Writes the Windows directory to section WINDIR, key Dir of the profile file c:\win.dir. Returns 0.
int __stdcall GETWINDIR(void);

#ifdef __cplusplus
}
#endif
