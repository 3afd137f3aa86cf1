#include "host_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

int g_passed = 0;
int g_failed = 0;

std::string className(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

BOOL CALLBACK collectStaticText(HWND child, LPARAM out) {
    if (className(child) == "Static") {
        const std::string text = windowText(child);
        auto* all = reinterpret_cast<std::string*>(out);
        if (!text.empty()) *all += (all->empty() ? "" : " ") + text;
    }
    return TRUE;
}

template <typename T>
T* at(HMODULE module, DWORD rva) {
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

const IMAGE_DATA_DIRECTORY& directory(HMODULE module, int entry) {
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(module);
    auto* nt = at<IMAGE_NT_HEADERS>(module, dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[entry];
}

}  // namespace

bool check(bool passed, const std::string& name, const std::string& detail) {
    if (passed) {
        ++g_passed;
        std::printf("ok: %s\n", name.c_str());
    } else {
        ++g_failed;
        std::printf("FAIL: %s%s%s%s\n", name.c_str(), detail.empty() ? "" : " (", detail.c_str(),
                    detail.empty() ? "" : ")");
    }
    return passed;
}

int passedCount() { return g_passed; }
int failedCount() { return g_failed; }

std::string format(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// --- message boxes ---------------------------------------------------------------------------

void BoxAnswerer::start() {
    InitializeCriticalSection(&m_lock);
    CloseHandle(CreateThread(nullptr, 0, run, this, 0, nullptr));
}

void BoxAnswerer::setAnswer(int answer) {
    EnterCriticalSection(&m_lock);
    m_answer = answer;
    LeaveCriticalSection(&m_lock);
}

std::vector<Box> BoxAnswerer::waitFor(size_t count, DWORD timeoutMs) {
    waitUntil(
        [&] {
            EnterCriticalSection(&m_lock);
            const bool enough = m_boxes.size() >= count;
            LeaveCriticalSection(&m_lock);
            return enough;
        },
        timeoutMs);
    return take();
}

std::vector<Box> BoxAnswerer::take() {
    EnterCriticalSection(&m_lock);
    std::vector<Box> boxes;
    boxes.swap(m_boxes);
    LeaveCriticalSection(&m_lock);
    return boxes;
}

DWORD WINAPI BoxAnswerer::run(LPVOID self) {
    for (;;) {
        static_cast<BoxAnswerer*>(self)->poll();
        Sleep(10);
    }
}

void BoxAnswerer::poll() { EnumWindows(visit, reinterpret_cast<LPARAM>(this)); }

BOOL CALLBACK BoxAnswerer::visit(HWND window, LPARAM selfParam) {
    auto* self = reinterpret_cast<BoxAnswerer*>(selfParam);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || className(window) != "#32770") return TRUE;
    if (GetDlgItem(window, 1000)) return TRUE;  // the progress window itself
    if (!IsWindowVisible(window)) return TRUE;
    EnterCriticalSection(&self->m_lock);
    const bool seen =
        std::find(self->m_answered.begin(), self->m_answered.end(), window) != self->m_answered.end();
    const int armed = self->m_answer;
    LeaveCriticalSection(&self->m_lock);
    if (seen) return TRUE;

    Box box;
    box.window = window;
    box.owner = GetWindow(window, GW_OWNER);
    box.caption = windowText(window);
    EnumChildWindows(window, collectStaticText, reinterpret_cast<LPARAM>(&box.text));
    box.answer = GetDlgItem(window, IDCANCEL) ? armed : IDOK;
    if (box.owner) {
        box.ownerStopEnabled = IsWindowEnabled(GetDlgItem(box.owner, 2000));
        box.ownerFinishEnabled = IsWindowEnabled(GetDlgItem(box.owner, 3000));
        box.ownerIconic = IsIconic(box.owner);
        box.ownerVisible = IsWindowVisible(box.owner);
    }
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(box.answer, BN_CLICKED), 0);

    EnterCriticalSection(&self->m_lock);
    self->m_answered.push_back(window);
    self->m_boxes.push_back(box);
    LeaveCriticalSection(&self->m_lock);
    return TRUE;
}

// --- PE tables -------------------------------------------------------------------------------

std::vector<std::string> importedDlls(HMODULE module) {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& dir = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (!dir.VirtualAddress) return names;
    for (auto* desc = at<IMAGE_IMPORT_DESCRIPTOR>(module, dir.VirtualAddress); desc->Name; ++desc) {
        names.push_back(at<const char>(module, desc->Name));
    }
    return names;
}

std::vector<std::string> exportedNames(HMODULE module) {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& dir = directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (!dir.VirtualAddress) return names;
    auto* exports = at<IMAGE_EXPORT_DIRECTORY>(module, dir.VirtualAddress);
    auto* nameRvas = at<DWORD>(module, exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.push_back(at<const char>(module, nameRvas[i]));
    return names;
}

void* patchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    const IMAGE_DATA_DIRECTORY& dir = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (!dir.VirtualAddress) return nullptr;
    for (auto* desc = at<IMAGE_IMPORT_DESCRIPTOR>(module, dir.VirtualAddress); desc->Name; ++desc) {
        if (_stricmp(at<const char>(module, desc->Name), dll) != 0) continue;
        auto* names = at<IMAGE_THUNK_DATA>(module, desc->OriginalFirstThunk);
        auto* slots = at<IMAGE_THUNK_DATA>(module, desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = at<IMAGE_IMPORT_BY_NAME>(module, DWORD(names->u1.AddressOfData));
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD oldProtect = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &oldProtect);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, oldProtect, &oldProtect);
            return previous;
        }
    }
    return nullptr;
}

