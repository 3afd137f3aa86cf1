#pragma once

#include <vector>

#include "ba_layout.h"

namespace refl {

// Per-observation reprojection errors |(du, dv)| from the first 2N residuals.
std::vector<double> observationErrors(const std::vector<double>& residuals, int observations);
// sqrt(sum e^2 / max(N, 1))
double rmsError(const std::vector<double>& errors);
// Linear interpolation at q = 0.9 (N - 1) of the sorted errors; 0 without errors.
double percentile90(std::vector<double> errors);
// Area of the convex hull of the points (taken as single precision, as an image
// contour would hold them).
double convexHullArea(const std::vector<std::array<float, 2>>& points);
// Per view 0..viewCount-1: hull area of its observed pixels over max(1, w h); 0 with
// fewer than 3 observations.
std::vector<double> viewCoverage(const std::vector<BaObservation>& observations, int viewCount, int width,
                                 int height);
// Smallest coverage, capped at 1; 0 for an empty list.
double minimumCoverage(const std::vector<double>& coverage);

struct BaAcceptanceInput {
    double priorFx = 0, priorFy = 0;
    const double* intrinsics = nullptr;  // fx fy cx cy k1 k2 p1 p2
    const std::vector<double>* x = nullptr;
    const std::vector<double>* errors = nullptr;
    double initialRms = 0, finalRms = 0, p90 = 0, minCoverage = 0;
};
// The acceptance test of an adjustment; logs the first reason for a rejection.
bool acceptAdjustment(const BaAcceptanceInput& in);

}  // namespace refl
