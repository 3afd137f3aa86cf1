// A generated flight with relief whose XMP lens model is off the lens the images were taken with:
// the self-calibrated model of the reference band straightens scene lines in the corrected image
// better than the XMP model does. One straight nadir strip constrains k1 only weakly (the adjustment
// starts from the XMP lens and trades distortion against a bent surface), so the gain is modest and
// not every band of every flight gains: sfm-lens-check in bench/ prints the whole picture.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <iostream>

#include "lens_straightness.h"
#include "sample_flight.h"
#include "sfm_calibration_thread.h"

namespace {

TEST(SfmLensError, CalibratedBandStraightensSceneLinesBetterThanTheWrongXmpLens) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    reflsample::SampleOptions o;
    o.cameraType = 4;
    o.layout = reflsample::RawLayout::Keyed;
    o.width = 640;
    o.height = 480;
    o.captures = 5;
    o.writeNewPanel = o.writeOldPanel = o.writeJpg = false;
    o.xmpLensError = 1.0;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(dir.path(), o, &truth));
    const int band = truth.referenceBand;
    QStringList files;
    for (const reflsample::CaptureTruth& c : truth.captures)
        if (c.kind == "flight") files << QDir(dir.path()).filePath(c.files[band]);
    ASSERT_EQ(files.size(), 5);

    CSfMCalibrationThread thread(dir.path(), truth.camera.xmpPixelSizeUm, truth.camera.focalMm);
    CameraCalibParams c;
    ASSERT_TRUE(thread.calibrateBand(files, "3", truth.camera.xmpPixelSizeUm, truth.camera.focalMm, c,
                                     defaultSfMParamGroup()));
    const reflsample::BandTruth& t = truth.bands[band];
    std::cout << "true fx " << t.K(0, 0) << " cx " << t.K(0, 2) << " cy " << t.K(1, 2) << " k1 " << t.D[0]
              << " k2 " << t.D[1] << "\nxmp  fx " << t.xmpK(0, 0) << " cx " << t.xmpK(0, 2) << " cy "
              << t.xmpK(1, 2) << " k1 " << t.xmpD[0] << " k2 " << t.xmpD[1] << "\nsfm  fx " << c.fx << " cx "
              << c.cx << " cy " << c.cy << " k1 " << c.k1 << " k2 " << c.k2 << " rms " << c.finalRmsPx
              << " p90 " << c.p90ErrorPx << " coverage " << c.minCoverage << std::endl;
    EXPECT_TRUE(c.accepted);
    EXPECT_EQ(c.priorSource, "XMP Camera namespace");

    const cv::Size size(truth.camera.width, truth.camera.height);
    reflsample::LensModel sfm;
    sfm.K = cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1);
    sfm.D = cv::Vec<double, 5>(c.k1, c.k2, c.p1, c.p2, c.k3);
    const reflsample::LensModel trueLens{t.K, t.D}, xmpLens{t.xmpK, t.xmpD};
    const reflsample::StraightnessFigures bySfm = reflsample::correctedStraightness(trueLens, sfm, size);
    const reflsample::StraightnessFigures byXmp = reflsample::correctedStraightness(trueLens, xmpLens, size);
    std::cout << "straightness rms/max px: sfm " << bySfm.rmsPx << " / " << bySfm.maxPx << ", xmp "
              << byXmp.rmsPx << " / " << byXmp.maxPx << std::endl;
    EXPECT_LT(bySfm.rmsPx, byXmp.rmsPx);
    EXPECT_LT(bySfm.maxPx, byXmp.maxPx);
    EXPECT_LT(bySfm.projectiveRmsPx, byXmp.projectiveRmsPx);
}

}  // namespace