// --- calling convention ----------------------------------------------------------------------

#if defined(__i386__)
int callMeasuringStack(void* function, const int* args, int argCount, int* stackDelta) {
    int result = 0;
    int delta = 0;
    // esi keeps the stack pointer from before the arguments were pushed (callee-saved under every
    // Win32 convention); ecx receives how far the stack pointer moved across the call.
    switch (argCount) {
        case 0:
            asm volatile(
                "movl %%esp, %%esi\n\t"
                "call *%%ebx\n\t"
                "movl %%esp, %%ecx\n\t"
                "subl %%esi, %%ecx\n\t"
                "movl %%esi, %%esp\n\t"
                : "=a"(result), "=c"(delta)
                : "b"(function), "D"(args)
                : "esi", "edx", "memory", "cc");
            break;
        case 2:
            asm volatile(
                "movl %%esp, %%esi\n\t"
                "pushl 4(%%edi)\n\t"
                "pushl (%%edi)\n\t"
                "call *%%ebx\n\t"
                "movl %%esp, %%ecx\n\t"
                "subl %%esi, %%ecx\n\t"
                "movl %%esi, %%esp\n\t"
                : "=a"(result), "=c"(delta)
                : "b"(function), "D"(args)
                : "esi", "edx", "memory", "cc");
            break;
        case 4:
            asm volatile(
                "movl %%esp, %%esi\n\t"
                "pushl 12(%%edi)\n\t"
                "pushl 8(%%edi)\n\t"
                "pushl 4(%%edi)\n\t"
                "pushl (%%edi)\n\t"
                "call *%%ebx\n\t"
                "movl %%esp, %%ecx\n\t"
                "subl %%esi, %%ecx\n\t"
                "movl %%esi, %%esp\n\t"
                : "=a"(result), "=c"(delta)
                : "b"(function), "D"(args)
                : "esi", "edx", "memory", "cc");
            break;
        default:
            delta = -1;
            break;
    }
    *stackDelta = delta;
    return result;
}
#endif

// --- windows ---------------------------------------------------------------------------------

namespace {

BOOL CALLBACK findProgress(HWND window, LPARAM out) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && className(window) == "#32770" && GetDlgItem(window, 1000) &&
        windowText(window) == "MORX") {
        *reinterpret_cast<HWND*>(out) = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND findProgressWindow() {
    HWND found = nullptr;
    EnumWindows(findProgress, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::string windowText(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string controlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control ? windowText(control) : std::string("<no control>");
}

StaticColour staticColour(HWND dialog, HWND control) {
    StaticColour colour;
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));  // a value the dialog is sure to overwrite
    DWORD_PTR result = 0;
    SendMessageTimeoutA(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                        reinterpret_cast<LPARAM>(control), SMTO_NORMAL, 3000, &result);
    colour.brush = reinterpret_cast<HBRUSH>(result);
    colour.text = GetTextColor(dc);
    colour.background = GetBkColor(dc);
    colour.backgroundMode = GetBkMode(dc);
    DeleteDC(dc);
    return colour;
}

}  // namespace host
