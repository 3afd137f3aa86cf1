// Accuracy of the band registration against a known answer (synthetic captures) and on the real
// five-band captures beside the project.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pair_registration.h"
#include "shared_data.h"
#include "synthetic_bands.h"

using namespace refl;

namespace {

void printRow(const std::string& pair, const PairRegistrationResult& r, const std::vector<double>& corners) {
    std::printf("%-22s inliers=%5d homMed=%6.3f finalMed=%6.3f ecc=%-32s method=%-32s", pair.c_str(),
                r.inliers, r.homographyMedianError, r.finalMedianError, r.status.toUtf8().constData(),
                r.method.toUtf8().constData());
    if (!corners.empty()) {
        std::printf(" corners=");
        for (double c : corners) std::printf(" %.3f", c);
    }
    std::printf("\n");
    std::fflush(stdout);
}

cv::Mat toByte(const cv::Mat& image) {
    cv::Mat out;
    normalizeToUnitRange(image).convertTo(out, CV_8U, 255.0);
    return out;
}

}  // namespace

TEST(RegistrationAccuracy, SyntheticBandsLandWithinHalfAPixelOfTheTruth) {
    struct Scene {
        unsigned seed;
        cv::Size size;
        double noise;
    };
    const Scene scenes[] = {{1, {480, 360}, 0.004}, {2, {480, 360}, 0.004}, {3, {400, 320}, 0.01}};
    std::vector<double> all, refined;
    for (const Scene& s : scenes) {
        const SyntheticCapture cap = makeSyntheticCapture(s.seed, s.size, s.noise);
        for (int b = 0; b < static_cast<int>(cap.bands.size()); ++b) {
            if (b == cap.referenceIndex) continue;
            const std::string name = "scene" + std::to_string(s.seed) + " " + cap.bandNames[b] + "->660nm";
            const PairRegistrationResult r = pairregdetail::registerWithRetries(
                cap.bands[b], cap.bands[cap.referenceIndex], QString::fromStdString(name));
            ASSERT_TRUE(r.succeeded()) << name << ": " << r.error.toStdString();
            const std::vector<double> corners = cornerErrors(r.refFromSrc, cap.trueRefFromBand[b], s.size);
            printRow(name, r, corners);
            // With an accepted ECC refinement the warp is sub-pixel. Without one the homography
            // of whole-pixel keypoints is all there is; it must still be close.
            const double limit = r.status == "success" ? 1.0 : 5.0;
            for (double c : corners) EXPECT_LE(c, limit) << name;
            all.insert(all.end(), corners.begin(), corners.end());
            if (r.status == "success") refined.insert(refined.end(), corners.begin(), corners.end());
        }
    }
    std::sort(all.begin(), all.end());
    const double median = (all[all.size() / 2 - 1] + all[all.size() / 2]) / 2.0;
    std::printf("corner error over %zu corners: median %.3f px, worst %.3f px\n", all.size(), median,
                all.back());
    EXPECT_LE(median, 0.5);
    ASSERT_GE(refined.size(), all.size() / 2);
    std::sort(refined.begin(), refined.end());
    std::printf("pairs with an accepted ECC warp (%zu corners): worst %.3f px\n", refined.size(),
                refined.back());
}

TEST(RegistrationAccuracy, RealCaptureRegistersEveryBandOntoBandThree) {
    const QString dir = sharedDataPath("data/real");
    SKIP_WITHOUT_SHARED_DATA(dir + "/IMG_0075_3.tif");
    auto read = [&dir](int band) {
        return cv::imread(QFile::encodeName(QString("%1/IMG_0075_%2.tif").arg(dir).arg(band)).toStdString(),
                          cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
    };
    const cv::Mat ref = read(3);
    ASSERT_FALSE(ref.empty());
    for (int band : {1, 2, 4, 5}) {
        const cv::Mat src = read(band);
        ASSERT_FALSE(src.empty());
        const std::string name = "IMG_0075_" + std::to_string(band) + "->3";
        const PairRegistrationResult r =
            estimatePairRegistration(src, ref, QString::fromStdString(name), defaultPairRegistrationParams());
        ASSERT_TRUE(r.succeeded()) << name << ": " << r.error.toStdString();
        printRow(name, r, {});
        EXPECT_LT(r.finalMedianError, 2.0) << name;
        // Bands differ by a shift of tens of pixels and nearly no rotation or scale.
        const cv::Mat& W = r.refFromSrc;
        EXPECT_NEAR(W.at<double>(0, 0), 1.0, 0.05) << name;
        EXPECT_NEAR(W.at<double>(1, 1), 1.0, 0.05) << name;
        EXPECT_LT(std::fabs(W.at<double>(0, 2)), 150.0) << name;
        EXPECT_LT(std::fabs(W.at<double>(1, 2)), 150.0) << name;
        // Warped band in green over band 3 in magenta, for looking at: written into the folder
        // REFL_TEST_PICTURES names, when it is set.
        const QString pictures = qEnvironmentVariable("REFL_TEST_PICTURES");
        if (pictures.isEmpty()) continue;
        cv::Mat warped;
        cv::warpPerspective(toByte(src), warped, W, ref.size());
        const cv::Mat r8 = toByte(ref);
        cv::Mat blend;
        cv::merge(std::vector<cv::Mat>{r8, warped, r8}, blend);
        const QString picture = QString("%1/blend_IMG_0075_%2_on_3.png").arg(pictures).arg(band);
        cv::imwrite(QFile::encodeName(picture).toStdString(), blend);
    }
}
