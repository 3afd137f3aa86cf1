// Conversion arithmetic, the conversion task on generated flights and the byte-copy writer.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>

#include "exif_xmp.h"
#include "handle_data_operation.h"
#include "output_file.h"
#include "radiometric_conversion.h"
#include "raw_tiff.h"
#include "sample_flight.h"
#include "testing/log_capture.h"

using namespace refl;

namespace {

RadiometricCalibration unitRecord() {
    RadiometricCalibration c;
    c.a0 = 1;
    c.c1 = 1;
    c.c2 = 0;
    c.exposure = 1;
    c.gain = 1;
    c.darkLevel = 0;
    return c;
}

uint16_t convertOne(uint16_t dn, const RadiometricCalibration& c, double map, ConversionMode mode = {}) {
    uint16_t out = 0;
    convertPixels(&dn, c, &map, 1, mode, &out);
    return out;
}

TEST(RadiometricConversion, HandComputedValues) {
    RadiometricCalibration c = unitRecord();
    c.darkLevel = 100;
    c.exposure = 2;
    c.c1 = 0.5;
    c.gain = 3;
    c.c2 = 1;  // scale 4
    // (1100 - 100) / (4 * 1000) = 0.25 -> 16383.75 -> 16383
    EXPECT_EQ(convertOne(1100, c, 1000.0), 16383);
    EXPECT_DOUBLE_EQ(radianceValue(1100, c, 1000.0), 0.25);
    // Below the dark level: negative, clamped to 0.
    EXPECT_EQ(convertOne(50, c, 1000.0), 0);
    EXPECT_LT(radianceValue(50, c, 1000.0), 0.0);
    // Far above the scale.
    EXPECT_EQ(convertOne(65535, c, 1.0), 65535);
}

TEST(RadiometricConversion, FlatPolynomialWritesDnTimesFullScale) {
    const RadiometricCalibration c = unitRecord();
    EXPECT_EQ(convertOne(0, c, 1.0), 0);
    EXPECT_EQ(convertOne(1, c, 1.0), 65535);
    EXPECT_EQ(convertOne(4000, c, 1.0), 65535);
}

TEST(RadiometricConversion, ReflectanceHalfOfFullScale) {
    RadiometricCalibration c = unitRecord();
    const double map = 10000.0;  // pixel radiance 0.3 for DN 3000
    const ConversionMode mode{true, 0.3, 0.5};
    EXPECT_EQ(convertOne(3000, c, map, mode), 32767);
}

TEST(RadiometricConversion, NonFiniteValuesAreClampedSafely) {
    RadiometricCalibration c = unitRecord();
    c.c1 = 0;  // denominator 0
    EXPECT_EQ(convertOne(10, c, 1.0), 65535);  // +inf
    EXPECT_EQ(convertOne(0, c, 1.0), 0);       // NaN
    EXPECT_EQ(toOutputDn(std::nan("")), 0);
    EXPECT_EQ(toOutputDn(-INFINITY), 0);
    EXPECT_EQ(toOutputDn(0.999999999), 65534);
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray checksum(const QString& path) { return QCryptographicHash::hash(fileBytes(path), QCryptographicHash::Sha256); }

// A generated flight with the panel step done as the run controller will do it.
class GeneratedTask : public ::testing::Test {
protected:
    void generate(int cameraType, reflsample::RawLayout layout, double noise = 1.0) {
        reflsample::SampleOptions opt = reflsample::SampleOptions::small();
        opt.cameraType = cameraType;
        opt.layout = layout;
        opt.captures = 2;
        opt.width = cameraType == 0 ? 0 : 480;  // the six-band camera has one sensor size
        opt.height = cameraType == 0 ? 0 : 360;
        opt.noiseScale = noise;
        opt.writeJpg = false;
        opt.writeOldPanel = false;
        ASSERT_TRUE(reflsample::generateSampleFlight(m_dir.filePath("in"), opt, &m_truth));
        ASSERT_TRUE(QDir().mkpath(outDir()));
        width = m_truth.camera.width;
        height = m_truth.camera.height;
        keyed = layout == reflsample::RawLayout::Keyed;
        layoutFlag = layout == reflsample::RawLayout::VOne ? 1 : 0;
        for (const auto& c : m_truth.captures) {
            if (c.kind != "panel-new") continue;
            for (int b = 0; b < c.files.size(); ++b) {
                RadiometricCalibration r;
                RawTiffLayout l;
                std::vector<uint16_t> px;
                QByteArray xmp;
                const RawTiffCamera cam{cameraType, width, height, ""};
                ASSERT_TRUE(readTIF(RawTiffReader::Panel, input(c.files[b]), cam, l, px, xmp, r));
                if (layoutFlag) {
                    ASSERT_TRUE(readXmpPerItem(CalibrationReader::Panel, xmp, r));
                } else if (keyed) {
                    ASSERT_TRUE(readImageExifPanel(input(c.files[b]), r));
                } else {
                    bool flag = false;
                    ASSERT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Panel, xmp, r, &flag), 0);
                }
                records << r;
            }
        }
        ASSERT_TRUE(buildVignettingMaps(records, width, height, records.size(), keyed, maps));
    }
    QString input(const QString& relative) const { return m_dir.filePath("in/" + relative); }
    QString outDir() const { return m_dir.filePath("out"); }

