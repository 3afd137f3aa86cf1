// 32-bit test host for morx32.dll, run under Wine: loads the DLL, drives its exports and the window
// like an operator and the batch engine would, and prints "N passed, N failed".
//   morx32_wine_test.exe               run every check (exit code 0 when all passed)
//   morx32_wine_test.exe --showcase N  open the window with coloured labels for N seconds
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_support.h"
#include "morx32.h"

using host::check;
using host::format;

namespace {

constexpr DWORD kWatchdogMs = 90000;

struct Api {
    decltype(&SHOWDLGB) showDialog = nullptr;
    decltype(&LABELB) label = nullptr;
    decltype(&SHOWMSGB) showMessage = nullptr;
    decltype(&FINISHB) finish = nullptr;
    decltype(&GETWINDIR) windowsDir = nullptr;
};

host::BoxAnswerer g_boxes;

int summary() {
    std::printf("%d passed, %d failed\n", host::passedCount(), host::failedCount());
    return host::failedCount() == 0 ? 0 : 1;
}

DWORD WINAPI watchdog(LPVOID) {
    Sleep(kWatchdogMs);
    std::printf("watchdog: the run did not end within %lu s, stopping it\n",
                static_cast<unsigned long>(kWatchdogMs / 1000));
    check(false, "run ends before the watchdog");
    summary();
    ExitProcess(3);
}

template <typename F>
F resolve(HMODULE dll, const char* name) {
    F function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    check(function != nullptr, format("export %s found by its plain name", name));
    return function;
}

int status(const Api& api) { return api.label(2, 0, "", 0); }  // control 1002 does not exist

bool buttonsEnabled(HWND dialog, bool stop, bool finish) {
    return bool(IsWindowEnabled(GetDlgItem(dialog, 2000))) == stop &&
           bool(IsWindowEnabled(GetDlgItem(dialog, 3000))) == finish;
}

bool isBox(const std::vector<host::Box>& boxes, const char* text, HWND owner) {
    return boxes.size() == 1 && boxes[0].text == text && boxes[0].caption == "MORX" &&
           boxes[0].owner == owner;
}

std::string describe(const std::vector<host::Box>& boxes) {
    std::string all = format("%d box(es)", int(boxes.size()));
    for (const host::Box& b : boxes) all += " ['" + b.caption + "' '" + b.text + "']";
    return all;
}

// --- module ----------------------------------------------------------------------------------

void checkModule(HMODULE dll, const Api& api) {
    std::vector<std::string> exports = host::exportedNames(dll);
    std::sort(exports.begin(), exports.end());
    std::string list;
    for (const std::string& name : exports) list += name + " ";
    check(list == "FINISHB GETWINDIR LABELB SHOWDLGB SHOWMSGB ", "exactly the five plain export names", list);

    const char* system[] = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"};
    std::string imports;
    bool onlySystem = true;
    for (const std::string& dll : host::importedDlls(dll)) {
        imports += dll + " ";
        onlySystem = onlySystem && std::any_of(std::begin(system), std::end(system),
                                               [&](const char* s) { return _stricmp(s, dll.c_str()) == 0; });
    }
    check(onlySystem, "imports only system DLLs", imports);

#if defined(__i386__)
    // __stdcall: the callee takes its arguments off the stack.
    int delta = -1;
    const int labelArgs[4] = {2, 3, 0, 0};
    const int result = host::callMeasuringStack(reinterpret_cast<void*>(api.label), labelArgs, 4, &delta);
    check(delta == 0 && result == 0, "LABELB removes its 16 bytes of arguments",
          format("stack moved by %d, result %d", delta, result));
    const int messageArgs[2] = {reinterpret_cast<int>("stack probe"), reinterpret_cast<int>("Probe")};
    host::callMeasuringStack(reinterpret_cast<void*>(api.showMessage), messageArgs, 2, &delta);
    check(delta == 0, "SHOWMSGB removes its 8 bytes of arguments", format("stack moved by %d", delta));
#else
    std::printf("note: 64-bit build, the 32-bit calling-convention checks do not apply\n");
    api.showMessage("stack probe", "Probe");
#endif
    const std::vector<host::Box> boxes = g_boxes.waitFor(1, 3000);
    check(
        boxes.size() == 1 && boxes[0].text == "stack probe" && boxes[0].caption == "Probe" && !boxes[0].owner,
        "SHOWMSGB without a window shows an unowned box", describe(boxes));
}

void checkWithoutWindow(const Api& api) {
    check(api.label(1, 5, "no window", 0) == 0, "LABELB before SHOWDLGB returns 0");
    check(host::findProgressWindow() == nullptr, "no window before SHOWDLGB");

    DeleteFileA("c:\\win.dir");
    check(api.windowsDir() == 0, "GETWINDIR returns 0");
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, sizeof windows);
    char written[MAX_PATH] = {};
    GetPrivateProfileStringA("WINDIR", "Dir", "<missing>", written, sizeof written, "c:\\win.dir");
    check(std::strcmp(written, windows) == 0, "GETWINDIR writes WINDIR/Dir to c:\\win.dir",
          format("'%s', expected '%s'", written, windows));
}

