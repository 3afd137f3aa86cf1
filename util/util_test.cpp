#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <random>

#include "altitude_clusters.h"
#include "contrast_stretch.h"
#include "statistics.h"

using namespace refl;

TEST(Statistics, PercentileInterpolatesBetweenOrderStatistics) {
    EXPECT_DOUBLE_EQ(percentileOf(std::vector<float>{7.0f}, 99.0), 7.0);
    EXPECT_DOUBLE_EQ(percentileOf(std::vector<float>{1, 2, 3, 4}, 50.0), 2.5);
    EXPECT_DOUBLE_EQ(percentileOf(std::vector<float>{1, 2, 3, 4}, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(percentileOf(std::vector<float>{1, 2, 3, 4}, 100.0), 4.0);
    // x = 0.99 * 3 = 2.97 -> 3 + 0.97 * (4 - 3); x = 0.9 * 3 = 2.7
    EXPECT_NEAR(percentileOf(std::vector<float>{1, 2, 3, 4}, 99.0), 3.97, 1e-12);
    EXPECT_DOUBLE_EQ(percentileOf(std::vector<double>{0, 1, 2, 3}, 90.0), 2.7);
    EXPECT_TRUE(std::isnan(percentileOf(std::vector<float>{}, 50.0)));
    std::vector<float> none;
    EXPECT_TRUE(std::isnan(percentileOfUnsorted(none, 50.0)));
}

TEST(Statistics, SelectionGivesThePercentileOfTheSortedValuesBitForBit) {
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> dist(-10.0f, 10.0f);
    for (int n : {1, 2, 3, 10, 101, 1000}) {
        std::vector<float> v(n);
        for (float& x : v) x = dist(gen);
        std::vector<float> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        for (double p : {0.0, 1.0, 50.0, 82.0, 99.0, 99.5, 100.0}) {
            std::vector<float> work = v;
            EXPECT_EQ(percentileOfUnsorted(work, p), percentileOf(sorted, p)) << n << " " << p;
        }
    }
}

TEST(Statistics, MedianIsTheMiddleOrTheMeanOfTheMiddleTwo) {
    EXPECT_DOUBLE_EQ(medianOf({3, 1, 2}), 2.0);
    EXPECT_DOUBLE_EQ(medianOf({4, 1, 3, 2}), 2.5);
    EXPECT_DOUBLE_EQ(medianOfSorted(std::vector<float>{1, 2, 4, 8}), 3.0);
    EXPECT_TRUE(std::isnan(medianOf({})));
}

TEST(ContrastStretch, ConstantAndNonFiniteImagesGiveZero) {
    const cv::Mat constant(20, 30, CV_16U, cv::Scalar(4000));
    ASSERT_EQ(normalizeToUnitRange(constant).type(), CV_32F);
    EXPECT_EQ(cv::countNonZero(normalizeToUnitRange(constant)), 0);
    ASSERT_EQ(stretchToGray8(constant).type(), CV_8U);
    EXPECT_EQ(stretchToGray8(constant).size(), constant.size());
    EXPECT_EQ(cv::countNonZero(stretchToGray8(constant)), 0);
    const cv::Mat allNan(4, 4, CV_32F, cv::Scalar(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_EQ(cv::countNonZero(normalizeToUnitRange(allNan)), 0);
    EXPECT_EQ(cv::countNonZero(stretchToGray8(allNan)), 0);
    EXPECT_TRUE(normalizeToUnitRange(cv::Mat()).empty());
}

TEST(ContrastStretch, StretchesThe1stTo99thPercentileOfTheSortedValues) {
    // Random 16-bit images with many repeated values, sizes whose percentile positions fall on and
    // between order statistics: both outputs are bit for bit the stretch of the sorted values.
    cv::RNG rng(11);
    for (const cv::Size size : {cv::Size(101, 1), cv::Size(37, 23), cv::Size(64, 48), cv::Size(3, 1)}) {
        cv::Mat img(size, CV_16U);
        rng.fill(img, cv::RNG::UNIFORM, 100, 400);
        std::vector<float> sorted(img.begin<unsigned short>(), img.end<unsigned short>());
        std::sort(sorted.begin(), sorted.end());
        const double lo = percentileOf(sorted, 1.0), hi = percentileOf(sorted, 99.0);
        const cv::Mat unit = normalizeToUnitRange(img), byte = stretchToGray8(img);
        for (int r = 0; r < img.rows; ++r)
            for (int c = 0; c < img.cols; ++c) {
                const double v = (img.at<unsigned short>(r, c) - lo) * (1.0 / (hi - lo));
                const double t = std::min(std::max(v, 0.0), 1.0);
                ASSERT_EQ(unit.at<float>(r, c), static_cast<float>(t)) << size << " at " << r << "," << c;
                ASSERT_EQ(byte.at<uchar>(r, c), std::lround(t * 255.0)) << size << " at " << r << "," << c;
            }
    }
}

TEST(ContrastStretch, NonFinitePixelsNeitherCountNorShow) {
    cv::Mat img(50, 50, CV_32F);
    cv::Mat finiteOnly(1, 1250, CV_32F);
    int n = 0;
    for (int r = 0; r < 50; ++r)
        for (int c = 0; c < 50; ++c) {
            if ((r + c) % 2) {
                img.at<float>(r, c) = (r % 3) ? std::numeric_limits<float>::quiet_NaN()
                                              : std::numeric_limits<float>::infinity();
            } else {
                img.at<float>(r, c) = float(r * 50 + c);
                finiteOnly.at<float>(0, n++) = float(r * 50 + c);
            }
        }
    const cv::Mat s = stretchToGray8(img);
    const cv::Mat ref = stretchToGray8(finiteOnly);
    n = 0;
    for (int r = 0; r < 50; ++r)
        for (int c = 0; c < 50; ++c) {
            if ((r + c) % 2)
                ASSERT_EQ(s.at<uchar>(r, c), 0);
            else
                ASSERT_EQ(s.at<uchar>(r, c), ref.at<uchar>(0, n++));
        }
    EXPECT_EQ(ref.at<uchar>(0, 1249), 255);
}

TEST(ContrastStretch, ColourImagesAreConvertedToGrey) {
    cv::Mat bgr(20, 20, CV_8UC3);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 20; ++c) bgr.at<cv::Vec3b>(r, c) = cv::Vec3b(uchar(10 * c), uchar(5 * r), 0);
    cv::Mat gray;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::norm(stretchToGray8(bgr), stretchToGray8(gray), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(normalizeToUnitRange(bgr), normalizeToUnitRange(gray), cv::NORM_INF), 0.0);
}

TEST(AltitudeClusters, ClustersCompareWithTheirFirstAltitude) {
    double altitude = 0;
    EXPECT_EQ(largestAltitudeCluster({{"0001", 100.2}, {"0002", 100.9}, {"0003", 101.5}}, 5, &altitude),
              QStringList({"0001", "0002"}));
    EXPECT_DOUBLE_EQ(altitude, 100.2);
    // A tie takes the lower altitude; unknown altitudes are left out; the count is capped.
    EXPECT_EQ(largestAltitudeCluster({{"a", 80}, {"b", 50}, {"c", -9999}}, 5), QStringList({"b"}));
    EXPECT_EQ(largestAltitudeCluster({{"1", 50}, {"2", 50}, {"3", 50}, {"4", 50}, {"5", 50}, {"6", 50}}, 5).size(),
              5);
    EXPECT_EQ(largestAltitudeCluster({{"1", 50}, {"2", 50}, {"3", 50}}, -1).size(), 3);
    EXPECT_TRUE(largestAltitudeCluster({{"a", -9999}, {"b", std::nan("")}}, 5).isEmpty());
}
