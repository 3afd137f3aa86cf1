#include "sfm_features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

using namespace refl;

TEST(SfmFeatures, ConstantSixteenBitImageHasNoFeatures) {
    const ImageFeatures f = extractSift(cv::Mat(120, 160, CV_16U, cv::Scalar(3000)), 4500);
    EXPECT_TRUE(f.points.empty());
    EXPECT_TRUE(f.descriptors.empty());
}

TEST(SfmRootSift, RowsBecomeUnitLengthAndNegativesZero) {
    cv::Mat d = (cv::Mat_<float>(2, 4) << 1, 3, 0, 4, -2, 2, 0, 0);
    rootSiftInPlace(d);
    EXPECT_NEAR(d.at<float>(0, 0), std::sqrt(1.0 / 8), 1e-6);
    EXPECT_NEAR(d.at<float>(0, 3), std::sqrt(4.0 / 8), 1e-6);
    EXPECT_NEAR(cv::norm(d.row(0)), 1.0, 1e-6);
    EXPECT_EQ(d.at<float>(1, 0), 0.0f);
    EXPECT_NEAR(d.at<float>(1, 1), std::sqrt(0.5), 1e-6);
}

TEST(SfmMatching, RatioTestIsStrict) {
    const std::vector<cv::DMatch> equalRatio = {cv::DMatch(0, 0, 0.72f), cv::DMatch(0, 1, 1.0f)};
    EXPECT_FALSE(passesRatioTest(equalRatio, 0.72));
    // Exactly representable: d1 == ratio * d2 is still rejected.
    const std::vector<cv::DMatch> exact = {cv::DMatch(0, 0, 0.375f), cv::DMatch(0, 1, 0.5f)};
    EXPECT_FALSE(passesRatioTest(exact, 0.75));
    EXPECT_TRUE(passesRatioTest(exact, 0.7500001));
    const std::vector<cv::DMatch> below = {cv::DMatch(0, 0, 0.71f), cv::DMatch(0, 1, 1.0f)};
    EXPECT_TRUE(passesRatioTest(below, 0.72));
    EXPECT_FALSE(passesRatioTest({cv::DMatch(0, 0, 0.1f)}, 0.72));  // a single neighbour
}

TEST(SfmMatching, OnlyMutualMatchesSurviveSortedByDistance) {
    // A0 and A1 both prefer B0 clearly; B0 prefers A1, so A0 -> B0 is not mutual.
    // A2 <-> B2 is mutual but ambiguous in B (B2 and B3 are twins): the ratio test drops it.
    cv::Mat A = (cv::Mat_<float>(4, 3) << 1, 0, 0,  //
                 1.1f, 0, 0,                        //
                 0, 0, 5,                           //
                 0, 3, 0);
    cv::Mat B = (cv::Mat_<float>(4, 3) << 1.1f, 0, 0,  //
                 0, 3.05f, 0,                          //
                 0, 0, 5,                              //
                 0, 0, 5);
    const std::vector<cv::DMatch> m = mutualRatioMatches(A, B, 0.72);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].queryIdx, 1);
    EXPECT_EQ(m[0].trainIdx, 0);
    EXPECT_EQ(m[1].queryIdx, 3);
    EXPECT_EQ(m[1].trainIdx, 1);
    EXPECT_LE(m[0].distance, m[1].distance);
    EXPECT_TRUE(mutualRatioMatches(A, cv::Mat(), 0.72).empty());
}

namespace {

// Two views of random 3D points: exact correspondences, keypoint k of each view = point k.
void twoViews(int count, ImageFeatures* a, ImageFeatures* b) {
    cv::RNG rng(11);
    const cv::Matx33d K(500, 0, 320, 0, 500, 240, 0, 0, 1);
    const cv::Vec3d rvec(0.02, -0.1, 0.01), tvec(-2.0, 0.5, 0.3);
    std::vector<cv::Point3d> X;
    for (int k = 0; k < count; ++k)
        X.emplace_back(rng.uniform(-3.0, 3.0), rng.uniform(-2.0, 2.0), rng.uniform(3.0, 30.0));
    std::vector<cv::Point2d> pa, pb;
    cv::projectPoints(X, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, cv::noArray(), pa);
    cv::projectPoints(X, rvec, tvec, K, cv::noArray(), pb);
    a->points = pa;
    b->points = pb;
}

std::vector<cv::DMatch> identity(int count, int from = 0) {
    std::vector<cv::DMatch> m;
    for (int k = from; k < from + count; ++k) m.emplace_back(k, k, 0.01f * float(m.size()));
    return m;
}

}  // namespace

TEST(SfmPairGeometry, ElevenMatchesNeverReachTheEstimate) {
    ImageFeatures a, b;
    twoViews(40, &a, &b);
    std::vector<cv::DMatch> inliers;
    EXPECT_FALSE(verifyPairMatches(a, b, identity(11), 2.0, &inliers));
    EXPECT_TRUE(inliers.empty());
    EXPECT_TRUE(verifyPairMatches(a, b, identity(12), 2.0, &inliers));
    EXPECT_EQ(inliers.size(), 12u);
}

TEST(SfmPairGeometry, NineInliersAreDroppedTenKept) {
    const std::vector<cv::DMatch> m = identity(20);
    std::vector<uchar> mask(20, 0);
    for (int k = 0; k < 9; ++k) mask[size_t(2 * k)] = 1;
    std::vector<cv::DMatch> inliers;
    EXPECT_FALSE(keepMaskedInliers(m, mask, &inliers));
    EXPECT_TRUE(inliers.empty());
    mask[19] = 1;
    ASSERT_TRUE(keepMaskedInliers(m, mask, &inliers));
    ASSERT_EQ(inliers.size(), 10u);
    for (size_t k = 0; k < 9; ++k) EXPECT_EQ(inliers[k].queryIdx, int(2 * k));  // kept in match order
    EXPECT_EQ(inliers[9].queryIdx, 19);
}

TEST(SfmPairGeometry, GrossOutliersAreRemoved) {
    ImageFeatures a, b;
    twoViews(80, &a, &b);
    for (int k = 60; k < 80; ++k) b.points[size_t(k)] += cv::Point2d(k % 2 ? 150 : -140, k % 3 ? -120 : 130);
    std::vector<cv::DMatch> inliers;
    ASSERT_TRUE(verifyPairMatches(a, b, identity(80), 2.0, &inliers));
    EXPECT_EQ(inliers.size(), 60u);
    for (const cv::DMatch& m : inliers) EXPECT_LT(m.queryIdx, 60);
}

TEST(SfmPairGeometry, StopReturnsThePairsSoFar) {
    std::vector<ImageFeatures> f(3);
    cv::RNG rng(5);
    for (ImageFeatures& x : f) {
        x.descriptors.create(30, 128, CV_32F);
        rng.fill(x.descriptors, cv::RNG::UNIFORM, 0, 1);
        for (int k = 0; k < 30; ++k) x.points.emplace_back(k, k);
    }
    SfmStopFlag stop{1};
    EXPECT_TRUE(pairwiseGeometries(f, 0.72, 2.0, &stop).empty());
    // Unrelated random descriptors: no pair passes.
    EXPECT_TRUE(pairwiseGeometries(f, 0.72, 2.0).empty());
}
