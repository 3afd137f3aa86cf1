#include "handle_jpg_operation.h"

#include <gdal.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <atomic>
#include <cmath>
#include <opencv2/core.hpp>

#include "exif_xmp.h"
#include "jpg_writer.h"
#include "raw_tiff_writer.h"
#include "tiff_bytes.h"
#include "xmp_packet.h"

using namespace refl;

namespace {

QStringList g_log;

void captureLog(QtMsgType, const QMessageLogContext&, const QString& message) { g_log << message; }

struct JpgSpec {
    QString description = QStringLiteral("1/2");
    bool withXmp = true;
    quint16 orientation = 1;
};

// 64 x 32: left half DN 0, right half DN 255, one 8 x 8 block of DN 201. Flat blocks on the 8-pixel
// grid come back from the JPEG decoder unchanged.
cv::Mat testImage() {
    cv::Mat grey(32, 64, CV_8U, cv::Scalar(0));
    grey.colRange(32, 64).setTo(255);
    grey(cv::Rect(8, 8, 8, 8)).setTo(201);
    return grey;
}

bool writeJpg(const QString& path, const JpgSpec& jpg, const cv::Mat& grey = testImage()) {
    reflsample::ExifInfo exif;
    exif.make = QStringLiteral("Quorvin");
    exif.model = QStringLiteral("PV760");
    exif.imageDescription = jpg.description;
    exif.orientation = jpg.orientation;
    exif.latitude = 30.5;
    exif.longitude = 114.25;
    exif.altitude = 120;
    QByteArray xmp;
    if (jpg.withXmp) {
        reflsample::XmpContent x;
        x.calibration = false;
        x.serial = QStringLiteral("CW0001");
        x.bandName = QStringLiteral("NIR");
        xmp = reflsample::buildXmpPacket(x);
    }
    const QByteArray bytes = reflsample::buildJpgWithMetadata(grey, exif, xmp);
    return !bytes.isEmpty() && reflsample::writeWholeFile(path, bytes);
}

struct Raster {
    int bands = 0;
    GDALDataType type = GDT_Unknown;
    cv::Mat pixels;  // band 1 as read, CV_16U or CV_8U
};

Raster readRaster(const QString& path) {
    Raster r;
    GDALAllRegister();
    GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
    if (!ds) return r;
    r.bands = GDALGetRasterCount(ds);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    r.type = GDALGetRasterDataType(band);
    const int w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds);
    const bool wide = r.type == GDT_UInt16;
    r.pixels.create(h, w, wide ? CV_16U : CV_8U);
    if (GDALRasterIO(band, GF_Read, 0, 0, w, h, r.pixels.data, w, h, wide ? GDT_UInt16 : GDT_Byte, 0, 0) !=
        CE_None)
        r.pixels.release();
    GDALClose(ds);
    return r;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class JpgTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkpath("in") && QDir(dir.path()).mkpath("out"));
        inDir = dir.filePath("in");
        outDir = dir.filePath("out");
        g_log.clear();
        previous = qInstallMessageHandler(captureLog);
    }
    void TearDown() override { qInstallMessageHandler(previous); }

    // Runs one task on the calling thread; returns how often it signalled.
    int runTask(const QString& input, const QString& output) {
        CHandleJpgDataOperation task;
        task.inputPath = input;
        task.outputDir = output;
        int emitted = 0;
        QObject::connect(&task, &CHandleJpgDataOperation::getCommonJpgCacheAreaData, [&] { ++emitted; });
        task.run();
        return emitted;
    }

    bool logHas(const QString& text) const {
        for (const QString& line : g_log)
            if (line.contains(text)) return true;
        return false;
    }

    // Every entry of the output folder, hidden ones included.
    QStringList outEntries() const {
        return QDir(outDir).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir;
    QString inDir, outDir;
    QtMessageHandler previous = nullptr;
};

