#include "progress_dialog.h"

#include <atomic>

#include "../core/colour_table.h"
#include "../core/run_status.h"
#include "resource.h"

namespace morx32 {

namespace {

// Requests handled on the window thread; timers and focus belong to the thread owning the window.
constexpr UINT kStartClock = WM_APP + 1;
constexpr UINT kStopClock = WM_APP + 2;
constexpr UINT kPresent = WM_APP + 3;
constexpr UINT kEndDialog = WM_APP + 4;

constexpr UINT_PTR kClockTimer = 1;
constexpr UINT kClockPeriodMs = 300;
// Upper bound for waiting on the window thread; it never blocks a caller forever.
constexpr DWORD kCloseWaitMs = 5000;
constexpr DWORD kRequestWaitMs = 5000;

HINSTANCE g_instance = nullptr;
std::atomic<HWND> g_window{nullptr};
std::atomic<int> g_runStatus{morx::kRunning};
std::atomic<bool> g_initialised{false};
bool g_asking = false;         // window thread only: a confirmation box is open
HBRUSH g_faceBrush = nullptr;  // window thread only (and unload)
HANDLE g_thread = nullptr;     // engine thread only
// Set by the window thread of the present window, once, when it leaves this module for good.
HANDLE g_threadLeaving = nullptr;  // engine thread only
// kernel32's ExitThread: the window thread ends through it, as an APC.
PAPCFUNC g_exitThread = nullptr;

CRITICAL_SECTION g_colourLock;
morx::ControlColours g_colours;

void storeColour(int id, int index) {
    EnterCriticalSection(&g_colourLock);
    g_colours.setControlColour(id, index);
    LeaveCriticalSection(&g_colourLock);
}

int storedColour(int id) {
    EnterCriticalSection(&g_colourLock);
    const int index = g_colours.controlColour(id);
    LeaveCriticalSection(&g_colourLock);
    return index;
}

HBRUSH faceBrush() {
    if (!g_faceBrush) g_faceBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    return g_faceBrush;
}

void renewFaceBrush() {
    HBRUSH old = g_faceBrush;
    g_faceBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    if (old) DeleteObject(old);
}

void disableButtons(HWND window) {
    EnableWindow(GetDlgItem(window, IDC_STOP), FALSE);
    EnableWindow(GetDlgItem(window, IDC_FINISH), FALSE);
}

void onCommand(HWND window, int id) {
    if (g_asking) return;  // one confirmation at a time
    const morx::CommandAction action = morx::actionForCommand(id, g_runStatus);
    if (action == morx::CommandAction::Ignore) return;
    const char* question =
        action == morx::CommandAction::ConfirmFinish ? "Finish after present iteration ?" : "Stop ?";
    g_asking = true;
    const int answer = MessageBoxA(window, question, "MORX", MB_OKCANCEL | MB_ICONQUESTION);
    g_asking = false;
    const int before = g_runStatus;
    const int after = morx::statusAfterConfirmation(action, answer == IDOK, before);
    if (after != before) {
        // Buttons first: whoever reads the new status finds them already disabled.
        disableButtons(window);
        g_runStatus = after;
    }
}

void onClockTick() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    setLabel(IDC_CLOCK - 1000, 0, morx::clockText(now.wHour, now.wMinute, now.wSecond).c_str());
}

INT_PTR colourStatic(HDC dc, HWND control) {
    SetTextColor(dc, morx::colourForIndex(storedColour(GetDlgCtrlID(control))));
    SetBkMode(dc, TRANSPARENT);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<INT_PTR>(faceBrush());
}

INT_PTR CALLBACK progressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    g_window = window;
    switch (message) {
        case WM_INITDIALOG:
            g_initialised = true;
            return TRUE;
        case WM_SYSCOLORCHANGE:
            renewFaceBrush();
            return TRUE;
        case WM_COMMAND:
            onCommand(window, LOWORD(wParam));
            return TRUE;
        case WM_TIMER:
            if (wParam != kClockTimer) return FALSE;
            onClockTick();
            return TRUE;
        case WM_CTLCOLORSTATIC:
            return colourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case kStartClock:
            SetTimer(window, kClockTimer, kClockPeriodMs, nullptr);
            return TRUE;
        case kStopClock:
            KillTimer(window, kClockTimer);
            return TRUE;
        case kPresent:
            ShowWindow(window, SW_SHOWNORMAL);
            SetFocus(window);
            return TRUE;
        case kEndDialog:
            KillTimer(window, kClockTimer);
            EndDialog(window, 0);
            return TRUE;
        default:
            return FALSE;
    }
}

// `leaving`: the event of this window thread alone, so that a late thread of an earlier window can
// never be taken for the present one.
DWORD WINAPI windowThread(LPVOID leaving) {
    const PAPCFUNC exitThread = g_exitThread;
    DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, progressDialogProc, 0);
    g_window = nullptr;
    g_initialised = false;
    // Whoever sees `leaving` may unload this module at once, so after setting it this thread must
    // run none of its code. ExitThread is queued to this thread as an APC first; the wait that
    // follows the signal in the same call is alertable and never satisfied (the thread's own
    // handle), so the call can only end by running the APC, in kernel32, which does not return.
    if (exitThread) QueueUserAPC(exitThread, GetCurrentThread(), 0);
    SignalObjectAndWait(static_cast<HANDLE>(leaving), GetCurrentThread(), INFINITE, TRUE);
    return 0;
}

