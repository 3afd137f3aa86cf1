// The calibration thread: scan, grouping, altitude selection with its notices, the band loop with
// its retries, progress, stop and summary, the queued finished signal, and a small real flight.
#include "sfm_calibration_thread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <iostream>
#include <mutex>

#include "camera_info.h"
#include "sample_flight.h"

using namespace refl;

namespace {

QStringList g_log;
std::mutex g_logMutex;
void collect(QtMsgType, const QMessageLogContext&, const QString& msg) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log << msg;
}
struct LogCapture {
    LogCapture() {
        g_log.clear();
        qInstallMessageHandler(collect);
    }
    ~LogCapture() { qInstallMessageHandler(nullptr); }
    int count(const QString& part) const {
        int n = 0;
        for (const QString& l : g_log) n += l.contains(part);
        return n;
    }
};

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

// Altitudes by capture key, and a scripted band attempt.
class ScriptedThread : public CSfMCalibrationThread {
public:
    using CSfMCalibrationThread::CSfMCalibrationThread;
    QMap<QString, double> altitude;
    std::function<bool(const QString&, int, CameraCalibParams&)> attempt;  // band, group (0 = default)
    QStringList seenBands;
    int attempts = 0;
    // The scripted bands run one after another on the calling thread.
    const int oneThread = (setThreadCount(1), 1);
    double readRelativeAltitude(const QString& path) const override {
        const QStringList f = QFileInfo(path).fileName().split('_');
        return altitude.value(f.value(1), -9999.0);
    }
    bool calibrateBand(const QStringList& files, const QString& band, double px, double f,
                       CameraCalibParams& out, const SfMParamGroup& group) override {
        if (!attempt) return CSfMCalibrationThread::calibrateBand(files, band, px, f, out, group);
        ++attempts;
        if (seenBands.isEmpty() || seenBands.last() != band) seenBands << band;
        out.band = band;
        const int g = group == defaultSfmParamGroup() ? 0 : retrySfmParamGroups().indexOf(group) + 1;
        return attempt(band, g, out);
    }
    void runHere() { run(); }
};

struct Recorder {
    QVector<int> progress;
    QStringList texts;
    int finishedCount = 0;
    bool success = false;
    QString summary;
    CameraCalibParamsMap map;
    void attach(CSfMCalibrationThread& t, Qt::ConnectionType type = Qt::DirectConnection) {
        QObject::connect(
            &t, &CSfMCalibrationThread::signalCalibrationProgress, &t,
            [this](int p, QString s) {
                progress << p;
                texts << s;
            },
            type);
        QObject::connect(
            &t, &CSfMCalibrationThread::signalCalibrationFinished, &t,
            [this](bool ok, QString s, CameraCalibParamsMap m) {
                ++finishedCount;
                success = ok;
                summary = s;
                map = m;
            },
            type);
    }
};

// Captures 0001..000n with the given bands, at the given altitudes.
void makeCaptures(const QString& dir, int n, const QStringList& bands) {
    for (int c = 1; c <= n; ++c)
        for (const QString& b : bands)
            touch(QString("%1/IMG_%2_%3.tif").arg(dir).arg(c, 4, 10, QChar('0')).arg(b));
}

TEST(SfmCalibrationThread, OnlyOwnOutputsGiveNoTifFound) {
    QTemporaryDir dir;
    touch(dir.filePath("IMG_0001_660_multi.tif"));
    touch(dir.filePath("sub/IMG_0001_GreyBoard_660.TIF"));
    touch(dir.filePath("IMG_0001_660_Correct.tif"));
    touch(dir.filePath("IMG_0002_660.Tif"));  // mixed case is not matched
    ScriptedThread t(dir.path(), 3.75, 5.2);
    Recorder r;
    r.attach(t);
    t.runHere();
    EXPECT_EQ(r.progress, QVector<int>({0}));
    EXPECT_EQ(r.finishedCount, 1);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.summary, QString("未找到TIF文件"));
    EXPECT_TRUE(r.map.isEmpty());
}

