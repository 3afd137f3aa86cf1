#include "tiff_bytes.h"

#include <gtest/gtest.h>

using namespace reflsample;

TEST(IfdBuilder, EntriesSortedByTagWithOutOfLineValuesAfterTheDirectory) {
    IfdBuilder ifd;
    ifd.addAscii(272, "PV760");     // 6 bytes: out of line
    ifd.addShort(258, 16);          // inline
    ifd.addRational(282, 2667, 1);  // 8 bytes: out of line
    ifd.addLong(273, 1234);
    const quint32 at = 100;
    const QByteArray b = ifd.serialise(at, 0);
    ASSERT_EQ(b.size(), ifd.byteSize());
    ASSERT_EQ(getU16(b, 0), 4);
    const quint16 tags[] = {258, 272, 273, 282};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(getU16(b, 2 + 12 * i), tags[i]);
    EXPECT_EQ(getU16(b, 2 + 8), 16);          // SHORT value in the first bytes of the value field
    EXPECT_EQ(getU32(b, 2 + 24 + 8), 1234u);  // LONG inline
    EXPECT_EQ(getU32(b, 2 + 48), 0u);         // next IFD
    const quint32 asciiAt = getU32(b, 2 + 12 + 8);
    const quint32 ratAt = getU32(b, 2 + 36 + 8);
    EXPECT_EQ(asciiAt, at + 2 + 48 + 4);
    EXPECT_EQ(asciiAt % 2, 0u);
    EXPECT_EQ(ratAt % 2, 0u);
    EXPECT_EQ(b.mid(int(asciiAt - at), 6), QByteArray("PV760\0", 6));
    EXPECT_EQ(getU32(b, int(ratAt - at)), 2667u);
    EXPECT_EQ(getU32(b, int(ratAt - at) + 4), 1u);
}

TEST(IfdBuilder, ExternalEntryKeepsTheGivenOffsetAndCanBePatched) {
    IfdBuilder ifd;
    ifd.addExternal(700, kUndefined, 3000, 308);
    ifd.addLong(34665, 0);
    ifd.setLongValue(34665, 99999);
    const QByteArray b = ifd.serialise(8, 0);
    EXPECT_EQ(getU32(b, 2 + 4), 3000u);
    EXPECT_EQ(getU32(b, 2 + 8), 308u);
    EXPECT_EQ(getU32(b, 2 + 12 + 8), 99999u);
    EXPECT_EQ(b.size(), 2 + 24 + 4);
}
