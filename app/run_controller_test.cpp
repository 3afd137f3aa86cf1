// The processing run end to end on generated flights, driven through the run controller that the
// window and the batch command share.
#include "run_controller.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "image_registration_thread.h"
#include "merge_bands.h"
#include "operator_dialogs.h"
#include "panel_selection.h"
#include "raw_tiff.h"
#include "sample_flight.h"
#include "testing/log_capture.h"
#include "testing/recording_run_view.h"

using namespace refl;

namespace {



QByteArray digestOfTree(const QString& dir) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    QStringList files;
    while (it.hasNext()) files << it.next();
    files.sort();
    for (const QString& f : files) {
        QFile file(f);
        file.open(QIODevice::ReadOnly);
        hash.addData(f.toUtf8());
        hash.addData(file.readAll());
    }
    return hash.result();
}

class RunTest : public ::testing::Test {
protected:
    void SetUp() override { app(); }

    // A small keyed flight (camera type 6); the flight images go to `rawName` below the temp dir.
    void generate(const QString& rawName = "flight", int captures = 3, bool jpg = false, double distortion = 1.0) {
        reflsample::SampleOptions opt = reflsample::SampleOptions::small();
        opt.captures = captures;
        opt.distortionScale = distortion;
        opt.writeJpg = jpg;
        opt.writeOldPanel = false;
        ASSERT_TRUE(reflsample::generateSampleFlight(m_dir.filePath("gen"), opt, &truth));
        raw = m_dir.filePath(rawName);
        QDir().mkpath(raw);
        for (const auto& c : truth.captures) {
            if (c.kind == "flight") {
                for (const QString& f : c.files) QFile::copy(m_dir.filePath("gen/" + f), raw + "/" + QFileInfo(f).fileName());
            } else {
                for (const QString& f : c.files) panels << m_dir.filePath("gen/" + f);
            }
        }
    }
    RunRequest request(bool reflectance = true) {
        RunRequest r;
        r.scan = scanRawDirectory(raw, view.recorded);
        r.rawDirectory = raw;
        r.resultDirectory = m_dir.filePath("out");
        r.reflectance = reflectance;
        r.panelImages = panels;
        r.panelBandLabels = panelBandLabelsOf(panels);
        r.regionDrawn = QVector<bool>(panels.size(), false);
        r.previewDir = m_dir.filePath("previews");
        // The pool alone unless a test asks for the registration (it costs seconds per band).
        r.registration = RegistrationMode::None;
        r.registrationTempDir = m_dir.filePath("temp_reg");
        for (int b = 0; b < 6; ++b) r.standardReflectance[size_t(b)] = truth.newPanel.reflectance.value(b, 0.5);
        return r;
    }
    // Mean output at a check point, as a fraction of full scale.
    double outputAt(const QString& folder, const reflsample::CheckPoint& cp, int b) {
        const QString name = QFileInfo(truth.captures[cp.captureIndex].files[b]).fileName();
        RawTiffLayout l;
        std::vector<uint16_t> px;
        QByteArray xmp;
        RadiometricCalibration rec;
        const int w = truth.camera.width, h = truth.camera.height;
        if (!readTIF(RawTiffReader::Task, folder + "/" + name, {6, w, h, ""}, l, px, xmp, rec)) return -1;
        const int r = std::max(1, int(cp.radiusPx * 0.6));
        double sum = 0;
        int n = 0;
        for (int y = int(cp.pixel[b].y) - r; y <= int(cp.pixel[b].y) + r; ++y)
            for (int x = int(cp.pixel[b].x) - r; x <= int(cp.pixel[b].x) + r; ++x, ++n) sum += px[size_t(y) * w + x];
        return sum / n / 65535.0;
    }

    QTemporaryDir m_dir;
    reflsample::FlightTruth truth;
    QString raw;
    QStringList panels;
    RecordingView view;
    LogCapture log;
};

