// The five exports of morx32.dll and its load / unload entry point.
#include <windows.h>

#include "morx32.h"
#include "progress_dialog.h"
#include "resource.h"

namespace {

constexpr char kMenuClass[] = "ThunderRT6FormDC";
constexpr char kMenuTitle[] = "MORX-NT MENU";
constexpr char kProfileFile[] = "c:\\win.dir";

}  // namespace

extern "C" int __stdcall SHOWDLGB(void) {
    if (!morx32::openProgressDialog()) return 0;
    morx32::startClock();
    return 1;
}

extern "C" int __stdcall LABELB(int number, int colourIndex, const char* text, int /*unused*/) {
    return morx32::setLabel(number, colourIndex, text);
}

extern "C" int __stdcall SHOWMSGB(const char* text, const char* caption) {
    MessageBoxA(morx32::progressWindow(), text ? text : "", caption ? caption : "", MB_OK);
    return 0;
}

extern "C" int __stdcall FINISHB(void) {
    morx32::stopClock();
    HWND menu = FindWindowA(kMenuClass, kMenuTitle);
    HWND window = morx32::progressWindow();
    morx32::presentWindow();
    Beep(1000, 500);
    if (window) {
        EnableWindow(GetDlgItem(window, IDC_STOP), FALSE);
        EnableWindow(GetDlgItem(window, IDC_FINISH), FALSE);
    }
    MessageBoxA(window, "Back to Menu...", "MORX", MB_OK | MB_ICONINFORMATION);
    morx32::closeProgressDialog();
    if (menu) {
        ShowWindow(menu, SW_SHOWNORMAL);
        SetForegroundWindow(menu);
    }
    return morx32::runStatus();
}

extern "C" int __stdcall GETWINDIR(void) {
    char directory[100] = {};
    const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
    // A zero length is a failure, a length past the buffer means the path did not fit; neither is
    // written as if it were the directory.
    if (length == 0 || length >= sizeof directory) {
        OutputDebugStringA("morx32: GETWINDIR: the Windows directory could not be read into 100 bytes\n");
        return 0;
    }
    WritePrivateProfileStringA("WINDIR", "Dir", directory, kProfileFile);
    return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        morx32::attachLibrary(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        morx32::detachLibrary(reserved != nullptr);
    }
    return TRUE;
}
