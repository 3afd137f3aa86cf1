#include "raw_tiff.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <random>

#include "radiometric_calibration.h"
#include "shared_data.h"
#include "testing/log_capture.h"
#include "testing/tiff_builder.h"
#include "testing/xmp_texts.h"

using namespace refl;

namespace {

const QByteArray kMaker("Quorvin");

// Six-band camera, newer layout: maker bytes at 266, XMP at 308, pixels where tag 273 says.
TiffBuilder sixBandNew(uint32_t stripOffset = 5400) {
    TiffBuilder b;
    b.longValue(256, 1280)
        .longValue(257, 960)
        .shortValue(258, 16)
        .longValue(273, stripOffset)
        .shortValue(50714, 4096)
        .bytesAt(700, 1, sixband::kNewXmpOffset, compact())
        .place(sixband::kNewMakerOffset, kMaker)
        .place(stripOffset, TiffBuilder::rampPixels(1280, 960));
    return b;
}

// Six-band camera, older layout: pixels at 266, maker bytes after them, XMP at 2458247.
TiffBuilder sixBandOld() {
    TiffBuilder b;
    b.longValue(256, 1280)
        .longValue(257, 960)
        .longValue(273, sixband::kOldPixelOffset)
        .shortValue(50714, 3000)
        .bytesAt(700, 1, sixband::kOldXmpOffset, perItem())
        .place(sixband::kOldPixelOffset, TiffBuilder::rampPixels(1280, 960, 7))
        .place(sixband::kOldMakerOffset, kMaker);
    return b;
}

// Five-band camera of a free size: pixels at 1000, XMP at 200.
TiffBuilder smallCamera(int width = 64, int height = 48) {
    TiffBuilder b;
    b.longValue(256, width).longValue(257, height).longValue(273, 1000).shortValue(50714, 500)
        .bytesAt(700, 1, 200, QByteArray("<x:xmpmeta>small</x:xmpmeta>"))
        .place(1000, TiffBuilder::rampPixels(width, height));
    return b;
}

class RawTiffTest : public ::testing::Test {
protected:
    QString write(const QByteArray& bytes, const char* name = "band.tif") {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(TiffBuilder::writeBytes(path, bytes));
        return path;
    }
    bool read(RawTiffReader reader, const QString& path, RawTiffCamera camera) {
        return readTIF(reader, path, camera, layout, pixels, xmp, calibration);
    }
    static RawTiffCamera sixBand() { return {0, 1280, 960, "Quorvin"}; }
    static RawTiffCamera small(int type = 4) { return {type, 64, 48, "Quorvin"}; }

