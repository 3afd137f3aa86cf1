#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <set>

#include "pair_registration.h"
#include "rift2.h"
#include "synthetic_bands.h"

using rift2detail::KeypointCandidate;

TEST(RiftKeypoints, CellRuleKeepsOnlyTheStrongerCandidateOfACell) {
    // (13, 40) and (17, 41) share the 6x6 cell (2, 6); (17, 44) lies in (2, 7).
    const auto taken =
        rift2detail::selectByCells({{13, 40, 5.0f}, {17, 41, 9.0f}, {30, 40, 1.0f}, {17, 44, 0.5f}}, 100);
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0].x, 17);
    EXPECT_EQ(taken[0].y, 41);
    EXPECT_EQ(taken[1].x, 30);
    EXPECT_EQ(taken[2].y, 44);
}

TEST(RiftKeypoints, EqualScoresKeepTheirOrderAndTheCapStopsTheWalk) {
    const auto taken = rift2detail::selectByCells({{0, 0, 1.0f}, {12, 0, 1.0f}, {5, 5, 2.0f}, {24, 0, 1.0f}}, 2);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].x, 5);   // strongest, and it claims cell (0, 0)
    EXPECT_EQ(taken[1].x, 12);  // (0, 0) lost its cell; the next in input order follows
}

TEST(RiftKeypoints, TooFewCandidatesGiveNoKeypoints) {
    // Flat moments give one candidate per 7x7 cell; a 90x90 image with patch 72 has 3x3 cells.
    const cv::Mat M(90, 90, CV_32F, cv::Scalar(0)), m(90, 90, CV_32F, cv::Scalar(0));
    EXPECT_TRUE(detectRiftKeypoints(M, m, 4500, 72).empty());
}

TEST(RiftKeypoints, RespectBorderCellRuleCapAndCornerPriority) {
    cv::Mat M(220, 260, CV_32F, cv::Scalar(0)), m(220, 260, CV_32F, cv::Scalar(0));
    cv::RNG rng(4);
    rng.fill(M, cv::RNG::UNIFORM, 0.0, 1.0);
    // A bright square in the minimum moment gives FAST corners, which must rank first.
    cv::rectangle(m, cv::Rect(100, 90, 30, 30), cv::Scalar(1.0), cv::FILLED);
    cv::GaussianBlur(m, m, cv::Size(0, 0), 1.5);  // a hard-edged square has no single strongest pixel
    const int border = 72 / 2 + 1;
    const cv::Mat kp = detectRiftKeypoints(M, m, 4500, 72);
    ASSERT_GE(kp.rows, 12);
    ASSERT_EQ(kp.cols, 2);
    std::set<std::pair<int, int>> cells;
    for (int i = 0; i < kp.rows; ++i) {
        const float x = kp.at<float>(i, 0), y = kp.at<float>(i, 1);
        EXPECT_GE(x, border);
        EXPECT_LT(x, M.cols - border);
        EXPECT_GE(y, border);
        EXPECT_LT(y, M.rows - border);
        EXPECT_TRUE(cells.insert({static_cast<int>(x) / 6, static_cast<int>(y) / 6}).second) << x << "," << y;
    }
    // The first keypoint is a corner of the square.
    const float x0 = kp.at<float>(0, 0), y0 = kp.at<float>(0, 1);
    EXPECT_TRUE(std::fabs(x0 - 100) <= 2 || std::fabs(x0 - 129) <= 2) << x0;
    EXPECT_TRUE(std::fabs(y0 - 90) <= 2 || std::fabs(y0 - 119) <= 2) << y0;

    const cv::Mat capped = detectRiftKeypoints(M, m, 20, 72);
    ASSERT_EQ(capped.rows, 20);
    EXPECT_EQ(cv::norm(capped, kp.rowRange(0, 20), cv::NORM_INF), 0.0);
}

TEST(RiftDescriptor, DominantOrientationRule) {
    using rift2detail::dominantOrientations;
    EXPECT_EQ(dominantOrientations({10, 8, 1, 0, 0, 0}, 0.8), (std::vector<int>{0, 1}));
    EXPECT_EQ(dominantOrientations({10, 7.9, 1, 0, 0, 0}, 0.8), (std::vector<int>{0}));
    // Equal bins: the higher orientation index comes first.
    EXPECT_EQ(dominantOrientations({3, 0, 3, 0, 0, 0}, 0.8), (std::vector<int>{2, 0}));
    EXPECT_EQ(dominantOrientations({0, 0, 0}, 0.8), (std::vector<int>{2}));  // below the 1e-8 floor
    EXPECT_EQ(dominantOrientations({4}, 0.8), (std::vector<int>{0}));
}

namespace {

// Maximum-index map and amplitude with a structured patch around every keypoint.
void patternMaps(cv::Size size, int shift, cv::Mat& mim, cv::Mat& amax) {
    mim.create(size, CV_8U);
    amax.create(size, CV_32F);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            mim.at<uchar>(y, x) = static_cast<uchar>(((x / 5 + 2 * (y / 7)) % 6 + shift) % 6);
            amax.at<float>(y, x) = 0.2f + 0.8f * static_cast<float>(((x * 7 + y * 3) % 11) / 10.0);
        }
}

}  // namespace

