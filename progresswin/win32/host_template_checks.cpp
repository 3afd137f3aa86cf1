// Compares the live progress dialog with its template: dialog frame, font, every control's kind,
// position and text, and the icon.
#include <cstring>

#include "host_support.h"

namespace host {

namespace {

enum Kind { DefButton, Button, Group, CentredGroup, Left, Centre, Right };

struct Control {
    int id;
    Kind kind;
    int x, y, width, height;
};

std::vector<Control> templateControls() {
    std::vector<Control> controls = {
        {2000, DefButton, 268, 248, 44, 20},     {3000, Button, 321, 248, 96, 20},
        {1000, CentredGroup, 4, 4, 384, 24},     {1001, Left, 10, 15, 370, 8},
        {1010, Group, 4, 32, 205, 72},           {1020, Group, 214, 32, 203, 72},
        {1030, Group, 4, 108, 190, 60},          {1340, Left, 10, 155, 57, 8},
        {1341, Centre, 70, 155, 57, 8},          {1342, Right, 130, 155, 57, 8},
        {1040, Group, 4, 172, 190, 60},          {1050, CentredGroup, 199, 108, 25, 124},
        {1060, CentredGroup, 229, 108, 58, 124}, {1070, CentredGroup, 292, 108, 60, 124},
        {1080, Group, 357, 108, 60, 124},        {1090, Group, 4, 244, 260, 24},
        {1091, Left, 10, 255, 247, 8},
    };
    for (int i = 0; i < 5; ++i) {
        controls.push_back({1011 + i, Left, 10, 43 + 12 * i, 194, 8});
        controls.push_back({1210 + 10 * i, Left, 220, 43 + 12 * i, 121, 8});
        controls.push_back({1211 + 10 * i, Right, i == 0 ? 346 : 345, 43 + 12 * i, 65, 8});
    }
    for (int i = 0; i < 3; ++i) controls.push_back({1031 + i, Left, 10, 119 + 12 * i, 177, 8});
    for (int i = 0; i < 4; ++i) {
        controls.push_back({1410 + 10 * i, Left, 10, 183 + 12 * i, 137, 8});
        controls.push_back({1411 + 10 * i, Right, 149, 183 + 12 * i, 38, 8});
    }
    const int columnX[4] = {205, 233, 296, 361};
    const int columnWidth[4] = {12, 47, 49, 49};
    for (int c = 0; c < 4; ++c) {
        for (int i = 0; i < 9; ++i) {
            controls.push_back({1051 + 10 * c + i, Right, columnX[c], 119 + 12 * i, columnWidth[c], 8});
        }
    }
    return controls;
}

// Pixel rectangle of a template rectangle; like the dialog manager, position and size are converted
// separately (converting the right edge instead can differ by one pixel through rounding).
RECT dialogUnits(HWND dialog, int x, int y, int width, int height) {
    RECT rect = {x, y, width, height};
    MapDialogRect(dialog, &rect);
    return RECT{rect.left, rect.top, rect.left + rect.right, rect.top + rect.bottom};
}

RECT clientRectOf(HWND dialog, HWND control) {
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool kindMatches(HWND control, Kind kind, std::string* found) {
    char cls[32] = {};
    GetClassNameA(control, cls, sizeof cls);
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    *found = format("%s style 0x%08lx", cls, static_cast<unsigned long>(style));
    const bool button = _stricmp(cls, "Button") == 0;
    const bool label = _stricmp(cls, "Static") == 0;
    switch (kind) {
        case DefButton:
            return button && (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
        case Button:
            return button && (style & BS_TYPEMASK) == BS_PUSHBUTTON;
        case Group:
            return button && (style & BS_TYPEMASK) == BS_GROUPBOX && (style & BS_CENTER) != BS_CENTER;
        case CentredGroup:
            return button && (style & BS_TYPEMASK) == BS_GROUPBOX && (style & BS_CENTER) == BS_CENTER;
        case Left:
            return label && (style & SS_TYPEMASK) == SS_LEFT;
        case Centre:
            return label && (style & SS_TYPEMASK) == SS_CENTER;
        case Right:
            return label && (style & SS_TYPEMASK) == SS_RIGHT;
    }
    return false;
}

struct ChildCount {
    int all = 0;
    HWND icon = nullptr;
};

BOOL CALLBACK countChild(HWND child, LPARAM out) {
    auto* count = reinterpret_cast<ChildCount*>(out);
    ++count->all;
    char cls[32] = {};
    GetClassNameA(child, cls, sizeof cls);
    if (_stricmp(cls, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        count->icon = child;
    }
    return TRUE;
}

}  // namespace

void checkTemplate(HWND dialog) {
    check(windowText(dialog) == "MORX", "dialog title is MORX", windowText(dialog));
    const LONG style = GetWindowLongA(dialog, GWL_STYLE);
    const LONG exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);
    check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & WS_MINIMIZEBOX) &&
              !(style & WS_MAXIMIZEBOX) && (style & WS_POPUP),
          "dialog has caption, system menu and minimise box only", format("style 0x%08lx", style));
    check((exStyle & WS_EX_CLIENTEDGE) && (exStyle & WS_EX_DLGMODALFRAME),
          "dialog has client edge and modal frame", format("exstyle 0x%08lx", exStyle));

