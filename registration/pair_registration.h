// Registration of one band image (src) onto another band of the same capture (ref): Wallis filter,
// RIFT2 features, mutual ratio-test matching, a MAGSAC++ homography and an ECC refinement tried on
// two image representations. The returned matrices map src pixel coordinates onto ref pixels.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <tuple>
#include <vector>

#include "contrast_stretch.h"
#include "rift2.h"
#include "statistics.h"

namespace refl {

// The settings of one registration attempt (the default set and the ten retry sets differ only in
// maxFeatures, loweRatio, magsacThreshold and eccIterations).
struct PairRegistrationParams {
    int wallisWindow = 31;         // Gaussian window of the Wallis filter, pixels (odd, at least 3)
    int maxFeatures = 4500;        // RIFT2 keypoints kept per image
    int orientations = 6;          // filter orientations of the phase congruency
    int scales = 4;                // filter scales of the phase congruency
    int patchSize = 72;            // side of the RIFT2 descriptor patch, pixels
    double secondaryRatio = 0.8;   // a second dominant orientation needs this share of the first
    double loweRatio = 0.8;        // nearest-neighbour ratio test of the matcher
    double magsacThreshold = 3.0;  // reprojection threshold of the MAGSAC++ homography, pixels
    int eccIterations = 300;       // iteration cap of the ECC refinement on its coarsest image
    double eccEpsilon = 1e-7;      // the refinement stops when the correlation changes less

    // Empty when an attempt can run with these settings, else which setting is out of range.
    QString validate() const;
};

struct EccCandidateRecord {
    QString name;
    QString verdict;  // "accepted", "rejected" or "failed"
    double correlation = 0.0;
    double medianError = 0.0;
    QString note;               // why a candidate failed
    int reducedIterations = 0;  // iterations on the reduced images
    int fullSizeIterations = 0;
};

struct PairRegistrationResult {
    // 3x3 CV_64F, src pixels to ref pixels: the MAGSAC++ estimate (element (2,2) = 1), and the result
    // (ECC-refined, or that estimate).
    cv::Mat magsacRefFromSrc;
    cv::Mat refFromSrc;
    int srcKeypoints = 0;
    int refKeypoints = 0;
    int matches = 0;
    int inliers = 0;
    double homographyMedianError = 0.0;
    double finalMedianError = 0.0;
    QString status;
    double eccCorrelation = -1.0;
    QString method;
    int srcDescriptors = 0;
    int refDescriptors = 0;
    double homographyP90Error = 0.0;
    double finalP90Error = 0.0;
    double matchDistanceMedian = 0.0;
    std::vector<EccCandidateRecord> candidates;
    bool ok = false;
    QString error;

