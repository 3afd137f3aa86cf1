#include "sfm_reconstruction.h"

#include <gtest/gtest.h>

#include "sfm_test_scene.h"

using namespace refl;

namespace {

cv::Vec3d centreOf(const ViewPose& p) { return -(p.R.t() * p.t); }

// Pose of view v relative to view a (view a at the origin).
ViewPose relativePose(const ViewPose& a, const ViewPose& v) {
    ViewPose r;
    r.R = v.R * a.R.t();
    r.t = v.t - r.R * a.t;
    r.registered = true;
    return r;
}

}  // namespace

TEST(SfmTriangulation, RecoversTheTruePointWithZeroError) {
    const SyntheticScene s = makeSyntheticScene();
    int checked = 0;
    for (size_t k = 0; k < s.tracks.size(); ++k) {
        if (s.tracks[k].size() < 3) continue;
        TrackMeasurement m;
        ASSERT_TRUE(triangulateTrack(s.tracks[k], s.features, s.poses, s.K, s.D, &m));
        EXPECT_LT(cv::norm(m.point - s.points[k]), 1e-3);
        EXPECT_LT(m.medianErrorPx, 1e-3);
        EXPECT_GT(m.maxRayAngleDeg, 0.5);
        ++checked;
    }
    EXPECT_GT(checked, 50);
}

TEST(SfmTriangulation, UsesOnlyRegisteredViews) {
    SyntheticScene s = makeSyntheticScene();
    FeatureTrack t = s.tracks[0];
    ASSERT_GE(t.size(), 2u);
    std::vector<ViewPose> poses = s.poses;
    for (ViewPose& p : poses) p.registered = false;
    poses[size_t(t[0].view)].registered = true;
    TrackMeasurement m;
    EXPECT_FALSE(triangulateTrack(t, s.features, poses, s.K, s.D, &m));  // one registered view
}

TEST(SfmTriangulation, PointInFrontOfOnlyOneCameraIsRejected) {
    // Camera 0 looks up, cameras 1 and 2 look down; a point above all of them is seen in front by
    // camera 0 only. The projections are exact, so the linear solution is that point.
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    const cv::Mat D = cv::Mat::zeros(5, 1, CV_64F);
    const cv::Matx33d down(1, 0, 0, 0, -1, 0, 0, 0, -1);
    const cv::Matx33d up = cv::Matx33d::eye();
    const cv::Vec3d centres[3] = {{0, 0, 50}, {6, 0, 50}, {0, 6, 50}};
    const cv::Matx33d rot[3] = {up, down, down};
    const cv::Vec3d X(2, 1, 60);
    std::vector<ViewPose> poses;
    std::vector<ImageFeatures> features(3);
    FeatureTrack track;
    for (int v = 0; v < 3; ++v) {
        ViewPose p{rot[v], -(rot[v] * centres[v]), true};
        poses.push_back(p);
        const cv::Vec3d xc = p.R * X + p.t;
        features[size_t(v)].points.emplace_back(500 * xc[0] / xc[2] + 320, 500 * xc[1] / xc[2] + 240);
        track.push_back({v, 0});
    }
    TrackMeasurement m;
    EXPECT_FALSE(triangulateTrack(track, features, poses, K, D, &m));
    // The same point seen by two cameras in front of it is accepted.
    poses[1].R = up;
    poses[1].t = -(up * centres[1]);
    const cv::Vec3d xc = poses[1].R * X + poses[1].t;
    features[1].points[0] = cv::Point2d(500 * xc[0] / xc[2] + 320, 500 * xc[1] / xc[2] + 240);
    EXPECT_TRUE(triangulateTrack(track, features, poses, K, D, &m));
    EXPECT_LT(cv::norm(m.point - X), 1e-6);
}

TEST(SfmInitialPair, ScoreClampsTheParallax) {
    EXPECT_DOUBLE_EQ(initialPairScore(100, 0.01), 5.0);
    EXPECT_DOUBLE_EQ(initialPairScore(100, 30.0), 1000.0);
    EXPECT_DOUBLE_EQ(initialPairScore(100, 2.5), 250.0);
}

TEST(SfmInitialPair, RecoversTheRelativePoseOfTheChosenPair) {
    const SyntheticScene s = makeSyntheticScene();
    int a = -1, b = -1;
    cv::Matx33d R;
    cv::Vec3d t;
    ASSERT_TRUE(initialPairPose(s.pairs, s.features, s.K, s.D, 2.0, &a, &b, &R, &t));
    ASSERT_LT(a, b);
    const ViewPose rel = relativePose(s.poses[size_t(a)], s.poses[size_t(b)]);
    EXPECT_LT(cv::norm(cv::Mat(R), cv::Mat(rel.R)), 1e-3);
    EXPECT_LT(cv::norm(t - rel.t / cv::norm(rel.t)), 1e-3);  // unit baseline
}

