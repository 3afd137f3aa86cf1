#pragma once

#include <map>
#include <opencv2/core.hpp>
#include <vector>

#include "sfm_features.h"
#include "statistics.h"
#include "sfm_tracks.h"

namespace refl {

// Pose of one view: a world point X maps to R X + t in the camera frame.
struct ViewPose {
    cv::Matx33d R = cv::Matx33d::eye();
    cv::Vec3d t = cv::Vec3d(0, 0, 0);
    bool registered = false;
};

// A triangulated track: its point, the median reprojection error over the registered views that
// see it, and the widest angle between two of its viewing rays.
struct TrackMeasurement {
    cv::Vec3d point;
    double medianErrorPx = 0.0;
    double maxRayAngleDeg = 0.0;
};

struct SfmReconstruction {
    std::vector<ViewPose> poses;          // by view index
    std::map<int, cv::Vec3d> points;      // by track index
    std::vector<int> triangulatedTracks;  // in creation order
};

// Linear triangulation of a track from its registered views. Fails with fewer than 2 registered
// observations, a point at infinity or not finite, or fewer than 2 views seeing it in front.
bool triangulateTrack(const FeatureTrack& track, const std::vector<ImageFeatures>& features,
                      const std::vector<ViewPose>& poses, const cv::Mat& K, const cv::Mat& D,
                      TrackMeasurement* out);

// Score of a candidate initial pair: good points times the median parallax clamped to 0.05..10 deg.
double initialPairScore(int goodPoints, double medianParallaxDeg);


// The pair with the best-conditioned essential-matrix geometry (first pair wins ties) and the pose
// of its second view relative to the first. False when no pair yields a pose or on a stop request.
bool initialPairPose(const std::vector<PairGeometry>& pairs, const std::vector<ImageFeatures>& features,
                     const cv::Mat& K, const cv::Mat& D, double pixelThreshold, int* a, int* b,
                     cv::Matx33d* R, cv::Vec3d* t, const SfmStopFlag* stop = nullptr);

// Registers every view, starting from the initial pair, by PnP on the triangulated tracks, and
// triangulates further tracks after each view. False when a view cannot be registered, PnP fails or
// a stop is requested.
bool incrementalSfm(const std::vector<FeatureTrack>& tracks, const std::vector<ImageFeatures>& features,
                    const cv::Mat& K, const cv::Mat& D, int a, int b, const cv::Matx33d& R,
                    const cv::Vec3d& t, double pixelThreshold, SfmReconstruction* out,
                    const SfmStopFlag* stop = nullptr);

}  // namespace refl
