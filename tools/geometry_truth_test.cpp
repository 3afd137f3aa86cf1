// The pixel positions in the truth agree with the image content, and the truth homographies relate
// them across bands.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "ground_scene.h"
#include "sample_flight.h"

using namespace reflsample;

namespace {

cv::Point2d apply(const cv::Matx33d& h, cv::Point2d p) {
    const cv::Vec3d v = h * cv::Vec3d(p.x, p.y, 1.0);
    return cv::Point2d(v[0] / v[2], v[1] / v[2]);
}

cv::Point2d undistort(const BandTruth& b, cv::Point2d p, const cv::Matx33d& newK) {
    std::vector<cv::Point2d> in{p}, out;
    cv::undistortPoints(in, out, cv::Mat(b.K), cv::Mat(b.D), cv::noArray(), cv::Mat(newK),
                        cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 1e-12));
    return out[0];
}

/// Centroid of the target, weighting each pixel by how far it lies from the surroundings towards the target.
cv::Point2d targetCentroid(const cv::Mat& dn, const BandTruth& b, cv::Point2d at, double half, bool bright) {
    std::vector<double> window;
    const int x0 = int(at.x - half), x1 = int(at.x + half) + 1, y0 = int(at.y - half),
              y1 = int(at.y + half) + 1;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            window.push_back((dn.at<quint16>(y, x) - b.darkLevel) * vignettingP(b, x + 1, y + 1));
    std::vector<double> sorted = window;
    std::sort(sorted.begin(), sorted.end());
    const double inner = bright ? sorted[sorted.size() * 97 / 100] : sorted[sorted.size() * 3 / 100];
    const double outer = sorted[sorted.size() / 2];
    // Edge pixels count with the fraction of target they hold, which keeps the centroid sub-pixel exact.
    double sx = 0, sy = 0, n = 0;
    size_t i = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x, ++i) {
            const double w = std::clamp((window[i] - outer) / (inner - outer), 0.0, 1.0);
            sx += w * x;
            sy += w * y;
            n += w;
        }
    return n > 0 ? cv::Point2d(sx / n, sy / n) : cv::Point2d(-1, -1);
}

}  // namespace

TEST(GeometryTruth, TarpCentresInEveryBandSitWhereTheTruthSays) {
    QTemporaryDir dir;
    SampleOptions o = SampleOptions::small();
    o.captures = 2;
    o.noiseScale = 0;
    o.writeNewPanel = o.writeOldPanel = false;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
    int measured = 0;
    cv::Point2d bias(0, 0);  // a systematic offset (say half a pixel) would show here
    for (const CheckPoint& cp : t.checkPoints) {
        const bool white = cp.name == "white tarp", black = cp.name == "black tarp";
        if (!white && !black) continue;
        for (int b = 0; b < t.bands.size(); ++b) {
            // White stands out in the visible, black in the near infrared (vegetation is bright there).
            if ((white && t.bands[b].wavelengthNm >= 700) || (black && t.bands[b].wavelengthNm < 700))
                continue;
            const cv::Mat dn = cv::imread(
                QFile::encodeName(dir.filePath(t.captures[cp.captureIndex].files[b])).toStdString(),
                cv::IMREAD_UNCHANGED);
            ASSERT_EQ(dn.type(), CV_16U);
            const double half = cp.radiusPx / 0.6 * 1.3;
            const cv::Point2d c = targetCentroid(dn, t.bands[b], cp.pixel[b], half, white);
            EXPECT_LT(cv::norm(c - cp.pixel[b]), 0.5) << qPrintable(cp.name) << " band " << b;
            bias += c - cp.pixel[b];
            ++measured;
        }
    }
    ASSERT_GE(measured, 6);
    EXPECT_LT(cv::norm(bias / measured), 0.15);
}

TEST(GeometryTruth, HomographiesCarryBandPixelsOntoTheReferenceBand) {
    QTemporaryDir dir;
    SampleOptions o;  // type 0: the corrected frames come from getOptimalNewCameraMatrix
    o.captures = 3;
    o.writeFlight = o.writeJpg = o.writeNewPanel = o.writeOldPanel = false;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
    ASSERT_FALSE(t.checkPoints.isEmpty());
    const BandTruth& ref = t.bands[t.referenceBand];
    const cv::Size size(t.camera.width, t.camera.height);
    auto corrected = [&](const BandTruth& b) {
        cv::Mat d = (cv::Mat_<double>(5, 1) << b.D[0], b.D[1], b.D[2], b.D[3], 0.0);
        return cv::Matx33d(cv::getOptimalNewCameraMatrix(cv::Mat(b.K), d, size, 0.0, size, nullptr, false));
    };
    for (const CheckPoint& cp : t.checkPoints) {
        const cv::Point2d pr = cp.pixel[t.referenceBand];
        for (int b = 0; b < t.bands.size(); ++b) {
            const BandTruth& band = t.bands[b];
            const cv::Point2d pb = cp.pixel[b];
            EXPECT_LT(
                cv::norm(apply(band.refFromBand, undistort(band, pb, band.K)) - undistort(ref, pr, ref.K)),
                1e-3);
            EXPECT_LT(cv::norm(apply(band.refFromBandCorrected, undistort(band, pb, corrected(band))) -
                               undistort(ref, pr, corrected(ref))),
                      1e-3);
            EXPECT_LT(cv::norm(apply(band.refFromBandRaw, pb) - pr), 4.0 * band.rawFitRmsPx + 0.2);
            if (b != t.referenceBand) {
                // The misalignment is there: tens of pixels, not zero.
                EXPECT_GT(cv::norm(pb - pr), 2.0);
                EXPECT_LT(cv::norm(pb - pr), 80.0);
            }
        }
    }
}

