#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QVector>
#include <array>
#include <functional>
#include <vector>

#include "calib_params.h"
#include "camera_info.h"
#include "panel_geometry.h"
#include "radiometric_calibration.h"
#include "raw_scan.h"
#include "run_threads.h"
#include "run_report.h"

namespace refl {
class CImageRegistrationThread;
class CSfMCalibrationThread;
}  // namespace refl
class OperatorDialogs;
struct FlightState;

// What a run shows while it goes; the window implements it with its controls, the batch command
// with lines on standard error.
class RunView {
public:
    virtual ~RunView() = default;
    virtual OperatorDialogs& dialogs() = 0;
    virtual void setPhaseText(const QString& text) = 0;
    virtual void setProgress(int percent) = 0;
    virtual void setProgressVisible(bool visible) = 0;
    virtual void setRunControlsEnabled(bool enabled) = 0;
    virtual void setPanelViewsEnabled(bool enabled) = 0;
    // The panel code carries reflectances: show them as the band's standard reflectance.
    virtual void setStandardReflectance(int band, double value) = 0;
    // Shows the recognised panels; false when the operator stops the run.
    virtual bool confirmPanelPreviews(const QString& folder, const QStringList& panelImages) = 0;
};

enum class RegistrationMode { Common, PerGroup, None };

// Everything a run takes from the window when "处理" is pressed.
struct RunRequest {
    RawScanResult scan;
    QString rawDirectory;
    QString resultDirectory;
    bool reflectance = true;
    RegistrationMode registration = RegistrationMode::Common;
    std::array<double, 6> standardReflectance{{0.61, 0.61, 0.61, 0.61, 0.61, 0.61}};
    QStringList panelImages;      // in table order, N per group
    QStringList panelBandLabels;  // one per panel image
    QVector<bool> regionDrawn;    // per panel image: an outline was drawn on its view
    QVector<QStringList> outlines;  // per panel image: the view's outline as "x,y" texts
    QString previewDir;           // where recognition previews go; empty = beside the program
    QString registrationTempDir;  // scratch folder of the registration; empty = temp_reg beside the program
};

enum class RunOutcome { Completed, Refused, Stopped, Failed };

// The processing run: input checks, the panel phase, the pool of per-file tasks and its progress,
// and stop. Lives on the GUI thread; the tasks run in its thread pool.
class RunController : public QObject {
    Q_OBJECT

public:
    explicit RunController(RunView& view, QObject* parent = nullptr);
    ~RunController() override;

    // Checks the request and, when it is sound, runs it; the outcome arrives with finished().
    void start(const RunRequest& request);
    // Stops the registration when it runs, else the pool phase (queued files are dropped,
    // running ones finish).
    void stop();
    // Registers and merges the band files already in `folders`, as a run does after its pool, but
    // deletes nothing there (the files are not this run's own). The outcome arrives with finished().
    void startRegistrationOnly(const QStringList& folders, RegistrationMode mode, bool reflectance,
                               int bandCount = 0, const QString& tempDir = QString());

    bool isRunning() const { return m_running; }
    bool isRegistering() const { return m_registration != nullptr; }
    bool isCalibrating() const { return m_calibrationThread != nullptr; }
    // Self-calibration of the lenses between the panel phase and the pool (on by default; never
    // for camera type 6).
    void setSelfCalibrationEnabled(bool enabled) { m_selfCalibrationEnabled = enabled; }
    // The threads every pool and parallel loop of the following runs may use (default: all cores).
    void setThreadCount(int threads) { m_threads = RunThreads(threads); }
    int threadCount() const { return m_threads.count(); }
    // The accepted self-calibration records of the current (or last) run.
    const refl::CameraCalibParamsMap& calibrationResults() const { return m_calibration; }
    // The registration thread while one exists (owned by the controller), else null.
    QThread* registrationThread() const;
    const QStringList& outputFolders() const { return m_outputFolders; }
    const QVector<double>& meanPanelValues() const { return m_meanPanelValue; }
    const refl::PanelCameraInfo& camera() const { return m_camera; }
    int processedCount() const { return m_processed; }
    // Images of the last pool phase that were counted out without an output (unreadable, refused
    // calibration, output not writable), in the order they ended.
    const QStringList& notConverted() const { return m_notConverted; }
    // Bands of the last registration that a person should look at ("capture band (why)"), and the
    // quality files it wrote beside the results.
    const QStringList& registrationBandsToCheck() const { return m_bandsToCheck; }
    const QStringList& registrationQualityFiles() const { return m_qualityFiles; }
    int totalCount() const { return m_total; }
    // report.html of the last run that ended (empty when it could not be written) and its data.
    QString reportPath() const { return m_report.lastPath(); }
    const RunReportData& reportData() const { return m_report.data(); }
    // The working standard reflectances of the current (or last) run.
    const std::array<double, 6>& workingReflectance() const { return m_workingReflectance; }

