// Band registration on generated sample flights: every band of a capture onto the 660 nm band,
// checked against the generator's true band-to-reference homography.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>

#include "pair_registration.h"
#include "sample_flight.h"
#include "synthetic_bands.h"

using namespace refl;

TEST(SampleFlightRegistration, EveryBandLandsWithinHalfAPixelOfTheTruth) {
    std::vector<double> all;
    for (quint32 seed : {3u, 8u}) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        reflsample::SampleOptions opt = reflsample::SampleOptions::small();
        opt.seed = seed;
        opt.captures = 2;
        opt.distortionScale = 0;  // pinhole raw images: refFromBand relates the raw files exactly
        opt.writeJpg = false;
        opt.writeNewPanel = false;
        opt.writeOldPanel = false;
        reflsample::FlightTruth truth;
        ASSERT_TRUE(reflsample::generateSampleFlight(dir.path(), opt, &truth));
        const int refBand = truth.referenceBand;
        for (const reflsample::CaptureTruth& cap : truth.captures) {
            if (cap.kind != "flight") continue;
            auto read = [&](int b) {
                return cv::imread(QFile::encodeName(dir.path() + "/" + cap.files[b]).toStdString(),
                                  cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
            };
            const cv::Mat ref = read(refBand);
            ASSERT_FALSE(ref.empty());
            for (int b = 0; b < cap.files.size(); ++b) {
                if (b == refBand) continue;
                const cv::Mat src = read(b);
                ASSERT_FALSE(src.empty());
                const QString tag = QString("seed%1 %2 %3").arg(seed).arg(cap.key, truth.bands[b].label);
                const PairRegistrationResult r = pairregdetail::registerWithRetries(src, ref, tag);
                ASSERT_TRUE(r.succeeded()) << tag.toStdString() << ": " << r.error.toStdString();
                const cv::Mat trueRefFromBand(truth.bands[b].refFromBand);
                const std::vector<double> corners = cornerErrors(r.refFromSrc, trueRefFromBand, src.size());
                std::printf(
                    "%-26s inliers=%5d finalMed=%6.3f ecc=%-32s method=%-32s corners= %.3f %.3f %.3f %.3f\n",
                    tag.toUtf8().constData(), r.inliers, r.finalMedianError, r.status.toUtf8().constData(),
                    r.method.toUtf8().constData(), corners[0], corners[1], corners[2], corners[3]);
                for (double c : corners) EXPECT_LE(c, 1.0) << tag.toStdString();
                all.insert(all.end(), corners.begin(), corners.end());
            }
        }
    }
    ASSERT_FALSE(all.empty());
    std::sort(all.begin(), all.end());
    const double median = (all[(all.size() - 1) / 2] + all[all.size() / 2]) / 2.0;
    std::printf("sample flights: %zu corners, median %.3f px, worst %.3f px\n", all.size(), median,
                all.back());
    EXPECT_LE(median, 0.5);
}