TEST(SfmInitialPair, EqualScoresKeepTheEarlierPair) {
    // Views 2 and 3 are copies of views 0 and 1, so pairs (0,1) and (2,3) score the same.
    SyntheticScene s = makeSyntheticScene(2);
    s.features.push_back(s.features[0]);
    s.features.push_back(s.features[1]);
    PairGeometry copy = s.pairs[0];
    copy.i = 2;
    copy.j = 3;
    int a = -1, b = -1;
    cv::Matx33d R;
    cv::Vec3d t;
    ASSERT_TRUE(initialPairPose({s.pairs[0], copy}, s.features, s.K, s.D, 2.0, &a, &b, &R, &t));
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    ASSERT_TRUE(initialPairPose({copy, s.pairs[0]}, s.features, s.K, s.D, 2.0, &a, &b, &R, &t));
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 3);
}

TEST(SfmInitialPair, FailsWithoutUsablePairsOrOnStop) {
    const SyntheticScene s = makeSyntheticScene();
    int a, b;
    cv::Matx33d R;
    cv::Vec3d t;
    EXPECT_FALSE(initialPairPose({}, s.features, s.K, s.D, 2.0, &a, &b, &R, &t));
    PairGeometry few = s.pairs[0];
    few.inliers.resize(9);
    few.inlierCount = 9;
    EXPECT_FALSE(initialPairPose({few}, s.features, s.K, s.D, 2.0, &a, &b, &R, &t));
    SfmStopFlag stop{1};
    EXPECT_FALSE(initialPairPose(s.pairs, s.features, s.K, s.D, 2.0, &a, &b, &R, &t, &stop));
}

TEST(SfmIncremental, RegistersEveryViewOnTheTrueTrajectory) {
    const SyntheticScene s = makeSyntheticScene();
    int a, b;
    cv::Matx33d R;
    cv::Vec3d t;
    ASSERT_TRUE(initialPairPose(s.pairs, s.features, s.K, s.D, 2.0, &a, &b, &R, &t));
    SfmReconstruction rec;
    ASSERT_TRUE(incrementalSfm(s.tracks, s.features, s.K, s.D, a, b, R, t, 2.0, &rec));
    ASSERT_EQ(rec.poses.size(), s.poses.size());
    EXPECT_TRUE(cv::norm(cv::Mat(rec.poses[size_t(a)].R), cv::Mat(cv::Matx33d::eye())) == 0.0);
    // Scale: the initial baseline is 1.
    const double scale = cv::norm(centreOf(s.poses[size_t(a)]) - centreOf(s.poses[size_t(b)]));
    for (size_t v = 0; v < s.poses.size(); ++v) {
        ASSERT_TRUE(rec.poses[v].registered);
        const ViewPose truth = relativePose(s.poses[size_t(a)], s.poses[v]);
        EXPECT_LT(cv::norm(centreOf(rec.poses[v]) * scale - centreOf(truth)), 1e-2) << "view " << v;
    }
    EXPECT_EQ(rec.points.size(), rec.triangulatedTracks.size());
    // Tracks of the initial pair come first, in index order.
    int firstOther = -1;
    for (size_t k = 0; k < rec.triangulatedTracks.size(); ++k) {
        const FeatureTrack& tr = s.tracks[size_t(rec.triangulatedTracks[k])];
        bool inA = false, inB = false;
        for (const Observation& o : tr) {
            inA |= o.view == a;
            inB |= o.view == b;
        }
        if (!(inA && inB)) {
            firstOther = int(k);
            break;
        }
        if (k > 0) {
            EXPECT_LT(rec.triangulatedTracks[k - 1], rec.triangulatedTracks[k]);
        }
    }
    EXPECT_GT(firstOther, 10);
}

TEST(SfmIncremental, ViewWithTooFewCorrespondencesFailsTheReconstruction) {
    SyntheticScene s = makeSyntheticScene(3);
    // View 2 keeps only 7 observations.
    int kept = 0;
    for (FeatureTrack& tr : s.tracks) {
        for (size_t k = 0; k < tr.size(); ++k)
            if (tr[k].view == 2 && ++kept > 7) {
                tr.erase(tr.begin() + long(k));
                break;
            }
    }
    const ViewPose rel = relativePose(s.poses[0], s.poses[1]);
    const double n = cv::norm(rel.t);
    SfmReconstruction rec;
    EXPECT_FALSE(incrementalSfm(s.tracks, s.features, s.K, s.D, 0, 1, rel.R, rel.t / n, 2.0, &rec));
    EXPECT_TRUE(rec.poses[0].registered);
    EXPECT_FALSE(rec.poses[2].registered);

    SyntheticScene full = makeSyntheticScene(3);
    SfmStopFlag stop{1};
    EXPECT_FALSE(
        incrementalSfm(full.tracks, full.features, full.K, full.D, 0, 1, rel.R, rel.t / n, 2.0, &rec, &stop));
    EXPECT_TRUE(
        incrementalSfm(full.tracks, full.features, full.K, full.D, 0, 1, rel.R, rel.t / n, 2.0, &rec));
}