TEST(JpgScaleFactor, ReadsFractionsOnly) {
    double f = -1;
    EXPECT_TRUE(jpgScaleFactor("1/2", &f));
    EXPECT_EQ(f, 0.5);
    EXPECT_TRUE(jpgScaleFactor(" 94 / 100 ", &f));
    EXPECT_EQ(f, double(94.0f / 100.0f));  // single precision, as written by the cameras
    EXPECT_TRUE(jpgScaleFactor("3/1", &f));
    EXPECT_EQ(f, 3.0);
    for (const char* bad : {"", "Unknow", "0.5", "abc/2", "1/", "/2", "1/0", "0/0", "1/2/3", "inf/1"})
        EXPECT_FALSE(jpgScaleFactor(QString::fromLatin1(bad), &f)) << bad;
}

TEST(JpgOutputFileName, ReplacesEveryLowerCaseJpg) {
    EXPECT_EQ(jpgOutputFileName("/a/jpg.d/IMG_0001_1_450nm.jpg"), "IMG_0001_1_450nm.tif");
    EXPECT_EQ(jpgOutputFileName("/data/jpg_IMG_jpg.jpg"), "tif_IMG_tif.tif");
    EXPECT_EQ(jpgOutputFileName("IMG_0002.JPG"), "IMG_0002.JPG");
    EXPECT_EQ(jpgOutputFileName("d/x.Jpg.jpg"), "x.Jpg.tif");
}

TEST(ScaleJpgPixels, HandValuesAndClamp) {
    const unsigned char in[] = {0, 1, 101, 201, 255};
    quint16 out[5];
    scaleJpgPixels(in, out, 5, 0.5);  // DN x 128.5
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 128);
    EXPECT_EQ(out[2], 12978);
    EXPECT_EQ(out[3], 25828);
    EXPECT_EQ(out[4], 32767);
    scaleJpgPixels(in, out, 5, 1.0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[4], 65535);
    scaleJpgPixels(in, out, 5, 3.0);  // DN 101 x 771 = 77871 > 65535
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 771);
    EXPECT_EQ(out[2], 65535);
    EXPECT_EQ(out[4], 65535);
    scaleJpgPixels(in, out, 5, -1.0);  // a negative fraction never wraps around
    EXPECT_EQ(out[4], 0);
}

// "II*\0", the directory at 8, then `tail` bytes of padding after it.
QByteArray smallTiff(bool withSubfileType, int tail) {
    reflsample::IfdBuilder ifd;
    if (withSubfileType) ifd.addLong(254, 0);
    ifd.addShort(256, 4);
    ifd.addShort(257, 2);
    ifd.addAscii(270, "a description longer than four bytes");
    QByteArray bytes("II*\0", 4);
    reflsample::appendU32(bytes, 8);
    bytes += ifd.serialise(8, 0x1234);
    return bytes + QByteArray(tail, 'x');
}

TEST(SetTiffNewSubfileType, AddsTheTagInAscendingOrder) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.tif");
    const QByteArray before = smallTiff(false, 3);  // odd length: the new directory needs a pad byte
    ASSERT_TRUE(reflsample::writeWholeFile(path, before));
    ASSERT_TRUE(setTiffNewSubfileType(path, 1));
    const QByteArray after = fileBytes(path);
    ASSERT_EQ(after.left(before.size()).mid(8), before.mid(8));  // everything else left in place
    const quint32 ifd = reflsample::getU32(after, 4);
    EXPECT_EQ(ifd, quint32(before.size() + 1));
    ASSERT_EQ(reflsample::getU16(after, int(ifd)), 4);
    const int e = int(ifd) + 2;
    EXPECT_EQ(reflsample::getU16(after, e), 254);
    EXPECT_EQ(reflsample::getU16(after, e + 2), 4);
    EXPECT_EQ(reflsample::getU32(after, e + 4), 1u);
    EXPECT_EQ(reflsample::getU32(after, e + 8), 1u);
    // The old entries follow unchanged, and so does the link to the next directory.
    EXPECT_EQ(after.mid(e + 12, 36), before.mid(10, 36));
    EXPECT_EQ(reflsample::getU32(after, e + 48), 0x1234u);
    EXPECT_EQ(after.size(), int(ifd) + 2 + 4 * 12 + 4);
}

