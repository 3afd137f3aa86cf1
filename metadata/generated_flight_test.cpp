// The metadata readers on whole generated flights of every camera type and file layout: what they
// read must equal what the generator wrote.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <thread>
#include <vector>

#include "camera_info.h"
#include "exif_xmp.h"
#include "radiometric_calibration.h"
#include "raw_tiff.h"
#include "sample_flight.h"
#include "testing/log_capture.h"

using namespace refl;

namespace {

struct FlightCase {
    const char* name;
    int cameraType;
    reflsample::RawLayout layout;
};

class GeneratedFlight : public ::testing::TestWithParam<FlightCase> {
protected:
    void SetUp() override {
        reflsample::SampleOptions opt = reflsample::SampleOptions::small();
        opt.cameraType = GetParam().cameraType;
        opt.layout = GetParam().layout;
        opt.captures = 2;
        // The six-band camera has one sensor size; the others are generated small.
        opt.width = GetParam().cameraType == 0 ? 0 : 320;
        opt.height = GetParam().cameraType == 0 ? 0 : 240;
        opt.noiseScale = 0;
        opt.writeJpg = false;
        opt.writeOldPanel = false;
        ASSERT_TRUE(reflsample::generateSampleFlight(m_dir.path(), opt, &m_truth));
    }
    QString file(const QString& relative) const { return m_dir.filePath(relative); }
    const reflsample::CaptureTruth& capture(const char* kind) const {
        for (const auto& c : m_truth.captures)
            if (c.kind == kind) return c;
        return m_truth.captures.first();
    }

    QTemporaryDir m_dir;
    reflsample::FlightTruth m_truth;
    LogCapture m_log;
};

TEST_P(GeneratedFlight, PanelAndTaskReadersRecoverTheTruth) {
    const reflsample::CaptureTruth& panel = capture("panel-new");
    ASSERT_EQ(panel.kind, "panel-new");
    const int bands = panel.files.size();

    // Camera identification from the panel images.
    PanelCameraInfo info;
    for (const QString& f : panel.files) ASSERT_TRUE(readImageKeyExif(file(f), info)) << m_log.all().toStdString();
    EXPECT_EQ(judgeCameraTypeChannelCount(info), bands);
    EXPECT_EQ(info.cameraType, GetParam().cameraType);
    EXPECT_EQ(info.width, m_truth.camera.width);
    EXPECT_EQ(info.height, m_truth.camera.height);

    // Panel step: raw read, then the readers in the order the layout flags ask for.
    const RawTiffCamera camera{info.cameraType, info.width, info.height, info.make};
    RawTiffLayout layout;
    bool keyed = true;
    QVector<RadiometricCalibration> records(bands);
    QVector<QByteArray> xmps(bands);
    for (int b = 0; b < bands; ++b) {
        std::vector<uint16_t> pixels;
        ASSERT_TRUE(readTIF(RawTiffReader::Panel, file(panel.files[b]), camera, layout, pixels, xmps[b], records[b]))
            << m_log.all().toStdString();
        EXPECT_EQ(layout.layoutFlag, GetParam().layout == reflsample::RawLayout::VOne ? 1 : 0);
    }
    for (int b = 0; b < bands; ++b) {
        if (layout.layoutFlag == 1) {
            ASSERT_TRUE(readXmpPerItem(CalibrationReader::Panel, xmps[b], records[b]));
            keyed = false;
        } else {
            ASSERT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Panel, xmps[b], records[b], &keyed), 0);
        }
    }
    EXPECT_EQ(keyed, GetParam().layout == reflsample::RawLayout::Keyed);
    if (keyed) {
        for (int b = 0; b < bands; ++b) ASSERT_TRUE(readImageExifPanel(file(panel.files[b]), records[b]));
    }

    for (int b = 0; b < bands; ++b) {
        const reflsample::BandTruth& t = m_truth.bands[b];
        const RadiometricCalibration& r = records[b];
        SCOPED_TRACE(b);
        EXPECT_DOUBLE_EQ(r.a0, t.a0);
        EXPECT_DOUBLE_EQ(r.c1, t.c1);
        EXPECT_DOUBLE_EQ(r.c2, t.c2);
        EXPECT_DOUBLE_EQ(r.centreX, t.vignettingCentreX);
        EXPECT_DOUBLE_EQ(r.centreY, t.vignettingCentreY);
        EXPECT_EQ(r.darkLevel, t.darkLevel);
        EXPECT_DOUBLE_EQ(r.exposure, panel.exposureAsRead[b]);
        EXPECT_DOUBLE_EQ(r.gain, panel.gainAsRead[b]);
    }

    // The maps the conversion divides by equal the generator's vignetting model.
    std::vector<VignettingMap> maps;
    ASSERT_TRUE(buildVignettingMaps(records, info.width, info.height, bands, keyed, maps));
    for (int b = 0; b < bands; ++b) {
        const reflsample::BandTruth& t = m_truth.bands[b];
        for (const auto& [x, y] : {std::pair<int, int>{1, 1}, {info.width / 2, info.height / 3}, {info.width, info.height}}) {
            const double expected = t.a0 / reflsample::vignettingP(t, x, y);
            EXPECT_NEAR(maps[b][(y - 1) * info.width + (x - 1)] / expected, 1.0, 1e-9) << b << " " << x << "," << y;
        }
    }

    // Task step on a flight capture, with the layout and flags the panel step decided.
    const reflsample::CaptureTruth& flight = capture("flight");
    for (int b = 0; b < bands; ++b) {
        RadiometricCalibration r = records[b];
        RawTiffLayout taskLayout;
        taskLayout.layoutFlag = layout.layoutFlag;
        std::vector<uint16_t> pixels;
        QByteArray xmp;
        ASSERT_TRUE(readTIF(RawTiffReader::Task, file(flight.files[b]), camera, taskLayout, pixels, xmp, r));
        if (layout.layoutFlag == 1) {
            ASSERT_TRUE(readXmpPerItem(CalibrationReader::Task, xmp, r));
        } else if (keyed) {
            readImageExif(file(flight.files[b]), r);
        } else {
            ASSERT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, xmp, r), 0);
        }
        EXPECT_DOUBLE_EQ(r.exposure, flight.exposureAsRead[b]) << b;
        EXPECT_DOUBLE_EQ(r.gain, flight.gainAsRead[b]) << b;
        EXPECT_DOUBLE_EQ(r.a0, m_truth.bands[b].a0) << b;
        EXPECT_EQ(pixels.size(), static_cast<size_t>(info.width) * info.height);
    }
}

