// The XMP lens error option of the generator and the straightness measure of a lens correction.
#include "lens_straightness.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "sample_flight.h"

using namespace reflsample;

namespace {

SampleOptions tinyFlight() {
    SampleOptions o = SampleOptions::small();
    o.cameraType = 4;
    o.captures = 1;
    o.width = 320;
    o.height = 240;
    o.writeNewPanel = o.writeOldPanel = false;
    return o;
}

LensModel lens(double f, double cx, double cy, double k1, double k2, double p1 = 0, double p2 = 0) {
    LensModel m;
    m.K = cv::Matx33d(f, 0, cx, 0, f, cy, 0, 0, 1);
    m.D = cv::Vec<double, 5>(k1, k2, p1, p2, 0);
    return m;
}

QString xmpText(const QString& path, const char* key) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    auto it = image->xmpData().findKey(Exiv2::XmpKey(key));
    return it == image->xmpData().end() ? QString() : QString::fromStdString(it->toString());
}

}  // namespace

TEST(LensStraightness, TheTrueModelLeavesLinesStraightAndAWrongOneBendsThem) {
    const cv::Size size(1280, 960);
    const LensModel truth = lens(1390, 645, 472, -0.10, 0.09, 2e-4, -1e-4);
    const std::vector<std::vector<cv::Point2d>> lines = straightLinesThroughLens(truth, size);
    ASSERT_GE(lines.size(), 18u);
    for (const auto& l : lines)
        for (const cv::Point2d& p : l) ASSERT_TRUE(p.x >= 0 && p.y >= 0 && p.x <= 1279 && p.y <= 959);

    const StraightnessFigures exact = correctedStraightness(truth, truth, size);
    EXPECT_LT(exact.maxPx, 0.01);
    EXPECT_LT(exact.projectiveRmsPx, 0.01);
    // Focal length and principal point alone change the projection, not the straightness, much.
    const StraightnessFigures shifted =
        correctedStraightness(truth, lens(1400, 660, 460, -0.10, 0.09, 2e-4, -1e-4), size);
    const StraightnessFigures slightly =
        correctedStraightness(truth, lens(1390, 645, 472, -0.09, 0.09, 2e-4, -1e-4), size);
    const StraightnessFigures badly =
        correctedStraightness(truth, lens(1390, 645, 472, -0.06, 0.09, 2e-4, -1e-4), size);
    const StraightnessFigures none = correctedStraightness(truth, lens(1390, 645, 472, 0, 0), size);
    EXPECT_LT(shifted.rmsPx, slightly.rmsPx);
    EXPECT_LT(slightly.rmsPx, badly.rmsPx);
    EXPECT_LT(badly.rmsPx, none.rmsPx);
    EXPECT_GT(none.maxPx, 3.0);  // the uncorrected barrel bows the long lines by pixels
    EXPECT_LT(slightly.projectiveRmsPx, badly.projectiveRmsPx);
}

TEST(LensStraightness, CorrectedPositionsInvertTheLensIntoTheOptimalNewMatrix) {
    const cv::Size size(640, 480);
    const LensModel m = lens(700, 318, 243, -0.12, 0.1, 3e-4, 2e-4);
    // A corrected pixel, pushed forward through the lens, is the raw pixel it comes from.
    const cv::Mat nk =
        cv::getOptimalNewCameraMatrix(cv::Mat(m.K), cv::Mat(m.D), size, 0.0, size, nullptr, false);
    const cv::Matx33d P(nk);
    const cv::Point2d corrected(600.0, 40.0);
    const cv::Vec3d ray = P.inv() * cv::Vec3d(corrected.x, corrected.y, 1.0);
    std::vector<cv::Point2d> raw;
    cv::projectPoints(std::vector<cv::Point3d>{{ray[0], ray[1], 1.0}}, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0),
                      cv::Mat(m.K), cv::Mat(m.D), raw);
    const std::vector<cv::Point2d> back = correctedPositions(raw, m, size);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_NEAR(back[0].x, corrected.x, 1e-6);
    EXPECT_NEAR(back[0].y, corrected.y, 1e-6);
    const std::vector<cv::Point2d> kept = correctedPositions(raw, m, size, true);
    EXPECT_GT(std::abs(kept[0].x - corrected.x) + std::abs(kept[0].y - corrected.y), 1.0);
}