TEST(SfmCalibrationThread, ScanRecursesAndGroupingDropsShortNames) {
    QTemporaryDir dir;
    touch(dir.filePath("IMG_0001_660.tif"));
    touch(dir.filePath("a/b/IMG_0002_840.TIF"));
    touch(dir.filePath("a/IMG_0003.tif"));  // no band
    touch(dir.filePath("single.tif"));      // no capture key
    const QStringList files = CSfMCalibrationThread::scanTifFiles(dir.path());
    EXPECT_EQ(files.size(), 4);
    const QMap<QString, QStringList> caps = CSfMCalibrationThread::groupFilesByCapture(files);
    EXPECT_EQ(caps.keys(), QStringList({"0001", "0002", "0003.tif"}));
    const QMap<QString, QStringList> bands = CSfMCalibrationThread::groupFilesByBand(files);
    EXPECT_EQ(bands.keys(), QStringList({"660", "840"}));
}

TEST(SfmCalibrationThread, FourComparableCapturesGiveANoticeThenThoseFour) {
    QTemporaryDir dir;
    makeCaptures(dir.path(), 6, {"660"});
    ScriptedThread t(dir.path(), 3.75, 5.2);
    t.altitude = {{"0001", 30.0}, {"0002", 60.2}, {"0003", 60.5},
                  {"0004", 59.6}, {"0005", 60.9}, {"0006", 90}};
    t.attempt = [&](const QString&, int, CameraCalibParams&) { return true; };
    Recorder r;
    r.attach(t);
    LogCapture log;
    t.runHere();
    EXPECT_TRUE(r.progress.contains(-1));
    EXPECT_TRUE(r.texts.contains(QString("海拔相近的组仅4组，不足5组，可能会影响配准精度！")));
    EXPECT_EQ(log.count("selected 4 files from 4 groups"), 1);
    EXPECT_EQ(log.count("using all"), 0);
}

TEST(SfmCalibrationThread, TwoComparableCapturesUseAll) {
    QTemporaryDir dir;
    makeCaptures(dir.path(), 4, {"660"});
    ScriptedThread t(dir.path(), 3.75, 5.2);
    t.altitude = {{"0001", 30.0}, {"0002", 60.0}, {"0003", 60.5}, {"0004", 90}};
    t.attempt = [&](const QString&, int, CameraCalibParams&) { return true; };
    Recorder r;
    r.attach(t);
    LogCapture log;
    t.runHere();
    EXPECT_TRUE(r.texts.contains(QString("海拔相近的组仅2组，不足5组，可能会影响配准精度！")));
    EXPECT_EQ(log.count("comparable groups, using all"), 1);
    EXPECT_EQ(log.count("selected 4 files from 4 groups"), 1);
}

TEST(SfmCalibrationThread, BandWithTwoFilesFailsOnEveryGroup) {
    QTemporaryDir dir;
    makeCaptures(dir.path(), 2, {"660"});
    ScriptedThread t(dir.path(), 3.75, 5.2);  // the real attempt
    Recorder r;
    r.attach(t);
    LogCapture log;
    t.runHere();
    EXPECT_EQ(log.count("needs >=3 images, got 2"), 11);
    EXPECT_EQ(log.count("retry with param group"), 10);
    EXPECT_EQ(log.count("failed with default and all 10 retry param groups"), 1);
    EXPECT_TRUE(
        r.texts.contains(QString("波段 660 使用默认参数及10组重试参数标定均失败，将使用XMP回退参数")));
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.summary, QString("SfM标定完成: 0/1 波段成功"));
}

