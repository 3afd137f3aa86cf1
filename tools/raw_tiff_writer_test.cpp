#include "raw_tiff_writer.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <QFile>
#include <QTemporaryDir>
#include <exiv2/exiv2.hpp>
#include <vector>

#include "xmp_packet.h"

using namespace reflsample;

namespace {

std::vector<quint16> ramp(int w, int h) {
    std::vector<quint16> px(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (size_t i = 0; i < px.size(); ++i) px[i] = quint16((i * 37u) & 0xffff);
    return px;
}

RawBandFile fileOf(RawLayout layout, int w, int h, const std::vector<quint16>& px) {
    RawBandFile f;
    f.layout = layout;
    f.width = w;
    f.height = h;
    f.pixels = px.data();
    f.darkLevel = 4812;
    XmpContent x;
    x.layout = layout == RawLayout::VOne
                   ? XmpLayout::PerItem
                   : (layout == RawLayout::VTwo ? XmpLayout::Compact : XmpLayout::Keyed);
    x.serial = "CA2104A0173";
    x.relativeAltitude = 61.25;
    f.xmp = buildXmpPacket(x);
    f.exif.make = "Quorvin";
    f.exif.model = "PV760";
    f.exif.latitude = 30.5;
    f.exif.longitude = -114.25;
    f.exif.altitude = 95.5;
    return f;
}

/// Reads the pixels through libtiff and compares them with the source.
void expectLibtiffReads(const QString& path, int w, int h, const std::vector<quint16>& px) {
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    ASSERT_NE(tif, nullptr);
    uint32_t tw = 0, th = 0;
    uint16_t bits = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &th);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    EXPECT_EQ(int(tw), w);
    EXPECT_EQ(int(th), h);
    EXPECT_EQ(bits, 16);
    std::vector<quint16> row(static_cast<size_t>(w));
    bool same = true;
    for (int y = 0; y < h && same; ++y) {
        ASSERT_EQ(TIFFReadScanline(tif, row.data(), uint32_t(y), 0), 1);
        same = std::equal(row.begin(), row.end(), px.begin() + ptrdiff_t(y) * w);
    }
    EXPECT_TRUE(same);
    TIFFClose(tif);
}

}  // namespace

TEST(RawTiff, VTwoPutsMakerAt266XmpAt308AndPixelsAtStripOffsets) {
    const auto px = ramp(1280, 960);
    RawTiffOffsets o;
    const RawBandFile f = fileOf(RawLayout::VTwo, 1280, 960, px);
    const QByteArray b = buildRawBandTiff(f, &o);
    ASSERT_FALSE(b.isEmpty());
    EXPECT_EQ(b.left(4), QByteArray("II*\0", 4));
    EXPECT_EQ(b.mid(266, 7), QByteArray("Quorvin"));
    EXPECT_EQ(o.xmp, 308u);
    EXPECT_EQ(b.mid(308, f.xmp.size()), f.xmp);
    EXPECT_EQ(b[308 + f.xmp.size()], '\0');  // the text readers stop at the first zero byte
    EXPECT_GT(o.strip, 308u + quint32(f.xmp.size()));
    EXPECT_EQ(getU16(b, int(o.strip) + 2 * 1000), px[1000]);
    EXPECT_EQ(quint32(b.size()), o.fileSize);
}

TEST(RawTiff, VOneHasPixelsAt266MakerAfterThemAndXmpAt2458247) {
    const auto px = ramp(1280, 960);
    RawTiffOffsets o;
    const RawBandFile f = fileOf(RawLayout::VOne, 1280, 960, px);
    const QByteArray b = buildRawBandTiff(f, &o);
    ASSERT_FALSE(b.isEmpty());
    EXPECT_EQ(o.strip, 266u);
    EXPECT_EQ(getU16(b, 266), px[0]);
    EXPECT_EQ(getU16(b, 266 + 2457600 - 2), px.back());
    EXPECT_EQ(b.mid(2457866, 7), QByteArray("Quorvin"));
    EXPECT_EQ(b.mid(2458247, f.xmp.size()), f.xmp);
    EXPECT_EQ(o.xmp, 2458247u);
}

TEST(RawTiff, VOneRefusesAnyOtherImageSize) {
    const auto px = ramp(640, 480);
    EXPECT_TRUE(buildRawBandTiff(fileOf(RawLayout::VOne, 640, 480, px)).isEmpty());
}

TEST(RawTiff, XmpWithAZeroByteIsRefused) {
    const auto px = ramp(64, 48);
    RawBandFile f = fileOf(RawLayout::Keyed, 64, 48, px);
    f.xmp.append('\0');
    EXPECT_TRUE(buildRawBandTiff(f).isEmpty());
}

TEST(RawTiff, EveryLayoutOpensInLibtiffAndExiv2WithItsTags) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        RawLayout layout;
        int w, h;
    } cases[] = {{RawLayout::VOne, 1280, 960}, {RawLayout::VTwo, 1280, 960}, {RawLayout::Keyed, 333, 217}};
    for (const Case& c : cases) {
        const auto px = ramp(c.w, c.h);
        const QString path = dir.filePath(layoutName(c.layout) + ".tif");
        ASSERT_TRUE(writeWholeFile(path, buildRawBandTiff(fileOf(c.layout, c.w, c.h, px))));
        expectLibtiffReads(path, c.w, c.h, px);

        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        ASSERT_TRUE(image.get() != nullptr);
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        EXPECT_EQ(exif["Exif.Image.Make"].toString(), "Quorvin");
        EXPECT_EQ(exif["Exif.Image.ImageWidth"].toLong(), c.w);
        EXPECT_EQ(exif["Exif.Image.BlackLevel"].toString(), "4812");
        EXPECT_EQ(exif["Exif.GPSInfo.GPSLongitudeRef"].toString(), "W");
        EXPECT_NEAR(exif["Exif.GPSInfo.GPSAltitude"].toFloat(), 95.5f, 1e-3f);
        EXPECT_EQ(image->xmpData()["Xmp.Camera.Serial"].toString(), "CA2104A0173");
        EXPECT_EQ(image->xmpData()["Xmp.Camera.RelativeAltitude"].toString(), "61.25");
    }
}
