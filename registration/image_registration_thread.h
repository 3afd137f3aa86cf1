// The registration worker: finds the converted band files of a run, registers every band of each
// capture onto its reference band, and merges each capture into one multi-band TIFF with its tags.
#pragma once

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "pair_registration.h"
#include "registration_quality.h"

namespace refl {

class CImageRegistrationThread : public QThread {
    Q_OBJECT

public:
    using PairMatrixFunction = std::function<QList<double>(const QString& refPath, const QString& srcPath,
                                                           const RegistrationProgressCallback&)>;
    using CommonMatrixFunction = std::function<QList<double>(
        const QStringList& refPaths, const QStringList& srcPaths, const RegistrationProgressCallback&)>;

    CImageRegistrationThread(const QStringList& folders, int bandCount, bool commonMode,
                             bool outputReflectance, QObject* parent = nullptr);
    ~CImageRegistrationThread() override;

    // Asks the thread to stop at its next stop point; the caller then waits for it.
    void stop();
    bool stopRequested() const { return m_stopRequested.load() != 0; }

    // A run deletes its own intermediate band files after each merge; re-registering files that
    // are not the run's own (the batch command's --register-only) keeps them.
    void setDeleteIntermediates(bool on) { m_deleteIntermediates = on; }
    bool deleteIntermediates() const { return m_deleteIntermediates; }
    // Scratch folder of the warped bands (default: temp_reg beside the program, else under the
    // system's temporary folder). Removed with everything in it when the job ends.
    void setTemporaryFolder(const QString& folder) { m_tempFolder = folder; }
    // The matrices (every band of every capture in per-group mode, every band in common mode) and
    // their measurements run on this many threads (the matrix functions must then be safe to call
    // concurrently). Results, notices and merges do not depend on the number.
    void setBandWorkers(int workers) { m_bandWorkers = std::max(1, workers); }
    int bandWorkers() const { return m_bandWorkers; }
    QString temporaryFolder() const { return m_tempFolder; }
    // The matrix estimators (default: the pair registration pipeline); tests put stand-ins here.
    void setMatrixFunctions(PairMatrixFunction pair, CommonMatrixFunction common);

    // Common mode with matrices known beforehand (another run of the flight, or of an earlier flight
    // of the camera): band index -> nine numbers, with the reference band index (-1: none, every
    // capture is merged unregistered). The matrices are then not computed. After a common-mode job,
    // commonMatrices() and commonReferenceIndex() hold the ones it used.
    void setCommonMatrices(int referenceIndex, const QMap<int, QList<double>>& refFromBand);
    QMap<int, QList<double>> commonMatrices() const { return m_commonRefFromBand; }
    int commonReferenceIndex() const { return m_commonReference; }
    // Only the band files this accepts are registered and merged (a share of the flight's captures
    // when several programs write into one result folder).
    void setFileFilter(std::function<bool(const QString& bandPath)> accept) { m_fileFilter = std::move(accept); }
    // After the run: one record per band of every merged capture, in capture and band order.
    const std::vector<BandRegistrationRecord>& qualityRecords() const { return m_records; }
    // The quality file written beside the results of each folder; programs that share a result
    // folder (capture shards) give each their own name.
    static QString qualityFileName() { return QStringLiteral("registration_quality.csv"); }
    void setQualityFileName(const QString& name) { m_qualityFile = name; }

    static QString defaultTemporaryFolder();

    // Adds the band files under `folder` (recursively) to `files`: "_Correct" files, and other
    // files only when they have no corrected twin; merged files, panel images and masks never.
    static void scanTifFiles(const QString& folder, QStringList& files);
    // Files by capture, each capture's files by ascending wavelength. When the files lie in more
    // than one folder, captures of different folders stay apart (key "folder|number").
    static QMap<QString, QStringList> groupByGroupNumber(const QStringList& files);
    // The band holding "660" in its name, else the middle one.
    static int referenceIndex(const QStringList& groupFiles);
    static double readRelativeAltitude(const QString& path);
    // Up to `maxGroups` captures flown at about the same altitude (largestAltitudeCluster), logged.
    static QStringList findComparableAltitudeGroups(const QMap<QString, QStringList>& groups, int maxGroups);
    // Warps a band into the reference geometry with the nine-number band-to-reference matrix.
    static bool registrationConversion(const QString& bandPath, const QString& outputPath,
                                       const QList<double>& refFromBand);

    // Merge and tags with this thread's sample type and stop flag.
    bool mergeBandsToTif(const QStringList& bandFiles, const QString& mergedPath, const QString& prefix,
                         const QStringList& bandNames);
    bool writeExifTags(const QString& mergedPath, const QString& referencePath, const QString& prefix,
                       const QStringList& bandNames, const QByteArray& extraXmp = {});

signals:
    void signalRegistrationProgress(int progress, QString info);
    void signalRegistrationFinished(bool success, QString info);
    // Just before the finished signal of a run that merged captures: the bands a person should look
    // at ("capture band (why)") and the quality files written.
    void signalRegistrationQuality(QStringList bandsToCheck, QStringList qualityFiles);

protected:
    void run() override;

private:
    void runPerGroupMode();
    void runCommonMode();
    bool scanAndGroup(QMap<QString, QStringList>& groups, bool listFiles);
    void finishStopped();
    void removeWorkFolder();
    void removeTemporaryEntries(const QStringList& registered, int keep);
    // Merges one capture, sets its tags and, for a run's own files, deletes the band files.
    bool mergeGroup(const QString& key, const QStringList& groupFiles, const QStringList& registered,
                    const QString& referencePath, bool commonLog,
                    const std::vector<BandRegistrationRecord>& records = {});
    void deleteGroupFiles(const QStringList& groupFiles);
    RegistrationProgressCallback noticeCallback();