TEST(SetTiffNewSubfileType, RewritesAnExistingEntryInPlace) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.tif");
    const QByteArray before = smallTiff(true, 0);
    ASSERT_TRUE(reflsample::writeWholeFile(path, before));
    ASSERT_TRUE(setTiffNewSubfileType(path, 1));
    QByteArray expected = before;
    reflsample::putU32(expected, 8 + 2 + 8, 1);
    EXPECT_EQ(fileBytes(path), expected);
}

TEST(SetTiffNewSubfileType, LeavesOtherFilesAlone) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.txt");
    ASSERT_TRUE(reflsample::writeWholeFile(path, "not a TIFF at all"));
    EXPECT_FALSE(setTiffNewSubfileType(path, 1));
    EXPECT_EQ(fileBytes(path), QByteArray("not a TIFF at all"));
    const QByteArray truncated = smallTiff(false, 0).left(30);  // cut inside the directory
    ASSERT_TRUE(reflsample::writeWholeFile(path, truncated));
    EXPECT_FALSE(setTiffNewSubfileType(path, 1));
    EXPECT_EQ(fileBytes(path), truncated);
    EXPECT_FALSE(setTiffNewSubfileType(dir.filePath("missing.tif"), 1));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("missing.tif")));
}

TEST_F(JpgTaskTest, HalfScaleGivesOneUInt16BandAndKeepsTheInput) {
    const QString input = inDir + "/IMG_0001_1_450nm.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{}));
    const QByteArray before = fileBytes(input);
    const Raster source = readRaster(input);
    ASSERT_EQ(source.type, GDT_Byte);
    ASSERT_EQ(source.pixels.at<uchar>(0, 63), 255);
    ASSERT_EQ(source.pixels.at<uchar>(10, 10), 201);

    EXPECT_EQ(runTask(input, outDir), 1);
    EXPECT_EQ(outEntries(), QStringList{"IMG_0001_1_450nm.tif"});
    const Raster out = readRaster(outDir + "/IMG_0001_1_450nm.tif");
    EXPECT_EQ(out.bands, 1);
    EXPECT_EQ(out.type, GDT_UInt16);
    ASSERT_EQ(out.pixels.cols, 64);
    ASSERT_EQ(out.pixels.rows, 32);
    EXPECT_EQ(out.pixels.at<quint16>(31, 63), 32767);
    EXPECT_EQ(out.pixels.at<quint16>(0, 0), 0);
    EXPECT_EQ(out.pixels.at<quint16>(10, 10), 25828);
    // Every pixel (the JPEG's ringing included) follows the DN it was read from.
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(out.pixels.at<quint16>(y, x), quint16(source.pixels.at<uchar>(y, x) * 257 / 2))
                << x << "," << y;
    EXPECT_EQ(fileBytes(input), before);
    EXPECT_EQ(QDir(inDir).entryList(QDir::Files | QDir::Hidden), QStringList{"IMG_0001_1_450nm.jpg"});
}

TEST_F(JpgTaskTest, UnitScaleMapsFullRange) {
    const QString input = inDir + "/a.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{"1/1"}));
    EXPECT_EQ(runTask(input, outDir), 1);
    const Raster out = readRaster(outDir + "/a.tif");
    ASSERT_FALSE(out.pixels.empty());
    EXPECT_EQ(out.pixels.at<quint16>(0, 63), 65535);
    EXPECT_EQ(out.pixels.at<quint16>(31, 0), 0);
}

TEST_F(JpgTaskTest, FactorAboveOneIsClamped) {
    const QString input = inDir + "/b.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{"3/1"}));
    EXPECT_EQ(runTask(input, outDir), 1);
    const Raster out = readRaster(outDir + "/b.tif");
    ASSERT_FALSE(out.pixels.empty());
    EXPECT_EQ(out.pixels.at<quint16>(0, 63), 65535);   // 196605 without the clamp
    EXPECT_EQ(out.pixels.at<quint16>(10, 10), 65535);  // DN 201
    EXPECT_EQ(out.pixels.at<quint16>(31, 0), 0);
}

