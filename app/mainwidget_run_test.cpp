// A whole reflectance run through the window, offscreen, with its dialogs recorded.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include "logger.h"
#include "mainwidget.h"
#include "sample_flight.h"

using namespace refl;

namespace {

TEST(MainWidgetRun, ReflectanceRunFromTheButtons) {
    QTemporaryDir dir;
    reflsample::SampleOptions opt = reflsample::SampleOptions::small();
    opt.captures = 2;
    opt.writeOldPanel = false;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(dir.filePath("gen"), opt, &truth));
    QStringList panels;
    for (const auto& c : truth.captures)
        if (c.kind == "panel-new")
            for (const QString& f : c.files) panels << dir.filePath("gen/" + f);

    auto recording = std::make_unique<RecordingDialogs>();
    RecordingDialogs* dialogs = recording.get();
    mainWidget window(nullptr, std::move(recording));
    dialogs->directoryAnswers << dir.filePath("gen/flight") << dir.filePath("out");
    dialogs->fileAnswers << panels;
    window.findChild<QToolButton*>("toolButton_2")->click();
    window.findChild<QToolButton*>("toolButton_3")->click();
    window.findChild<QToolButton*>("toolButton_4")->click();
    ASSERT_EQ(window.panelImages().size(), 6) << (dialogs->messages.isEmpty() ? "" : dialogs->messages.last().text.toStdString());

    bool finished = false;
    QObject::connect(&window.runController(), &RunController::finished, [&](RunOutcome o) {
        finished = true;
        EXPECT_EQ(o, RunOutcome::Completed);
        QApplication::exit(0);
    });
    QTimer::singleShot(0, window.findChild<QToolButton*>("toolButton_7"), &QToolButton::click);
    // While the pool runs, the exit button is refused.
    QTimer::singleShot(0, [&] {
        if (!window.isRunInProgress()) return;
        window.findChild<QToolButton*>("toolButton")->click();
        ASSERT_FALSE(dialogs->messages.isEmpty());
        EXPECT_EQ(dialogs->messages.last().text, "Do not close the app when the project is running!");
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(1); });
    guard.start(300000);
    if (!finished) QApplication::exec();
    ASSERT_TRUE(finished);
    EXPECT_EQ(dialogs->previewImages.size(), 6) << "the preview dialog was asked";
    EXPECT_EQ(window.findChild<QProgressBar*>("progressBar")->value(), 100);
    EXPECT_FALSE(window.findChild<QProgressBar*>("progressBar")->isHidden());
    // Band registration follows the pool: one merged file per capture, the band files are gone.
    EXPECT_EQ(QDir(dir.filePath("out/flight")).entryList({"*_Multi.tif"}, QDir::Files).size(),
              truth.flightCaptureCount());
    EXPECT_EQ(window.findChild<QLabel*>("label_currentProcessContent")->text(), "完成！");
    EXPECT_FALSE(window.isRunInProgress());
    // The run's report is offered once the run is over.
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs->offeredReports, QStringList{dir.filePath("out/report.html")});
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("out/report.html")));
    // The panel code's reflectances are in the spin boxes for the next run.
    EXPECT_NEAR(window.standardReflectance(2), truth.newPanel.reflectance[2], 0.006);
}

TEST(MainWidgetRun, TheEndSaysWhichImagesWereNotConverted) {
    // A radiance run whose first capture holds a band file cut off after 1000 bytes.
    QTemporaryDir dir;
    reflsample::SampleOptions opt = reflsample::SampleOptions::small();
    opt.captures = 2;
    opt.writeJpg = false;
    opt.writeNewPanel = opt.writeOldPanel = false;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(dir.filePath("gen"), opt, &truth));
    const QString damaged = dir.filePath("gen/" + truth.captures[0].files[2]);
    QFile file(damaged);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.resize(1000));
    file.close();
    Logger logger;
    logger.installUnder(dir.filePath("logs"));

    auto recording = std::make_unique<RecordingDialogs>();
    RecordingDialogs* dialogs = recording.get();
    mainWidget window(nullptr, std::move(recording));
    dialogs->directoryAnswers << dir.filePath("gen/flight") << dir.filePath("out");
    window.findChild<QToolButton*>("toolButton_2")->click();
    window.findChild<QToolButton*>("toolButton_3")->click();
    window.findChild<QRadioButton*>("radioButton_rad")->setChecked(true);
    bool finished = false;
    QObject::connect(&window.runController(), &RunController::finished, [&](RunOutcome o) {
        finished = true;
        EXPECT_EQ(o, RunOutcome::Completed);
        QApplication::exit(0);
    });
    QTimer::singleShot(0, window.findChild<QToolButton*>("toolButton_7"), &QToolButton::click);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(1); });
    guard.start(300000);
    if (!finished) QApplication::exec();
    qInstallMessageHandler(nullptr);
    ASSERT_TRUE(finished);
    EXPECT_EQ(window.findChild<QLabel*>("label_currentProcessContent")->text(), "完成，1个影像未能转换！");
    ASSERT_FALSE(dialogs->messages.isEmpty());
    const RecordingDialogs::Message& end = dialogs->messages.last();
    EXPECT_EQ(end.kind, OperatorDialogs::Kind::Warning);
    EXPECT_EQ(end.text, "结果文件生成完成: 共2组, 成功2组\n\n以下1个影像未能转换（共12个影像，其余已处理）：\n" +
                            QFileInfo(damaged).fileName() + "\n\n原因见日志：" + logger.path());
    // The damaged file is never blamed on the camera.
    for (const auto& m : dialogs->messages) EXPECT_FALSE(m.text.contains("本软件只处理")) << m.text.toStdString();
}

}  // namespace
