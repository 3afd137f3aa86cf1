#include <gtest/gtest.h>

#include <cmath>

#include "matching_test_util.h"
#include "pair_registration.h"

using namespace refl;

namespace {

cv::Mat rows2(std::initializer_list<float> values) {
    cv::Mat m(static_cast<int>(values.size() / 2), 2, CV_32F);
    std::copy(values.begin(), values.end(), m.ptr<float>());
    return m;
}

}  // namespace

TEST(MatchRatio, RatioTestIsStrict) {
    const cv::Mat query = rows2({0, 0});
    const cv::Mat train = rows2({4, 0, 5, 0});           // distances 4 and 5
    EXPECT_TRUE(matchRatio(query, train, 0.8).empty());  // 5 * 0.8 = 4 is not > 4
    const auto m = matchRatio(query, train, 0.81);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m.at(0).trainIdx, 0);
    EXPECT_FLOAT_EQ(m.at(0).distance, 4.0f);
}

TEST(MatchRatio, NeedsTwoNeighbours) {
    EXPECT_TRUE(matchRatio(rows2({0, 0}), rows2({1, 0}), 0.99).empty());
    EXPECT_TRUE(matchRatio(rows2({0, 0}), cv::Mat(), 0.99).empty());
}

TEST(MatchMutual, KeepsOnlyMutualMatchesOneToOneOnKeypoints) {
    Rift2Features src, ref;
    // src descriptors 0 and 1 both belong to keypoint 0; descriptor 2 to keypoint 1; 3 to keypoint 2.
    src.descriptors = rows2({0, 0, 10, 0, 0, 10, 30, 30});
    src.descriptorIndex = (cv::Mat_<int>(4, 1) << 0, 0, 1, 2);
    src.keypoints = rows2({1, 1, 2, 2, 3, 3});
    ref.descriptors = rows2({0, 0.5f, 10, 0.1f, 0, 10.2f, 100, 100, -50, 0});
    ref.descriptorIndex = (cv::Mat_<int>(5, 1) << 0, 1, 2, 3, 4);
    ref.keypoints = rows2({11, 11, 12, 12, 13, 13, 14, 14, 15, 15});
    cv::Mat sp, rp;
    std::vector<float> dist;
    matchMutual(src, ref, 0.8, sp, rp, dist);
    // Mutual pairs: 0-0 (0.5), 1-1 (0.1), 2-2 (0.2). Descriptors 0 and 1 share keypoint 0, so the
    // closer pair 1-1 claims it and 0-0 is dropped. src descriptor 3 has no mutual partner.
    ASSERT_EQ(sp.rows, 2);
    ASSERT_EQ(dist.size(), 2u);
    EXPECT_NEAR(dist[0], 0.1f, 1e-5);
    EXPECT_NEAR(dist[1], 0.2f, 1e-5);
    EXPECT_FLOAT_EQ(sp.at<float>(0, 0), 1);   // keypoint 0
    EXPECT_FLOAT_EQ(rp.at<float>(0, 0), 12);  // ref keypoint 1
    EXPECT_FLOAT_EQ(sp.at<float>(1, 0), 2);
    EXPECT_FLOAT_EQ(rp.at<float>(1, 0), 13);
}

TEST(MatchMutual, NoMatchesGiveEmptyPointMatrices) {
    Rift2Features src, ref;
    cv::Mat sp, rp;
    std::vector<float> dist;
    matchMutual(src, ref, 0.8, sp, rp, dist);
    EXPECT_TRUE(sp.empty());
    EXPECT_TRUE(rp.empty());
    EXPECT_TRUE(dist.empty());
}

TEST(TransferErrors, AreDistancesAfterProjection) {
    const cv::Mat H = (cv::Mat_<double>(3, 3) << 1, 0, 3, 0, 1, 4, 0, 0, 1);
    const cv::Mat src = rows2({0, 0, 10, 10});
    const cv::Mat ref = rows2({3, 4, 13, 14});
    const cv::Mat ref2 = rows2({0, 0, 13, 14});
    cv::Mat e = computeTransferErrors(H, src, ref);
    ASSERT_EQ(e.size(), cv::Size(2, 1));
    EXPECT_FLOAT_EQ(e.at<float>(0, 0), 0.0f);
    EXPECT_FLOAT_EQ(e.at<float>(0, 1), 0.0f);
    e = computeTransferErrors(H, src, ref2);
    EXPECT_FLOAT_EQ(e.at<float>(0, 0), 5.0f);
    // A perspective warp divides by w.
    const cv::Mat P = (cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 2, 0, 0, 0, 2);
    EXPECT_FLOAT_EQ(computeTransferErrors(P, rows2({5, 5}), rows2({5, 5})).at<float>(0, 0), 0.0f);
}

