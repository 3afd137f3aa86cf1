#include "ecc_refine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

using namespace refl;

namespace {

cv::Mat blobs(int width, int height, unsigned seed) {
    cv::Mat t(height, width, CV_32F);
    cv::RNG(seed).fill(t, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::GaussianBlur(t, t, cv::Size(0, 0), 2.5);
    cv::normalize(t, t, 0.0, 1.0, cv::NORM_MINMAX);
    return t;
}

double worstCorner(const cv::Matx33d& a, const cv::Matx33d& b, const cv::Size& size) {
    double worst = 0;
    for (const cv::Vec3d& c :
         {cv::Vec3d(0, 0, 1), cv::Vec3d(size.width - 1, 0, 1), cv::Vec3d(size.width - 1, size.height - 1, 1),
          cv::Vec3d(0, size.height - 1, 1)}) {
        const cv::Vec3d p = a * c, q = b * c;
        worst = std::max(worst, std::hypot(p[0] / p[2] - q[0] / q[2], p[1] / p[2] - q[1] / q[2]));
    }
    return worst;
}

}  // namespace

// A 960x720 pair related by a known homography, started 3 px off: the coarse-to-fine refinement lands
// on the truth, mostly on the reduced level, and gives the same bits on one or four threads.
TEST(EccRefine, RecoversAKnownHomographyFromAThreePixelStart) {
    const cv::Size size(960, 720);
    const cv::Mat templ = blobs(size.width, size.height, 7);
    const cv::Matx33d truth(1.01, 0.015, -6.0, -0.012, 0.995, 4.0, 2e-5, -1e-5, 1.0);
    cv::Mat input;
    cv::warpPerspective(templ, input, cv::Mat(truth), size, cv::INTER_CUBIC, cv::BORDER_REFLECT);
    const cv::Matx33d start = cv::Matx33d(1, 0, 3.0, 0, 1, -2.0, 0, 0, 1) * truth;
    ASSERT_GT(worstCorner(start, truth, size), 3.0);

    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    const EccRefineResult one = refineHomographyEcc(templ, input, start);
    cv::setNumThreads(4);
    const EccRefineResult four = refineHomographyEcc(templ, input, start);
    cv::setNumThreads(threads);

    ASSERT_TRUE(one.ok) << one.error.toStdString();
    EXPECT_LT(worstCorner(one.inputFromTemplate, truth, size), 0.05);
    EXPECT_GT(one.correlation, 0.99);
    EXPECT_TRUE(one.converged);
    EXPECT_GT(one.reducedIterations, one.fullSizeIterations);
    EXPECT_LE(one.fullSizeIterations, EccRefineOptions().fullIterations);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(one.inputFromTemplate.val[i], four.inputFromTemplate.val[i]);
    EXPECT_EQ(one.correlation, four.correlation);
}

// Contrast that flips between the two images would be aligned by minimising the correlation: the
// refinement refuses (as it does for unsupported image types) instead of drifting.
TEST(EccRefine, FailsOnInvertedContrastAndUnsupportedImages) {
    const cv::Mat templ = blobs(320, 240, 9);
    const EccRefineResult inverted = refineHomographyEcc(templ, 1.0 - templ, cv::Matx33d::eye());
    EXPECT_FALSE(inverted.ok);
    EXPECT_FALSE(inverted.error.isEmpty());
    const EccRefineResult wrongType =
        refineHomographyEcc(cv::Mat(240, 320, CV_64F, cv::Scalar(0.5)), templ, cv::Matx33d::eye());
    EXPECT_FALSE(wrongType.ok);
    EXPECT_FALSE(wrongType.error.isEmpty());
}