    // A configured task for band b of a raw file; the caller runs and deletes it.
    CHandleDataOperation* task(const QString& path, int b, bool reflectance) {
        auto* t = new CHandleDataOperation();
        t->setAutoDelete(false);
        RadiometricTaskOptions& o = t->options;
        o.inputPath = path;
        o.outputDir = outDir();
        o.calibration = records[b];
        o.vignettingMap = &maps[b];
        o.layout = layoutFlag ? RadiometricTaskOptions::Layout::OlderSixBand
                              : RadiometricTaskOptions::Layout::Standard;
        o.keyedCalibration = keyed;
        o.output = reflectance ? RadiometricTaskOptions::Output::Reflectance
                               : RadiometricTaskOptions::Output::Radiance;
        o.panelValue = m_truth.newPanel.radiance.value(b);
        o.panelReflectance = m_truth.newPanel.reflectance.value(b);
        o.cameraType = m_truth.camera.cameraType;
        o.width = width;
        o.height = height;
        o.pixelSizeUm = m_truth.camera.xmpPixelSizeUm;
        o.focalMm = m_truth.camera.focalMm;
        QObject::connect(t, &CHandleDataOperation::getCommonCacheAreaData, [this] { ++signals_; });
        return t;
    }
    // Mean output value / 65535 in a window around a raw pixel.
    double meanAround(const std::vector<uint16_t>& px, cv::Point2d at, double radius) const {
        double sum = 0;
        int n = 0;
        const int r = std::max(1, static_cast<int>(radius * 0.6));
        for (int y = int(std::lround(at.y)) - r; y <= int(std::lround(at.y)) + r; ++y)
            for (int x = int(std::lround(at.x)) - r; x <= int(std::lround(at.x)) + r; ++x) {
                sum += px[size_t(y) * width + x];
                ++n;
            }
        return sum / n / 65535.0;
    }
    std::vector<uint16_t> readOutput(const QString& path) {
        RawTiffLayout l;
        l.layoutFlag = layoutFlag;
        std::vector<uint16_t> px;
        QByteArray xmp;
        RadiometricCalibration r;
        EXPECT_TRUE(readTIF(RawTiffReader::Task, path, {m_truth.camera.cameraType, width, height, ""}, l, px, xmp, r));
        return px;
    }

    QTemporaryDir m_dir;
    reflsample::FlightTruth m_truth;
    QVector<RadiometricCalibration> records;
    std::vector<VignettingMap> maps;
    int width = 0, height = 0, layoutFlag = 0;
    bool keyed = false;
    int signals_ = 0;
    LogCapture log;
};