TEST(SfmCalibrationThread, ProgressNeverDecreasesAndSummaryCountsSuccesses) {
    QTemporaryDir dir;
    const QStringList bands = {"450", "555", "660", "720", "840"};
    makeCaptures(dir.path(), 5, bands);
    ScriptedThread t(dir.path(), 3.75, 5.2);
    for (int c = 1; c <= 5; ++c) t.altitude[QString("%1").arg(c, 4, 10, QChar('0'))] = 60.0;
    // 720 fails everywhere; 555 succeeds on retry group 3.
    t.attempt = [](const QString& band, int g, CameraCalibParams& out) {
        out.fx = 1000 + g;
        out.accepted = true;
        if (band == "720") return false;
        if (band == "555") return g == 3;
        return true;
    };
    Recorder r;
    r.attach(t);
    t.runHere();
    EXPECT_FALSE(r.progress.contains(-1));
    const QVector<int> expected = {0, 5, 10, 26, 26, 42, 42, 58, 58, 58, 74, 74, 90, 95, 100};
    EXPECT_EQ(r.progress, expected);
    EXPECT_EQ(r.summary, QString("SfM标定完成: 4/5 波段成功"));
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.map.keys(), QStringList({"450", "555", "660", "840"}));
    EXPECT_EQ(r.map["555"].fx, 1003);
    EXPECT_EQ(t.attempts, 1 + 4 + 1 + 11 + 1);
}

TEST(SfmCalibrationThread, StopDuringABandEndsThatBandAsFailedAndStillSummarises) {
    QTemporaryDir dir;
    makeCaptures(dir.path(), 5, {"450", "555", "660"});
    ScriptedThread t(dir.path(), 3.75, 5.2);
    for (int c = 1; c <= 5; ++c) t.altitude[QString("%1").arg(c, 4, 10, QChar('0'))] = 60.0;
    t.attempt = [&t](const QString& band, int, CameraCalibParams&) {
        if (band == "555") {
            t.stop();
            return false;
        }
        return true;
    };
    Recorder r;
    r.attach(t);
    t.runHere();
    EXPECT_EQ(t.seenBands, QStringList({"450", "555"}));
    EXPECT_EQ(t.attempts, 2);  // no retries after the stop
    EXPECT_EQ(r.progress.mid(r.progress.size() - 2), QVector<int>({95, 100}));
    EXPECT_EQ(r.finishedCount, 1);
    EXPECT_EQ(r.summary, QString("SfM标定完成: 1/3 波段成功"));
    EXPECT_EQ(r.map.keys(), QStringList({"450"}));
}

TEST(SfmCalibrationThread, FinishedMapSurvivesAQueuedSignal) {
    QTemporaryDir dir;
    makeCaptures(dir.path(), 3, {"660"});
    auto* t = new ScriptedThread(dir.path(), 3.75, 5.2);
    CameraCalibParams full;
    full.fx = 1.5, full.fy = 2.5, full.cx = 3.5, full.cy = 4.5, full.k1 = -0.1, full.k2 = 0.02,
    full.p1 = 1e-3;
    full.p2 = -2e-3, full.k3 = 0, full.imageWidth = 640, full.imageHeight = 480, full.band = "660";
    full.priorSource = "XMP Camera namespace", full.focalLengthMm = 5.1, full.principalXMm = 2.4;
    full.principalYMm = 1.8, full.pixelSizeUm = 3.45, full.initialRmsPx = 1.25, full.finalRmsPx = 0.5;
    full.p90ErrorPx = 0.75, full.minCoverage = 0.4, full.adjustedTrackCount = 700,
    full.selectedTrackCount = 700;
    full.accepted = true;
    t->attempt = [full](const QString&, int, CameraCalibParams& out) {
        out = full;
        return true;
    };
    QObject receiver;
    Recorder r;
    QEventLoop loop;
    QObject::connect(t, &CSfMCalibrationThread::signalCalibrationFinished, &receiver,
                     [&](bool ok, QString, CameraCalibParamsMap m) {
                         ++r.finishedCount;
                         r.success = ok;
                         r.map = m;
                         loop.quit();
                     });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    t->start();
    loop.exec();
    t->wait();
    delete t;
    ASSERT_EQ(r.finishedCount, 1);
    ASSERT_EQ(r.map.size(), 1);
    EXPECT_TRUE(r.map["660"] == full);
}

