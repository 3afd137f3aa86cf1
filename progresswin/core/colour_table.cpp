#include "colour_table.h"

#include <climits>

namespace morx {

namespace {

struct IdRange {
    int first;
    int last;
};

// Group boxes, labels and value fields of the window (see the dialog template).
constexpr IdRange kColourable[] = {
    {1000, 1001}, {1010, 1015}, {1020, 1020}, {1030, 1033}, {1040, 1040}, {1050, 1091},
    {1210, 1211}, {1220, 1221}, {1230, 1231}, {1240, 1241}, {1250, 1251}, {1340, 1342},
    {1410, 1411}, {1420, 1421}, {1430, 1431}, {1440, 1441},
};

constexpr ColourRef kColours[16] = {
    0x000000,  // 0: black
    0x800000,  // 1: navy
    0x008000,  // 2: green
    0x8080FF,  // 3: light red
    0x000080,  // 4: maroon
    0x800080,  // 5: purple
    0x008080,  // 6: olive
    0xC0C0C0,  // 7: silver
    0x808080,  // 8: grey
    0xFF0000,  // 9: blue
    0x00FF00,  // 10: lime
    0xFFFF00,  // 11: aqua
    0x0000FF,  // 12: red
    0xFF00FF,  // 13: magenta
    0x00FFFF,  // 14: yellow
    0xFFFFFF,  // 15: white
};

}  // namespace

ColourRef colourForIndex(int index) {
    if (index < 1 || index > 15) return 0x000000;
    return kColours[index];
}

bool isColourableControl(int id) {
    for (const IdRange& range : kColourable) {
        if (id >= range.first && id <= range.last) return true;
    }
    return false;
}

int controlIdForNumber(int number) {
    if (number > INT_MAX - 1000) return 0;
    return number + 1000;
}

ControlColours::ControlColours() : m_index{} {}

void ControlColours::setControlColour(int id, int index) {
    if (!isColourableControl(id)) return;
    m_index[id - kFirstId] = index;
}

int ControlColours::controlColour(int id) const {
    if (!isColourableControl(id)) return 0;
    return m_index[id - kFirstId];
}

}  // namespace morx
