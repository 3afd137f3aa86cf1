#include "colour_table.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>

namespace {

TEST(ColourTable, NamedIndexesGiveTheirColourRef) {
    const morx::ColourRef expected[16] = {0x000000, 0x800000, 0x008000, 0x8080FF, 0x000080, 0x800080,
                                          0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                          0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(morx::colourForIndex(i), expected[i]) << "index " << i;
}

TEST(ColourTable, UnknownIndexesAreBlack) {
    for (int index : {16, 17, 255, -1, -15, INT_MIN, INT_MAX}) {
        EXPECT_EQ(morx::colourForIndex(index), 0u) << "index " << index;
    }
}

// The colourable ids written out one by one, independent of the range table in the code.
std::set<int> listedIds() {
    std::set<int> ids = {1000, 1001, 1020, 1040, 1210, 1211, 1220, 1221, 1230, 1231, 1240, 1241, 1250,
                         1251, 1340, 1341, 1342, 1410, 1411, 1420, 1421, 1430, 1431, 1440, 1441};
    for (int id = 1010; id <= 1015; ++id) ids.insert(id);
    for (int id = 1030; id <= 1033; ++id) ids.insert(id);
    for (int id = 1050; id <= 1091; ++id) ids.insert(id);
    return ids;
}

TEST(ColourTable, ExactlyTheListedIdsAreColourable) {
    const std::set<int> ids = listedIds();
    for (int id = 0; id <= 4000; ++id) {
        EXPECT_EQ(morx::isColourableControl(id), ids.count(id) == 1) << "id " << id;
    }
    for (int id : {-1, INT_MIN, INT_MAX}) EXPECT_FALSE(morx::isColourableControl(id));
}

TEST(ColourTable, ButtonsAndGapsAreNotColourable) {
    for (int id : {2000, 3000, 1002, 1009, 1016, 1019, 1021, 1034, 1092, 1212, 1252, 1343, 1442}) {
        EXPECT_FALSE(morx::isColourableControl(id)) << "id " << id;
    }
}

TEST(ControlNumber, AddsThousandWithoutOverflow) {
    EXPECT_EQ(morx::controlIdForNumber(342), 1342);
    EXPECT_EQ(morx::controlIdForNumber(2), 1002);
    EXPECT_EQ(morx::controlIdForNumber(0), 1000);
    EXPECT_EQ(morx::controlIdForNumber(-1000), 0);
    EXPECT_EQ(morx::controlIdForNumber(INT_MAX - 1000), INT_MAX);
    EXPECT_EQ(morx::controlIdForNumber(INT_MAX), 0);
    EXPECT_EQ(morx::controlIdForNumber(INT_MIN), INT_MIN + 1000);
}

TEST(ControlColours, StartAtZero) {
    morx::ControlColours colours;
    for (int id : listedIds()) EXPECT_EQ(colours.controlColour(id), 0) << "id " << id;
}

TEST(ControlColours, StoresPerColourableId) {
    morx::ControlColours colours;
    colours.setControlColour(1342, 12);
    colours.setControlColour(1000, 3);
    colours.setControlColour(1441, 16);
    colours.setControlColour(1091, -1);
    EXPECT_EQ(colours.controlColour(1342), 12);
    EXPECT_EQ(colours.controlColour(1000), 3);
    EXPECT_EQ(colours.controlColour(1441), 16);
    EXPECT_EQ(colours.controlColour(1091), -1);
    EXPECT_EQ(colours.controlColour(1341), 0);
    EXPECT_EQ(colours.controlColour(1001), 0);
    colours.setControlColour(1342, 0);
    EXPECT_EQ(colours.controlColour(1342), 0);
}

TEST(ControlColours, IgnoresOtherIds) {
    morx::ControlColours colours;
    for (int id : {1002, 999, 1442, 2000, 3000, -5, INT_MAX, INT_MIN}) {
        colours.setControlColour(id, 9);
        EXPECT_EQ(colours.controlColour(id), 0) << "id " << id;
    }
    // Neighbours of an ignored id stay untouched.
    EXPECT_EQ(colours.controlColour(1001), 0);
    EXPECT_EQ(colours.controlColour(1441), 0);
}

}  // namespace