// Two bands of five generated 640 x 480 captures at one altitude: both are calibrated.
TEST(SfmCalibrationThread, SmallFlightCalibratesItsBands) {
    QTemporaryDir gen, dir;
    reflsample::SampleOptions o = reflsample::SampleOptions::small();
    o.captures = 5;
    o.writeNewPanel = false;
    o.writeOldPanel = false;
    o.writeJpg = false;
    o.seed = 7;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(gen.path(), o, &truth));
    const QList<int> wanted = {truth.referenceBand, (truth.referenceBand + 2) % truth.bands.size()};
    for (const reflsample::CaptureTruth& c : truth.captures)
        for (int b : wanted)
            ASSERT_TRUE(
                QFile::copy(gen.filePath(c.files[b]), dir.filePath(QFileInfo(c.files[b]).fileName())));
    // The bands one after another and both at once: the same records and decisions.
    CSfMCalibrationThread t(dir.path(), truth.camera.xmpPixelSizeUm, truth.camera.focalMm);
    t.setThreadCount(1);
    Recorder r;
    r.attach(t);
    t.start();
    t.wait();
    CSfMCalibrationThread t2(dir.path(), truth.camera.xmpPixelSizeUm, truth.camera.focalMm);
    t2.setThreadCount(2);
    Recorder r2;
    r2.attach(t2);
    t2.start();
    t2.wait();
    QCoreApplication::processEvents();
    ASSERT_EQ(r.finishedCount, 1);
    std::cout << r.summary.toStdString() << std::endl;
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r2.map, r.map);
    EXPECT_EQ(t2.bandReports(), t.bandReports());
    EXPECT_EQ(r2.summary, r.summary);
    EXPECT_EQ(r2.progress, r.progress);
    EXPECT_EQ(t.bandReports().size(), 2);
    // The true lens is in the XMP: each band either keeps it or adopts one the data supports.
    for (const CameraCalibParams& c : t.bandReports()) {
        EXPECT_GT(c.fxSigmaPx, 0.0);
        EXPECT_FALSE(c.lensDecision.isEmpty());
        EXPECT_EQ(r.map.contains(c.band), !c.xmpLensKept);
        EXPECT_TRUE(r.summary.contains(QStringLiteral("；%1 fx ").arg(c.band)));
    }
    for (auto it = r.map.begin(); it != r.map.end(); ++it) {
        const CameraCalibParams& c = it.value();
        int b = -1;
        for (int i : wanted)
            if (bandFromFileName(QFileInfo(truth.captures[0].files[i]).fileName()) == it.key()) b = i;
        ASSERT_GE(b, 0) << it.key().toStdString();
        const cv::Matx33d& K = truth.bands[b].K;
        const cv::Vec<double, 5>& D = truth.bands[b].D;
        std::cout << "band " << it.key().toStdString() << " true fx " << K(0, 0) << " cx " << K(0, 2)
                  << " cy " << K(1, 2) << " k1 " << D[0] << " k2 " << D[1] << " p1 " << D[2] << " p2 " << D[3]
                  << "\n      estimated fx " << c.fx << " fy " << c.fy << " cx " << c.cx << " cy " << c.cy
                  << " k1 " << c.k1 << " k2 " << c.k2 << " p1 " << c.p1 << " p2 " << c.p2 << "\n      rms "
                  << c.initialRmsPx << " -> " << c.finalRmsPx << " p90 " << c.p90ErrorPx << " coverage "
                  << c.minCoverage << " tracks " << c.adjustedTrackCount << std::endl;
        EXPECT_TRUE(c.accepted);
        EXPECT_EQ(c.band, it.key());
        EXPECT_EQ(c.imageWidth, 640);
        EXPECT_NEAR(c.fx, K(0, 0), 0.03 * K(0, 0));
        EXPECT_LT(c.p90ErrorPx, 3.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