    bool succeeded() const { return ok && !refFromSrc.empty(); }
};

// The default set followed by the ten retry sets, in the order they are tried.
PairRegistrationParams defaultPairRegistrationParams();
const std::vector<PairRegistrationParams>& retryParameterGroups();

// Receives the progress notices of the matrix functions (progress -1 plus a message when a band
// fails with every parameter set). The registration thread forwards them to its progress signal.
using RegistrationProgressCallback = std::function<void(int progress, const QString& info)>;

PairRegistrationResult estimatePairRegistration(const cv::Mat& src, const cv::Mat& ref, const QString& tag,
                                                const PairRegistrationParams& params);
PairRegistrationResult estimatePairRegistration(const cv::Mat& src, const cv::Mat& ref, const QString& tag,
                                                int wallisWindow, int maxFeatures, int orientations,
                                                int scales, int patchSize, double secondaryRatio,
                                                double loweRatio, double magsacThreshold, int eccIterations,
                                                double eccEpsilon);

// The Wallis image, the RIFT2 features and the byte-scaled moment map of one band under one parameter
// set: everything an attempt derives from one image alone.
struct PreparedBand {
    cv::Mat wallis;
    Rift2Features features;
    cv::Mat maxMomentUnit;
};
PreparedBand prepareBand(const cv::Mat& image, const PairRegistrationParams& params);

// The same attempt with the reference band prepared beforehand (by the same parameters); the
// results are those of the overload above.
PairRegistrationResult estimatePairRegistration(const cv::Mat& src, const PreparedBand& ref, const QString& tag,
                                                const PairRegistrationParams& params);

// Prepared reference bands per file and per the parameters that shape the features, so that the
// bands of a capture, and the retry sets that share those parameters, extract the reference once.
// Safe to share between threads; a second caller of the same entry waits for the first.
class ReferenceBandCache {
public:
    // Each entry keeps two float images of the band's size: the default budget is about 320 MB.
    explicit ReferenceBandCache(double maxPixels = 40e6) : m_maxPixels(maxPixels) {}
    std::shared_ptr<const PreparedBand> get(const QString& path, const cv::Mat& image,
                                            const PairRegistrationParams& params);
    void clear();
    int extractions() const;

private:
    using Key = std::tuple<QString, int, int, int, int, int, double>;
    struct Entry {
        std::once_flag once;
        std::shared_ptr<const PreparedBand> band;
    };
    mutable std::mutex m_mutex;
    std::map<Key, std::shared_ptr<Entry>> m_entries;
    double m_maxPixels;
    double m_pixels = 0;
    int m_extractions = 0;
};

// What the caller of the matrix functions learns about the attempt that gave the matrix.
struct PairRegistrationSummary {
    int inliers = -1;       // -1: no successful attempt
    QString ecc;            // ECC status of that attempt
    double finalMedian = -1;  // inlier median error under the matrix, pixels
    int group = -1;         // common mode: index of the group whose matrix was kept
};

// Nine row-major numbers mapping src pixels onto ref pixels, or an empty list. With a cache the
// reference band's features are taken from it (and added to it).
QList<double> computeRegistrationMatrix(const QString& refPath, const QString& srcPath,
                                        const RegistrationProgressCallback& progress = {},
                                        ReferenceBandCache* cache = nullptr,
                                        PairRegistrationSummary* summary = nullptr);
QList<double> computeCommonRegistrationMatrix(const QStringList& refPaths, const QStringList& srcPaths,
                                              const RegistrationProgressCallback& progress = {},
                                              ReferenceBandCache* cache = nullptr,
                                              PairRegistrationSummary* summary = nullptr);

// The pieces of computeCommonRegistrationMatrix, so that the groups' attempts can run side by side:
// one group's registration of src onto ref (no matrix when the files cannot be read or every
// parameter set failed; then `failure` holds the notice, if any), and the choice among the attempts
// in group order, which sends the failures' notices in that order.
struct CommonGroupAttempt {
    int group = -1;
    cv::Mat refFromSrc;  // empty: no matrix from this group
    PairRegistrationSummary summary;
    QString failure;
};
CommonGroupAttempt attemptCommonGroup(const QString& refPath, const QString& srcPath, int group,
                                      ReferenceBandCache* cache = nullptr);
QList<double> chooseCommonMatrix(const std::vector<CommonGroupAttempt>& attempts,
                                 const RegistrationProgressCallback& progress = {},
                                 PairRegistrationSummary* summary = nullptr);

// A band file as one grey image (any depth), empty when it cannot be read.
cv::Mat readBandImage(const QString& path);

// Supporting operations (the 1-99 % stretch and the percentiles come from contrast_stretch.h and
// statistics.h).
cv::Mat applyWallisFilter(const cv::Mat& image, int window, double targetMean, double targetStd,
                          double contrast, double brightness);
std::map<int, cv::DMatch> matchRatio(const cv::Mat& query, const cv::Mat& train, double ratio);
void matchMutual(const Rift2Features& src, const Rift2Features& ref, double ratio, cv::Mat& srcPoints,
                 cv::Mat& refPoints, std::vector<float>& distances);
cv::Mat computeTransferErrors(const cv::Mat& refFromSrc, const cv::Mat& srcPoints, const cv::Mat& refPoints);
bool validateHomography(const cv::Mat& refFromSrc, int width, int height);

// Pieces of one attempt, exposed for tests.
namespace pairregdetail {

struct EccCandidate {
    QString name;
    cv::Mat src;
    cv::Mat ref;
};

// Median (mean of the middle two for an even count) and interpolated 90th percentile of the
// transfer errors; NaN when there are none.
void errorStatistics(const cv::Mat& errors, double& median, double& p90);

// The refinement limit: a candidate is accepted when its warp validates and its inlier median
// error does not exceed max(2 * homography median error, 2.0).
bool eccCandidateAccepted(bool valid, double homographyMedianError, double candidateMedianError);

// Steps 3 to 5 of an attempt on already extracted features; fills `result` from the matches on.
void registerFeatures(const Rift2Features& srcFeatures, const Rift2Features& refFeatures,
                      const std::vector<EccCandidate>& candidates, const cv::Size& srcSize,
                      const QString& tag, const PairRegistrationParams& params, const QElapsedTimer& timer,
                      PairRegistrationResult& result);

// The default attempt, then the retry sets in order while the last attempt did not succeed.
PairRegistrationResult registerWithRetries(const cv::Mat& src, const cv::Mat& ref, const QString& tag,
                                           ReferenceBandCache* cache = nullptr, const QString& refPath = {});

// Step 5 alone: tries every candidate from the MAGSAC++ estimate and records the verdicts in `result`.
void refineWithEcc(const cv::Mat& magsacRefFromSrc, const cv::Mat& inlierSrc, const cv::Mat& inlierRef,
                   const std::vector<EccCandidate>& candidates, const cv::Size& srcSize,
                   const PairRegistrationParams& params, PairRegistrationResult& result,
                   cv::Mat& bestRefFromSrc);

}  // namespace pairregdetail

}  // namespace refl
