// The run report: one self-contained report.html in the result folder (figures inlined as data
// URIs, no script, nothing fetched), written at the end of every run, also a stopped or failed one.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QVector>
#include <array>
#include <cmath>
#include <opencv2/core.hpp>

#include "calib_params.h"

// One row of registration_quality.csv (one band of one capture).
struct RegistrationQualityRow {
    QString capture;
    QString band;
    QString referenceBand;
    QString method;  // "features", "consensus", "bridged", "common", "common-own", "reference", "none"
    QString inliers;
    QString ecc;  // the pair registration's ECC status, may be empty
    double residualMedianPx = std::nan("");
    double residualP90Px = std::nan("");
    int windows = 0;
    QString verdict;  // "good", "poor", "unmeasured", "reference", "unregistered"
    QString measuredThrough;  // neighbouring band the residual was measured through; empty: directly

    // A band a person should look at: measured poor, or merged without registration.
    bool needsLook() const { return verdict == "poor" || verdict == "unregistered"; }
};

// Reads registration_quality.csv. False (with the reason) when the file is missing, has not the
// expected header or a row has not the expected number of fields.
bool readRegistrationQuality(const QString& path, QVector<RegistrationQualityRow>& rows, QString* why = nullptr);

// The rows of every registration_quality.csv in `folders` (missing files are skipped); `found`
// tells whether any file was there.
QVector<RegistrationQualityRow> registrationQualityOf(const QStringList& folders, bool* found = nullptr,
                                                      const QStringList& names = {
                                                          "registration_quality.csv"});

// Everything the report shows; filled by the run controller as the run goes.
struct RunReportData {
    // The run.
    QString kind;  // "reflectance", "radiance", "jpg", "registration only"
    QString rawDirectory;
    QString resultDirectory;
    QStringList outputFolders;
    QString registrationMode;  // "common", "per-group", "none"
    bool selfCalibrationEnabled = true;
    int cameraType = -1;
    int imageCount = 0;
    int captureCount = 0;
    int bandCount = 0;
    QStringList bandLabels;
    int processedCount = 0;
    QStringList notConverted;
    QDateTime startedAt;
    QDateTime endedAt;
    QVector<QPair<QString, double>> phaseSeconds;  // in the order the phases ran
    QString outcome;                                // "completed", "stopped", "failed", "refused"
    QStringList messages;                           // warnings and the end message, in order
    QString logPath;

    // The panel.
    struct Panel {
        QString image;
        QString bandLabel;
        std::array<QPoint, 4> outline;  // top-left, bottom-left, top-right, bottom-right
        bool outlineValid = false;
        double value = std::nan("");
        cv::Mat preview;  // 8-bit grey, already scaled down; the outline is drawn when written
        double previewScale = 1.0;
    };
    QVector<Panel> panels;
    bool automaticRecognition = true;
    QVector<int> codeValues;  // percent values carried by the panel code
    QVector<double> meanPanelValue;
    std::array<double, 6> standardReflectance{{0, 0, 0, 0, 0, 0}};

    // The self-calibration.
    struct Lens {
        QString band;
        bool xmpKnown = false;
        std::array<double, 8> xmp{{0, 0, 0, 0, 0, 0, 0, 0}};  // fx fy cx cy k1 k2 p1 p2
        bool selfCalibrated = false;
        refl::CameraCalibParams self;
        QString note;  // accepted / kept, and why
    };
    QVector<Lens> lenses;
    QString calibrationSummary;
    bool selfCalibrationRan = false;
    QString selfCalibrationWhyNot;  // when it did not run

    // Where the report goes: <resultDirectory>/<reportName>; empty for a run that only prepares a
    // flight state (its report would overwrite the one of the flight's run).
    QString reportName = QStringLiteral("report.html");
    // Names of the quality files beside the merged captures.
    QStringList qualityFileNames{QStringLiteral("registration_quality.csv")};
    // When not empty: the merged captures the report covers (else every one in the output folders).
    QStringList mergedFiles;
    // Panel values not measured by this run: where they came from (a flight state).
    QString panelSource;

