#include "calib_params.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

using namespace refl;

namespace {

TEST(CameraCalibParams, DefaultsAreZeroExceptThePixelSize) {
    const CameraCalibParams p;
    EXPECT_EQ(p.fx, 0.0);
    EXPECT_EQ(p.cy, 0.0);
    EXPECT_EQ(p.k3, 0.0);
    EXPECT_EQ(p.imageWidth, 0);
    EXPECT_TRUE(p.band.isEmpty());
    EXPECT_TRUE(p.priorSource.isEmpty());
    EXPECT_EQ(p.pixelSizeUm, 3.75);
    EXPECT_EQ(p.minCoverage, 0.0);
    EXPECT_EQ(p.selectedTrackCount, 0);
    EXPECT_FALSE(p.accepted);
}

TEST(SfMParamGroup, DefaultAndRetryTable) {
    EXPECT_EQ(defaultSfmParamGroup(), (SfMParamGroup{4500, 4000, 0.72, 2.0, 120}));
    const QVector<SfMParamGroup>& retry = retrySfmParamGroups();
    ASSERT_EQ(retry.size(), 10);
    EXPECT_EQ(retry[0], (SfMParamGroup{6000, 700, 0.68, 1.5, 240}));
    EXPECT_EQ(retry[3], (SfMParamGroup{7500, 1000, 0.76, 2.5, 540}));  // fewer features than group 3
    EXPECT_EQ(retry[9], (SfMParamGroup{9000, 1400, 0.96, 7.0, 900}));
    for (int i = 1; i < 10; ++i) EXPECT_GT(retry[i].maxIterations, retry[i - 1].maxIterations) << i;
}

// Emits a map from another thread through a queued connection, as the calibration thread does.
class Emitter : public QObject {
    Q_OBJECT
signals:
    void finished(bool ok, QString info, QMap<QString, CameraCalibParams> results);
};

class Receiver : public QObject {
    Q_OBJECT
public slots:
    void onFinished(bool, QString, QMap<QString, CameraCalibParams> results) {
        received = results;
        QCoreApplication::quit();
    }

public:
    CameraCalibParamsMap received;
};

TEST(CameraCalibParamsMap, SurvivesAQueuedSignalUnchanged) {
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    registerCalibrationMetaTypes();
    registerCalibrationMetaTypes();
    EXPECT_NE(QMetaType::type("CameraCalibParamsMap"), 0);
    EXPECT_EQ(QMetaType::type("QMap<QString, CameraCalibParams>"), QMetaType::type("CameraCalibParamsMap"));

    CameraCalibParams p;
    p.fx = 1490.25; p.fy = 1491.5; p.cx = 639.1; p.cy = 481.7;
    p.k1 = -0.11; p.k2 = 0.07; p.p1 = 1e-4; p.p2 = -2e-4; p.k3 = 0;
    p.imageWidth = 1280; p.imageHeight = 960; p.band = "3"; p.priorSource = "XMP Camera namespace";
    p.focalLengthMm = 5.58; p.principalXMm = 2.39; p.principalYMm = 1.8; p.pixelSizeUm = 3.75;
    p.initialRmsPx = 2.5; p.finalRmsPx = 0.4; p.p90ErrorPx = 0.7; p.minCoverage = 0.66;
    p.adjustedTrackCount = 612; p.selectedTrackCount = 612; p.accepted = true;
    CameraCalibParamsMap sent{{"3", p}, {"5", CameraCalibParams{}}};
    sent["5"].band = "5";
    sent["5"].accepted = true;

    Emitter emitter;
    Receiver receiver;
    QObject::connect(&emitter, &Emitter::finished, &receiver, &Receiver::onFinished, Qt::QueuedConnection);
    QThread* worker = QThread::create([&] { emit emitter.finished(true, "done", sent); });
    worker->start();
    QTimer::singleShot(5000, &app, &QCoreApplication::quit);
    app.exec();
    worker->wait();
    delete worker;
    EXPECT_EQ(receiver.received, sent);
    EXPECT_EQ(receiver.received.value("3").minCoverage, 0.66);
}

}  // namespace

#include "calib_params_test.moc"