// --- window that cannot be made ----------------------------------------------------------------

HANDLE WINAPI failingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                  LPDWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

INT_PTR WINAPI failingDialogBox(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) { return -1; }

void checkFailedWindow(HMODULE dll, const Api& api, const char* import, void* replacement, const char* what) {
    void* original = host::patchImport(dll, "kernel32.dll", import, replacement);
    if (!original) original = host::patchImport(dll, "user32.dll", import, replacement);
    if (!check(original != nullptr, format("%s import can be replaced", import))) return;
    g_boxes.take();
    const DWORD start = GetTickCount();
    const int shown = api.showDialog();
    const DWORD took = GetTickCount() - start;
    host::patchImport(dll, "kernel32.dll", import, original);
    host::patchImport(dll, "user32.dll", import, original);
    const std::vector<host::Box> boxes = g_boxes.waitFor(1, 2000);
    check(shown == 0 && took < 5000, format("SHOWDLGB returns 0 promptly when %s", what),
          format("returned %d after %lu ms", shown, took));
    check(isBox(boxes, "Failed to create window", nullptr),
          format("\"Failed to create window\" when %s", what), describe(boxes));
    check(status(api) == 0 && host::findProgressWindow() == nullptr, "no window and status 0 afterwards");
}

// --- first window: template, clock, labels, confirmations -------------------------------------

HWND openWindow(const Api& api, const char* name) {
    const DWORD start = GetTickCount();
    const int result = api.showDialog();
    const DWORD took = GetTickCount() - start;
    HWND dialog = host::findProgressWindow();
    check(result == 1 && dialog != nullptr, format("SHOWDLGB opens the %s window", name),
          format("result %d", result));
    std::printf("figure: SHOWDLGB took %lu ms\n", took);
    if (dialog) check(GetDlgItem(dialog, 1091) != nullptr, "every control exists when SHOWDLGB returns");
    return dialog;
}

void checkClock(HWND dialog) {
    const bool ticking =
        host::waitUntil([&] { return host::controlText(dialog, 1342).rfind("time: ", 0) == 0; }, 2000);
    const std::string first = host::controlText(dialog, 1342);
    int h = -1, m = -1, s = -1;
    SYSTEMTIME now;
    GetLocalTime(&now);
    const bool parsed =
        std::sscanf(first.c_str(), "time: %2d:%2d:%2d", &h, &m, &s) == 3 && first.size() == 14;
    const int diff =
        (now.wHour * 3600 + now.wMinute * 60 + now.wSecond - (h * 3600 + m * 60 + s) + 86400) % 86400;
    check(ticking && parsed && diff <= 2, "timer writes \"time: HH:MM:SS\" into 1342", "'" + first + "'");
    const bool moved = host::waitUntil([&] { return host::controlText(dialog, 1342) != first; }, 2500);
    check(moved, "clock advances", host::controlText(dialog, 1342));
}

