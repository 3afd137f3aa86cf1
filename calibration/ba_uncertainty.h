#pragma once

#include <array>
#include <vector>

#include "ba_layout.h"

namespace refl {

// How well the observations determine the intrinsics at a solution x of the adjustment: the
// Gauss-Newton normal matrix of the observation rows (each residual weighted as the Huber loss of
// scale `huberScale` weights it there) plus the intrinsics' prior rows, the points eliminated
// point by point (Schur complement), inverted over the intrinsics and poses. The covariance is that
// inverse times the residual variance sigma0^2 = sum w r^2 / (2N - free parameters).
struct IntrinsicUncertainty {
    bool valid = false;             // false: singular normal matrix or too few observations
    double sigma0 = 0.0;            // px, standard deviation of an image coordinate
    std::array<double, 8> sigma{};  // fx fy cx cy k1 k2 p1 p2; 0 for held intrinsics
};

// `held[k]` true: intrinsic k is not a parameter (kept at its value in x).
IntrinsicUncertainty intrinsicUncertainty(const BaLayout& layout, const BaInput& input, const std::vector<double>& x,
                                          const std::array<bool, 8>& held, double huberScale);

}  // namespace refl