    // Capture shards (--shard I/N). A shard's report is report_shard-I-of-N.html beside a
    // report_shard-I-of-N.json that --merge-reports combines; it covers the shard's own captures
    // (`shardCaptureIds`, "<output folder name>|<capture key>") and its own quality file.
    int shardIndex = -1;
    int shardCount = 0;
    QStringList shardCaptureKeys;  // in the scan's order
    QStringList shardCaptureIds;
    int flightCaptureCount = 0;  // captures of the whole flight
    QString flightFingerprint;   // names and sizes of the flight's images
    QString stateFile;           // the flight state the run started from, and its checksum
    QString stateChecksum;
    bool isShard() const { return shardCount > 0 && shardIndex >= 0; }

    // A report merged from shard reports: one entry per shard report, by index, and the shards
    // without a report.
    struct ShardEntry {
        int index = 0;
        QString outcome;
        QDateTime startedAt;
        QDateTime endedAt;
        QStringList captureKeys;
        int mergedCaptures = 0;
        int processedCount = 0;
        int notConverted = 0;
        QString logPath;
        QString report;  // file name of the shard's own report
    };
    QVector<ShardEntry> shards;
    QVector<int> missingShards;
};

// Counts the end summary of the batch command gives and the report shows at its top.
struct RunCounts {
    int mergedCaptures = 0;
    int convertedImages = 0;
    int notConverted = 0;
    int bandsToLook = 0;        // verdict poor or unregistered
    int bandsUnmeasured = 0;
    bool qualityMeasured = false;  // a registration_quality.csv was found
};
RunCounts countRun(const RunReportData& data);

// The merged captures of the output folders, sorted by path.
QStringList mergedCaptureFiles(const QStringList& folders);
// The merged captures a report covers: `mergedFiles` when set, else those of the output folders
// (of the shard's captures for a shard).
QStringList reportMergedFiles(const RunReportData& data);
// The registration quality rows a report covers (its quality files in its output folders).
QVector<RegistrationQualityRow> reportQualityRows(const RunReportData& data, bool* found = nullptr);

// File name of a shard's report (ext "html" or "json").
QString shardReportName(int index, int count, const QString& ext);

// Writes <resultDirectory>/report.html (a shard: report_shard-I-of-N.html and its .json). Returns
// its path, or empty (logged) when it could not be written; the file is replaced whole (written
// under another name, then renamed).
QString writeRunReport(const RunReportData& data);

// Measures the phases of a run and keeps the report's data; owned by the run controller.
class RunReportLog {
public:
    void begin(const QString& kind);
    // Closes the phase in progress (if any) and opens `phase`.
    void enterPhase(const QString& phase);
    void note(const QString& message);
    // Closes the phase in progress and writes the report; returns its path (empty when not written).
    QString finish(const QString& outcome);
    // Ends without a report (a refused run leaves the result folder as it was).
    void drop() { m_active = false; }

    RunReportData& data() { return m_data; }
    const RunReportData& data() const { return m_data; }
    bool active() const { return m_active; }
    // Whether `phase` was entered since begin().
    bool reached(const QString& phase) const;
    QString lastPath() const { return m_lastPath; }

private:
    void closePhase();

    RunReportData m_data;
    QElapsedTimer m_clock;
    QString m_phase;
    bool m_active = false;
    QString m_lastPath;
};

// The report's lens table: per band the XMP lens of the band's first image (with the run's pixel
// size and focal length fallbacks) against the accepted self-calibration, and why a band kept its
// XMP lens. `ran` is false when the self-calibration was not run at all (`whyNot` says why).
void collectLensReport(RunReportData& data, const QStringList& firstGroupFiles, const QStringList& bandLabels,
                       const refl::CameraCalibParamsMap& results, int width, int height, double pixelSizeUm,
                       double focalMm, bool ran, const QString& whyNot);

// One panel image of the report: its 16-bit plane scaled down to a preview, with its outline.
RunReportData::Panel panelReportEntry(const QString& image, const QString& bandLabel, const uint16_t* plane, int width,
                                      int height, bool outlineValid, const std::array<QPoint, 4>& outline,
                                      double value);
