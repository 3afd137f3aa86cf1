#pragma once

#include <map>
#include <vector>

#include "sfm_reconstruction.h"

namespace refl {

// A triangulated track measured again with the final poses.
struct AdjustmentCandidate {
    int track = 0;
    double medianErrorPx = 0.0;
    int observationCount = 0;  // all observations of the track, registered or not
    double maxRayAngleDeg = 0.0;
};

// Re-triangulates the tracks of the triangulated list with the final poses and keeps those with a
// median error of at most 6 px, sorted best first (more observations, lower error, wider angle,
// lower index).
std::vector<AdjustmentCandidate> adjustmentCandidates(const std::vector<FeatureTrack>& tracks,
                                                      const std::vector<int>& triangulated,
                                                      const std::vector<ImageFeatures>& features,
                                                      const std::vector<ViewPose>& poses, const cv::Mat& K,
                                                      const cv::Mat& D);

// Tracks per (view, grid cell) of the 8 x 6 grid before a cell counts as full.
int adjustmentCellQuota(int limit, int views);

// Picks up to `limit` of the sorted candidates, spread over an 8 x 6 grid in every view. Falls back
// to the first candidates when all fit or when the grid takes fewer than min(limit, 80).
std::vector<int> selectFromCandidates(const std::vector<AdjustmentCandidate>& sorted,
                                      const std::vector<FeatureTrack>& tracks,
                                      const std::vector<ImageFeatures>& features, int views, int limit,
                                      int width, int height);

// Tracks seen in only two views are left out of the adjustment when at least kMinMultiViewCandidates
// tracks are seen in kMinAdjustmentTrackViews or more. A two-view track has a single degree of
// freedom left over its point: a wrong match that happens to lie near the epipolar line cannot show
// itself, the point slides along the rays to fit it and pulls the cameras instead. A handful of them
// held the focal length of generated flights 0.7 - 1.2 % off (five or more standard deviations) and
// made it depend on the lens the reconstruction started from.
constexpr int kMinAdjustmentTrackViews = 3;
constexpr int kMinMultiViewCandidates = 100;
// The candidates (sorted as adjustmentCandidates sorts them) without the two-view tracks, when enough
// remain.
std::vector<AdjustmentCandidate> multiViewCandidates(std::vector<AdjustmentCandidate> sorted);

// The tracks that enter the bundle adjustment (the points are not changed): the multi-view
// candidates, spread over the grid.
std::vector<int> selectAdjustmentTracks(const std::vector<FeatureTrack>& tracks,
                                        const std::map<int, cv::Vec3d>& points,
                                        const std::vector<int>& triangulated,
                                        const std::vector<ImageFeatures>& features,
                                        const std::vector<ViewPose>& poses, const cv::Mat& K,
                                        const cv::Mat& D, int limit, int width, int height);

}  // namespace refl
