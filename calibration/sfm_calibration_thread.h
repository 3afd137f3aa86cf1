#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QThread>

#include "calib_params.h"
#include "sfm_features.h"

// Self-calibration of every band's lens from a few captures of the flight taken at about the same
// altitude. Reports only through its two signals; stop() raises the flag the worker polls.
class CSfMCalibrationThread : public QThread {
    Q_OBJECT

public:
    CSfMCalibrationThread(const QString& inputDir, double pixelSizeUm, double focalMm,
                          QObject* parent = nullptr);
    ~CSfMCalibrationThread() override;

    void stop() { stopRequested.store(1, std::memory_order_relaxed); }
    bool isStopRequested() const { return sfmStopRequested(&stopRequested); }

    // One calibration attempt of one band; true when its adjustment was accepted. The record is
    // filled whenever an adjustment ran, accepted or not.
    virtual bool calibrateBand(const QStringList& files, const QString& band, double pixelSizeUm,
                               double focalMm, CameraCalibParams& out, const SfMParamGroup& group);

    // Raw band TIFFs under dir (recursive), skipping the program's own merged, panel and corrected
    // files.
    static QStringList scanTifFiles(const QString& dir);
    // Capture key (second "_" field) -> paths in scan order; names without one are dropped.
    static QMap<QString, QStringList> groupFilesByCapture(const QStringList& files);
    // Band key -> paths in list order; names without a band field are dropped.
    static QMap<QString, QStringList> groupFilesByBand(const QStringList& files);
    // Up to maxCount capture keys of the most populated altitude cluster (1 m), in joining order.
    QStringList selectComparableGroups(const QMap<QString, QStringList>& captures, int maxCount) const;
    // "Xmp.Camera.RelativeAltitude" of a file; -9999 when missing or unreadable.
    virtual double readRelativeAltitude(const QString& path) const;

    // The cores one band's adjustment may use (results do not depend on it).
    void setAdjustmentThreads(int threads) { m_threads = threads; }

signals:
    void signalCalibrationProgress(int progress, QString info);
    void signalCalibrationFinished(bool success, QString info, QMap<QString, CameraCalibParams> results);

protected:
    void run() override;

private:
    QString inputDir;
    double pixelSizeUm = 3.75;
    double focalMm = 0.0;
    SfmStopFlag stopRequested{0};
    CameraCalibParamsMap results;
    int m_threads = 2;
};
