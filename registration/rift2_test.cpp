#include "rift2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <set>

#include "pair_registration.h"
#include "synthetic_bands.h"

using namespace refl;

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
    const auto taken =
        rift2detail::selectByCells({{0, 0, 1.0f}, {12, 0, 1.0f}, {5, 5, 2.0f}, {24, 0, 1.0f}}, 2);
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

namespace {

// The descriptors of one keypoint evaluated directly, pixel by pixel, for each dominant orientation.
std::vector<std::vector<float>> directDescriptors(const cv::Mat& mim, const cv::Mat& amax, int x, int y,
                                                  int o, int P) {
    std::vector<float> all(amax.begin<float>(), amax.end<float>());
    std::sort(all.begin(), all.end());
    const double p = std::max(percentileOf(all, 99.0), 1e-8);
    const double c = (P - 1) / 2.0;
    auto weighted = [&](int i, int j) {
        const float w = static_cast<float>(
            std::exp(-((i - c) * (i - c) + (j - c) * (j - c)) / (2.0 * (P / 2.0) * (P / 2.0))));
        const float a = static_cast<float>(
            std::min(std::max(amax.at<float>(y - P / 2 + i, x - P / 2 + j) / p, 0.0), 1.0));
        return a * w;
    };
    std::vector<double> hist(o, 0.0);
    for (int i = 0; i < P; ++i)
        for (int j = 0; j < P; ++j) hist[mim.at<uchar>(y - P / 2 + i, x - P / 2 + j)] += weighted(i, j);
    std::vector<std::vector<float>> out;
    for (int d : rift2detail::dominantOrientations(hist, 0.8)) {
        std::vector<double> desc(36 * o, 0.0);
        for (int i = 0; i < P; ++i)
            for (int j = 0; j < P; ++j) {
                const int m = mim.at<uchar>(y - P / 2 + i, x - P / 2 + j);
                desc[((i / (P / 6)) * 6 + j / (P / 6)) * o + ((m - d) % o + o) % o] += weighted(i, j);
            }
        for (int pass = 0; pass < 2; ++pass) {
            double n = 0;
            for (double v : desc) n += v * v;
            n = std::sqrt(n) + 1e-8;
            for (double& v : desc) v = pass == 0 ? std::min(v / n, 0.2) : v / n;
        }
        out.emplace_back(desc.begin(), desc.end());
    }
    return out;
}

}  // namespace

TEST(RiftDescriptor, EqualsDirectEvaluation) {
    cv::Mat mim(130, 150, CV_8U), amax(130, 150, CV_32F);
    cv::RNG rng(12);
    rng.fill(mim, cv::RNG::UNIFORM, 0, 6);
    rng.fill(amax, cv::RNG::UNIFORM, 0.0, 2.0);
    mim(cv::Rect(40, 30, 40, 40)).setTo(2);  // a strong orientation in one corner of a patch
    const cv::Mat kp = (cv::Mat_<float>(3, 2) << 60, 50, 80.4f, 70.6f, 100, 90);
    cv::Mat desc, index;
    describeRift2(kp, mim, amax, 6, 72, 0.8, desc, index);
    int row = 0;
    for (int k = 0; k < kp.rows; ++k) {
        const auto expected = directDescriptors(mim, amax, static_cast<int>(std::lround(kp.at<float>(k, 0))),
                                                static_cast<int>(std::lround(kp.at<float>(k, 1))), 6, 72);
        for (const auto& e : expected) {
            ASSERT_LT(row, desc.rows);
            EXPECT_EQ(index.at<int>(row), k);
            for (int i = 0; i < 216; ++i) ASSERT_NEAR(desc.at<float>(row, i), e[i], 1e-6) << k << " " << i;
            ++row;
        }
    }
    EXPECT_EQ(row, desc.rows);
}
