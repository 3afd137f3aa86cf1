#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "pair_registration.h"

TEST(PercentileOf, InterpolatesBetweenOrderStatistics) {
    EXPECT_DOUBLE_EQ(percentileOf({7.0f}, 99.0), 7.0);
    EXPECT_DOUBLE_EQ(percentileOf({1, 2, 3, 4}, 50.0), 2.5);
    EXPECT_DOUBLE_EQ(percentileOf({1, 2, 3, 4}, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(percentileOf({1, 2, 3, 4}, 100.0), 4.0);
    // x = 0.99 * 3 = 2.97 -> 3 + 0.97 * (4 - 3)
    EXPECT_NEAR(percentileOf({1, 2, 3, 4}, 99.0), 3.97, 1e-12);
    // x = 0.01 * 3 = 0.03 -> 10 + 0.03 * (20 - 10)
    EXPECT_NEAR(percentileOf({10, 20, 30, 40}, 1.0), 10.3, 1e-12);
    EXPECT_TRUE(std::isnan(percentileOf({}, 50.0)));
}

TEST(NormalizeToUnitRange, ConstantImageBecomesZero) {
    const cv::Mat out = normalizeToUnitRange(cv::Mat(20, 30, CV_16U, cv::Scalar(4000)));
    ASSERT_EQ(out.type(), CV_32F);
    EXPECT_EQ(out.size(), cv::Size(30, 20));
    EXPECT_EQ(cv::countNonZero(out), 0);
}

TEST(NormalizeToUnitRange, StretchesThe1stTo99thPercentileAndClamps) {
    cv::Mat img(1, 101, CV_32F);
    for (int i = 0; i < 101; ++i) img.at<float>(0, i) = static_cast<float>(i);
    img.at<float>(0, 100) = 1000.0f;  // an outlier does not set the scale
    const cv::Mat out = normalizeToUnitRange(img);
    // lo = 1, hi = a[99] = 99
    EXPECT_FLOAT_EQ(out.at<float>(0, 0), 0.0f);
    EXPECT_FLOAT_EQ(out.at<float>(0, 1), 0.0f);
    EXPECT_FLOAT_EQ(out.at<float>(0, 50), 49.0f / 98.0f);
    EXPECT_FLOAT_EQ(out.at<float>(0, 99), 1.0f);
    EXPECT_FLOAT_EQ(out.at<float>(0, 100), 1.0f);
}

TEST(NormalizeToUnitRange, EqualsTheStretchBetweenPercentilesOfTheSortedValues) {
    // Random 16-bit images with many repeated values, sizes whose percentile positions fall
    // on and between order statistics: the stretch is bit for bit the one of the sorted values.
    cv::RNG rng(11);
    for (const cv::Size size : {cv::Size(101, 1), cv::Size(37, 23), cv::Size(64, 48), cv::Size(3, 1)}) {
        cv::Mat img(size, CV_16U);
        rng.fill(img, cv::RNG::UNIFORM, 100, 400);
        std::vector<float> sorted(img.begin<unsigned short>(), img.end<unsigned short>());
        std::sort(sorted.begin(), sorted.end());
        const double lo = percentileOf(sorted, 1.0), hi = percentileOf(sorted, 99.0);
        const cv::Mat out = normalizeToUnitRange(img);
        for (int r = 0; r < img.rows; ++r)
            for (int c = 0; c < img.cols; ++c) {
                const double v = (img.at<unsigned short>(r, c) - lo) * (1.0 / (hi - lo));
                ASSERT_EQ(out.at<float>(r, c), static_cast<float>(std::min(std::max(v, 0.0), 1.0)))
                    << size << " at " << r << "," << c;
            }
    }
}

TEST(NormalizeToUnitRange, NonFinitePixelsAreIgnoredAndBecomeZero) {
    cv::Mat img(10, 10, CV_32F);
    for (int i = 0; i < 100; ++i) img.at<float>(i / 10, i % 10) = static_cast<float>(i);
    img.at<float>(0, 5) = NAN;
    img.at<float>(3, 3) = INFINITY;
    img.at<float>(9, 9) = -INFINITY;
    const cv::Mat out = normalizeToUnitRange(img);
    EXPECT_TRUE(cv::checkRange(out));
    EXPECT_EQ(out.at<float>(0, 5), 0.0f);
    EXPECT_EQ(out.at<float>(3, 3), 0.0f);
    EXPECT_EQ(out.at<float>(9, 9), 0.0f);
    EXPECT_GT(out.at<float>(5, 0), 0.4f);
    EXPECT_LT(out.at<float>(5, 0), 0.6f);

    const cv::Mat allNan(4, 4, CV_32F, cv::Scalar(NAN));
    EXPECT_EQ(cv::countNonZero(normalizeToUnitRange(allNan)), 0);
}

TEST(NormalizeToUnitRange, ColourInputIsConvertedToGrey) {
    cv::Mat bgr(10, 10, CV_8UC3);
    for (int i = 0; i < 100; ++i)
        bgr.at<cv::Vec3b>(i / 10, i % 10) = cv::Vec3b(0, static_cast<uchar>(2 * i), 0);
    const cv::Mat out = normalizeToUnitRange(bgr);
    EXPECT_EQ(out.channels(), 1);
    EXPECT_LT(out.at<float>(0, 0), out.at<float>(9, 9));
}

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