TEST_F(GeneratedTask, RecoversRadianceAndReflectanceAtCheckPoints) {
    generate(6, reflsample::RawLayout::Keyed);
    ASSERT_FALSE(m_truth.checkPoints.isEmpty());
    int checked = 0;
    for (bool reflectance : {false, true}) {
        for (const reflsample::CheckPoint& cp : m_truth.checkPoints) {
            const reflsample::CaptureTruth& capture = m_truth.captures[cp.captureIndex];
            for (int b = 0; b < capture.files.size(); ++b) {
                const QString raw = input(capture.files[b]);
                std::unique_ptr<CHandleDataOperation> t(task(raw, b, reflectance));
                t->options.skipLensCorrection = true;
                t->run();
                const std::vector<uint16_t> out = readOutput(outDir() + "/" + QFileInfo(raw).fileName());
                ASSERT_EQ(out.size(), size_t(width) * height);
                const double got = meanAround(out, cp.pixel[b], cp.radiusPx);
                const double want = reflectance ? cp.reflectance[b] : cp.radiance[b];
                EXPECT_NEAR(got, want, 0.01 + 0.02 * want) << cp.name.toStdString() << " band " << b
                                                             << (reflectance ? " reflectance" : " radiance");
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 4);
}

TEST_F(GeneratedTask, OutputIsTheRawFileWithOnlyItsPixelsReplaced) {
    // The older six-band layout (pixels at 266) and a keyed file (pixels where tag 273 says).
    for (auto layout : {reflsample::RawLayout::Keyed, reflsample::RawLayout::VOne}) {
        records.clear();
        QDir(outDir()).removeRecursively();
        QDir(m_dir.filePath("in")).removeRecursively();
        generate(layout == reflsample::RawLayout::VOne ? 0 : 6, layout, 1.0);
        const QString raw = input(m_truth.captures[0].files[2]);
        const QByteArray before = checksum(raw);
        std::unique_ptr<CHandleDataOperation> t(task(raw, 2, false));
        t->run();
        const QString converted = outDir() + "/" + QFileInfo(raw).fileName();
        const QByteArray a = fileBytes(raw), b = fileBytes(converted);
        ASSERT_EQ(a.size(), b.size());
        const int offset = layout == reflsample::RawLayout::VOne ? 266 : int(t->stripOffset());
        const int bytes = width * height * 2;
        EXPECT_EQ(a.left(offset), b.left(offset));
        EXPECT_EQ(a.mid(offset + bytes), b.mid(offset + bytes));
        EXPECT_NE(a.mid(offset, bytes), b.mid(offset, bytes));
        EXPECT_EQ(checksum(raw), before) << "raw input modified";
        // The older layout gets no lens-corrected twin; the newer one does.
        const bool twin = QFile::exists(outDir() + "/" + QFileInfo(raw).completeBaseName() + "_Correct.tif");
        EXPECT_EQ(twin, layout == reflsample::RawLayout::Keyed) << log.all().toStdString();
        EXPECT_TRUE(log.contains("run,,,,,,over "));
    }
    EXPECT_EQ(signals_, 2);
}

TEST_F(GeneratedTask, CorrectedTwinKeepsTheMetadataAndTheVariantFollowsTheCalibration) {
    generate(4, reflsample::RawLayout::Keyed, 0.0);
    const QString raw = input(m_truth.captures[0].files[1]);
    const QString band = QFileInfo(raw).fileName().section('_', 2, 2).section('.', 0, 0).toLower();
    std::unique_ptr<CHandleDataOperation> t(task(raw, 1, false));
    t->run();
    EXPECT_TRUE(log.contains("distortionCorrectionEx: using XMP fallback params for band"));
    const QString twin = outDir() + "/" + QFileInfo(raw).completeBaseName() + "_Correct.tif";
    ASSERT_TRUE(QFile::exists(twin)) << log.all().toStdString();
    const ImageMetadata rawMeta = readImageMetadata(raw);
    const ImageMetadata twinMeta = readImageMetadata(twin);
    ASSERT_TRUE(twinMeta.opened);
    EXPECT_EQ(twinMeta.xmp.count(), rawMeta.xmp.count());
    EXPECT_EQ(readXmpValue(twinMeta.xmp, "Xmp.Camera.PerspectiveDistortion"),
              readXmpValue(rawMeta.xmp, "Xmp.Camera.PerspectiveDistortion"));
    EXPECT_EQ(readExifValue(twinMeta.exif, "Exif.Image.Make"), readExifValue(rawMeta.exif, "Exif.Image.Make"));
    EXPECT_EQ(readExifValue(twinMeta.exif, "Exif.Photo.ExposureTime"),
              readExifValue(rawMeta.exif, "Exif.Photo.ExposureTime"));
    // No temporary file is left behind.
    EXPECT_EQ(QDir(outDir()).entryList(QStringList() << ".partial*", QDir::Files | QDir::Hidden).size(), 0);

    CameraCalibParams sfm;
    sfm.fx = sfm.fy = m_truth.bands[1].K(0, 0);
    sfm.cx = m_truth.bands[1].K(0, 2);
    sfm.cy = m_truth.bands[1].K(1, 2);
    sfm.k1 = m_truth.bands[1].D[0];
    sfm.accepted = true;
    std::unique_ptr<CHandleDataOperation> second(task(raw, 1, false));
    second->setSfMCalibResults({{band, sfm}});
    second->run();
    EXPECT_TRUE(log.contains("distortionCorrectionEx: using SfM calibrated params for band"));
    EXPECT_TRUE(log.contains("distortionCorrectionEx(SfM): Success"));
    EXPECT_EQ(signals_, 2);
}

TEST_F(GeneratedTask, RefusedInputsWriteNothingButAreStillCounted) {
    generate(6, reflsample::RawLayout::Keyed, 0.0);
    const QString raw = input(m_truth.captures[0].files[0]);
    const QByteArray before = checksum(raw);

    // Output folder = the raw folder: the raw file must never be overwritten.
    std::unique_ptr<CHandleDataOperation> same(task(raw, 0, false));
    same->options.outputDir = QFileInfo(raw).absolutePath();
    same->options.skipLensCorrection = true;
    same->run();
    EXPECT_TRUE(log.contains("output would overwrite the raw image"));
    EXPECT_EQ(checksum(raw), before);

    // A truncated raw file: no output, one count.
    const QString cut = m_dir.filePath("IMG_0099_1_cut.tif");
    {
        QFile f(cut);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(fileBytes(raw).left(5000));
    }
    std::unique_ptr<CHandleDataOperation> truncated(task(cut, 0, false));
    truncated->run();
    EXPECT_FALSE(QFile::exists(outDir() + "/IMG_0099_1_cut.tif"));
    EXPECT_TRUE(log.contains("raw image could not be read, nothing written"));

    // No vignetting map for the band.
    std::unique_ptr<CHandleDataOperation> noMap(task(raw, 0, false));
    noMap->options.vignettingMap = nullptr;
    noMap->run();
    EXPECT_FALSE(QFile::exists(outDir() + "/" + QFileInfo(raw).fileName()));

    // An empty input path does nothing and is not counted.
    std::unique_ptr<CHandleDataOperation> empty(task(QString(), 0, false));
    empty->run();
    EXPECT_EQ(signals_, 3);

    // Unwritable output folder (a file stands where the folder should be).
    const QString blocker = m_dir.filePath("blocked");
    QFile(blocker).open(QIODevice::WriteOnly);
    std::unique_ptr<CHandleDataOperation> blocked(task(raw, 0, false));
    blocked->options.outputDir = blocker;
    blocked->run();
    EXPECT_TRUE(log.contains("open file error"));
    EXPECT_EQ(signals_, 4);
}

TEST_F(GeneratedTask, ImageWhoseOwnKeyedCalibrationIsUnreadableIsNotConverted) {
    generate(6, reflsample::RawLayout::Keyed, 0.0);
    const QString good = input(m_truth.captures[1].files[0]);
    // Same length, so every offset in the file stays where it was.
    QByteArray bytes = fileBytes(good);
    const QByteArray from = "<Camera:IrradianceExposureTime>", to = "<Camera:IrradianceExposureTimX>";
    const int at = bytes.indexOf(from);
    ASSERT_GE(at, 0);
    bytes.replace(at, from.size(), to);
    const int close = bytes.indexOf("</Camera:IrradianceExposureTime>", at);
    ASSERT_GT(close, at);
    bytes.replace(close, to.size() + 1, "</Camera:IrradianceExposureTimX>");
    const QString bad = m_dir.filePath("IMG_0098_1_450nm.tif");
    {
        QFile f(bad);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QList<QPair<QString, bool>> ends;
    for (const QString& path : {bad, good}) {
        std::unique_ptr<CHandleDataOperation> t(task(path, 0, false));
        QObject::connect(t.get(), &CHandleDataOperation::conversionEnded,
                         [&](const QString& p, bool written) { ends << qMakePair(p, written); });
        t->run();
    }
    // The panel record's exposure would have given a plausible but wrong image: nothing is written.
    EXPECT_FALSE(QFile::exists(outDir() + "/IMG_0098_1_450nm.tif"));
    EXPECT_FALSE(QFile::exists(outDir() + "/IMG_0098_1_450nm_Correct.tif"));
    EXPECT_TRUE(log.contains("could not be read from its own metadata, nothing written"));
    EXPECT_TRUE(QFile::exists(outDir() + "/" + QFileInfo(good).fileName()));
    EXPECT_TRUE(QFile::exists(outDir() + "/" + QFileInfo(good).completeBaseName() + "_Correct.tif"));
    EXPECT_EQ(signals_, 2);
    ASSERT_EQ(ends.size(), 2);
    EXPECT_EQ(ends[0], qMakePair(bad, false));
    EXPECT_EQ(ends[1], qMakePair(good, true));
}

TEST(OutputFile, RefusesABlockOutsideTheFileAndLeavesNoPartialFile) {
    QTemporaryDir dir;
    const QString in = dir.filePath("in.tif"), out = dir.filePath("out.tif");
    {
        QFile f(in);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(100, 'r'));
    }
    const uint16_t px[10] = {0x4142, 0x4344};
    LogCapture log;
    EXPECT_FALSE(writeConvertedCopy(in, out, 95, px, 20));
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_TRUE(writeConvertedCopy(in, out, 10, px, 4));
    const QByteArray bytes = fileBytes(out);
    EXPECT_EQ(bytes.mid(10, 4), QByteArray("BADC"));
    EXPECT_EQ(bytes.left(10), QByteArray(10, 'r'));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    EXPECT_FALSE(writeConvertedCopy(in, in, 10, px, 4));
    EXPECT_EQ(fileBytes(in), QByteArray(100, 'r'));
}

}  // namespace
