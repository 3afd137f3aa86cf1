// Merged captures: pixels, sample type, tiling, and the tags other programs read back.
#include <gdal.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <vector>

#include "exif_tags.h"
#include "merge_bands.h"
#include "raw_tiff_writer.h"
#include "shared_data.h"
#include "xmp_packet.h"

using namespace refl;

namespace {

// A raw-style band file with EXIF, GPS and XMP, as the converted outputs keep them.
QString writeBand(const QString& path, int w, int h, const std::vector<quint16>& pixels, double lat = 22.5,
                  double lon = 113.75, double alt = 95.25, const QByteArray& xmp = QByteArray()) {
    reflsample::XmpContent x;
    x.serial = "CW2401D0098";
    x.bandName = "660nm";
    x.wavelengthNm = 660;
    x.relativeAltitude = 60.25;
    x.yawRad = 1.5;
    x.pitchRad = 0.125;
    x.rollRad = -0.0625;
    x.focalMm = 5.4;
    reflsample::RawBandFile f;
    f.layout = reflsample::RawLayout::Keyed;
    f.width = w;
    f.height = h;
    f.pixels = pixels.data();
    f.xmp = xmp.isNull() ? reflsample::buildXmpPacket(x) : xmp;
    f.exif.make = "Quorvin";
    f.exif.model = "GL520";
    f.exif.focalMm = 5.4;
    f.exif.latitude = lat;
    f.exif.longitude = lon;
    f.exif.altitude = alt;
    EXPECT_TRUE(reflsample::writeWholeFile(path, reflsample::buildRawBandTiff(f)));
    return path;
}

struct Raster {
    int width = 0, height = 0, bands = 0, blockX = 0, blockY = 0;
    GDALDataType type = GDT_Unknown;
    std::vector<std::vector<double>> data;
};

Raster readRaster(const QString& path) {
    GDALAllRegister();
    Raster r;
    GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
    if (!ds) return r;
    r.width = GDALGetRasterXSize(ds);
    r.height = GDALGetRasterYSize(ds);
    r.bands = GDALGetRasterCount(ds);
    for (int b = 1; b <= r.bands; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds, b);
        r.type = GDALGetRasterDataType(band);
        GDALGetBlockSize(band, &r.blockX, &r.blockY);
        std::vector<double> v(size_t(r.width) * r.height);
        if (GDALRasterIO(band, GF_Read, 0, 0, r.width, r.height, v.data(), r.width, r.height, GDT_Float64, 0, 0) != CE_None)
            v.clear();
        r.data.push_back(std::move(v));
    }
    GDALClose(ds);
    return r;
}

Exiv2::ExifData exifOf(const QString& path) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    return image->exifData();
}

std::string exifText(const Exiv2::ExifData& d, const char* key) {
    auto it = d.findKey(Exiv2::ExifKey(key));
    return it == d.end() ? std::string("<missing>") : it->toString();
}

class MergeTest : public ::testing::Test {
protected:
    void SetUp() override {
        prepareGdalForRegistration();
        for (int b = 0; b < 6; ++b) {
            std::vector<quint16> px(size_t(W) * H);
            for (int i = 0; i < W * H; ++i) px[size_t(i)] = quint16(1000 * (b + 1) + i % 97);
            if (b == 5) px[size_t(20) * W + 10] = 0;  // the 840 nm band has a hole at (10, 20)
            if (b == 0) px[0] = 32768, px[1] = 65535;
            bands << writeBand(dir.filePath(QString("IMG_0001_%1_%2nm_Correct.tif").arg(b + 1).arg(names[b])),
                               W, H, px);
        }
    }
    static constexpr int W = 300, H = 200;
    const int names[6] = {450, 555, 660, 720, 750, 840};
    QTemporaryDir dir;
    QStringList bands;
    QStringList bandNames{"1", "2", "3", "4", "5", "6"};
};