TEST(RiftDescriptor, PatchMustFitInsideTheImage) {
    cv::Mat mim, amax;
    patternMaps(cv::Size(150, 100), 0, mim, amax);
    cv::Mat kp = (cv::Mat_<float>(4, 2) << 36, 50, 35, 50, 114, 50, 115, 50);  // 150 - 36 = 114
    cv::Mat desc, index;
    describeRift2(kp, mim, amax, 6, 72, 0.8, desc, index);
    ASSERT_FALSE(desc.empty());
    EXPECT_EQ(desc.cols, 216);
    std::set<int> described;
    for (int i = 0; i < index.rows; ++i) described.insert(index.at<int>(i));
    EXPECT_EQ(described, (std::set<int>{0, 2}));
}

TEST(RiftDescriptor, IsInvariantToACyclicShiftOfOrientations) {
    cv::Mat mim, amax, mimShifted, unused;
    patternMaps(cv::Size(160, 120), 0, mim, amax);
    patternMaps(cv::Size(160, 120), 2, mimShifted, unused);
    const cv::Mat kp = (cv::Mat_<float>(2, 2) << 60, 50, 90, 70);
    cv::Mat d1, i1, d2, i2;
    describeRift2(kp, mim, amax, 6, 72, 0.8, d1, i1);
    describeRift2(kp, mimShifted, amax, 6, 72, 0.8, d2, i2);
    ASSERT_EQ(d1.rows, d2.rows);
    ASSERT_GE(d1.rows, 2);
    EXPECT_LT(cv::norm(d1, d2, cv::NORM_INF), 1e-6);
    for (int i = 0; i < d1.rows; ++i) {
        EXPECT_NEAR(cv::norm(d1.row(i)), 1.0, 1e-5);
        double maxv, minv;
        cv::minMaxLoc(d1.row(i), &minv, &maxv);
        EXPECT_GE(minv, 0.0);
    }
}

TEST(RiftDescriptor, TwoEqualOrientationsGiveTwoDescriptorsAndAWeakSecondGivesOne) {
    // Top half orientation 0, bottom half orientation 3; the Gaussian weight is symmetric.
    cv::Mat mim(200, 200, CV_8U, cv::Scalar(5)), amax(200, 200, CV_32F, cv::Scalar(1.0f));
    mim(cv::Rect(64, 64, 72, 36)).setTo(0);
    mim(cv::Rect(64, 100, 72, 36)).setTo(3);
    const cv::Mat kp = (cv::Mat_<float>(1, 2) << 100, 100);
    cv::Mat desc, index;
    describeRift2(kp, mim, amax, 6, 72, 0.8, desc, index);
    EXPECT_EQ(desc.rows, 2);
    amax(cv::Rect(64, 100, 72, 36)).setTo(0.5f);
    describeRift2(kp, mim, amax, 6, 72, 0.8, desc, index);
    EXPECT_EQ(desc.rows, 1);
}

TEST(RiftDescriptor, NothingToDescribeGivesEmptyMatrices) {
    cv::Mat mim(50, 50, CV_8U, cv::Scalar(0)), amax(50, 50, CV_32F, cv::Scalar(1.0f));
    cv::Mat desc, index;
    describeRift2((cv::Mat_<float>(1, 2) << 25, 25), mim, amax, 6, 72, 0.8, desc, index);
    EXPECT_TRUE(desc.empty());
    EXPECT_TRUE(index.empty());
}

TEST(ExtractRift2, GivesConsistentFeaturesOnASceneAndNoneOnASmallImage) {
    const SyntheticCapture cap = makeSyntheticCapture(11, cv::Size(240, 200));
    const cv::Mat w = applyWallisFilter(cap.bands[2], 31, 0.5, 0.22, 0.82, 0.9);
    const Rift2Features f = extractRift2(w, 300, 6, 4, 72, 0.8);
    ASSERT_GE(f.keypoints.rows, 12);
    EXPECT_LE(f.keypoints.rows, 300);
    ASSERT_EQ(f.descriptors.rows, f.descriptorIndex.rows);
    EXPECT_EQ(f.descriptors.cols, 216);
    EXPECT_EQ(f.maximumMoment.size(), w.size());
    for (int i = 0; i < f.descriptorIndex.rows; ++i) {
        EXPECT_GE(f.descriptorIndex.at<int>(i), 0);
        EXPECT_LT(f.descriptorIndex.at<int>(i), f.keypoints.rows);
    }

    // 90 x 90 leaves room for 9 cells of the maximum moment: fewer than 12 keypoints.
    const Rift2Features small = extractRift2(w(cv::Rect(0, 0, 90, 90)), 4500, 6, 4, 72, 0.8);
    EXPECT_TRUE(small.keypoints.empty());
    EXPECT_TRUE(small.descriptors.empty());
    EXPECT_TRUE(small.descriptorIndex.empty());
    EXPECT_EQ(small.maximumMoment.size(), cv::Size(90, 90));
}
