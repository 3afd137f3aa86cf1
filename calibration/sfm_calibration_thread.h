#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QThread>
#include <algorithm>

#include "calib_params.h"
#include "sfm_features.h"

namespace refl {

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

    // The threads of the run (results do not depend on it): the bands that run at once share them
    // between their adjustments.
    void setAdjustmentThreads(int threads) { m_threads = std::max(1, threads); }
    // How many threads the calibration uses: bands calibrated at once (default: the machine's cores;
    // results do not depend on it). Each band holds one image and the features of its images at a
    // time.
    void setThreadCount(int threads) { m_bandThreads = std::max(1, threads); }
    int threadCount() const { return m_bandThreads; }
    // After run(): the last attempt's record of every band that was calibrated, with the lens
    // decision (also for bands that keep the XMP lens, which have no entry in the results).
    const CameraCalibParamsMap& bandReports() const { return m_bandReports; }

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
    struct BandOutcome {
        bool started = false;
        bool done = false;
        bool ok = false;
        CameraCalibParams record;
    };
    // The default group, then the retry groups until one attempt succeeds.
    bool calibrateWithRetries(const QStringList& files, const QString& band, CameraCalibParams* record);
    // Steps of run().
    bool chooseBandFiles(QMap<QString, QStringList>& bands);
    bool calibrateBands(const QMap<QString, QStringList>& bands, int& succeeded);
    bool takeBandOutcome(const QString& band, const BandOutcome& outcome, int progress);
    QString summary(int succeeded, int bandCount) const;

    CameraCalibParamsMap results;
    CameraCalibParamsMap m_bandReports;
    int m_threads = 1;
    int m_adjustmentThreads = 1;  // per band during run()
    int m_bandThreads = std::max(1, QThread::idealThreadCount());
};

}  // namespace refl
