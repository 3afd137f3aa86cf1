#pragma once

#include <functional>
#include <vector>

#include "ba_layout.h"
#include "ba_uncertainty.h"
#include "trf_solver.h"

namespace refl {

struct BaOutput {
    double fx = 0, fy = 0, cx = 0, cy = 0;
    std::array<double, 5> distortion{};  // k1 k2 p1 p2 k3 (= 0)
    std::vector<Vec3> rvecs;             // view a unchanged
    std::vector<Vec3> tvecs;
    std::vector<std::array<double, 9>> rotations;  // row-major R of each view
    std::vector<Vec3> points;                      // in the input point order
    double initialRms = 999.0;
    double finalRms = 999.0;
    double p90 = 0.0;
    std::vector<double> coverage;  // per view
    double minCoverage = 0.0;
    bool optimised = false;  // false: too few observations, nothing adjusted
    TrfResult solver;
    IntrinsicUncertainty uncertainty;  // at the solution
};

// The adjustment on plain arrays: Huber loss (scale 1.5) over the observations and the
// intrinsic priors, bounded intrinsics, Trust Region Reflective with Jacobian scaling and
// 1e-6 tolerances, at most `maxIterations` residual evaluations. Returns the acceptance
// result; `out` holds the full report even for a rejected adjustment. The result does not
// depend on `threads`; `stepSolver` Lsmr follows SciPy's method iterate for iterate.
bool bundleAdjustArrays(const BaInput& input, int maxIterations, const std::function<bool()>& stopRequested,
                        BaOutput& out, int threads = 1, TrfStepSolver stepSolver = TrfStepSolver::Schur);

}  // namespace refl
