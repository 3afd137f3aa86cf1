// The lens self-calibration inside a run: a small four-band flight (camera type 3) is calibrated
// between the panel phase and the pool, and a stop during the calibration ends the run without
// output.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "operator_dialogs.h"
#include "run_controller.h"
#include "sample_flight.h"
#include "testing/log_capture.h"
#include "testing/recording_run_view.h"

using namespace refl;

namespace {

using View = RecordingView;


int filesUnder(const QString& dir) {
    int n = 0;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

class CalibrationRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        reflsample::SampleOptions o = reflsample::SampleOptions::small();
        o.cameraType = 3;
        o.layout = reflsample::RawLayout::Keyed;
        o.captures = 5;
        o.writeNewPanel = false;
        o.writeOldPanel = false;
        o.writeJpg = false;
        o.seed = 7;
        ASSERT_TRUE(reflsample::generateSampleFlight(dir.filePath("gen"), o, &truth));
        raw = dir.filePath("flight");
        QDir().mkpath(raw);
        for (const auto& c : truth.captures)
            for (const QString& f : c.files)
                QFile::copy(dir.filePath("gen/" + f), raw + "/" + QFileInfo(f).fileName());
    }
    RunRequest request() {
        RunRequest r;
        r.scan = scanRawDirectory(raw, view.recorded);
        r.rawDirectory = raw;
        r.resultDirectory = dir.filePath("out");
        r.reflectance = false;
        r.registration = RegistrationMode::None;
        return r;
    }

    QTemporaryDir dir;
    reflsample::FlightTruth truth;
    QString raw;
    View view;
    LogCapture log;
};

TEST_F(CalibrationRunTest, RadianceRunCalibratesEveryBandBeforeThePool) {
    RunController controller(view);
    ASSERT_EQ(runToEnd(controller, request()), RunOutcome::Completed);
    EXPECT_TRUE(view.phases.contains(QStringLiteral("SfM相机标定中..")));
    // Every band succeeds; each either takes its adjusted lens or keeps the XMP lens where the data
    // do not support a change (such bands have no entry in the results).
    QString summary;
    for (const QString& phase : view.phases)
        if (phase.startsWith(QStringLiteral("SfM标定完成: 4/4 波段成功"))) summary = phase;
    ASSERT_FALSE(summary.isEmpty()) << view.phases.join(" | ").toStdString();
    const int adopted = summary.count(QStringLiteral("采用")), kept = summary.count(QStringLiteral("保留XMP镜头"));
    EXPECT_EQ(adopted + kept, 4) << summary.toStdString();
    // The calibration's progress comes first, the pool's after it.
    EXPECT_LT(view.phases.indexOf(QStringLiteral("SfM相机标定中..")),
              view.phases.indexOf(QStringLiteral("预处理中..")));
    EXPECT_EQ(controller.calibrationResults().size(), adopted);
    for (const CameraCalibParams& c : controller.calibrationResults()) EXPECT_TRUE(c.accepted);
    EXPECT_TRUE(log.contains("SfM Calibration Progress:"));
    EXPECT_EQ(controller.processedCount(), 20);
    EXPECT_EQ(filesUnder(dir.filePath("out")), 41);  // each band file and its corrected twin, the report
}

TEST_F(CalibrationRunTest, StopDuringTheCalibrationEndsTheRunWithoutOutput) {
    RunController controller(view);
    bool stopped = false;
    view.onPhase = [&](const QString& text) {
        if (!stopped && text == QStringLiteral("数据分析中...")) {
            stopped = true;
            QTimer::singleShot(0, &controller, [&controller] { controller.stop(); });
        }
    };
    ASSERT_EQ(runToEnd(controller, request()), RunOutcome::Stopped);
    EXPECT_EQ(view.phases.last(), QStringLiteral("已取消"));
    EXPECT_EQ(view.progress.last(), 0);
    // The finished signal the stopped thread still sends starts no pool.
    QTimer::singleShot(200, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    EXPECT_FALSE(controller.isCalibrating());
    EXPECT_FALSE(view.phases.contains(QStringLiteral("预处理中..")));
    // Nothing but the run report, which says that the run was stopped.
    EXPECT_EQ(filesUnder(dir.filePath("out")), 1);
    EXPECT_EQ(controller.reportPath(), dir.filePath("out/report.html"));
    EXPECT_EQ(controller.reportData().outcome, "stopped");
}

}  // namespace