TEST_F(MergeTest, ReflectanceIsFloatInUnitRangeTiledWithCommonMask) {
    const QString out = dir.filePath("IMG_0001_Multi.tif");
    ASSERT_TRUE(mergeBandsToTif(bands, out, "IMG", bandNames, true));
    const Raster r = readRaster(out);
    ASSERT_EQ(r.bands, 6);
    EXPECT_EQ(r.type, GDT_Float32);
    EXPECT_EQ(r.blockX, 128);
    EXPECT_EQ(r.blockY, 128);
    EXPECT_EQ(r.width, W);
    EXPECT_EQ(r.height, H);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(r.data[size_t(b)][size_t(20) * W + 10], 0.0) << b;
    EXPECT_FLOAT_EQ(float(r.data[0][0]), float(32768 / 65535.0));
    EXPECT_EQ(r.data[0][1], 1.0);
    EXPECT_FLOAT_EQ(float(r.data[3][5]), float((4000 + 5) / 65535.0));
}

TEST_F(MergeTest, RadianceKeepsSixteenBitsAndBlanksTheMask) {
    const QString out = dir.filePath("IMG_0001_Multi.tif");
    ASSERT_TRUE(mergeBandsToTif(bands, out, "IMG", bandNames, false));
    const Raster r = readRaster(out);
    EXPECT_EQ(r.type, GDT_UInt16);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(r.data[size_t(b)][size_t(20) * W + 10], 0.0) << b;
    EXPECT_EQ(r.data[2][7], 3000 + 7);
}

TEST_F(MergeTest, BandOfAnotherSizeOrUnreadableIsLeftOut) {
    std::vector<quint16> small(100 * 80, 5);
    small[0] = 0;
    bands[1] = writeBand(dir.filePath("IMG_0001_2_555nm_small.tif"), 100, 80, small);
    bands[4] = dir.filePath("missing.tif");
    const QString out = dir.filePath("m.tif");
    ASSERT_TRUE(mergeBandsToTif(bands, out, "IMG", bandNames, false));
    const Raster r = readRaster(out);
    ASSERT_EQ(r.bands, 6);
    EXPECT_EQ(r.data[1][5], 0.0) << "left-out band stays empty";
    EXPECT_EQ(r.data[4][5], 0.0);
    EXPECT_EQ(r.data[0][2], 1000 + 2) << "the small band's zero does not blank the others";
}

TEST_F(MergeTest, StopRemovesThePartialFileAndEmptyInputFails) {
    std::atomic<int> stop{1};
    const QString out = dir.filePath("m.tif");
    EXPECT_FALSE(mergeBandsToTif(bands, out, "IMG", bandNames, true, &stop));
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_FALSE(mergeBandsToTif({}, out, "IMG", bandNames, true));
    EXPECT_FALSE(mergeBandsToTif({dir.filePath("none.tif")}, out, "IMG", bandNames, true));
    EXPECT_FALSE(QFile::exists(out));
}