// Waits until the present window thread has left this module's code; false when it did not
// within the time. Its event is closed only once it was set (the thread no longer uses it).
bool waitForThreadLeaving(DWORD milliseconds) {
    if (!g_threadLeaving) return true;
    if (WaitForSingleObject(g_threadLeaving, milliseconds) != WAIT_OBJECT_0) return false;
    CloseHandle(g_threadLeaving);
    g_threadLeaving = nullptr;
    return true;
}

// Synchronous request to the window thread; gives up when that thread does not answer.
void request(UINT message) {
    HWND window = g_window;
    if (!window) return;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, message, 0, 0, SMTO_NORMAL, kRequestWaitMs, &result);
}

bool windowThreadRunning() { return g_thread && WaitForSingleObject(g_thread, 0) == WAIT_TIMEOUT; }

// Forgets the present window thread. Its event stays open when it was not set yet: the thread
// may still set it.
void forgetThread() {
    if (g_thread) CloseHandle(g_thread);
    g_thread = nullptr;
    g_threadLeaving = nullptr;
}

}  // namespace

void attachLibrary(HINSTANCE instance) {
    g_instance = instance;
    InitializeCriticalSection(&g_colourLock);
    // Taken from kernel32 itself, never through a stub of this module.
    if (HMODULE kernel = GetModuleHandleA("kernel32.dll"))
        g_exitThread = reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(GetProcAddress(kernel, "ExitThread")));
}

void detachLibrary(bool processExit) {
    if (processExit) {
        // The window thread was already ended by the system; nothing of it is left to close.
        g_runStatus = morx::kRunning;
        return;
    }
    // Unloaded while the window may be open: the window thread runs code of this module, so it
    // must have left that code before the module goes away. Waiting on the thread handle itself
    // would dead-lock on the loader lock (a thread takes it to end), hence the thread's own event,
    // set when it can no longer come back into this module; it then ends in ExitThread once the
    // unload releases the loader lock.
    g_runStatus = morx::kRunning;
    HWND window = g_window;
    if (g_thread) {
        if (window) PostMessageA(window, kEndDialog, 0, 0);
        if (!waitForThreadLeaving(kCloseWaitMs))
            OutputDebugStringA("morx32: unload: the window thread did not end its dialog in time\n");
    }
    forgetThread();
    if (g_faceBrush) DeleteObject(g_faceBrush);
    g_faceBrush = nullptr;
    DeleteCriticalSection(&g_colourLock);
}

bool openProgressDialog() {
    if (windowThreadRunning() && g_window) return true;  // one window per process
    forgetThread();
    g_window = nullptr;
    g_initialised = false;
    // An earlier thread that never set its event keeps it (it may still set it); this one gets its own.
    g_threadLeaving = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_thread = g_threadLeaving ? CreateThread(nullptr, 0, windowThread, g_threadLeaving, 0, nullptr) : nullptr;
    if (!g_thread) {
        if (g_threadLeaving) CloseHandle(g_threadLeaving);
        g_threadLeaving = nullptr;
        OutputDebugStringA("morx32: openProgressDialog: the window thread could not be created\n");
        MessageBoxA(nullptr, "Failed to create window", "MORX", MB_OK);
        return false;
    }
    // Wait until the first and the last group box exist and the dialog finished its set-up; give
    // up when the thread ended without a window (the template could not be loaded).
    for (;;) {
        HWND window = g_window;
        if (window && GetDlgItem(window, IDC_FIRST_GROUP) && GetDlgItem(window, IDC_LAST_GROUP) &&
            g_initialised) {
            return true;
        }
        if (waitForThreadLeaving(1)) {
            WaitForSingleObject(g_thread, kCloseWaitMs);
            forgetThread();
            g_window = nullptr;
            OutputDebugStringA("morx32: openProgressDialog: dialog 130 could not be created\n");
            MessageBoxA(nullptr, "Failed to create window", "MORX", MB_OK);
            return false;
        }
    }
}

HWND progressWindow() { return g_window; }

int runStatus() { return g_runStatus; }

int setLabel(int number, int colourIndex, const char* text) {
    const int id = morx::controlIdForNumber(number);
    storeColour(id, colourIndex);
    HWND window = g_window;
    if (window && id != 0) {
        HWND control = GetDlgItem(window, id);
        if (control) SetWindowTextA(control, text ? text : "");
    }
    return g_runStatus;
}

void startClock() { request(kStartClock); }

void stopClock() { request(kStopClock); }

void presentWindow() { request(kPresent); }

void closeProgressDialog() {
    g_runStatus = morx::kRunning;
    HWND window = g_window;
    if (window) PostMessageA(window, kEndDialog, 0, 0);
    if (g_thread && waitForThreadLeaving(kCloseWaitMs)) WaitForSingleObject(g_thread, kCloseWaitMs);
    forgetThread();
}

}  // namespace morx32