TEST_F(RunTest, ReflectanceRunWithAutomaticPanelsMatchesTheTruth) {
    generate();
    const QByteArray rawBefore = digestOfTree(raw);
    RunController controller(view);
    ASSERT_EQ(runToEnd(controller, request()), RunOutcome::Completed) << log.all().toStdString();
    EXPECT_EQ(view.previewImages.size(), panels.size());
    EXPECT_EQ(view.codeReflectance.size(), 6) << "the panel code's reflectances reach the spin boxes";
    EXPECT_EQ(view.progress.last(), 100);
    EXPECT_TRUE(view.phases.contains("预处理完毕"));
    EXPECT_TRUE(view.controlsEnabled);
    const QString out = m_dir.filePath("out/flight");
    EXPECT_EQ(controller.outputFolders(), QStringList({out}));
    EXPECT_EQ(QDir(out).entryList({"*_Correct.tif"}, QDir::Files).size(), truth.flightCaptureCount() * 6);
    int checked = 0;
    for (const auto& cp : truth.checkPoints) {
        for (int b = 0; b < 6; ++b) {
            const double got = outputAt(out, cp, b);
            EXPECT_NEAR(got, cp.reflectance[b], 0.02 * std::max(cp.reflectance[b], 0.25))
                << cp.name.toStdString() << " band " << b;
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
    EXPECT_EQ(digestOfTree(raw), rawBefore) << "raw files modified";
}

TEST_F(RunTest, RadianceRunNeedsNoPanel) {
    generate();
    RunController controller(view);
    RunRequest r = request(false);
    r.panelImages.clear();
    ASSERT_EQ(runToEnd(controller, r), RunOutcome::Completed) << log.all().toStdString();
    const QString out = m_dir.filePath("out/flight");
    for (const auto& cp : truth.checkPoints)
        for (int b = 0; b < 6; ++b)
            EXPECT_NEAR(outputAt(out, cp, b), cp.radiance[b], 0.01 + 0.02 * cp.radiance[b]) << cp.name.toStdString();
    EXPECT_TRUE(log.contains("getRadtoMultiObject: cameraType= 6"));
}

TEST_F(RunTest, ManualOutlinesAreUsedWhenEveryPanelHasOne) {
    generate();
    RunRequest r = request();
    // An outline around the grey area of each band, in view coordinates (the view is 640 x 480).
    const double sx = 640.0 / truth.camera.width, sy = 480.0 / truth.camera.height;
    for (int b = 0; b < panels.size(); ++b) {
        const cv::Point2d c = truth.newPanel.greyCentre[b];
        const double h = 0.15 * truth.newPanel.qrSidePx[b];
        r.regionDrawn[b] = true;
        r.outlines << QStringList{QString("%1,%2").arg(int((c.x - h) * sx)).arg(int((c.y - h) * sy)),
                                  QString("%1,%2").arg(int((c.x + h) * sx)).arg(int((c.y - h) * sy)),
                                  QString("%1,%2").arg(int((c.x + h) * sx)).arg(int((c.y + h) * sy)),
                                  QString("%1,%2").arg(int((c.x - h) * sx)).arg(int((c.y + h) * sy))};
    }
    RunController controller(view);
    ASSERT_EQ(runToEnd(controller, r), RunOutcome::Completed) << log.all().toStdString();
    EXPECT_TRUE(view.previewImages.isEmpty()) << "no recognition in manual mode";
    for (int b = 0; b < 6; ++b)
        EXPECT_NEAR(controller.meanPanelValues()[b] / truth.newPanel.radiance[b], 1.0, 0.02) << b;
}

TEST_F(RunTest, BandMismatchStopsThePool) {
    generate();
    // A raw image of a band the panel does not have.
    QFile::copy(raw + "/" + QFileInfo(truth.captures[0].files[0]).fileName(), raw + "/IMG_0001_7_900nm.tif");
    RunController controller(view);
    EXPECT_EQ(runToEnd(controller, request()), RunOutcome::Failed);
    ASSERT_FALSE(view.recorded.messages.isEmpty());
    EXPECT_EQ(view.recorded.messages.last().text, "原始影像目录中文件与标准板文件波段不一致，请确认后再进行后续处理！");
    EXPECT_EQ(view.progress.last(), 0);
    EXPECT_FALSE(controller.isRunning());
    EXPECT_TRUE(view.controlsEnabled);
}

TEST_F(RunTest, StopInThePoolLeavesNoPartialFile) {
    generate("flight", 6);
    RunController controller(view);
    const RunOutcome outcome = runToEnd(controller, request(), [&] { controller.stop(); });
    EXPECT_EQ(outcome, RunOutcome::Stopped);
    EXPECT_FALSE(controller.isRunning());
    const QString out = m_dir.filePath("out/flight");
    // Every file under a final name is complete: as large as its raw twin.
    for (const QString& name : QDir(out).entryList({"*.tif"}, QDir::Files)) {
        if (name.contains("_Correct")) continue;
        EXPECT_EQ(QFileInfo(out + "/" + name).size(), QFileInfo(raw + "/" + name).size()) << name.toStdString();
    }
    EXPECT_TRUE(QDir(out).entryList(QDir::Hidden | QDir::Files).filter(".partial").isEmpty());
    EXPECT_LT(QDir(out).entryList({"*_Correct.tif"}, QDir::Files).size(), 36);
    // Counts of tasks that end after the stop change nothing.
    controller.slotReceiveCount();
    EXPECT_FALSE(controller.isRunning());
}

TEST_F(RunTest, PanelFileInTheRawFolderIsSkippedButCounted) {
    generate();
    QFile::copy(panels[0], raw + "/IMG_0099_01_greyboard_450nm.tif");
    RunController controller(view);
    ASSERT_EQ(runToEnd(controller, request()), RunOutcome::Completed);
    EXPECT_EQ(controller.processedCount(), truth.flightCaptureCount() * 6 + 1);
    EXPECT_FALSE(QFile::exists(m_dir.filePath("out/flight/IMG_0099_01_greyboard_450nm.tif")));
}

TEST_F(RunTest, MultiLevelFolderWithChineseNames) {
    generate(QStringLiteral("航线 一/架次1"));
    // A second subfolder with the last capture moved into it.
    const QString second = m_dir.filePath(QStringLiteral("航线 一/架次2"));
    QDir().mkpath(second);
    const auto& last = truth.captures[truth.flightCaptureCount() - 1];
    for (const QString& f : last.files) {
        const QString name = QFileInfo(f).fileName();
        QFile::rename(raw + "/" + name, second + "/" + name);
    }
    raw = m_dir.filePath(QStringLiteral("航线 一"));
    RunRequest r = request();
    r.resultDirectory = m_dir.filePath(QStringLiteral("结果 目录"));
    EXPECT_EQ(r.scan.layout, DirectoryLayout::MultiLevel);
    RunController controller(view);
    ASSERT_EQ(runToEnd(controller, r), RunOutcome::Completed) << log.all().toStdString();
    ASSERT_EQ(controller.outputFolders().size(), 2);
    EXPECT_EQ(QDir(controller.outputFolders()[0]).entryList({"*_Correct.tif"}, QDir::Files).size(),
              (truth.flightCaptureCount() - 1) * 6);
    EXPECT_EQ(QDir(controller.outputFolders()[1]).entryList({"*_Correct.tif"}, QDir::Files).size(), 6);
}

TEST_F(RunTest, JpgRunConvertsEveryImage) {
    generate("flight", 2, true);
    raw = m_dir.filePath("gen/jpg");
    RunController controller(view);
    ASSERT_EQ(runToEnd(controller, request()), RunOutcome::Completed) << log.all().toStdString();
    const QStringList outputs = QDir(m_dir.filePath("out/jpg")).entryList({"*.tif"}, QDir::Files);
    EXPECT_EQ(outputs.size(), QDir(raw).entryList({"*.jpg"}, QDir::Files).size());
    ASSERT_FALSE(view.recorded.messages.isEmpty());
    EXPECT_EQ(view.recorded.messages.last().text, "处理完毕！");
}

TEST_F(RunTest, RefusalsOfTheStartChecks) {
    generate();
    struct Case {
        const char* what;
        std::function<void(RunRequest&)> spoil;
        const char* text;
        bool warning;
    } cases[] = {
        {"no raw dir", [](RunRequest& r) { r.rawDirectory.clear(); }, "请确认原始影像目录已经选择！请勿黏贴路径！", true},
        {"no result dir", [](RunRequest& r) { r.resultDirectory.clear(); }, "请确认标定影像目录已经选择！", true},
        {"no panel", [](RunRequest& r) { r.panelImages.clear(); }, "请确认标定板影像文件已经添加完成！", true},
        {"reflectance 1.0", [](RunRequest& r) { r.standardReflectance[2] = 1.0; },
         "请检查一下标定板的标准反射率的值：\n\n660nm\n", false},
        {"reflectance 0.0", [](RunRequest& r) { r.standardReflectance[0] = 0.0; },
         "请检查一下标定板的标准反射率的值：\n\n450nm\n", false},
        {"some outlines", [](RunRequest& r) { r.regionDrawn[1] = true; }, "请框选每一块灰板的范围\n\n", false},
        {"empty folder", [](RunRequest& r) { r.scan.totalCount = 0; }, "文件夹内无待处理的文件！", false},
        {"no previews accepted", [](RunRequest&) {}, nullptr, false},
        {"output is the raw folder", [this](RunRequest& r) { r.resultDirectory = QFileInfo(raw).absolutePath(); },
         "结果存储目录不能与原始影像目录相同！", true},
    };
    for (const Case& c : cases) {
        RecordingView fresh;
        fresh.acceptPreviews = c.text != nullptr;
        RunController controller(fresh);
        RunRequest r = request();
        c.spoil(r);
        const RunOutcome outcome = runToEnd(controller, r);
        EXPECT_NE(outcome, RunOutcome::Completed) << c.what;
        if (!c.text) {
            EXPECT_EQ(outcome, RunOutcome::Stopped);
            EXPECT_TRUE(fresh.phases.contains("已停止"));
            continue;
        }
        ASSERT_FALSE(fresh.recorded.messages.isEmpty()) << c.what;
        EXPECT_EQ(fresh.recorded.messages.last().text, QString::fromUtf8(c.text)) << c.what;
        EXPECT_EQ(fresh.recorded.messages.last().kind == OperatorDialogs::Kind::Warning, c.warning) << c.what;
        EXPECT_FALSE(controller.isRunning());
    }
    // 0.99 is accepted.
    RunRequest r = request();
    r.standardReflectance[0] = 0.99;
    RunController controller(view);
    EXPECT_EQ(runToEnd(controller, r), RunOutcome::Completed);
}

TEST_F(RunTest, RefusalsOfTheRadianceChecks) {
    generate();
    struct Case {
        std::function<void(RunRequest&)> spoil;
        const char* text;
    } cases[] = {
        {[](RunRequest& r) { r.rawDirectory.clear(); }, "请确认原始影像目录已经选择！请勿黏贴路径！"},
        {[](RunRequest& r) { r.resultDirectory.clear(); }, "请确认标定影像目录已经选择！"},
        {[](RunRequest& r) { r.scan.groups.clear(); }, "未找到任何分组信息，请确认原始影像目录已正确选择！"},
    };
    for (const Case& c : cases) {
        RecordingView fresh;
        RunController controller(fresh);
        RunRequest r = request(false);
        c.spoil(r);
        EXPECT_EQ(runToEnd(controller, r), RunOutcome::Refused);
        ASSERT_FALSE(fresh.recorded.messages.isEmpty());
        EXPECT_EQ(fresh.recorded.messages.last().text, QString::fromUtf8(c.text));
        EXPECT_EQ(fresh.recorded.messages.last().title, "提醒");
    }
}

// Runs `start` on the controller until it reports its outcome.
RunOutcome waitForOutcome(RunController& controller, const std::function<void()>& start) {
    app();
    RunOutcome outcome = RunOutcome::Failed;
    bool done = false;
    QObject::connect(&controller, &RunController::finished, [&](RunOutcome o) {
        outcome = o;
        done = true;
        QCoreApplication::exit(0);
    });
    start();
    if (!done) {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(300000);
        QCoreApplication::exec();
    }
    return outcome;
}

// Shift of `moving` against `fixed` in a window around `centre` (same content, different warps).
double localShift(const cv::Mat& fixed, const cv::Mat& moving, cv::Point2d centre, int half = 40) {
    const int x = std::clamp(int(centre.x) - half, 2, fixed.cols - 2 * half - 3);
    const int y = std::clamp(int(centre.y) - half, 2, fixed.rows - 2 * half - 3);
    const cv::Rect box(x, y, 2 * half, 2 * half);
    cv::Mat a, b, window;
    fixed(box).convertTo(a, CV_64F);
    moving(box).convertTo(b, CV_64F);
    cv::createHanningWindow(window, box.size(), CV_64F);
    const cv::Point2d d = cv::phaseCorrelate(a, b, window);
    return std::hypot(d.x, d.y);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Distance between where each band of the merged captures in `folder` lies and where the true
// band homographies put it, over windows around the check points and on a grid. `corrected`: the
// band files are the "_Correct" twins (else the raw files themselves).
std::vector<double> placementErrors(const reflsample::FlightTruth& truth, const QString& out, bool corrected,
                                    const QString& truthWarp) {
    const int ref = truth.referenceBand;
    std::vector<double> errors;
    for (int c = 0; c < truth.flightCaptureCount(); ++c) {
        const auto& capture = truth.captures[c];
        const auto merged = readMergedBands(QString("%1/IMG_%2_Multi.tif").arg(out, capture.key));
        if (merged.size() != 6u) return {};
        EXPECT_EQ(merged[0].type(), corrected ? CV_32F : CV_16U);
        // Check points of this capture, and a grid so that every capture is measured.
        QVector<cv::Point2d> where;
        for (const auto& cp : truth.checkPoints)
            if (cp.captureIndex == c) where << cp.pixel[ref];
        for (double fy : {0.25, 0.5, 0.75})
            for (double fx : {0.25, 0.5, 0.75}) where << cv::Point2d(fx * merged[0].cols, fy * merged[0].rows);
        for (int b = 0; b < 6; ++b) {
            if (b == ref) continue;
            const QString band = out + "/" + QFileInfo(capture.files[b]).completeBaseName() +
                                 (corrected ? "_Correct.tif" : ".tif");
            const cv::Matx33d T = corrected ? truth.bands[b].refFromBandCorrected : truth.bands[b].refFromBand;
            QList<double> m;
            for (int i = 0; i < 9; ++i) m << T.val[i];
            if (!CImageRegistrationThread::registrationConversion(band, truthWarp, m)) return {};
            cv::Mat expected;
            readMergedBands(truthWarp).at(0).convertTo(expected, CV_32F, 1.0 / 65535.0);
            std::vector<double> bandErrors;
            for (const cv::Point2d& p : where) bandErrors.push_back(localShift(expected, merged[size_t(b)], p));
            std::cout << "capture " << capture.key.toStdString() << " band " << b << ": median "
                      << median(bandErrors) << " px\n";
            errors.insert(errors.end(), bandErrors.begin(), bandErrors.end());
            if (c == 0 && b == 0) {
                // The measurement itself: a warp one pixel off the truth reads as one pixel.
                QList<double> off = m;
                off[2] += 1.0;
                if (!CImageRegistrationThread::registrationConversion(band, truthWarp, off)) return {};
                cv::Mat shifted;
                readMergedBands(truthWarp).at(0).convertTo(shifted, CV_32F, 1.0 / 65535.0);
                EXPECT_NEAR(localShift(expected, shifted, where.last()), 1.0, 0.15);
            }
        }
    }
    return errors;
}

// The registration alone (as reflectivity-batch --register-only runs it) on the band files of a
// pinhole flight, whose bands relate exactly by the true homographies; the files stay in place.
TEST_F(RunTest, RegistrationPutsEveryBandWhereTheTruthDoes) {
    generate("flight", 1, false, 0.0);
    const int before = QDir(raw).entryList(QDir::Files).size();
    RecordingView regView;
    RunController controller(regView);
    ASSERT_EQ(waitForOutcome(controller,
                             [&] {
                                 controller.startRegistrationOnly({raw}, RegistrationMode::PerGroup, false, 6,
                                                                  m_dir.filePath("temp_reg"));
                             }),
              RunOutcome::Completed);
    EXPECT_TRUE(regView.phases.contains("完成！"));
    ASSERT_FALSE(regView.recorded.messages.isEmpty());
    EXPECT_EQ(regView.recorded.messages.last().text, "结果文件生成完成: 共1组, 成功1组");
    EXPECT_EQ(regView.progress.last(), 100);
    EXPECT_EQ(QDir(raw).entryList(QDir::Files).size(), before + 3)
        << "nothing deleted, one merged capture, its quality file and the run report";
    EXPECT_TRUE(QFileInfo::exists(raw + "/report.html"));
    EXPECT_FALSE(controller.isRegistering());
    const std::vector<double> errors = placementErrors(truth, raw, false, m_dir.filePath("truth_warp.tif"));
    ASSERT_FALSE(errors.empty());
    const double worst = *std::max_element(errors.begin(), errors.end());
    std::cout << "band placement error over " << errors.size() << " windows: median " << median(errors)
              << " px, worst " << worst << " px\n";
    EXPECT_LE(median(errors), 0.3);
    EXPECT_LE(worst, 1.0);
}

// The reflectance twins of a full run, registered afterwards as reflectivity-batch --register-only
// --float does: the bands land where the true homographies between the corrected twins put them.
TEST_F(RunTest, CorrectedTwinsRegisterWhereTheTruthDoes) {
    generate("flight", 1, false, 1.0);
    const QString out = m_dir.filePath("out/flight");
    {
        RunController controller(view);
        ASSERT_EQ(runToEnd(controller, request()), RunOutcome::Completed) << log.all().toStdString();
    }
    RecordingView regView;
    RunController controller(regView);
    ASSERT_EQ(waitForOutcome(controller,
                             [&] {
                                 controller.startRegistrationOnly({out}, RegistrationMode::PerGroup, true, 6,
                                                                  m_dir.filePath("temp_reg"));
                             }),
              RunOutcome::Completed);
    EXPECT_EQ(regView.recorded.messages.last().text, "结果文件生成完成: 共1组, 成功1组");
    const std::vector<double> errors = placementErrors(truth, out, true, m_dir.filePath("truth_warp.tif"));
    ASSERT_FALSE(errors.empty());
    const double worst = *std::max_element(errors.begin(), errors.end());
    std::cout << "corrected band placement error over " << errors.size() << " windows: median "
              << median(errors) << " px, worst " << worst << " px\n";
    EXPECT_LE(median(errors), 0.3);
    EXPECT_LE(worst, 1.0);
}

TEST_F(RunTest, FullRunHandsOverToTheRegistrationAndDeletesItsBandFiles) {
    generate("flight", 1);
    RunRequest r = request(false);
    r.panelImages.clear();
    r.registration = RegistrationMode::Common;
    RunController controller(view);
    ASSERT_EQ(runToEnd(controller, r), RunOutcome::Completed) << log.all().toStdString();
    EXPECT_TRUE(log.contains("End Handling.00000000001111111111111111 false true"));
    EXPECT_TRUE(view.phases.contains("结果生成中..."));
    EXPECT_EQ(view.phases.last(), "完成！");
    ASSERT_FALSE(view.recorded.messages.isEmpty());
    EXPECT_EQ(view.recorded.messages.last().kind, OperatorDialogs::Kind::Information);
    EXPECT_EQ(view.recorded.messages.last().title, "提示");
    EXPECT_EQ(view.recorded.messages.last().text, "结果文件生成完成: 共1组, 成功1组");
    EXPECT_TRUE(view.controlsEnabled);
    const QString out = m_dir.filePath("out/flight");
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"IMG_0001_Multi.tif", "registration_quality.csv"}));
    const auto merged = readMergedBands(out + "/IMG_0001_Multi.tif");
    ASSERT_EQ(merged.size(), 6u);
    EXPECT_EQ(merged[0].type(), CV_16U) << "radiance run";
    EXPECT_FALSE(QDir(m_dir.filePath("temp_reg")).exists());
}