    RECT client;
    GetClientRect(dialog, &client);
    const RECT size = dialogUnits(dialog, 0, 0, 421, 279);
    check(
        client.right == size.right && client.bottom == size.bottom, "client area is 421 x 279 units",
        format("%ld x %ld px, template %ld x %ld px", client.right, client.bottom, size.right, size.bottom));

    RECT frame;
    GetWindowRect(dialog, &frame);
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const int dx = (frame.left + frame.right) / 2 - (work.left + work.right) / 2;
    const int dy = (frame.top + frame.bottom) / 2 - (work.top + work.bottom) / 2;
    check(dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2, "dialog is centred",
          format("off by %d, %d px", dx, dy));

    LOGFONTA font = {};
    HFONT handle = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
    GetObjectA(handle, sizeof font, &font);
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    check(std::strcmp(font.lfFaceName, "MS Sans Serif") == 0 && font.lfHeight == height,
          "dialog font is MS Sans Serif 8 pt", format("'%s' height %ld", font.lfFaceName, font.lfHeight));

    int wrong = 0;
    const std::vector<Control> controls = templateControls();
    for (const Control& c : controls) {
        HWND control = GetDlgItem(dialog, c.id);
        if (!control) {
            ++wrong;
            check(false, format("control %d exists", c.id));
            continue;
        }
        std::string found;
        if (!kindMatches(control, c.kind, &found)) {
            ++wrong;
            check(false, format("control %d has its kind", c.id), found);
        }
        const RECT want = dialogUnits(dialog, c.x, c.y, c.width, c.height);
        const RECT got = clientRectOf(dialog, control);
        if (std::memcmp(&want, &got, sizeof want) != 0) {
            ++wrong;
            check(false, format("control %d at its place", c.id),
                  format("at %ld,%ld-%ld,%ld px, template %ld,%ld-%ld,%ld px", got.left, got.top, got.right,
                         got.bottom, want.left, want.top, want.right, want.bottom));
        }
        const std::string text = windowText(control);
        const char* wantText = c.id == 2000 ? "Stop" : c.id == 3000 ? "Finish after present iteration" : "";
        if (text != wantText) {
            ++wrong;
            check(false, format("control %d text", c.id), "'" + text + "'");
        }
    }
    check(wrong == 0, format("all %d template controls have kind, place and text", int(controls.size())));

    ChildCount count;
    EnumChildWindows(dialog, countChild, reinterpret_cast<LPARAM>(&count));
    check(count.all == int(controls.size()) + 1, "no control beyond the template and the icon",
          format("%d children", count.all));
    check(count.icon && SendMessageA(count.icon, STM_GETICON, 0, 0) != 0, "icon control shows an icon");
    if (count.icon) {
        const RECT want = dialogUnits(dialog, 395, 8, 20, 20);
        const RECT got = clientRectOf(dialog, count.icon);
        check(got.left == want.left && got.top == want.top, "icon at 395, 8",
              format("%ld,%ld px, template %ld,%ld px", got.left, got.top, want.left, want.top));
    }
}

}  // namespace host