TEST(GeometryTruth, SecondStripOverTiltedReliefShowsTheTarpsWhereTheTruthSays) {
    QTemporaryDir dir;
    SampleOptions o = SampleOptions::small();
    o.captures = 5;  // 3 flying east, then 2 flying back west
    o.strips = 2;
    o.relief = 4.0;
    o.tiltDeg = 6.0;
    o.noiseScale = 0;
    o.writeNewPanel = o.writeOldPanel = false;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
    ASSERT_EQ(t.flightCaptureCount(), 5);
    FlightTruth back;
    ASSERT_TRUE(loadTruth(dir.filePath("truth.json"), &back));
    EXPECT_EQ(back.options.strips, 2);
    EXPECT_EQ(back.options.relief, 4.0);
    EXPECT_EQ(back.options.tiltDeg, 6.0);
    ASSERT_EQ(back.captures.size(), 5);
    EXPECT_LT(cv::norm(back.captures[4].camFromWorld - t.captures[4].camFromWorld), 1e-12);
    for (int i = 0; i < 5; ++i) {
        const CaptureTruth& c = t.captures[i];
        const bool back = i >= 3;
        EXPECT_NEAR(c.yawDeg, back ? 270.0 : 90.0, 2.0) << i;
        EXPECT_LE(std::max(std::fabs(c.rollDeg), std::fabs(c.pitchDeg)), 6.0);
        EXPECT_NEAR(c.centre[1], t.captures[back ? 3 : 0].centre[1], 0.8) << i;
    }
    // The strips lie side by side, the second one flown from where the first one ended.
    EXPECT_GT(t.captures[3].centre[1] - t.captures[0].centre[1], 5.0);
    EXPECT_GT(t.captures[3].centre[0], t.captures[4].centre[0]);
    EXPECT_NEAR(t.captures[3].centre[0], t.captures[2].centre[0], 1.0);
    double steepest = 0;
    for (int i = 0; i < 5; ++i)
        steepest = std::max({steepest, std::fabs(t.captures[i].rollDeg), std::fabs(t.captures[i].pitchDeg)});
    EXPECT_GT(steepest, 3.0);

    int measured = 0, inSecondStrip = 0;
    for (const CheckPoint& cp : t.checkPoints) {
        const bool white = cp.name == "white tarp", black = cp.name == "black tarp";
        if (!white && !black) continue;
        for (int b = 0; b < t.bands.size(); ++b) {
            if ((white && t.bands[b].wavelengthNm >= 700) || (black && t.bands[b].wavelengthNm < 700))
                continue;
            const cv::Mat dn = cv::imread(
                QFile::encodeName(dir.filePath(t.captures[cp.captureIndex].files[b])).toStdString(),
                cv::IMREAD_UNCHANGED);
            ASSERT_EQ(dn.type(), CV_16U);
            const cv::Point2d c = targetCentroid(dn, t.bands[b], cp.pixel[b], cp.radiusPx / 0.6 * 1.3, white);
            // Tarps near the image edge bias this centroid by up to about 0.7 px even on the default
            // flight; a pose that disagrees with the images would be off by tens of pixels.
            EXPECT_LT(cv::norm(c - cp.pixel[b]), 1.2) << qPrintable(cp.name) << " capture " << cp.captureIndex;
            ++measured;
            inSecondStrip += cp.captureIndex >= 3;
        }
    }
    EXPECT_GE(measured, 6);
    EXPECT_GE(inSecondStrip, 2);
}

TEST(GeometryTruth, ReliefScalesTheTerrainAndTheOptionsAreChecked) {
    const GroundScene flat(3, -50, 50, -50, 50, -10, 10, 0.0), normal(3, -50, 50, -50, 50, -10, 10),
        steep(3, -50, 50, -50, 50, -10, 10, 2.5);
    double largest = 0;
    for (double x = -40; x <= 40; x += 7.3)
        for (double y = -40; y <= 40; y += 5.1) {
            EXPECT_EQ(flat.terrainHeight(x, y), 0.0);
            EXPECT_NEAR(steep.terrainHeight(x, y), 2.5 * normal.terrainHeight(x, y), 1e-12);
            largest = std::max(largest, std::fabs(normal.terrainHeight(x, y)));
        }
    EXPECT_GT(largest, 0.5);

    SampleOptions o;
    EXPECT_TRUE(o.validate().isEmpty());
    o.strips = 0;
    EXPECT_FALSE(o.validate().isEmpty());
    o.strips = 9;  // more strips than captures
    o.captures = 8;
    EXPECT_FALSE(o.validate().isEmpty());
    o = SampleOptions();
    o.relief = -1;
    EXPECT_FALSE(o.validate().isEmpty());
    o = SampleOptions();
    o.tiltDeg = 25;
    EXPECT_FALSE(o.validate().isEmpty());
}
