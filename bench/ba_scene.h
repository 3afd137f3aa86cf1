#pragma once

#include "ba_layout.h"

// A synthetic 5-view calibration scene: views converging on a point cloud from a wide
// baseline, observed by a known camera with 0.3 px of uniform noise. The start poses and
// points are refined with the intrinsics held at the prior, as a reconstruction made with
// the prior camera would hand them over.
struct SceneCamera {
    double fx = 1000, fy = 1000, cx = 650, cy = 470, k1 = -0.1, k2 = 0.05, p1 = 0, p2 = 0;
};

refl::BaInput makeCalibrationScene(const SceneCamera& truth, const SceneCamera& prior, int points,
                                   unsigned seed = 12345);
