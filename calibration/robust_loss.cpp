#include "robust_loss.h"

#include <cmath>
#include <limits>

namespace refl {

namespace {

// Pairwise summation in blocks of eight, as NumPy's sum does it; for near-equal costs the
// order of the additions decides the sign of tiny reductions.
double pairwiseSum(const double* a, size_t n) {
    if (n < 8) {
        double s = 0.0;
        for (size_t i = 0; i < n; ++i) s += a[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k];
        size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += a[i + k];
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += a[i];
        return s;
    }
    size_t half = n / 2;
    half -= half % 8;
    return pairwiseSum(a, half) + pairwiseSum(a + half, n - half);
}

}  // namespace

double RobustLoss::cost(const std::vector<double>& r) const {
    double sum = 0.0;
    if (kind == LossKind::Linear) {
        for (double v : r) sum += v * v;
        return 0.5 * sum;
    }
    std::vector<double> rho(r.size());
    for (size_t i = 0; i < r.size(); ++i) {
        const double q = r[i] / scale;
        const double z = q * q;
        rho[i] = z <= 1 ? z : 2 * std::sqrt(z) - 1;
    }
    sum = pairwiseSum(rho.data(), rho.size());
    return 0.5 * (scale * scale) * sum;
}

bool RobustLoss::reweight(std::vector<double>& r, std::vector<double>& rowScale) const {
    if (kind == LossKind::Linear) return false;
    const double eps = std::numeric_limits<double>::epsilon();
    rowScale.resize(r.size());
    for (size_t i = 0; i < r.size(); ++i) {
        const double q = r[i] / scale;
        const double z = q * q;
        double d1 = 1.0, d2 = 0.0;
        if (z > 1) {
            d1 = std::pow(z, -0.5);
            d2 = -0.5 * std::pow(z, -1.5) / (scale * scale);
        }
        if (reweightOnly && d2 < 0) {
            const double w = std::sqrt(d1);
            rowScale[i] = w;
            r[i] *= w;
            continue;
        }
        // For z > 1 this is 0 up to rounding; the floor keeps the row alive.
        double w = d1 + 2 * d2 * (r[i] * r[i]);
        if (w < eps) w = eps;
        w = std::sqrt(w);
        rowScale[i] = w;
        r[i] *= d1 / w;
    }
    return true;
}

}  // namespace refl