TEST_F(MergeTest, TagsAreReadBackByLibtiffAndExiv2) {
    const QString out = dir.filePath("IMG_0001_Multi.tif");
    ASSERT_TRUE(mergeBandsToTif(bands, out, "IMG", bandNames, true));
    ASSERT_TRUE(writeExifTags(out, bands[2], "IMG", bandNames));

    TIFF* tif = TIFFOpen(QFile::encodeName(out).constData(), "r");
    ASSERT_NE(tif, nullptr);
    char* text = nullptr;
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text));
    EXPECT_STREQ(text, "central_wavelength:1,2,3,4,5,6");
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_MODEL, &text));
    EXPECT_STREQ(text, "IMG-MULTI");
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_SOFTWARE, &text));
    EXPECT_STREQ(text, "REF");
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_ARTIST, &text));
    EXPECT_STREQ(text, "IMG");
    uint16_t photometric = 0, extraCount = 0, *extra = nullptr;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra));
    ASSERT_EQ(extraCount, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(extra[i], 0);
    float xres = 0;
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
    EXPECT_NEAR(xres, 10000.0 / 3.75, 0.01) << "copied from the reference";
    uint32_t xmpCount = 0;
    void* xmpData = nullptr;
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_XMLPACKET, &xmpCount, &xmpData));
    const QString packet = QString::fromUtf8(static_cast<const char*>(xmpData), int(xmpCount));
    TIFFClose(tif);
    EXPECT_EQ(xmpElementValue(packet, "DLS:Yaw"), "1.5");
    EXPECT_EQ(xmpElementValue(packet, "DLS:Serial"), "CW2401D0098");
    EXPECT_EQ(xmpElementValue(packet, "drone-dji:RelativeAltitude"), "60.25");
    EXPECT_TRUE(packet.startsWith("<?xpacket begin=\" \" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"));

    // The pixels survive the tag writing.
    const Raster r = readRaster(out);
    EXPECT_EQ(r.bands, 6);
    EXPECT_EQ(r.data[0][1], 1.0);

    // exiv2 follows our EXIF and GPS directories and finds the reference's values.
    const Exiv2::ExifData got = exifOf(out), want = exifOf(bands[2]);
    for (const char* key : {"Exif.Photo.FocalLength", "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLongitude",
                            "Exif.GPSInfo.GPSAltitude", "Exif.GPSInfo.GPSLatitudeRef",
                            "Exif.GPSInfo.GPSLongitudeRef", "Exif.GPSInfo.GPSAltitudeRef"})
        EXPECT_EQ(exifText(got, key), exifText(want, key)) << key;
    EXPECT_EQ(exifText(got, "Exif.Photo.FocalLength"), "5400/1000");
    EXPECT_EQ(exifText(got, "Exif.Photo.ColorSpace"), "1");
}

TEST_F(MergeTest, MissingReferenceGivesDefaults) {
    const QString out = dir.filePath("IMG_0001_Multi.tif");
    ASSERT_TRUE(mergeBandsToTif(bands, out, "IMG", bandNames, false));
    ASSERT_TRUE(writeExifTags(out, dir.filePath("no-such-reference.tif"), "PFX", bandNames));
    const Exiv2::ExifData got = exifOf(out);
    EXPECT_EQ(exifText(got, "Exif.Photo.FocalLength"), "5200/1000");
    EXPECT_EQ(exifText(got, "Exif.GPSInfo.GPSLatitudeRef"), "N");
    EXPECT_EQ(exifText(got, "Exif.GPSInfo.GPSVersionID"), "2 3 0 0");
    TIFF* tif = TIFFOpen(QFile::encodeName(out).constData(), "r");
    ASSERT_NE(tif, nullptr);
    float xres = 0;
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
    EXPECT_NEAR(xres, 2898.55, 0.01);
    char* artist = nullptr;
    TIFFGetField(tif, TIFFTAG_ARTIST, &artist);
    EXPECT_STREQ(artist, "PFX");
    uint32_t count = 0;
    void* data = nullptr;
    EXPECT_FALSE(TIFFGetField(tif, TIFFTAG_XMLPACKET, &count, &data))
        << "no packet without a reference packet";
    TIFFClose(tif);
    EXPECT_FALSE(writeExifTags(dir.filePath("absent_Multi.tif"), bands[2], "IMG", bandNames));
}

// The real five-band capture of another maker: its own GPS directory and DLS packet survive.
TEST(RealCapture, MergedFileKeepsTheGpsAndAttitudeOfTheReferenceBand) {
    const QString dataDir = sharedDataPath("data/real");
    SKIP_WITHOUT_SHARED_DATA(dataDir + "/IMG_0075_3.tif");
    QTemporaryDir dir;
    QStringList bands, names;
    for (int b = 1; b <= 5; ++b) {
        bands << QString("%1/IMG_0075_%2.tif").arg(dataDir).arg(b);
        names << QString::number(b);
    }
    prepareGdalForRegistration();
    const QString out = dir.filePath("IMG_0075_Multi.tif");
    ASSERT_TRUE(mergeBandsToTif(bands, out, "IMG", names, false));
    ASSERT_TRUE(writeExifTags(out, bands[2], "IMG", names));
    const Exiv2::ExifData got = exifOf(out), want = exifOf(bands[2]);
    for (const char* key :
         {"Exif.Photo.FocalLength", "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLongitude",
          "Exif.GPSInfo.GPSAltitude", "Exif.GPSInfo.GPSLatitudeRef", "Exif.GPSInfo.GPSLongitudeRef"}) {
        EXPECT_EQ(exifText(got, key), exifText(want, key)) << key;
        EXPECT_NE(exifText(got, key), "<missing>") << key;
    }
    EXPECT_EQ(exifText(got, "Exif.GPSInfo.GPSLongitudeRef"), "W");
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(out).toStdString());
    image->readMetadata();
    const Exiv2::XmpData& xmp = image->xmpData();
    auto value = [&](const char* key) {
        for (auto it = xmp.begin(); it != xmp.end(); ++it)
            if (it->key() == key) return it->toString();
        return std::string("<missing>");
    };
    EXPECT_EQ(value("Xmp.DLS.Yaw"), "-0.65250068571465258");
    EXPECT_EQ(value("Xmp.DLS.Pitch"), "0.0014932299003890071");
    EXPECT_EQ(value("Xmp.DLS.Roll"), "-0.029833249889601184");
}