    // Once-per-flight results (run_controller_state.cpp). flightState(): the camera, bands, factory
    // calibration, panel values and lenses of the current (or last) run. startWithFlightState(): the
    // pool and the registration of `request` with those of `state` instead of the panel phase and
    // the self-calibration. With stop-before-pool set, a run ends (completed) where its pool would start.
    FlightState flightState() const;
    void startWithFlightState(const RunRequest& request, const FlightState& state);
    void setStopBeforePool(bool on) { m_stopBeforePool = on; }
    // Called with each registration thread the controller creates, before it starts.
    void setRegistrationSetup(std::function<void(refl::CImageRegistrationThread&)> setup) {
        m_registrationSetup = std::move(setup);
    }
    // Called with the report's data when a run begins (a shard's report says which shard it is).
    void setReportSetup(std::function<void(RunReportData&)> setup) { m_reportSetup = std::move(setup); }

signals:
    void finished(RunOutcome outcome);

public slots:
    // One file was finished (or skipped) by the pool.
    void slotReceiveCount();
    // Whether the pool's task for one image left its output behind (comes just before the count).
    void noteConversion(const QString& inputPath, bool written);
    // The pool phase of a reflectance run, and of a radiance run.
    void slotContinueAfterSfMCalibration();
    void slotContinueAfterSfMCalibrationRad();
    // Signals of the self-calibration thread.
    void slotSfMCalibrationProgress(int progress, QString info);
    void slotSfMCalibrationFinished(bool success, QString info,
                                    QMap<QString, refl::CameraCalibParams> results);
    // Signals of the registration thread.
    void slotRegistrationProgress(int progress, QString info);
    void slotRegistrationFinished(bool success, QString info);

private:
    bool refuse(bool warning, const QString& title, const QString& text, bool parented = true);
    void end(RunOutcome outcome);
    // The folders every run needs (raw and result); refuses with the first that is missing.
    bool checkFolders();
    bool checkReflectanceRequest();
    bool runPanelPhase();
    bool recognisePanels();
    // One image among those that stand for the camera (panel images, or the capture of a radiance
    // run) that gave no calibration, and why.
    struct ImageFault {
        enum Kind { Unreadable, OldModel, ItemCalibration, GainOrExposure };
        int image;
        Kind kind;
    };
    // Reads the raw pixels and calibration of `images` into the run state; the faults, in image order.
    QVector<ImageFault> readCalibration(const QStringList& images);
    static bool noneReadable(const QVector<ImageFault>& faults, int imageCount);
    QString faultText(const QVector<ImageFault>& faults, const QStringList& images) const;
    bool buildMaps();
    // The panel images' calibration; panel groups with an unreadable image are left out.
    bool readPanelCalibration();
    // The camera and calibration of a radiance run, from the first capture whose files all read.
    bool readRadianceCapture();
    bool computePanelValues();
    // The end of a run with images that could not be converted: which, and where the log is.
    QString notConvertedText() const;
    void freePanelData();
    void startRadianceRun();
    void startSelfCalibration(bool radiance);
    void startJpgRun();
    bool createOutputFolders();
    void startPool(bool jpg);
    void bandMismatch();
    QString inputPath(int index) const;
    void startRegistration(const QStringList& folders, bool common, bool reflectance, int bandCount,
                           bool deleteIntermediates, const QString& tempDir);
    // Report hooks (run_controller_report.cpp).
    void beginReport(const QString& kind);
    void reportPanels();
    void reportLenses(bool ran, const QString& whyNot);
    void finishReport(RunOutcome outcome);

    RunView& m_view;
    RunRequest m_request;
    QThreadPool m_pool;
    RunThreads m_threads;

    bool m_running = false;
    bool m_jpgRun = false;
    bool m_reflectanceRun = false;
    bool m_autoRecognition = true;
    // True when the window is created; the compact reader may change it.
    bool m_keyedFlag = true;
    quint8 m_layoutFlag = 0;

    refl::PanelCameraInfo m_camera;
    QStringList m_panelImages;
    QStringList m_panelBandLabels;
    int m_panelGroupCount = 0;
    QVector<PanelGeometry> m_geometry;
    QVector<refl::RadiometricCalibration> m_records;
    std::vector<std::vector<uint16_t>> m_planes;
    std::vector<refl::VignettingMap> m_maps;
    QVector<double> m_panelValues;
    QVector<double> m_meanPanelValue;
    std::array<double, 6> m_workingReflectance{{0.61, 0.61, 0.61, 0.61, 0.61, 0.61}};
    refl::CameraCalibParamsMap m_calibration;

    QStringList m_outputFolders;
    QStringList m_notConverted;
    QStringList m_bandsToCheck;
    QStringList m_qualityFiles;
    int m_total = 0;
    int m_processed = 0;
    int m_cursor = 0;

    // The registration thread of the current run; null when none runs.
    refl::CImageRegistrationThread* m_registration = nullptr;
    bool m_registrationReflectance = false;
    bool m_registrationStopped = false;

    // The self-calibration thread of the current run; null when none runs.
    refl::CSfMCalibrationThread* m_calibrationThread = nullptr;
    bool m_calibrationStopped = false;
    bool m_calibrationRadiance = false;
    bool m_selfCalibrationEnabled = true;

    bool m_stopBeforePool = false;
    std::function<void(refl::CImageRegistrationThread&)> m_registrationSetup;
    std::function<void(RunReportData&)> m_reportSetup;
    RunReportLog m_report;
};

Q_DECLARE_METATYPE(RunOutcome)