TEST(ValidateHomography, AreaLimitsAndDegenerateWarps) {
    EXPECT_TRUE(validateHomography(cv::Mat::eye(3, 3, CV_64F), 640, 480));
    EXPECT_TRUE(validateHomography(cv::Mat::eye(3, 3, CV_32F), 640, 480));
    // A 2x2 image has corners spanning a 1x1 square; the reference area is 4.
    const cv::Mat five = (cv::Mat_<double>(3, 3) << 4, 0, 0, 0, 5, 0, 0, 0, 1);  // area 20 = 5.0 * 4
    EXPECT_TRUE(validateHomography(five, 2, 2));
    const cv::Mat overFive = (cv::Mat_<double>(3, 3) << 4, 0, 0, 0, 5.0001, 0, 0, 0, 1);
    EXPECT_FALSE(validateHomography(overFive, 2, 2));
    // 1001 x 1001 image: corner square 1000 x 1000; 0.19 * 1001^2 needs scale 0.19 * 1.002001.
    const double s019 = 0.19 * 1.002001;
    const cv::Mat small = (cv::Mat_<double>(3, 3) << s019, 0, 0, 0, 1, 0, 0, 0, 1);
    EXPECT_FALSE(validateHomography(small, 1001, 1001));
    const cv::Mat enough = (cv::Mat_<double>(3, 3) << 0.21 * 1.002001, 0, 0, 0, 1, 0, 0, 0, 1);
    EXPECT_TRUE(validateHomography(enough, 1001, 1001));
    // Mirrored warps count with their absolute area.
    const cv::Mat mirror = (cv::Mat_<double>(3, 3) << -1, 0, 639, 0, 1, 0, 0, 0, 1);
    EXPECT_TRUE(validateHomography(mirror, 640, 480));

    cv::Mat withNan = cv::Mat::eye(3, 3, CV_64F);
    withNan.at<double>(0, 2) = NAN;
    EXPECT_FALSE(validateHomography(withNan, 640, 480));
    EXPECT_FALSE(validateHomography(cv::Mat::zeros(3, 3, CV_64F), 640, 480));
    EXPECT_FALSE(validateHomography(cv::Mat::eye(2, 3, CV_64F), 640, 480));
    EXPECT_FALSE(validateHomography(cv::Mat::eye(3, 3, CV_64F), 0, 0));  // no image, no area to compare
    // Corner (0, 0) projects to infinity (w = 0).
    const cv::Mat horizon = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, 0.001, 0, 0);
    EXPECT_FALSE(validateHomography(horizon, 640, 480));
}

TEST(MatchMutual, AgreesWithTwoRatioTestsOnRandomDescriptors) {
    // The mutual matcher shares one distance pass between both directions; it must give exactly
    // the matches of matchRatio run each way.
    Rift2Features src, ref;
    cv::RNG rng(8);
    src.descriptors.create(300, 216, CV_32F);
    ref.descriptors.create(280, 216, CV_32F);
    rng.fill(src.descriptors, cv::RNG::UNIFORM, 0.0, 1.0);
    rng.fill(ref.descriptors, cv::RNG::UNIFORM, 0.0, 1.0);
    // Plant near-copies, an exact duplicate pair (a tie) and quantised rows (more ties).
    for (int i = 0; i < 120; ++i) {
        cv::Mat noise(1, 216, CV_32F);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, 0.05);
        ref.descriptors.row(i) = src.descriptors.row(i + 50) + noise;
    }
    ref.descriptors.row(0).copyTo(ref.descriptors.row(1));
    src.descriptors.rowRange(200, 300) = cv::Scalar(0.5);
    src.descriptorIndex.create(300, 1, CV_32S);
    ref.descriptorIndex.create(280, 1, CV_32S);
    src.keypoints.create(300, 2, CV_32F);
    ref.keypoints.create(280, 2, CV_32F);
    for (int i = 0; i < 300; ++i) {
        src.descriptorIndex.at<int>(i) = i;
        src.keypoints.at<float>(i, 0) = static_cast<float>(i);
        src.keypoints.at<float>(i, 1) = 0.0f;
    }
    for (int i = 0; i < 280; ++i) {
        ref.descriptorIndex.at<int>(i) = i;
        ref.keypoints.at<float>(i, 0) = static_cast<float>(i);
        ref.keypoints.at<float>(i, 1) = 1.0f;
    }
    for (double ratio : {0.8, 0.95, 0.999}) {
        const auto expected = expectedMutualMatches(src.descriptors, ref.descriptors, ratio);
        cv::Mat sp, rp;
        std::vector<float> dist;
        matchMutual(src, ref, ratio, sp, rp, dist);
        ASSERT_EQ(static_cast<size_t>(sp.rows), expected.size()) << ratio;
        EXPECT_GT(sp.rows, 50);
        for (int i = 0; i < sp.rows; ++i) {
            EXPECT_EQ(dist[i], expected[i].first);
            EXPECT_EQ(sp.at<float>(i, 0), expected[i].second.first);
            EXPECT_EQ(rp.at<float>(i, 0), expected[i].second.second);
        }
    }
}
