// The adjusted lens is taken only where the observations support it: synthetic scenes with a known
// lens, Gaussian keypoint noise and a prior that is right or off.
#include "ba_lens_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace refl;

namespace {

const double kTrue[8] = {1000, 1000, 640, 480, -0.1, 0.05, 0.0005, -0.0003};

// Five views of a scene with relief. `converging`: the views look at the scene from a wide baseline,
// tilted and rolled against each other (focal length observable); otherwise they look straight down
// from one height over flat ground (focal length and altitude trade exactly).
// `wrongMatches` further tracks each hold one observation 12 - 30 px off where the feature is (a
// match to another feature).
BaInput scene(bool converging, double priorFocalScale, int wrongMatches = 0) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    BaInput in;
    in.width = 1280;
    in.height = 960;
    const Vec3 rvTilt[5] = {{0, 0, 0}, {0.05, -0.3, 0.4}, {-0.25, 0.1, -0.5}, {0.2, 0.25, 1.0}, {-0.2, -0.2, -1.2}};
    const Vec3 tvTilt[5] = {{0, 0, 0}, {15.0, 0.4, 3.0}, {-2.0, 12.0, 2.0}, {-13.0, -7.0, 4.0}, {8.0, -11.0, 3.0}};
    for (int v = 0; v < 5; ++v) {
        in.rvecs.push_back(converging ? rvTilt[v] : Vec3{0, 0, 0});
        in.tvecs.push_back(converging ? tvTilt[v] : Vec3{-6.0 * v, 0.0, 0.0});
    }
    while (in.points.size() < 400) {
        const double depth = converging ? 35 + 30 * uni(rng) : 50.0;
        const Vec3 X = {-30 + 60 * uni(rng), -20 + 40 * uni(rng), depth};
        std::vector<BaObservation> obs;
        for (int v = 0; v < 5; ++v) {
            double u, w;
            projectPoint(kTrue, in.rvecs[size_t(v)].data(), in.tvecs[size_t(v)].data(), X.data(), u, w);
            if (u < 5 || u > in.width - 5 || w < 5 || w > in.height - 5) continue;
            obs.push_back({v, int(in.points.size()), u + noise(rng), w + noise(rng)});
        }
        if (obs.size() < 3) continue;
        in.observations.insert(in.observations.end(), obs.begin(), obs.end());
        in.points.push_back(X);
    }
    for (int k = 0; k < wrongMatches;) {
        const Vec3 X = {-30 + 60 * uni(rng), -20 + 40 * uni(rng), 35 + 30 * uni(rng)};
        std::vector<BaObservation> obs;
        for (int v = 0; v < 5; ++v) {
            double u, w;
            projectPoint(kTrue, in.rvecs[size_t(v)].data(), in.tvecs[size_t(v)].data(), X.data(), u, w);
            if (u < 40 || u > in.width - 40 || w < 40 || w > in.height - 40) continue;
            obs.push_back({v, int(in.points.size()), u + noise(rng), w + noise(rng)});
        }
        if (obs.size() < 2) continue;
        const double angle = 6.283 * uni(rng), off = 12 + 18 * uni(rng);
        obs.back().u += off * std::cos(angle);
        obs.back().v += off * std::sin(angle);
        in.observations.insert(in.observations.end(), obs.begin(), obs.end());
        in.points.push_back(X);
        ++k;
    }
    in.fx = in.fy = kTrue[0] * priorFocalScale;
    in.cx = kTrue[2];
    in.cy = kTrue[3];
    in.k1 = kTrue[4];
    in.k2 = kTrue[5];
    in.p1 = kTrue[6];
    in.p2 = kTrue[7];
    in.viewA = 0;
    in.viewB = 1;
    return in;
}

TEST(LensSupport, TrueLensInThePriorIsKept) {
    LensSupport s;
    ASSERT_TRUE(adjustLensWithSupportTest(scene(true, 1.0), 120, nullptr, s));
    EXPECT_FALSE(s.adopted) << s.reason.toStdString();
    EXPECT_TRUE(s.reason.startsWith("improvement not significant")) << s.reason.toStdString();
    EXPECT_LT(s.statistic, s.threshold);
    EXPECT_GT(s.fxSigma, 0.0);
    EXPECT_LT(std::abs(s.free.fx - kTrue[0]), 3 * s.fxSigma);
}

TEST(LensSupport, WrongFocalLengthIsRecoveredWhereTheGeometryDeterminesIt) {
    for (double scale : {1.03, 0.97}) {
        LensSupport s;
        ASSERT_TRUE(adjustLensWithSupportTest(scene(true, scale), 120, nullptr, s));
        EXPECT_TRUE(s.adopted) << s.reason.toStdString();
        EXPECT_GT(s.statistic, s.threshold);
        EXPECT_LT(s.fxSigma, kMaxFocalSigmaRatio * kTrue[0]);
        EXPECT_NEAR(s.free.fx, kTrue[0], 0.005 * kTrue[0]);
        EXPECT_NEAR(s.free.fy, kTrue[1], 0.005 * kTrue[1]);
    }
}

TEST(LensSupport, TracksNoLensFitsAreDroppedBeforeTheFocalLengthIsTaken) {
    LensSupport s;
    ASSERT_TRUE(adjustLensWithSupportTest(scene(true, 0.97, 12), 120, nullptr, s));
    EXPECT_TRUE(s.adopted) << s.reason.toStdString();
    EXPECT_EQ(s.droppedTracks, 12);
    EXPECT_EQ(s.keptPoints.size(), 400u);
    EXPECT_TRUE(s.reason.endsWith("(12 outlier tracks dropped)")) << s.reason.toStdString();
    EXPECT_NEAR(s.free.fx, kTrue[0], 0.005 * kTrue[0]);
    EXPECT_NEAR(s.free.fy, kTrue[1], 0.005 * kTrue[1]);
    EXPECT_LT(s.free.p90, 0.6);
}

TEST(LensSupport, FocalLengthThatTheGeometryCannotDetermineKeepsThePrior) {
    // Parallel nadir views of flat ground: a focal length 3 % off is absorbed by the altitude.
    LensSupport s;
    ASSERT_TRUE(adjustLensWithSupportTest(scene(false, 1.03), 120, nullptr, s));
    EXPECT_FALSE(s.adopted);
    EXPECT_GT(s.fxSigma, kMaxFocalSigmaRatio * s.free.fx) << s.reason.toStdString();
}

}  // namespace