    QTemporaryDir m_dir;
    RawTiffLayout layout;
    std::vector<uint16_t> pixels;
    QByteArray xmp;
    RadiometricCalibration calibration;
    LogCapture log;
};

TEST_F(RawTiffTest, SixBandNewLayoutReadsPixelsXmpAndDarkLevel) {
    const QString path = write(sixBandNew().build());
    ASSERT_TRUE(read(RawTiffReader::Panel, path, sixBand())) << log.all().toStdString();
    EXPECT_EQ(layout.layoutFlag, 0);
    EXPECT_EQ(layout.stripOffset, 5400u);
    EXPECT_EQ(layout.xmpOffset, 308u);
    EXPECT_EQ(calibration.darkLevel, 4096);
    ASSERT_EQ(pixels.size(), 1280u * 960u);
    EXPECT_EQ(pixels[0], 100);
    EXPECT_EQ(pixels[1281], static_cast<uint16_t>(100 + 1281));
    EXPECT_TRUE(QByteArray(xmp.constData()).startsWith("<?xpacket"));
    EXPECT_TRUE(log.contains("vTwo============================> "));
    EXPECT_TRUE(log.contains("600 xmp==============================>and other V_Two"));

    // The task takes the layout from the panel and finds the same data.
    pixels.clear();
    xmp.clear();
    ASSERT_TRUE(read(RawTiffReader::Task, path, sixBand()));
    EXPECT_EQ(pixels[1281], static_cast<uint16_t>(100 + 1281));
    EXPECT_TRUE(QByteArray(xmp.constData()).contains("QuorVin:RadiometricCalibration"));
    EXPECT_TRUE(log.contains("DN_dark: 4096"));
    EXPECT_TRUE(log.contains("xmp addr: 308"));
}

TEST_F(RawTiffTest, SixBandOldLayoutIsRecognisedByItsXmpOffset) {
    const QString path = write(sixBandOld().build());
    ASSERT_TRUE(read(RawTiffReader::Panel, path, sixBand())) << log.all().toStdString();
    EXPECT_EQ(layout.layoutFlag, 1);
    EXPECT_EQ(pixels[0], 7);
    EXPECT_EQ(pixels[1280 * 960 - 1], static_cast<uint16_t>(7 + 1280 * 960 - 1));
    EXPECT_TRUE(QByteArray(xmp.constData()).contains("<rdf:li>0.8</rdf:li>"));
    EXPECT_TRUE(log.contains("VOne==============================> "));
    EXPECT_TRUE(log.contains("600 xmp==============================>and other V_One"));

    // A later panel read of a newer file clears the flag again.
    ASSERT_TRUE(read(RawTiffReader::Panel, write(sixBandNew().build(), "new.tif"), sixBand()));
    EXPECT_EQ(layout.layoutFlag, 0);
}

TEST_F(RawTiffTest, OtherXmpOffsetOnTheSixBandCameraReadsAsNewLayout) {
    TiffBuilder b = sixBandNew();
    b.bytesAt(700, 1, 3000, compact("1,2,3"));  // the later entry wins
    ASSERT_TRUE(read(RawTiffReader::Panel, write(b.build()), sixBand())) << log.all().toStdString();
    EXPECT_EQ(layout.layoutFlag, 0);
    EXPECT_EQ(layout.xmpOffset, 3000u);
    EXPECT_TRUE(QByteArray(xmp.constData()).contains("1,2,3"));
    EXPECT_TRUE(log.contains("TR310 xmp==============================>and other  3000"));
}

TEST_F(RawTiffTest, PanelReaderRefusesAnotherMakersSixBandFile) {
    TiffBuilder b = sixBandNew();
    b.place(sixband::kNewMakerOffset, QByteArray("Foreign"));
    const QString path = write(b.build());
    EXPECT_FALSE(read(RawTiffReader::Panel, path, sixBand()));
    EXPECT_TRUE(log.contains("not owner factory camera and on to=============================>"));
    // The task does not look at the maker bytes.
    EXPECT_TRUE(read(RawTiffReader::Task, path, sixBand()));
}

TEST_F(RawTiffTest, LaterStripOffsetEntryWins) {
    TiffBuilder b = smallCamera();
    b.longValue(273, 4000).place(4000, TiffBuilder::rampPixels(64, 48, 9));
    ASSERT_TRUE(read(RawTiffReader::Panel, write(b.build()), small()));
    EXPECT_EQ(layout.stripOffset, 4000u);
    EXPECT_EQ(pixels[0], 9);
}

TEST_F(RawTiffTest, FreeSizeCamerasReadXmpAtTheTaggedOffsetOrAtZero) {
    const QString path = write(smallCamera().build());
    for (int type : {3, 4, 6}) {
        ASSERT_TRUE(read(RawTiffReader::Panel, path, small(type))) << type;
        EXPECT_EQ(QByteArray(xmp.constData()), "<x:xmpmeta>small</x:xmpmeta>");
        EXPECT_EQ(pixels.size(), 64u * 48u);
        ASSERT_TRUE(read(RawTiffReader::Task, path, small(type))) << type;
        // The task copy reads its XMP text from the start of the file.
        EXPECT_TRUE(QByteArray(xmp.constData()).startsWith("II*"));
    }
    EXPECT_TRUE(log.contains("iCameraType==three"));
    EXPECT_TRUE(log.contains("ZN4150 xmp==============================>and other"));
    EXPECT_TRUE(log.contains("iCameraType==GL520"));
}

TEST_F(RawTiffTest, BigEndianAndForeignHeadersAreRefused) {
    TiffBuilder b = smallCamera();
    b.byteOrder("MM");
    EXPECT_FALSE(read(RawTiffReader::Panel, write(b.build()), small()));
    EXPECT_TRUE(log.contains("该TIF文件不是IBMPC字节序，读文件失败"));

    QByteArray notTiff = smallCamera().build();
    notTiff[2] = 'X';
    EXPECT_FALSE(read(RawTiffReader::Panel, write(notTiff, "x.tif"), small()));
    EXPECT_TRUE(log.contains("该文件不是TIF格式，读文件失败"));

    EXPECT_FALSE(read(RawTiffReader::Panel, write(QByteArray("\x89PNG\r\n\x1a\n0000", 12), "png.tif"), small()));
    EXPECT_FALSE(read(RawTiffReader::Panel, m_dir.filePath("missing.tif"), small()));
    EXPECT_TRUE(log.contains("open file error"));
}

TEST_F(RawTiffTest, TruncatedFilesAreRefusedAtEveryStage) {
    const QByteArray whole = smallCamera().build();
    struct Cut {
        int length;
        const char* expected;
    } cuts[] = {
        {0, "读TIF文件头失败"},
        {5, "读TIF文件头失败"},
        {9, "无法获得TIF文件目录入口数量"},
        {40, "读图象文件目录失败"},
        {150, "runs past the end"},     // directory complete, data missing
        {1000 + 64 * 48, "pixel block"},  // pixel block one row short
    };
    for (const Cut& cut : cuts) {
        QByteArray bytes = whole.left(cut.length);
        if (cut.length == 1000 + 64 * 48) bytes = whole.left(1000 + 64 * 47 * 2);
        pixels.assign(3, 1);
        EXPECT_FALSE(read(RawTiffReader::Panel, write(bytes, "cut.tif"), small())) << cut.length;
        EXPECT_TRUE(log.contains(cut.expected)) << cut.expected;
        EXPECT_EQ(pixels.size(), 3u) << "pixel buffer touched on failure";
    }
}

TEST_F(RawTiffTest, ShortXmpBlockIsReadToTheEndAndTerminated) {
    // XMP of 40 bytes at the very end of the file: fewer than 5000 bytes remain.
    TiffBuilder b = smallCamera();
    const uint32_t end = 1000 + 64 * 48 * 2;
    b.bytesAt(700, 1, end, QByteArray(40, 'x'));
    ASSERT_TRUE(read(RawTiffReader::Panel, write(b.build()), small()));
    EXPECT_EQ(qstrlen(xmp.constData()), 40u);
}

TEST_F(RawTiffTest, OffsetsAndSizesThatDoNotFitTheFileAreRefused) {
    {
        TiffBuilder b = smallCamera();
        b.longValue(273, 0x7FFFFFF0u);
        EXPECT_FALSE(read(RawTiffReader::Panel, write(b.build()), small()));
        EXPECT_TRUE(log.contains("runs past the end of the file"));
    }
    {
        TiffBuilder b = smallCamera();
        b.raw(700, 1, 100, 0xFFFFFF00u);
        EXPECT_FALSE(read(RawTiffReader::Panel, write(b.build()), small()));
    }
    {
        // A directory entry count that overruns the file.
        TiffBuilder b = smallCamera();
        b.claimedEntryCount(60000);
        EXPECT_FALSE(read(RawTiffReader::Panel, write(b.build()), small()));
        EXPECT_TRUE(log.contains("读图象文件目录失败"));
    }
    {
        // The directory offset points far beyond the end.
        QByteArray bytes = smallCamera().build();
        bytes.replace(4, 4, QByteArray("\xF0\xFF\xFF\xFF", 4));
        EXPECT_FALSE(read(RawTiffReader::Panel, write(bytes), small()));
        EXPECT_TRUE(log.contains("无法获得TIF文件目录入口数量"));
    }
    const QString path = write(smallCamera().build(), "ok.tif");
    // Sizes from EXIF that cannot be right are refused before anything is allocated.
    EXPECT_FALSE(read(RawTiffReader::Panel, path, {4, 0, 48, ""}));
    EXPECT_FALSE(read(RawTiffReader::Panel, path, {4, -64, 48, ""}));
    EXPECT_FALSE(read(RawTiffReader::Panel, path, {4, 20001, 20001, ""}));
    EXPECT_FALSE(read(RawTiffReader::Panel, path, {4, 65536, 65536, ""}));
    // Larger than the file holds.
    EXPECT_FALSE(read(RawTiffReader::Panel, path, {4, 640, 480, ""}));
    // The six-band camera has one sensor size only.
    EXPECT_FALSE(read(RawTiffReader::Panel, write(sixBandNew().build(), "six.tif"), {0, 1280, 720, "Quorvin"}));
    EXPECT_TRUE(log.contains("does not match the 1280 x 960 sensor"));
}

TEST_F(RawTiffTest, MissingStripOffsetIsRefused) {
    TiffBuilder b;
    b.longValue(256, 64).longValue(257, 48).bytesAt(700, 1, 200, QByteArray("<x/>")).place(1000, TiffBuilder::rampPixels(64, 48));
    EXPECT_FALSE(read(RawTiffReader::Panel, write(b.build()), small()));
    EXPECT_TRUE(log.contains("StripOffsets tag missing"));
}

TEST_F(RawTiffTest, ValuesStoredOutsideTheEntryAreFollowed) {
    // Four black levels (8 bytes) and several strip offsets do not fit into the entry.
    QByteArray levels;
    for (uint16_t v : {1234, 1, 2, 3}) levels.append(char(v & 0xFF)).append(char(v >> 8));
    QByteArray strips;
    for (uint32_t v : {1000u, 1000u + 64 * 24 * 2}) for (int b = 0; b < 4; ++b) strips.append(char((v >> (8 * b)) & 0xFF));
    TiffBuilder b = smallCamera();
    b.bytesAt(50714, 3, 600, levels).raw(50714, 3, 4, 600).bytesAt(273, 4, 700, strips).raw(273, 4, 2, 700);
    ASSERT_TRUE(read(RawTiffReader::Task, write(b.build()), small())) << log.all().toStdString();
    EXPECT_EQ(calibration.darkLevel, 1234);
    EXPECT_EQ(layout.stripOffset, 1000u);
    EXPECT_EQ(pixels[0], 100);
}

TEST_F(RawTiffTest, RealBigEndianHeaderIsNamedAsSuch) {
    // "MM" followed by 42 in big-endian order, as every big-endian writer puts it.
    QByteArray bytes = smallCamera().build();
    bytes[0] = 'M', bytes[1] = 'M', bytes[2] = 0, bytes[3] = 42;
    EXPECT_FALSE(read(RawTiffReader::Task, write(bytes), small()));
    EXPECT_TRUE(log.contains("该TIF文件不是IBMPC字节序，读文件失败"));
}

TEST_F(RawTiffTest, ImageSizeOfTheFileMustMatchTheCamera) {
    // The block is large enough for the camera's 64 x 48, but the file says it holds another size.
    EXPECT_FALSE(read(RawTiffReader::Task, write(smallCamera(128, 96).build()), small()));
    EXPECT_TRUE(log.contains("readTIF: the file holds a 128 x 96 image, expected 64 x 48"));
    EXPECT_FALSE(read(RawTiffReader::Panel, write(smallCamera(32, 24).build(), "b.tif"), small()));
    EXPECT_TRUE(log.contains("readTIF: the file holds a 32 x 24 image, expected 64 x 48"));
    // The six-band camera's files are always 1280 x 960.
    TiffBuilder six = sixBandNew();
    six.longValue(256, 640);
    EXPECT_FALSE(read(RawTiffReader::Panel, write(six.build(), "c.tif"), sixBand()));
    // Files without the size tags are read with the camera's size.
    TiffBuilder bare;
    bare.longValue(273, 1000).place(1000, TiffBuilder::rampPixels(64, 48));
    EXPECT_TRUE(read(RawTiffReader::Task, write(bare.build(), "d.tif"), small())) << log.all().toStdString();
}

TEST_F(RawTiffTest, ForeignCameraCaptureIsReadOnlyAsFarAsItsDataGoes) {
    const QString path = sharedDataPath("data/real/IMG_0000_1.tif");
    SKIP_WITHOUT_SHARED_DATA(path);
    // Another maker's 1280 x 960 file: the six-band panel reader refuses it by its maker bytes.
    EXPECT_FALSE(read(RawTiffReader::Panel, path, sixBand()));
    EXPECT_TRUE(log.contains("not owner factory camera"));
    // Read as a free-size camera, its first strip and black level come out right.
    ASSERT_TRUE(read(RawTiffReader::Panel, path, {4, 1280, 960, "x"})) << log.all().toStdString();
    EXPECT_EQ(layout.stripOffset, 8u);
    EXPECT_EQ(calibration.darkLevel, 4800);
}

}  // namespace

