#include "robust_loss.h"

#include <cmath>
#include <limits>

namespace refl {

double RobustLoss::cost(const std::vector<double> &r) const
{
    double sum = 0.0;
    if (kind == LossKind::Linear) {
        for (double v : r)
            sum += v * v;
        return 0.5 * sum;
    }
    for (double v : r) {
        const double z = (v / scale) * (v / scale);
        sum += z <= 1 ? z : 2 * std::sqrt(z) - 1;
    }
    return 0.5 * scale * scale * sum;
}

bool RobustLoss::reweight(std::vector<double> &r, std::vector<double> &rowScale) const
{
    if (kind == LossKind::Linear)
        return false;
    const double eps = std::numeric_limits<double>::epsilon();
    rowScale.resize(r.size());
    for (size_t i = 0; i < r.size(); ++i) {
        const double z = (r[i] / scale) * (r[i] / scale);
        double d1 = 1.0, d2 = 0.0;
        if (z > 1) {
            d1 = 1.0 / std::sqrt(z);
            d2 = -0.5 / (z * std::sqrt(z)) / (scale * scale);
        }
        double w = d1 + 2 * d2 * r[i] * r[i];
        if (w < eps)
            w = eps;
        w = std::sqrt(w);
        rowScale[i] = w;
        r[i] *= d1 / w;
    }
    return true;
}

} // namespace refl