void checkLabels(HWND dialog, const Api& api) {
    check(api.label(1, 0, "Reading observations", 0) == 0 &&
              host::controlText(dialog, 1001) == "Reading observations",
          "LABELB 1 sets the text of 1001");
    check(api.label(0, 1, "Network", 0) == 0 && host::controlText(dialog, 1000) == "Network",
          "LABELB 0 sets the caption of group 1000");
    check(api.label(91, 3, nullptr, 0) == 0 && host::controlText(dialog, 1091).empty(),
          "LABELB with no text clears");
    check(api.label(2, 5, "ignored", 0) == 0, "LABELB 2 (no control 1002) still returns the status");
    for (int n : {-1000, -5000, 0x7fffffff, int(0x80000000)}) api.label(n, 4, "x", 0);
    check(status(api) == 0, "LABELB with numbers far out of range is harmless");

    const COLORREF table[16] = {0x000000, 0x800000, 0x008000, 0x8080FF, 0x000080, 0x800080,
                                0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    HWND label = GetDlgItem(dialog, 1001);
    int wrong = 0;
    for (int index = 0; index < 16; ++index) {
        api.label(1, index, "colour", 0);
        const COLORREF got = host::staticColour(dialog, label).text;
        if (got != table[index]) {
            ++wrong;
            check(false, format("colour index %d", index), format("0x%06lx", got));
        }
    }
    check(wrong == 0, "colour indexes 0..15 paint their COLORREF");
    for (int index : {16, -1}) {
        api.label(1, 9, "blue first", 0);
        api.label(1, index, "then", 0);
        const COLORREF got = host::staticColour(dialog, label).text;
        check(got == 0, format("colour index %d paints black", index), format("0x%06lx", got));
    }
    api.label(0, 13, "Network", 0);
    check(host::staticColour(dialog, GetDlgItem(dialog, 1000)).text == 0xFF00FF,
          "group box 1000 takes its colour");
    api.label(441, 2, "17", 0);
    check(host::staticColour(dialog, GetDlgItem(dialog, 1441)).text == 0x008000,
          "value 1441 takes its colour");

    const host::StaticColour face = host::staticColour(dialog, label);
    LOGBRUSH brush = {};
    GetObjectA(face.brush, sizeof brush, &brush);
    const COLORREF buttonFace = GetSysColor(COLOR_BTNFACE);
    check(face.backgroundMode == TRANSPARENT && face.background == buttonFace && brush.lbStyle == BS_SOLID &&
              brush.lbColor == buttonFace,
          "static colouring: transparent, button-face background and brush",
          format("mode %d bk 0x%06lx brush 0x%06lx", face.backgroundMode, face.background, brush.lbColor));
    SendMessageA(dialog, WM_SYSCOLORCHANGE, 0, 0);
    const host::StaticColour renewed = host::staticColour(dialog, label);
    GetObjectA(renewed.brush, sizeof brush, &brush);
    check(renewed.brush && brush.lbColor == buttonFace,
          "a system colour change renews the button-face brush");

    // 1002 is not colourable: a control given that id later still paints black.
    check(GetDlgItem(dialog, 1002) == nullptr, "LABELB 2 created nothing");
    HWND stranger = CreateWindowExA(0, "Static", "", WS_CHILD, 0, 0, 10, 10, dialog,
                                    reinterpret_cast<HMENU>(1002), GetModuleHandleA(nullptr), nullptr);
    check(host::staticColour(dialog, stranger).text == 0, "LABELB 2 stored no colour");
    DestroyWindow(stranger);

    // The clock re-writes 1342 with index 0, so the red may only last until the next tick.
    bool coloured = false;
    for (int attempt = 0; attempt < 5 && !coloured; ++attempt) {
        api.label(342, 12, "red clock", 0);
        coloured = host::staticColour(dialog, GetDlgItem(dialog, 1342)).text == 0x0000FF &&
                   host::controlText(dialog, 1342) == "red clock";
    }
    check(coloured, "LABELB 342 colours control 1342");
    const bool reset = host::waitUntil(
        [&] {
            return host::controlText(dialog, 1342).rfind("time: ", 0) == 0 &&
                   host::staticColour(dialog, GetDlgItem(dialog, 1342)).text == 0;
        },
        1500);
    check(reset, "the next tick writes the clock in colour index 0");
}

void click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void checkConfirmations(HWND dialog, const Api& api) {
    g_boxes.setAnswer(IDCANCEL);
    click(dialog, 2000);
    std::vector<host::Box> boxes = g_boxes.waitFor(1, 3000);
    check(isBox(boxes, "Stop ?", dialog), "Stop button asks \"Stop ?\"", describe(boxes));
    Sleep(150);
    check(status(api) == 0 && buttonsEnabled(dialog, true, true),
          "cancelled \"Stop ?\" keeps status 0 and buttons");

    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    boxes = g_boxes.waitFor(1, 3000);
    check(isBox(boxes, "Stop ?", dialog), "close box asks \"Stop ?\" while running", describe(boxes));
    Sleep(150);
    check(status(api) == 0 && IsWindowVisible(dialog), "cancelled close keeps the window and status 0");

    g_boxes.setAnswer(IDOK);
    click(dialog, 3000);
    boxes = g_boxes.waitFor(1, 3000);
    check(isBox(boxes, "Finish after present iteration ?", dialog), "Finish button asks its question",
          describe(boxes));
    const bool two =
        host::waitUntil([&] { return status(api) == 2 && buttonsEnabled(dialog, false, false); }, 2000);
    check(two && buttonsEnabled(dialog, false, false), "accepted finish: status 2, both buttons disabled");

    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(2000, BN_CLICKED), 0);
    boxes = g_boxes.waitFor(1, 700);
    check(boxes.empty() && status(api) == 2 && IsWindowVisible(dialog),
          "after the finish request close box and commands do nothing", describe(boxes));
}

