// Synthetic views of a 3D point cloud for the reconstruction tests: exact projections, one track per
// point, the pairs made of the tracks' keypoints.
#pragma once

#include <opencv2/calib3d.hpp>

#include "sfm_reconstruction.h"

namespace refl {

struct SyntheticScene {
    cv::Mat K, D;
    int width = 640, height = 480;
    std::vector<ViewPose> poses;
    std::vector<cv::Vec3d> points;
    std::vector<ImageFeatures> features;
    std::vector<FeatureTrack> tracks;  // track k observes points[k]
    std::vector<PairGeometry> pairs;
};

// Cameras along the x axis at height 50 looking straight down (z up in the world), points on the
// ground with +-5 m of relief. Keypoint k of every view is the projection of point k when it lies
// inside the image; points outside a view are not observed there.
inline SyntheticScene makeSyntheticScene(int views = 5, int count = 300, double spacing = 8.0,
                                         unsigned seed = 3) {
    SyntheticScene s;
    s.K = (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    s.D = (cv::Mat_<double>(5, 1) << -0.05, 0.01, 0.0005, -0.0003, 0);
    cv::RNG rng(seed);
    const cv::Matx33d down(1, 0, 0, 0, -1, 0, 0, 0, -1);  // camera z along world -z
    for (int v = 0; v < views; ++v) {
        const cv::Vec3d C(spacing * v, 0.3 * v, 50.0);
        ViewPose p;
        p.R = down;
        p.t = -(down * C);
        p.registered = true;
        s.poses.push_back(p);
    }
    const double extent = spacing * (views - 1);
    for (int k = 0; k < count; ++k)
        s.points.emplace_back(rng.uniform(-25.0, extent + 25.0), rng.uniform(-22.0, 22.0),
                              rng.uniform(-5.0, 5.0));
    s.features.resize(size_t(views));
    std::vector<std::vector<int>> keypointOf(size_t(views), std::vector<int>(size_t(count), -1));
    for (int v = 0; v < views; ++v) {
        cv::Vec3d rvec;
        cv::Rodrigues(s.poses[size_t(v)].R, rvec);
        std::vector<cv::Point3d> obj(s.points.begin(), s.points.end());
        std::vector<cv::Point2d> proj;
        cv::projectPoints(obj, rvec, s.poses[size_t(v)].t, s.K, s.D, proj);
        for (int k = 0; k < count; ++k) {
            const cv::Point2d& q = proj[size_t(k)];
            if (q.x < 0 || q.y < 0 || q.x >= s.width || q.y >= s.height) continue;
            keypointOf[size_t(v)][size_t(k)] = int(s.features[size_t(v)].points.size());
            s.features[size_t(v)].points.push_back(q);
        }
    }
    s.tracks.resize(size_t(count));
    for (int k = 0; k < count; ++k)
        for (int v = 0; v < views; ++v)
            if (keypointOf[size_t(v)][size_t(k)] >= 0)
                s.tracks[size_t(k)].push_back({v, keypointOf[size_t(v)][size_t(k)]});
    for (int i = 0; i < views; ++i)
        for (int j = i + 1; j < views; ++j) {
            PairGeometry g;
            g.i = i;
            g.j = j;
            for (int k = 0; k < count; ++k) {
                const int qi = keypointOf[size_t(i)][size_t(k)], qj = keypointOf[size_t(j)][size_t(k)];
                if (qi >= 0 && qj >= 0) g.inliers.emplace_back(qi, qj, 0.001f * float(g.inliers.size()));
            }
            g.inlierCount = int(g.inliers.size());
            if (g.inlierCount >= 10) s.pairs.push_back(g);
        }
    return s;
}

}  // namespace refl
