// The alignment measure against known misalignments of a synthetic capture, and the dense steps
// built on it.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "band_alignment.h"
#include "band_refine.h"
#include "synthetic_bands.h"

using namespace refl;

namespace {

cv::Matx33d matx(const cv::Mat& m) {
    cv::Matx33d out;
    for (int i = 0; i < 9; ++i) out.val[i] = m.at<double>(i / 3, i % 3);
    return out;
}

// Shift from the truth at point p (reference pixels) of a band warped by `used` instead of `truth`:
// where the content of the band lands under `used` against where it belongs.
double truthShift(const cv::Matx33d& used, const cv::Matx33d& truth, const cv::Point2d& p) {
    const cv::Vec3d b = truth.inv() * cv::Vec3d(p.x, p.y, 1);
    const cv::Vec3d q = used * b;
    return std::hypot(q[0] / q[2] - p.x, q[1] / q[2] - p.y);
}

// Median over the centres of the measure's windows (128 pixels every 96, half a window from the edges).
double medianTruthShift(const cv::Matx33d& used, const cv::Matx33d& truth, const cv::Size& size) {
    std::vector<double> v;
    for (int y = 64; y + 128 <= size.height - 64; y += 96)
        for (int x = 64; x + 128 <= size.width - 64; x += 96)
            v.push_back(truthShift(used, truth, {x + 64.0, y + 64.0}));
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

class BandQualityTest : public ::testing::Test {
protected:
    void SetUp() override {
        cap = makeSyntheticCapture(5, cv::Size(800, 600), 0.004);
        ref = cap.bands[size_t(cap.referenceIndex)];
        nir = cap.bands.back();  // 842 nm: contrast inverted against the 660 nm reference
        truth = matx(cap.trueRefFromBand.back());
    }
    SyntheticCapture cap;
    cv::Mat ref, nir;
    cv::Matx33d truth;
};

TEST_F(BandQualityTest, MeasuresKnownMisalignmentsAcrossInvertedContrast) {
    const cv::Matx33d error[] = {
        cv::Matx33d::eye(),
        {1, 0, 0.3, 0, 1, -0.2, 0, 0, 1},
        {1, 0, 1.5, 0, 1, 1.0, 0, 0, 1},
        {std::cos(0.004), -std::sin(0.004), 0, std::sin(0.004), std::cos(0.004), 0, 0, 0, 1},  // 0 .. 2 px
    };
    for (const cv::Matx33d& e : error) {
        const cv::Matx33d used = e * truth;
        const BandQuality q = measureBandQuality(ref, warpOntoReference(nir, used, ref.size()));
        const double expected = medianTruthShift(used, truth, ref.size());
        ASSERT_TRUE(q.measured);
        EXPECT_GE(q.windows, q.gridWindows * 3 / 4);
        EXPECT_NEAR(q.median, expected, 0.1) << "error (" << e(0, 2) << ", " << e(1, 2) << ")";
        EXPECT_EQ(q.disagreeing, 0);
    }
}

TEST_F(BandQualityTest, PlainOrUnrelatedContentCannotBeMeasured) {
    const cv::Mat flat(ref.size(), CV_16U, cv::Scalar(1000));
    EXPECT_FALSE(measureBandQuality(ref, flat).measured) << "nothing to correlate with";
    cv::Mat unrelated;
    cv::flip(ref, unrelated, -1);
    const BandQuality q = measureBandQuality(ref, unrelated);
    EXPECT_FALSE(q.measured) << q.windows << " windows found a peak in unrelated content";
    // A band that covers only part of the reference is measured where it lies.
    cv::Mat part = warpOntoReference(nir, truth, ref.size());
    part(cv::Rect(0, 0, part.cols / 2, part.rows)).setTo(0);
    const BandQuality half = measureBandQuality(ref, part);
    EXPECT_TRUE(half.measured);
    EXPECT_LT(half.gridWindows, measureBandQuality(ref, warpOntoReference(nir, truth, ref.size())).gridWindows);
}

TEST_F(BandQualityTest, WindowRefinementPullsAFewPixelsOffStartOntoTheTruth) {
    const cv::Matx33d off = cv::Matx33d(1.002, 0.003, 3.2, -0.002, 0.999, -2.1, 0, 0, 1) * truth;
    const WindowRefineResult r = refineByWindowShifts(ref, nir, off);
    ASSERT_TRUE(r.quality.measured);
    EXPECT_GT(r.rounds, 0);
    EXPECT_LT(medianTruthShift(r.refFromBand, truth, ref.size()), 0.1);
    EXPECT_LT(cornerDistance(r.refFromBand, truth, ref.size()), 0.6);
    EXPECT_LT(r.quality.median, 0.15);
}

TEST(FlightConsensus, MedianCornersIgnoreAMinorityOfWrongTransforms) {
    const cv::Size size(640, 480);
    const cv::Matx33d a(1.001, 0.002, 12.0, -0.002, 0.999, -7.0, 1e-7, 0, 1);
    const cv::Matx33d b(1.001, 0.002, 12.4, -0.002, 0.999, -7.2, 1e-7, 0, 1);
    const cv::Matx33d wrong(0.98, 0.0, 40.0, 0.0, 1.02, 15.0, 0, 0, 1);
    const cv::Matx33d c = consensusTransform({a, wrong, a, b, a}, size);
    EXPECT_LT(cornerDistance(c, a, size), 1e-3);
    EXPECT_GT(cornerDistance(wrong, a, size), 20.0);
    EXPECT_LT(cornerDistance(consensusTransform({a, b}, size), a, size), 0.5);
}

}  // namespace