TEST_F(RunTest, StopDuringTheRegistrationOfAJpgRun) {
    generate("flight", 2, true);
    raw = m_dir.filePath("gen/jpg");
    RunRequest r = request();
    r.registration = RegistrationMode::Common;  // the window's start state
    RunController controller(view);
    view.onPhase = [&](const QString& text) {
        if (text == "结果生成中...") QTimer::singleShot(0, [&] { controller.stop(); });
    };
    EXPECT_EQ(runToEnd(controller, r), RunOutcome::Stopped) << log.all().toStdString();
    EXPECT_TRUE(view.phases.contains("已取消"));
    EXPECT_EQ(view.progress.last(), 0);
    ASSERT_FALSE(view.recorded.messages.isEmpty());
    EXPECT_EQ(view.recorded.messages.last().text, "已取消");
    EXPECT_EQ(view.recorded.messages.last().kind, OperatorDialogs::Kind::Warning);
    EXPECT_TRUE(QDir(m_dir.filePath("out/jpg")).entryList({"*_Multi.tif"}, QDir::Files).isEmpty());
    EXPECT_TRUE(view.controlsEnabled);
    EXPECT_FALSE(controller.isRegistering());
}

TEST_F(RunTest, RegistrationNoticeIsShownAndTheRunGoesOn) {
    RunController controller(view);
    controller.slotRegistrationProgress(-1, "波段 IMG_0001_2.tif 配准失败: 默认参数及10套重试参数均执行失败");
    ASSERT_EQ(view.recorded.messages.size(), 1);
    EXPECT_EQ(view.recorded.messages[0].kind, OperatorDialogs::Kind::Warning);
    EXPECT_TRUE(view.progress.isEmpty()) << "a notice is no progress value";
    controller.slotRegistrationProgress(40, "Processed 2/5 groups");
    EXPECT_EQ(view.progress.last(), 40);
    EXPECT_TRUE(log.contains("Registration Progress: 40"));
}

}  // namespace
