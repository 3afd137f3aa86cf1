// Helpers of the Wine test host: check counting, the message-box answerer, PE table walks and
// window look-ups.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace host {

// Prints "ok: name" or "FAIL: name (detail)" and counts the result.
bool check(bool passed, const std::string& name, const std::string& detail = std::string());
int passedCount();
int failedCount();

std::string format(const char* pattern, ...);

// One message box the answerer closed.
struct Box {
    HWND window = nullptr;
    HWND owner = nullptr;
    std::string caption;
    std::string text;
    int answer = 0;
    bool ownerStopEnabled = false;  // state of the owner's buttons 2000 / 3000 when the box was up
    bool ownerFinishEnabled = false;
    bool ownerIconic = false;
    bool ownerVisible = false;
};

// Background thread that finds message boxes of this process ("#32770" top-level windows without
// the progress window's control 1000), records them and answers them. OK-only boxes get IDOK, boxes
// with a Cancel button get the armed answer.
class BoxAnswerer {
public:
    void start();
    void setAnswer(int answer);
    // Waits until `count` boxes were answered since the last take(); returns what was seen.
    std::vector<Box> waitFor(size_t count, DWORD timeoutMs);
    std::vector<Box> take();

private:
    static DWORD WINAPI run(LPVOID self);
    static BOOL CALLBACK visit(HWND window, LPARAM self);
    void poll();

    CRITICAL_SECTION m_lock;
    int m_answer = IDCANCEL;
    std::vector<Box> m_boxes;
    std::vector<HWND> m_answered;
};

// Names of the DLLs a loaded module imports, and the names it exports.
std::vector<std::string> importedDlls(HMODULE module);
std::vector<std::string> exportedNames(HMODULE module);
// Replaces the module's import of dll!function by `replacement`; returns the previous address, or
// nullptr when the import was not found.
void* patchImport(HMODULE module, const char* dll, const char* function, void* replacement);

#if defined(__i386__)
// Calls a function with 0, 2 or 4 int arguments through inline assembly and reports how far the
// stack pointer moved across the call: 0 when the callee removed its arguments (__stdcall).
int callMeasuringStack(void* function, const int* args, int argCount, int* stackDelta);
#endif

// The progress window ("#32770" titled "MORX" that holds control 1000), or nullptr.
HWND findProgressWindow();
std::string windowText(HWND window);
std::string controlText(HWND dialog, int id);

// What the dialog answers to WM_CTLCOLORSTATIC for a control, read back from a memory DC.
struct StaticColour {
    COLORREF text = 0;
    COLORREF background = 0;
    int backgroundMode = 0;
    HBRUSH brush = nullptr;
};
StaticColour staticColour(HWND dialog, HWND control);

// Polls `condition` every 10 ms until true or the timeout passed.
template <typename Condition>
bool waitUntil(Condition condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(10);
    }
}

// Checks the dialog, every control and the icon against the dialog template. Defined in
// host_template_checks.cpp.
void checkTemplate(HWND dialog);

}  // namespace host
