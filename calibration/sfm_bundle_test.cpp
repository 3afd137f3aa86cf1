// The adjustment over a reconstruction: observation gathering, the early exit, the record, and a
// generated flight whose prior camera is off the true lens.
#include "sfm_bundle.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <iostream>
#include <opencv2/imgcodecs.hpp>

#include "sample_flight.h"
#include "sfm_selection.h"

using namespace refl;

namespace {

ImageFeatures featuresOf(std::vector<cv::Point2d> pts) {
    ImageFeatures f;
    f.points = std::move(pts);
    return f;
}

TEST(SfmBundle, ObservationsFollowTheSelectedTracksAndSkipUnregisteredViews) {
    std::vector<ImageFeatures> features = {featuresOf({{1, 1}, {2, 2}}), featuresOf({{3, 3}, {4, 4}}),
                                           featuresOf({{5, 5}})};
    std::vector<ViewPose> poses(3);
    poses[0].registered = true;
    poses[1].registered = true;  // view 2 is not registered
    const std::vector<FeatureTrack> tracks = {{{0, 0}, {1, 1}}, {{0, 1}, {2, 0}, {1, 0}}, {{0, 1}, {1, 1}}};
    const std::vector<SfmBundleObservation> obs = collectBundleObservations(tracks, {1, 0}, features, poses);
    ASSERT_EQ(obs.size(), 4u);
    EXPECT_EQ(obs[0].view, 0);
    EXPECT_EQ(obs[0].point, 0);
    EXPECT_EQ(obs[0].pixel, cv::Point2d(2, 2));
    EXPECT_EQ(obs[1].view, 1);  // the unregistered view 2 is skipped
    EXPECT_EQ(obs[1].pixel, cv::Point2d(3, 3));
    EXPECT_EQ(obs[2].point, 1);
    EXPECT_EQ(obs[3].pixel, cv::Point2d(4, 4));
}

TEST(SfmBundle, ThreeObservationsGiveNoAdjustedCamera) {
    std::vector<ImageFeatures> features = {featuresOf({{100, 100}}), featuresOf({{110, 100}}),
                                           featuresOf({{120, 100}})};
    std::vector<ViewPose> poses(3);
    for (ViewPose& p : poses) p.registered = true;
    poses[1].t = cv::Vec3d(-1, 0, 0);
    poses[2].t = cv::Vec3d(-2, 0, 0);
    const std::vector<FeatureTrack> tracks = {{{0, 0}, {1, 0}, {2, 0}}};
    const std::map<int, cv::Vec3d> points = {{0, cv::Vec3d(0, 0, 10)}};
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    const cv::Mat D = cv::Mat::zeros(5, 1, CV_64F);
    SfmBundleResult r;
    EXPECT_FALSE(bundleAdjust(tracks, {0}, points, features, poses, K, D, 0, 1, 640, 480, SfmBundleOptions(),
                              "x", &r));
    EXPECT_FALSE(r.optimised);
    EXPECT_EQ(r.initialRms, 999.0);
    EXPECT_EQ(r.finalRms, 999.0);
    EXPECT_TRUE(r.K.empty());
}

TEST(SfmBundle, RecordTakesIntrinsicsMillimetresAndFigures) {
    SfmBundleResult r;
    r.K = (cv::Mat_<double>(3, 3) << 1000, 0, 600, 0, 1002, 480, 0, 0, 1);
    r.D = (cv::Mat_<double>(5, 1) << -0.1, 0.05, 0.001, -0.002, 0);
    r.initialRms = 3.0;
    r.finalRms = 0.4;
    r.p90 = 0.7;
    r.coverage = {0.5, 0.3, 1.4};
    CameraPrior prior;
    prior.width = 1280;
    prior.height = 960;
    prior.priorSource = "XMP Camera namespace";
    CameraCalibParams c;
    c.band = "660";
    fillCalibrationRecord(r, prior, 321, 3.75, true, &c);
    EXPECT_EQ(c.band, "660");
    EXPECT_EQ(c.fx, 1000);
    EXPECT_EQ(c.fy, 1002);
    EXPECT_EQ(c.cx, 600);
    EXPECT_EQ(c.cy, 480);
    EXPECT_EQ(c.k1, -0.1);
    EXPECT_EQ(c.p2, -0.002);
    EXPECT_EQ(c.k3, 0.0);
    EXPECT_EQ(c.imageWidth, 1280);
    EXPECT_EQ(c.imageHeight, 960);
    EXPECT_EQ(c.priorSource, "XMP Camera namespace");
    EXPECT_DOUBLE_EQ(c.focalLengthMm, 3.75);
    EXPECT_DOUBLE_EQ(c.principalXMm, 2.25);
    EXPECT_DOUBLE_EQ(c.principalYMm, 1.8);
    EXPECT_EQ(c.initialRmsPx, 3.0);
    EXPECT_EQ(c.finalRmsPx, 0.4);
    EXPECT_EQ(c.p90ErrorPx, 0.7);
    EXPECT_EQ(c.minCoverage, 0.3);
    EXPECT_EQ(c.adjustedTrackCount, 321);
    EXPECT_EQ(c.selectedTrackCount, 321);
    EXPECT_TRUE(c.accepted);
}

// Five generated captures of a scene with relief; the prior is 3 % off in focal length, 20 px off
// in the principal point and has no distortion, unlike the true lens.
TEST(SfmBundle, FlightWithAnOffPriorMovesDistortionTowardsTheTrueLens) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    reflsample::SampleOptions o = reflsample::SampleOptions::small();
    o.captures = 5;
    o.writeNewPanel = false;
    o.writeOldPanel = false;
    o.writeJpg = false;
    o.seed = 7;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(dir.path(), o, &truth));
    const int band = truth.referenceBand;
    QStringList files;
    for (const reflsample::CaptureTruth& c : truth.captures)
        if (c.kind == "flight") files << QDir(dir.path()).filePath(c.files[band]);
    ASSERT_EQ(files.size(), 5);

    CameraPrior prior;
    ASSERT_TRUE(cameraPriorFromMetadata(files[0], truth.camera.xmpPixelSizeUm, truth.camera.focalMm, &prior));
    const cv::Matx33d T = truth.bands[band].K;
    const cv::Vec<double, 5> TD = truth.bands[band].D;
    cv::Mat K =
        (cv::Mat_<double>(3, 3) << T(0, 0) * 1.03, 0, T(0, 2) + 20, 0, T(1, 1) * 1.03, T(1, 2) - 20, 0, 0, 1);
    cv::Mat D = cv::Mat::zeros(5, 1, CV_64F);

    const SfMParamGroup g = defaultSfmParamGroup();
    std::vector<ImageFeatures> features;
    for (const QString& path : files) {
        const cv::Mat img = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(img.empty());
        features.push_back(extractSift(img, g.maxFeatures));
    }
    const std::vector<PairGeometry> pairs = pairwiseGeometries(features, g.loweRatio, g.magsacThreshold);
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    int a = -1, b = -1;
    cv::Matx33d R;
    cv::Vec3d t;
    ASSERT_TRUE(initialPairPose(pairs, features, K, D, 2.0, &a, &b, &R, &t));
    SfmReconstruction rec;
    ASSERT_TRUE(incrementalSfm(tracks, features, K, D, a, b, R, t, 2.0, &rec));
    const std::vector<int> selected =
        selectAdjustmentTracks(tracks, rec.points, rec.triangulatedTracks, features, rec.poses, K, D, g.limit,
                               prior.width, prior.height);
    ASSERT_FALSE(selected.empty());

    SfmBundleOptions s;
    s.maxIterations = g.maxIterations;
    s.threads = 2;
    SfmBundleResult r;
    const bool accepted = bundleAdjust(tracks, selected, rec.points, features, rec.poses, K, D, a, b,
                                       prior.width, prior.height, s, "660", &r);
    ASSERT_TRUE(r.optimised);
    const cv::Mat& E = r.K;
    std::cout << "true   fx " << T(0, 0) << " cx " << T(0, 2) << " cy " << T(1, 2) << " k1 " << TD[0]
              << " k2 " << TD[1] << "\nprior  fx " << K.at<double>(0, 0) << " cx " << K.at<double>(0, 2)
              << " cy " << K.at<double>(1, 2) << " k1 0 k2 0\nresult fx " << E.at<double>(0, 0) << " fy "
              << E.at<double>(1, 1) << " cx " << E.at<double>(0, 2) << " cy " << E.at<double>(1, 2) << " k1 "
              << r.D.at<double>(0) << " k2 " << r.D.at<double>(1) << " p1 " << r.D.at<double>(2) << " p2 "
              << r.D.at<double>(3) << "\nrms " << r.initialRms << " -> " << r.finalRms << " p90 " << r.p90
              << " evaluations " << r.evaluations << " observations " << r.observationCount << " accepted "
              << accepted << std::endl;

    // A near-nadir line over gentle relief hardly constrains focal length and principal point (a
    // wrong focal is absorbed by the altitude, a shifted centre by the attitude): they stay near the
    // prior. The distortion is observable and moves towards the truth.
    EXPECT_LT(std::abs(E.at<double>(0, 0) - K.at<double>(0, 0)), 0.03 * K.at<double>(0, 0));
    EXPECT_LT(std::abs(r.D.at<double>(0) - TD[0]), std::abs(TD[0]));
    EXPECT_LT(r.finalRms, r.initialRms);
    // The gauge: view a keeps its pose, view b its largest translation component.
    EXPECT_EQ(r.poses[a].R, rec.poses[a].R);
    EXPECT_EQ(r.poses[a].t, rec.poses[a].t);
    int big = 0;
    for (int k = 1; k < 3; ++k)
        if (std::abs(rec.poses[b].t[k]) > std::abs(rec.poses[b].t[big])) big = k;
    EXPECT_EQ(r.poses[b].t[big], rec.poses[b].t[big]);
    // Every selected track has its adjusted point unless it was dropped as an outlier.
    EXPECT_EQ(r.points.size() + size_t(r.droppedTracks), selected.size());
    for (const auto& entry : r.points)
        EXPECT_TRUE(std::find(selected.begin(), selected.end(), entry.first) != selected.end());
}

}  // namespace
