#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "pair_registration.h"

using namespace refl;

TEST(WallisFilter, ConstantInputGivesTheConstantOfAFlatZeroImage) {
    const cv::Mat out = applyWallisFilter(cv::Mat(40, 50, CV_16U, cv::Scalar(777)), 31, 0.5, 0.22, 0.82, 0.9);
    ASSERT_EQ(out.type(), CV_32F);
    // I = 0: mu = sigma = 0, contrast 0.82, d = 1, brightness clamp(0.9 * 0.7) = 0.63 -> 0.63 * 0.5
    double minv, maxv;
    cv::minMaxLoc(out, &minv, &maxv);
    EXPECT_NEAR(minv, 0.315, 1e-6);
    EXPECT_NEAR(maxv, 0.315, 1e-6);
}

TEST(WallisFilter, NanHoldingImageStaysFiniteAndInUnitRange) {
    cv::Mat img(60, 60, CV_32F);
    cv::RNG(1).fill(img, cv::RNG::UNIFORM, 0.0, 100.0);
    img(cv::Rect(10, 10, 5, 5)).setTo(NAN);
    const cv::Mat out = applyWallisFilter(img, 31, 0.5, 0.22, 0.82, 0.9);
    EXPECT_TRUE(cv::checkRange(out, true, nullptr, 0.0, 1.0 + 1e-6));
}

TEST(WallisFilter, EvenWindowIsMadeOddAndSmallWindowRaisedToThree) {
    cv::Mat img(50, 70, CV_32F);
    cv::RNG(2).fill(img, cv::RNG::UNIFORM, 0.0, 1.0);
    const cv::Mat w31 = applyWallisFilter(img, 31, 0.5, 0.22, 0.82, 0.9);
    EXPECT_EQ(cv::norm(w31, applyWallisFilter(img, 30, 0.5, 0.22, 0.82, 0.9), cv::NORM_INF), 0.0);
    const cv::Mat w3 = applyWallisFilter(img, 3, 0.5, 0.22, 0.82, 0.9);
    EXPECT_EQ(cv::norm(w3, applyWallisFilter(img, 1, 0.5, 0.22, 0.82, 0.9), cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(w3, w31, cv::NORM_INF), 1e-3);
}

TEST(WallisFilter, MatchesTheFormulaAtAnInteriorPixel) {
    // A step edge: left half 0, right half 1 (already in unit range after normalisation).
    cv::Mat img(64, 64, CV_32F, cv::Scalar(0));
    img(cv::Rect(32, 0, 32, 64)).setTo(1.0f);
    const cv::Mat out = applyWallisFilter(img, 31, 0.5, 0.22, 0.82, 0.9);
    // Far from the edge the local deviation is ~0: output = b * 0.5 + (1 - b) * mu.
    // Left: mu = 0 -> d = 1 -> b = 0.63 -> 0.315. Right: mu = 1 -> d = 1 -> 0.315 + 0.37 = 0.685.
    EXPECT_NEAR(out.at<float>(32, 2), 0.315, 1e-3);
    EXPECT_NEAR(out.at<float>(32, 61), 0.685, 1e-3);
    // At the edge the contrast is raised: left of it below, right of it above the flat values' mean.
    EXPECT_LT(out.at<float>(32, 31), out.at<float>(32, 32));
}