TEST_F(JpgTaskTest, JpgTwiceInTheNameAndUpperCaseKept) {
    const QString input = inDir + "/jpg_IMG_0003_jpg.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{}));
    EXPECT_EQ(runTask(input, outDir), 1);
    EXPECT_TRUE(QFileInfo::exists(outDir + "/tif_IMG_0003_tif.tif"));
    const QString upper = inDir + "/IMG_0004.JPG";
    ASSERT_TRUE(writeJpg(upper, JpgSpec{}));
    EXPECT_EQ(runTask(upper, outDir), 1);
    EXPECT_EQ(readRaster(outDir + "/IMG_0004.JPG").type, GDT_UInt16);
}

TEST_F(JpgTaskTest, NonAsciiPathsReachExiv2AndGdalAlike) {
    const QString folder = inDir + QString::fromUtf8("/\u98de\u884c");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString input = folder + QString::fromUtf8("/\u56fe\u50cf_jpg.jpg");
    ASSERT_TRUE(writeJpg(input, JpgSpec{}));
    EXPECT_EQ(runTask(input, outDir), 1);
    const QString output = outDir + QString::fromUtf8("/\u56fe\u50cf_tif.tif");
    EXPECT_EQ(readRaster(output).pixels.at<quint16>(0, 63), 32767);
    EXPECT_EQ(readExifValue(readImageMetadata(output).exif, "Exif.Image.Orientation"), "1");
}

TEST_F(JpgTaskTest, MetadataCarriedOverWithNormalisedTags) {
    const QString input = inDir + "/c.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{"1/2", true, 6}));
    const ImageMetadata in = readImageMetadata(input);
    ASSERT_TRUE(in.opened);
    ASSERT_EQ(readExifValue(in.exif, "Exif.Image.Orientation"), "6");
    EXPECT_EQ(runTask(input, outDir), 1);

    const ImageMetadata out = readImageMetadata(outDir + "/c.tif");
    ASSERT_TRUE(out.opened);
    EXPECT_EQ(readExifValue(out.exif, "Exif.Image.Orientation"), "1");
    EXPECT_EQ(readExifValue(out.exif, "Exif.Image.NewSubfileType"), "1");
    for (const char* key :
         {"Exif.Image.Make", "Exif.Image.Model", "Exif.Image.ImageDescription", "Exif.Photo.ExposureTime",
          "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSAltitude"}) {
        EXPECT_NE(readExifValue(out.exif, key), kUnknow) << key;
        EXPECT_EQ(readExifValue(out.exif, key), readExifValue(in.exif, key)) << key;
    }
    // The TIFF structure is the new file's own, not the JPG's.
    EXPECT_EQ(readExifValue(out.exif, "Exif.Image.BitsPerSample"), "16");
    EXPECT_EQ(readExifValue(out.exif, "Exif.Image.ImageWidth"), "64");
    EXPECT_EQ(out.xmp.count(), in.xmp.count());
    EXPECT_EQ(readXmpValue(out.xmp, "Xmp.Camera.Serial"), "CW0001");
    EXPECT_EQ(readXmpValue(out.xmp, "Xmp.Camera.BandName"), "NIR");
}

TEST_F(JpgTaskTest, JpgWithoutXmpIsConverted) {
    const QString input = inDir + "/d.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{"1/2", false}));
    EXPECT_EQ(runTask(input, outDir), 1);
    EXPECT_TRUE(logHas("Not Find XmpInfo"));
    const ImageMetadata out = readImageMetadata(outDir + "/d.tif");
    ASSERT_TRUE(out.opened);
    EXPECT_TRUE(out.xmp.empty());
    EXPECT_EQ(readExifValue(out.exif, "Exif.Image.NewSubfileType"), "1");
    EXPECT_EQ(readRaster(outDir + "/d.tif").pixels.at<quint16>(0, 63), 32767);
}