// The conversion pool reads the XMP packets of many images at once: every read must succeed (the
// XMP toolkit's shared tables need their lock for that).
TEST(ConcurrentMetadata, EveryThreadReadsEveryPacket) {
    QTemporaryDir dir;
    reflsample::SampleOptions opt = reflsample::SampleOptions::small();
    opt.captures = 2;
    opt.width = 128;
    opt.height = 96;
    opt.writeJpg = false;
    opt.writeOldPanel = false;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(dir.path(), opt, &truth));
    QStringList files;
    for (const auto& c : truth.captures)
        for (const QString& f : c.files) files << dir.filePath(f);
    ASSERT_GE(files.size(), 12);
    std::atomic<int> failures{0}, reads{0}, ready{0};
    std::vector<std::thread> threads;
    const int count = 6;
    for (int t = 0; t < count; ++t)
        threads.emplace_back([&, t] {
            // All threads meet their first packets at the same moment (a different file each).
            ++ready;
            while (ready.load() < count) std::this_thread::yield();
            // Half the threads also write packets back, as the lens correction copies them.
            const QString copy = dir.filePath(QString("copy-%1.tif").arg(t));
            for (int round = 0; round < 15; ++round)
                for (int i = 0; i < files.size(); ++i) {
                    const QString& f = files[(i + t) % files.size()];
                    if (t % 2 == 1) {
                        QFile::remove(copy);
                        QFile::copy(f, copy);
                        const auto exiv2Lock = lockExiv2();
                        try {
                            auto image = Exiv2::ImageFactory::open(std::string(QFile::encodeName(copy).constData()));
                            image->readMetadata();
                            Exiv2::XmpData xmp = image->xmpData();
                            image->setXmpData(xmp);
                            image->writeMetadata();
                        } catch (const std::exception&) {
                            ++failures;
                        }
                    }
                    ImageMetadata meta;
                    if (!readCameraMetadata(f, meta) || readXmpValue(meta.xmp, "Xmp.Camera.BandName").isEmpty())
                        ++failures;
                    ++reads;
                }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0) << "of " << reads.load() << " reads";
}

INSTANTIATE_TEST_SUITE_P(AllCameras, GeneratedFlight,
                         ::testing::Values(FlightCase{"SixBandNewLayout", 0, reflsample::RawLayout::VTwo},
                                           FlightCase{"SixBandOldLayout", 0, reflsample::RawLayout::VOne},
                                           FlightCase{"Type3Keyed", 3, reflsample::RawLayout::Keyed},
                                           FlightCase{"Type4Keyed", 4, reflsample::RawLayout::Keyed},
                                           FlightCase{"Type6Keyed", 6, reflsample::RawLayout::Keyed}),
                         [](const ::testing::TestParamInfo<FlightCase>& info) { return info.param.name; });

}  // namespace