TEST(ExifGpsAppend, SkippedOnABigEndianFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("IMG_0001_Multi.tif");
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "wb");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 4);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 4);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 4);
    for (uint32_t y = 0; y < 4; ++y) {
        uint16_t row[4] = {1, 2, 3, 4};  // libtiff swaps the bytes of the buffer it is given
        TIFFWriteScanline(tif, row, y, 0);
    }
    TIFFClose(tif);
    ASSERT_TRUE(writeExifTags(path, dir.filePath("none.tif"), "IMG", {"1"}));
    tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    ASSERT_NE(tif, nullptr);
    uint64_t offset = 0;
    EXPECT_FALSE(TIFFGetField(tif, TIFFTAG_EXIFIFD, &offset)) << "no directory appended in another byte order";
    char* model = nullptr;
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_MODEL, &model));
    EXPECT_STREQ(model, "IMG-MULTI");
    uint16_t back[4] = {};
    ASSERT_EQ(TIFFReadScanline(tif, back, 3, 0), 1);
    EXPECT_EQ(back[3], 4);
    TIFFClose(tif);
}

TEST(XmpLookup, ElementAttributeAndMissingForms) {
    EXPECT_EQ(xmpElementValue("<a><DLS:Pitch>1.5</DLS:Pitch>", "DLS:Pitch"), "1.5");
    EXPECT_EQ(xmpElementValue("<DLS:Pitch rdf:parseType=\"x\">2.5</DLS:Pitch>", "DLS:Pitch"), "2.5");
    EXPECT_EQ(xmpElementValue("<rdf:Description DLS:Pitch=\"1.5\" DLS:Roll='0.5'/>", "DLS:Pitch"), "1.5");
    EXPECT_EQ(xmpElementValue("<rdf:Description DLS:Pitch=\"1.5\" DLS:Roll='0.5'/>", "DLS:Roll"), "0.5");
    EXPECT_EQ(xmpElementValue("<rdf:Description DLS:Pitch=\"\"/>", "DLS:Pitch"), "");
    EXPECT_EQ(xmpElementValue("<dls:pitch>1</dls:pitch>", "DLS:Pitch"), "") << "case sensitive";
    EXPECT_EQ(xmpElementValue("<DLS:Pitch>1.5", "DLS:Pitch"), "") << "no closing tag";
}

TEST(XmpPacket, OnlySerialStillGivesTheWholePacket) {
    const QByteArray p = buildMergedXmpPacket("<Camera:Serial>AB12</Camera:Serial>");
    const QStringList lines = QString::fromUtf8(p).split('\n');
    ASSERT_EQ(lines.size(), 20);  // 19 lines, each ending with a line feed
    EXPECT_EQ(lines[5], "         <DLS:Pitch></DLS:Pitch>");
    EXPECT_EQ(lines[9], "         <DLS:Serial>AB12</DLS:Serial>");
    EXPECT_EQ(lines[3], "      <rdf:Description rdf:about=\"Pix4D Camera Information\"");
    EXPECT_EQ(lines[18], "<?xpacket end=\"w\"?>");
    EXPECT_TRUE(buildMergedXmpPacket("<x>nothing</x>").isEmpty());
    EXPECT_TRUE(QString::fromUtf8(buildMergedXmpPacket("<Camera:Std>3</Camera:Std>"))
                    .contains("<DLS:STD>3</DLS:STD>"));
}

