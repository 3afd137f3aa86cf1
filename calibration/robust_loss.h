#pragma once

#include <vector>

namespace refl {

enum class LossKind { Linear, Huber };

// rho(z) with z = (r/s)^2: linear rho = z; Huber rho = z for z <= 1, 2 sqrt(z) - 1 beyond.
struct RobustLoss {
    LossKind kind = LossKind::Linear;
    double scale = 1.0;  // s
    // false (default, the reference behaviour): rows weighted by sqrt(rho' + 2 rho'' r^2),
    // which is 0 for Huber beyond the scale and is floored at eps. true: where rho'' < 0
    // the row is weighted by sqrt(rho') and the residual by sqrt(rho') (iteratively
    // reweighted least squares), which keeps outlying rows in the Gauss-Newton model.
    bool reweightOnly = false;

    // 0.5 * s^2 * sum rho(z_i)  (0.5 |r|^2 for the linear loss)
    double cost(const std::vector<double>& r) const;

    // Turns the least-squares problem at r into the equivalent weighted one: rowScale_i =
    // sqrt(max(rho' + 2 rho'' r^2, eps)) (Jacobian row factor) and r_i <- r_i rho' / rowScale_i.
    // Returns false (and leaves r alone) for the linear loss, where nothing changes.
    bool reweight(std::vector<double>& r, std::vector<double>& rowScale) const;
};

}  // namespace refl