    using PairOutcomeFunction = std::function<QList<double>(
        const QString& refPath, const QString& srcPath, const RegistrationProgressCallback&, PairRegistrationSummary*)>;
    using CommonOutcomeFunction =
        std::function<QList<double>(const QStringList& refPaths, const QStringList& srcPaths,
                                    const RegistrationProgressCallback&, PairRegistrationSummary*)>;

    // One band of one capture through the run.
    struct BandState {
        QList<double> refFromBand;  // nine row-major numbers, band to reference pixels; empty: none
        PairRegistrationSummary pair;
        QVector<QPair<int, QString>> notices;
        bool computed = false;
        BandRegistrationRecord record;
    };
    struct CaptureState {
        QString key;
        QStringList files;
        int reference = 0;
        bool registers = false;  // has a reference and at least one other band
        std::vector<BandState> bands;
    };
    // A registration result that is a matrix (nine values); empty when it failed or was not tried.
    static bool hasMatrix(const QList<double>& m) { return m.size() >= 9; }
    std::vector<CaptureState> captureStates(const QMap<QString, QStringList>& groups, int commonReference);
    // Runs job(i) for every i in [0, count) on the band workers; the calling thread reports progress
    // between `from` and `to` after each job it finished. False when stopped.
    bool runJobs(int count, const std::function<void(int)>& job, int from, int to, const QString& text);
    // The same with the caller's own report: finished(i) runs on this thread, in job order.
    bool runJobs(int count, const std::function<void(int)>& job, const std::function<void(int)>& finished);
    // Measures band b of a capture under its matrix (reading both files).
    void measureBand(const CaptureState& capture, int b, BandState& band) const;
    // Per-group mode: the flight's consensus per band for the captures whose own matrix measures
    // poorly, disagrees with the consensus or failed.
    bool applyFlightConsensus(std::vector<CaptureState>& captures);
    struct ConsensusJob {
        int capture, band;
        bool hasConsensus;
        cv::Matx33d consensus;  // the flight's refFromBand for this band
    };
    static std::vector<ConsensusJob> planFlightConsensus(const std::vector<CaptureState>& captures);
    static void improveFromConsensus(CaptureState& capture, const ConsensusJob& job);
    // Common mode's matrices: the captures they are estimated on, the reference band, the band count,
    // one state per band (given matrices already computed) and the bands left to compute.
    struct CommonPlan {
        QStringList selected;
        int reference = -1;
        int bandCount = 0;
        std::vector<BandState> bands;
        std::vector<int> toCompute;
    };
    CommonPlan planCommonMatrices(const QMap<QString, QStringList>& groups);
    // Estimates the matrices left to compute, every (band, capture) attempt a job of its own or one job
    // per band (m_commonMatrix); false when stopped.
    bool computeCommonMatricesByCapture(const QMap<QString, QStringList>& groups, CommonPlan& plan);
    bool computeCommonMatricesByBand(const QMap<QString, QStringList>& groups, CommonPlan& plan);
    // Progress of the j-th of `count` bands whose matrix is computed.
    void reportCommonBand(int j, int count);
    // The notices of the computation, in band order, and its outcome per band to the log.
    void forwardCommonNotices(const CommonPlan& plan);
    // Every capture with a reference band takes the common matrices.
    void applyCommonMatrices(const CommonPlan& plan, std::vector<CaptureState>& captures) const;
    // Common mode: every capture's bands checked under the common matrices, improved where poor.
    bool checkCommonMatrices(std::vector<CaptureState>& captures);
    // Bands too plain to measure against the reference are measured through a neighbouring band
    // already placed on it, and a band found off that way is refined onto that neighbour.
    bool measureThroughNeighbours(std::vector<CaptureState>& captures, int from, int to);
    // Merges every capture in order, then writes the quality files and reports; false when stopped.
    void mergeAndReport(std::vector<CaptureState>& captures, bool commonLog, int from);
    struct MergeOutcome {
        bool finished = false;
        bool merged = false;
        std::vector<BandRegistrationRecord> records;
    };
    MergeOutcome mergeCapture(CaptureState& capture, int c, bool commonLog);
    void announceMerged(int captureCount, int merged, const QStringList& qualityFiles);

    QStringList m_folders;
    int m_bandCount = 0;
    bool m_commonMode = false;
    bool m_outputReflectance = false;
    bool m_deleteIntermediates = true;
    std::atomic<int> m_stopRequested{0};
    QString m_tempFolder;
    QString m_workFolder;  // this run's own folder inside m_tempFolder
    // The reference band of a capture is extracted once for all its bands (and, in common mode,
    // once for every band registered against it).
    ReferenceBandCache m_referenceCache;
    int m_bandWorkers = 1;
    PairOutcomeFunction m_pairMatrix;
    CommonOutcomeFunction m_commonMatrix;
    bool m_commonByGroup = true;  // the default common matrix: its capture attempts run as separate jobs
    bool m_commonPreset = false;
    int m_commonReference = -1;
    QMap<int, QList<double>> m_commonRefFromBand;  // band index -> its common matrix onto the reference
    std::function<bool(const QString&)> m_fileFilter;
    std::vector<BandRegistrationRecord> m_records;
    QString m_qualityFile = qualityFileName();
};

// File-name fields of a band file: prefix (1st '_' field), capture number (2nd), band name (3rd up
// to its first '.').
namespace regnames {
QString prefixOf(const QString& path);
QString groupNumberOf(const QString& path);
QString bandNameOf(const QString& path);
int wavelengthOf(const QString& path);
}  // namespace regnames

}  // namespace refl