QStringList& loggedLines() {
    static QStringList lines;
    return lines;
}
void keepLogLine(QtMsgType, const QMessageLogContext&, const QString& line) { loggedLines() << line; }

bool wellFormedXml(const QByteArray& text) {
    QXmlStreamReader reader(text);
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd()) reader.readNext();
    return !reader.hasError();
}

// Found by fuzz_exif_tags_xmp: an opening Camera:Serial tag early in the packet whose closing tag
// comes only after the other elements made the serial "value" span half the packet, and the
// merged file got a broken XMP packet.
TEST(XmpPacket, ValuesThatWouldBreakThePacketAreLeftEmpty) {
    QFile input(QStringLiteral(REFL_REGISTRATION_TESTDATA "/fuzz_exif_tags_spanning_value.xmp"));
    ASSERT_TRUE(input.open(QIODevice::ReadOnly));
    const QString reference = QString::fromUtf8(input.readAll());
    ASSERT_TRUE(xmpElementValue(reference, "Camera:Serial").contains("<DLS:Pitch>"));
    loggedLines().clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepLogLine);
    const QByteArray packet = buildMergedXmpPacket(reference);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(wellFormedXml(packet)) << packet.toStdString();
    const QString log = loggedLines().join('\n');
    EXPECT_TRUE(log.contains("buildMergedXmpPacket: value of \"Camera:Serial\" is not well-formed XML"))
        << log.toStdString();
    const QString text = QString::fromUtf8(packet);
    EXPECT_TRUE(text.contains("<DLS:Serial></DLS:Serial>"));
    EXPECT_TRUE(text.contains("<DLS:Pitch>-1.25</DLS:Pitch>"));
    EXPECT_TRUE(text.contains("<DLS:Yaw>178.0</DLS:Yaw>"));

    // Balanced markup and escaped text stay as they were; a stray "<" or "&" does not.
    EXPECT_TRUE(QString::fromUtf8(buildMergedXmpPacket("<Camera:STD><rdf:Seq><rdf:li>1</rdf:li></rdf:Seq></Camera:STD>"))
                    .contains("<DLS:STD><rdf:Seq><rdf:li>1</rdf:li></rdf:Seq></DLS:STD>"));
    EXPECT_TRUE(QString::fromUtf8(buildMergedXmpPacket("<Camera:Serial>A&amp;B</Camera:Serial>"))
                    .contains("<DLS:Serial>A&amp;B</DLS:Serial>"));
    EXPECT_TRUE(buildMergedXmpPacket("<rdf:Description Camera:Serial=\"A<B\" DLS:Yaw='1 & 2'/>").isEmpty());
}

TEST(ExifGpsBlock, LayoutOfTheAppendedDirectories) {
    ReferenceTags t;
    t.latitude = {{22, 1, 30, 1, 1234, 100}};
    const QByteArray b = buildExifAndGpsDirectories(t, 1000);
    ASSERT_EQ(b.size(), 220);
    auto u16 = [&](int at) { return int(uchar(b[at])) | int(uchar(b[at + 1])) << 8; };
    auto u32 = [&](int at) { return quint32(u16(at)) | quint32(u16(at + 2)) << 16; };
    EXPECT_EQ(u16(0), 5);
    EXPECT_EQ(u16(26), 37386);
    EXPECT_EQ(u32(34), 1066u);
    EXPECT_EQ(u32(66), 5200u);
    EXPECT_EQ(u16(74), 7);
    EXPECT_EQ(u32(74 + 34), 1074u + 90);
    EXPECT_EQ(b[74 + 22], 'N');
    EXPECT_EQ(u32(74 + 90 + 16), 1234u);
    EXPECT_EQ(u32(74 + 142), 1u);
}

}  // namespace
