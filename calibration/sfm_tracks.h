#pragma once

#include <vector>

#include "sfm_features.h"

namespace refl {

// One keypoint of one view.
struct Observation {
    int view = 0;
    int keypoint = 0;
    bool operator==(const Observation& o) const { return view == o.view && keypoint == o.keypoint; }
    bool operator<(const Observation& o) const {
        return view != o.view ? view < o.view : keypoint < o.keypoint;
    }
};

// Observations of one scene point: at least 2, at most one per view, in joining order.
using FeatureTrack = std::vector<Observation>;

// Chains the pairwise inliers (strongest match first) into tracks by union-find, refusing any merge
// that would give a track two keypoints of one view. Tracks come longest first; equal lengths in
// ascending (view, keypoint) order of their first differing observation.
std::vector<FeatureTrack> buildFeatureTracks(const std::vector<PairGeometry>& pairs);

}  // namespace refl