TEST(SampleFlightXmpLens, ErrorChangesOnlyTheXmpLensKeysAndTruthRecordsBothLenses) {
    QTemporaryDir dir;
    SampleOptions o = tinyFlight();
    FlightTruth exact, off;
    ASSERT_TRUE(generateSampleFlight(dir.filePath("exact"), o, &exact));
    o.xmpLensError = 1.0;
    ASSERT_TRUE(generateSampleFlight(dir.filePath("off"), o, &off));
    ASSERT_EQ(exact.bands.size(), off.bands.size());

    for (int b = 0; b < off.bands.size(); ++b) {
        const BandTruth& e = exact.bands[b];
        const BandTruth& x = off.bands[b];
        EXPECT_FALSE(e.xmpLensDiffers());
        EXPECT_TRUE(x.xmpLensDiffers());
        // The images are taken with the same lens either way.
        EXPECT_EQ(e.K, x.K);
        EXPECT_EQ(e.D, x.D);
        const double focalOff = std::abs(x.xmpK(0, 0) / x.K(0, 0) - 1.0);
        EXPECT_GT(focalOff, 0.004);
        EXPECT_LT(focalOff, 0.016);
        const double ppOff = std::hypot(x.xmpK(0, 2) - x.K(0, 2), x.xmpK(1, 2) - x.K(1, 2));
        EXPECT_GT(ppOff, 0.007 * o.width);
        EXPECT_LT(ppOff, 0.016 * o.width);
        EXPECT_GT(std::abs(x.xmpD[0] - x.D[0]), 0.019);
        EXPECT_LT(std::abs(x.xmpD[0] - x.D[0]), 0.041);
        EXPECT_GT(std::abs(x.xmpD[1] - x.D[1]), 0.009);
        EXPECT_EQ(x.xmpD[4], x.D[4]);
        // The millimetre keys give the XMP lens back with the XMP pitch.
        const double pitchMm = off.camera.xmpPixelSizeUm / 1000.0;
        EXPECT_NEAR(x.xmpFocalMm / pitchMm, x.xmpK(0, 0), 1e-9);
        EXPECT_NEAR(x.xmpPrincipalXMm / pitchMm, x.xmpK(0, 2), 1e-9);
    }

    const QString rel = off.captures[0].files[0];
    // Pixels are identical; only the XMP lens keys differ.
    const cv::Mat a =
        cv::imread(QFile::encodeName(dir.filePath("exact/" + rel)).toStdString(), cv::IMREAD_UNCHANGED);
    const cv::Mat c =
        cv::imread(QFile::encodeName(dir.filePath("off/" + rel)).toStdString(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(a.empty());
    ASSERT_EQ(a.size(), c.size());
    EXPECT_EQ(cv::norm(a, c, cv::NORM_INF), 0.0);
    const QStringList dist =
        xmpText(dir.filePath("off/" + rel), "Xmp.Camera.PerspectiveDistortion").split(',');
    ASSERT_EQ(dist.size(), 5);
    EXPECT_DOUBLE_EQ(dist[0].toDouble(), off.bands[0].xmpD[0]);
    EXPECT_DOUBLE_EQ(dist[1].toDouble(), off.bands[0].xmpD[1]);
    EXPECT_DOUBLE_EQ(dist[3].toDouble(), off.bands[0].xmpD[2]);
    EXPECT_DOUBLE_EQ(dist[4].toDouble(), off.bands[0].xmpD[3]);
    EXPECT_DOUBLE_EQ(xmpText(dir.filePath("off/" + rel), "Xmp.Camera.PerspectiveFocalLength").toDouble(),
                     off.bands[0].xmpFocalMm);
    const QStringList exactDist =
        xmpText(dir.filePath("exact/" + rel), "Xmp.Camera.PerspectiveDistortion").split(',');
    ASSERT_EQ(exactDist.size(), 5);
    EXPECT_DOUBLE_EQ(exactDist[0].toDouble(), exact.bands[0].D[0]);

    // truth.json keeps both lenses apart only when they differ, and reads back either way.
    FlightTruth readOff, readExact;
    ASSERT_TRUE(loadTruth(dir.filePath("off/truth.json"), &readOff));
    ASSERT_TRUE(loadTruth(dir.filePath("exact/truth.json"), &readExact));
    EXPECT_DOUBLE_EQ(readOff.options.xmpLensError, 1.0);
    EXPECT_DOUBLE_EQ(readExact.options.xmpLensError, 0.0);
    for (int b = 0; b < off.bands.size(); ++b) {
        EXPECT_EQ(readOff.bands[b].K, off.bands[b].K);
        EXPECT_EQ(readOff.bands[b].xmpK, off.bands[b].xmpK);
        EXPECT_EQ(readOff.bands[b].xmpD, off.bands[b].xmpD);
        EXPECT_EQ(readExact.bands[b].xmpK, exact.bands[b].K);
        EXPECT_EQ(readExact.bands[b].xmpD, exact.bands[b].D);
    }
    QFile f(dir.filePath("exact/truth.json"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_FALSE(f.readAll().contains("xmpCameraMatrix"));

    o.xmpLensError = -0.5;
    EXPECT_FALSE(o.validate().isEmpty());
}