namespace {

// Bounded random mutation of valid files: whatever the bytes, the readers answer without crashing
// and never hand out a pixel buffer of the wrong size. (The coverage-guided fuzzer in
// scripts/fuzz-metadata.sh goes much further; this keeps a cheap guard in every test run.)
TEST(RawTiffMutation, MutatedFilesNeverCrashTheReaders) {
    QTemporaryDir dir;
    LogCapture quiet;
    const QString path = dir.filePath("mutant.tif");
    const QByteArray seeds[] = {smallCamera().build(), smallCamera(16, 8).build()};
    std::mt19937 rng(20261207);
    int accepted = 0;
    for (int i = 0; i < 600; ++i) {
        QByteArray bytes = seeds[i % 2];
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            const int at = static_cast<int>(rng() % bytes.size());
            switch (rng() % 4) {
            case 0: bytes[at] = char(rng()); break;
            case 1: bytes.truncate(at); break;
            case 2: bytes.insert(at, QByteArray(static_cast<int>(rng() % 16), char(rng()))); break;
            default: bytes[at] = char(0xFF); break;
            }
            if (bytes.isEmpty()) break;
        }
        ASSERT_TRUE(TiffBuilder::writeBytes(path, bytes));
        const RawTiffCamera camera{static_cast<int>(i % 3 == 0 ? 6 : 4), i % 2 ? 16 : 64, i % 2 ? 8 : 48, ""};
        RawTiffLayout layout;
        std::vector<uint16_t> pixels;
        QByteArray xmp;
        RadiometricCalibration record;
        const bool ok = readTIF(i % 4 ? RawTiffReader::Panel : RawTiffReader::Task, path, camera, layout, pixels, xmp,
                                record);
        if (ok) {
            ++accepted;
            ASSERT_EQ(pixels.size(), static_cast<size_t>(camera.width * camera.height));
            ASSERT_EQ(xmp.size(), kXmpBufferSize + 1);
            readXmpNodeValueVerTwo(CalibrationReader::Task, xmp, record);
        }
    }
    EXPECT_GT(accepted, 0);
}

}  // namespace
