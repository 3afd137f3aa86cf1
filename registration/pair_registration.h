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
#include <opencv2/core.hpp>
#include <vector>

#include "rift2.h"

struct PairRegistrationParams {
    int wallisWindow = 31;
    int maxFeatures = 4500;
    int orientations = 6;
    int scales = 4;
    int patchSize = 72;
    double secondaryRatio = 0.8;
    double loweRatio = 0.8;
    double magsacThreshold = 3.0;
    int eccIterations = 300;
    double eccEpsilon = 1e-7;
};

struct EccCandidateRecord {
    QString name;
    QString verdict;  // "accepted", "rejected" or "failed"
    double correlation = 0.0;
    double medianError = 0.0;
    QString note;  // exception text of a failed candidate
};

struct PairRegistrationResult {
    cv::Mat homography;  // 3x3 CV_64F, element (2,2) = 1
    cv::Mat finalWarp;   // 3x3 CV_64F
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

    bool succeeded() const { return ok && !finalWarp.empty(); }
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

// Nine row-major numbers mapping src pixels onto ref pixels, or an empty list.
QList<double> computeRegistrationMatrix(const QString& refPath, const QString& srcPath,
                                        const RegistrationProgressCallback& progress = {});
QList<double> computeCommonRegistrationMatrix(const QStringList& refPaths, const QStringList& srcPaths,
                                              const RegistrationProgressCallback& progress = {});

// Supporting operations.
cv::Mat normalizeToUnitRange(const cv::Mat& image);
double percentileOf(const std::vector<float>& sorted, double percent);
cv::Mat applyWallisFilter(const cv::Mat& image, int window, double targetMean, double targetStd,
                          double contrast, double brightness);
std::map<int, cv::DMatch> matchRatio(const cv::Mat& query, const cv::Mat& train, double ratio);
void matchMutual(const Rift2Features& src, const Rift2Features& ref, double ratio, cv::Mat& srcPoints,
                 cv::Mat& refPoints, std::vector<float>& distances);
cv::Mat computeTransferErrors(const cv::Mat& H, const cv::Mat& srcPoints, const cv::Mat& refPoints);
bool validateHomography(const cv::Mat& warp, int width, int height);

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
PairRegistrationResult registerWithRetries(const cv::Mat& src, const cv::Mat& ref, const QString& tag);

// Step 5 alone: tries every candidate from H and records the verdicts in `result`.
void refineWithEcc(const cv::Mat& H, const cv::Mat& inlierSrc, const cv::Mat& inlierRef,
                   const std::vector<EccCandidate>& candidates, const cv::Size& srcSize,
                   const PairRegistrationParams& params, PairRegistrationResult& result, cv::Mat& bestWarp);

}  // namespace pairregdetail
