#pragma once

#include <atomic>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <vector>

namespace refl {

// Stop request of the calibration run: raised once (0 -> 1) by the GUI thread and polled by the
// worker. A null pointer never stops.
using SfmStopFlag = std::atomic<int>;
inline bool sfmStopRequested(const SfmStopFlag* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed) != 0;
}

// Keypoints and RootSIFT descriptors of one image; row r of `descriptors` (CV_32F, 128 columns)
// belongs to points[r]. The position in the feature list is the view index.
struct ImageFeatures {
    std::vector<cv::Point2d> points;
    cv::Mat descriptors;
};

// Inlier matches of one accepted image pair (query in view i, train in view j, i < j), sorted by
// distance ascending.
struct PairGeometry {
    int i = 0;
    int j = 0;
    std::vector<cv::DMatch> inliers;
    int inlierCount = 0;
};

// SIFT keypoints of the stretched, locally equalised image with RootSIFT descriptors. Fewer than 12
// keypoints give an empty point list (one log line) with the descriptors as computed.
ImageFeatures extractSift(const cv::Mat& image, int maxFeatures);

// RootSIFT in place: each row divided by its L1 norm, then the square root of its positive entries.
void rootSiftInPlace(cv::Mat& descriptors);

// Brute-force L2 matches of a with b that pass the strict ratio test in both directions and point
// at each other, sorted by distance ascending.
std::vector<cv::DMatch> mutualRatioMatches(const cv::Mat& descA, const cv::Mat& descB, double ratio);

// Ratio test of one query: true when it has two neighbours and d1 < ratio * d2.
bool passesRatioTest(const std::vector<cv::DMatch>& knn, double ratio);

// Every unordered pair of views (i < j, in that order) whose mutual matches (at least 12) yield at
// least 10 MAGSAC fundamental-matrix inliers. A stop request returns the pairs accepted so far.
// The pairs are matched side by side on OpenCV's thread pool.
std::vector<PairGeometry> pairwiseGeometries(const std::vector<ImageFeatures>& features, double loweRatio,
                                             double magsacThreshold, const SfmStopFlag* stop = nullptr);

// The epipolar check of one pair given its mutual matches: false (pair dropped) with fewer than 12
// matches, an empty estimate or fewer than 10 inliers. Exposed for tests.
bool verifyPairMatches(const ImageFeatures& a, const ImageFeatures& b, const std::vector<cv::DMatch>& matches,
                       double magsacThreshold, std::vector<cv::DMatch>* inliers);

// The matches whose mask entry is set, in their order; false (and none) with fewer than 10.
bool keepMaskedInliers(const std::vector<cv::DMatch>& matches, const std::vector<uchar>& mask,
                       std::vector<cv::DMatch>* inliers);

// Minimum mutual matches before a pair is verified, and minimum inliers after.
constexpr int kSfmMinPairMatches = 12;
constexpr int kSfmMinPairInliers = 10;

}  // namespace refl