void checkFinishWithoutMenu(HWND dialog, const Api& api) {
    ShowWindow(dialog, SW_MINIMIZE);
    g_boxes.setAnswer(IDOK);
    const DWORD start = GetTickCount();
    const int result = api.finish();
    const DWORD took = GetTickCount() - start;
    std::printf("figure: FINISHB took %lu ms\n", took);
    const std::vector<host::Box> boxes = g_boxes.waitFor(1, 100);
    check(isBox(boxes, "Back to Menu...", dialog), "FINISHB says \"Back to Menu...\" over the window",
          describe(boxes));
    check(!boxes.empty() && !boxes[0].ownerStopEnabled && !boxes[0].ownerFinishEnabled &&
              !boxes[0].ownerIconic && boxes[0].ownerVisible,
          "FINISHB restored the window and disabled its buttons before asking");
    check(result == 0 && !IsWindow(dialog) && host::findProgressWindow() == nullptr,
          "FINISHB without the menu window closes and returns 0", format("result %d", result));
    check(status(api) == 0, "status is 0 after FINISHB");
}

// --- second window: stop, message box, menu window ---------------------------------------------

LRESULT CALLBACK plainWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    return DefWindowProcA(w, m, wp, lp);
}

HWND makeWindow(const char* cls, const char* title) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = plainWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = cls;
    RegisterClassA(&wc);
    return CreateWindowExA(0, cls, title, WS_OVERLAPPEDWINDOW, 50, 50, 300, 200, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

BOOL CALLBACK countProgress(HWND window, LPARAM out) {
    char cls[16] = {};
    GetClassNameA(window, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") == 0 && GetDlgItem(window, 1000)) ++*reinterpret_cast<int*>(out);
    return TRUE;
}

int countProgressWindows() {
    int count = 0;
    EnumWindows(countProgress, reinterpret_cast<LPARAM>(&count));
    return count;
}

void checkSecondWindow(HWND dialog, const Api& api) {
    check(api.showDialog() == 1 && countProgressWindows() == 1, "SHOWDLGB while open keeps one window");

    g_boxes.setAnswer(IDOK);
    click(dialog, 2000);
    std::vector<host::Box> boxes = g_boxes.waitFor(1, 3000);
    const bool one =
        host::waitUntil([&] { return status(api) == 1 && buttonsEnabled(dialog, false, false); }, 2000);
    check(isBox(boxes, "Stop ?", dialog) && one && buttonsEnabled(dialog, false, false),
          "accepted \"Stop ?\": status 1, both buttons disabled",
          describe(boxes) + format(" answer %d status %d buttons %d %d", boxes.empty() ? 0 : boxes[0].answer,
                                   status(api), IsWindowEnabled(GetDlgItem(dialog, 2000)),
                                   IsWindowEnabled(GetDlgItem(dialog, 3000))));
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    boxes = g_boxes.waitFor(1, 700);
    check(boxes.empty() && status(api) == 1, "after the stop request the close box does nothing",
          describe(boxes));

    check(api.showMessage("Iteration 3 of 10 done", "Adjustment") == 0, "SHOWMSGB returns 0");
    boxes = g_boxes.waitFor(1, 1000);
    check(boxes.size() == 1 && boxes[0].text == "Iteration 3 of 10 done" &&
              boxes[0].caption == "Adjustment" && boxes[0].owner == dialog,
          "SHOWMSGB box is owned by the progress window", describe(boxes));

    HWND decoy = makeWindow("DecoyFormDC", "MORX-NT MENU");
    HWND other = makeWindow("ThunderRT6FormDC", "MORX-NT OTHER");
    HWND menu = makeWindow("ThunderRT6FormDC", "MORX-NT MENU");
    const int result = api.finish();
    boxes = g_boxes.waitFor(1, 100);
    check(isBox(boxes, "Back to Menu...", dialog), "FINISHB asks before handing back", describe(boxes));
    check(result == 0 && !IsWindow(dialog), "FINISHB after a stop request returns 0 and closes",
          format("result %d", result));
    check(IsWindowVisible(menu) && !IsIconic(menu) && GetForegroundWindow() == menu,
          "FINISHB brings the menu window to the front",
          format("visible %d iconic %d foreground %p menu %p", IsWindowVisible(menu), IsIconic(menu),
                 static_cast<void*>(GetForegroundWindow()), static_cast<void*>(menu)));
    check(!IsWindowVisible(decoy) && !IsWindowVisible(other),
          "other windows of that title or class stay hidden");
    DestroyWindow(menu);
    DestroyWindow(other);
    DestroyWindow(decoy);
}

// --- unload while the window is open -----------------------------------------------------------

void checkUnload(HMODULE dll, const Api& api) {
    HWND dialog = openWindow(api, "third");
    api.label(1, 9, "about to unload", 0);
    const DWORD windowThreadId = dialog ? GetWindowThreadProcessId(dialog, nullptr) : 0;
    const DWORD start = GetTickCount();
    FreeLibrary(dll);
    const DWORD took = GetTickCount() - start;
    std::printf("figure: unloading with the window open took %lu ms\n", took);
    check(dialog && !IsWindow(dialog) && host::findProgressWindow() == nullptr,
          "unloading closes the window");
    // The window thread must not run on in the unloaded module: it ends, outside it.
    HANDLE windowThread = windowThreadId ? OpenThread(SYNCHRONIZE, FALSE, windowThreadId) : nullptr;
    check(!windowThread || WaitForSingleObject(windowThread, 2000) == WAIT_OBJECT_0,
          "the window thread ends after the unload");
    if (windowThread) CloseHandle(windowThread);
    Sleep(300);
    HMODULE again = LoadLibraryA("morx32.dll");
    auto label =
        reinterpret_cast<decltype(&LABELB)>(reinterpret_cast<void*>(GetProcAddress(again, "LABELB")));
    check(again && label && label(1, 0, "x", 0) == 0 && host::findProgressWindow() == nullptr,
          "loading again starts without a window");
    if (again) FreeLibrary(again);
}

// --- screenshot mode ---------------------------------------------------------------------------

int showcase(const Api& api, int seconds) {
    api.showDialog();
    struct Label {
        int number, colour;
        const char* text;
    };
    const Label labels[] = {
        {0, 1, "Adjustment of network NET-07"},
        {1, 2, "Reading observations ... done"},
        {10, 5, "Iteration"},
        {11, 0, "Iteration 3 of at most 10"},
        {12, 9, "Unknowns: 3852"},
        {13, 4, "Observations: 11240"},
        {14, 6, "Redundancy: 7388"},
        {15, 8, "Condition: ok"},
        {20, 5, "Residuals"},
        {210, 0, "Sigma0"},
        {211, 12, "1.0042"},
        {220, 0, "Largest v [mm]"},
        {221, 3, "17.3"},
        {230, 0, "Mean v [mm]"},
        {231, 2, "2.1"},
        {240, 0, "Rejected"},
        {241, 13, "4"},
        {250, 0, "Change"},
        {251, 10, "0.0031"},
        {30, 1, "Progress"},
        {31, 0, "Forming normal equations"},
        {32, 11, "Solving"},
        {33, 7, "Silver text"},
        {340, 0, "08:12:40"},
        {341, 14, "yellow"},
        {40, 1, "Points"},
        {410, 0, "Control"},
        {411, 2, "38"},
        {420, 0, "New"},
        {421, 12, "1284"},
        {430, 0, "Fixed"},
        {431, 9, "16"},
        {440, 0, "White"},
        {441, 15, "255"},
        {50, 0, "#"},
        {60, 1, "dx [mm]"},
        {70, 2, "dy [mm]"},
        {80, 12, "dz [mm]"},
        {90, 4, "Status"},
        {91, 12, "Press Stop to end after the present unknown"},
    };
    for (const Label& l : labels) api.label(l.number, l.colour, l.text, 0);
    const char* dx[9] = {"1.2", "-0.4", "3.8", "0.0", "-2.2", "0.9", "11.5", "-0.7", "2.0"};
    for (int i = 0; i < 9; ++i) {
        char number[4];
        std::snprintf(number, sizeof number, "%d", i + 1);
        api.label(51 + i, 0, number, 0);
        api.label(61 + i, i == 6 ? 12 : 0, dx[i], 0);
        api.label(71 + i, 9, dx[8 - i], 0);
        api.label(81 + i, i % 16, dx[(i + 3) % 9], 0);
    }
    std::printf("showcase ready\n");
    Sleep(DWORD(seconds) * 1000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
    g_boxes.start();

    HMODULE dll = LoadLibraryA("morx32.dll");
    if (!check(dll != nullptr, "morx32.dll loads", format("error %lu", GetLastError()))) return summary();
    Api api;
    api.showDialog = resolve<decltype(&SHOWDLGB)>(dll, "SHOWDLGB");
    api.label = resolve<decltype(&LABELB)>(dll, "LABELB");
    api.showMessage = resolve<decltype(&SHOWMSGB)>(dll, "SHOWMSGB");
    api.finish = resolve<decltype(&FINISHB)>(dll, "FINISHB");
    api.windowsDir = resolve<decltype(&GETWINDIR)>(dll, "GETWINDIR");
    if (host::failedCount() > 0) return summary();

    if (argc > 2 && std::strcmp(argv[1], "--showcase") == 0) return showcase(api, std::atoi(argv[2]));

    checkModule(dll, api);
    checkWithoutWindow(api);
    checkFailedWindow(dll, api, "CreateThread", reinterpret_cast<void*>(failingCreateThread),
                      "the window thread cannot start");
    checkFailedWindow(dll, api, "DialogBoxParamA", reinterpret_cast<void*>(failingDialogBox),
                      "the dialog cannot be made");

    HWND first = openWindow(api, "first");
    if (first) {
        host::checkTemplate(first);
        checkClock(first);
        checkLabels(first, api);
        checkConfirmations(first, api);
        checkFinishWithoutMenu(first, api);
    }
    HWND second = openWindow(api, "second");
    if (second) checkSecondWindow(second, api);
    checkUnload(dll, api);
    return summary();
}