TEST_F(JpgTaskTest, DescriptionThatIsNotAFractionLeavesNoFile) {
    for (const char* description : {"0.94", "scale", "1/0", ""}) {
        const QString input = inDir + "/e.jpg";
        ASSERT_TRUE(writeJpg(input, JpgSpec{description}));
        g_log.clear();
        EXPECT_EQ(runTask(input, outDir), 1) << description;
        EXPECT_TRUE(outEntries().isEmpty()) << description;
        EXPECT_TRUE(logHas("not a scale fraction")) << description;
    }
}

TEST_F(JpgTaskTest, FailedConversionKeepsAnOlderOutput) {
    const QString input = inDir + "/f.jpg";
    const QString output = outDir + "/f.tif";
    ASSERT_TRUE(reflsample::writeWholeFile(output, "older result"));
    ASSERT_TRUE(writeJpg(input, JpgSpec{"bad"}));
    EXPECT_EQ(runTask(input, outDir), 1);
    EXPECT_EQ(fileBytes(output), QByteArray("older result"));
    ASSERT_TRUE(writeJpg(input, JpgSpec{"1/1"}));
    EXPECT_EQ(runTask(input, outDir), 1);
    EXPECT_EQ(readRaster(output).pixels.at<quint16>(0, 63), 65535);
    EXPECT_EQ(outEntries(), QStringList{"f.tif"});
}

TEST_F(JpgTaskTest, SignalOncePerRunNoneForEmptyPath) {
    EXPECT_EQ(runTask(QString(), outDir), 0);
    EXPECT_EQ(runTask(inDir + "/missing.jpg", outDir), 1);
    EXPECT_TRUE(logHas("Read Exif Error."));
    const QString input = inDir + "/g.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{}));
    EXPECT_EQ(runTask(input, outDir), 1);
}

TEST_F(JpgTaskTest, PoolRunsTasksAndCountsEachFileOnce) {
    QStringList inputs;
    for (int i = 0; i < 4; ++i) {
        inputs << inDir + QString("/IMG_%1.jpg").arg(i);
        ASSERT_TRUE(writeJpg(inputs.last(), JpgSpec{}));
    }
    inputs << QString() << inDir + "/missing.jpg";
    std::atomic<int> count{0};
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    for (const QString& input : inputs) {
        auto* task = new CHandleJpgDataOperation;  // owned and deleted by the pool
        task->inputPath = input;
        task->outputDir = outDir;
        QObject::connect(
            task, &CHandleJpgDataOperation::getCommonJpgCacheAreaData, task, [&] { ++count; },
            Qt::DirectConnection);
        pool.start(task);
    }
    pool.waitForDone();
    EXPECT_EQ(count.load(), 5);
    EXPECT_EQ(outEntries().size(), 4);
}

TEST_F(JpgTaskTest, UnwritableOutputFolderLogsAndWritesNothing) {
    const QString input = inDir + "/h.jpg";
    ASSERT_TRUE(writeJpg(input, JpgSpec{}));
    // A plain file where the folder should be: no one, not even root, can create files below it.
    const QString notADir = outDir + "/plain";
    ASSERT_TRUE(reflsample::writeWholeFile(notADir, "x"));
    EXPECT_EQ(runTask(input, notADir), 1);
    EXPECT_TRUE(logHas("cannot create"));
    EXPECT_EQ(outEntries(), QStringList{"plain"});
    EXPECT_EQ(runTask(input, dir.filePath("no/such/folder")), 1);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("no")));
}

TEST_F(JpgTaskTest, OutputOverTheInputIsRefused) {
    const QString input = inDir + "/IMG_0005.JPG";  // no lower-case "jpg": the name stays the same
    ASSERT_TRUE(writeJpg(input, JpgSpec{}));
    const QByteArray before = fileBytes(input);
    EXPECT_EQ(runTask(input, inDir), 1);
    EXPECT_TRUE(logHas("refused"));
    EXPECT_EQ(fileBytes(input), before);
    EXPECT_EQ(QDir(inDir).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

}  // namespace
