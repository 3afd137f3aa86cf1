#include "ba_quality.h"

#include <QDebug>
#include <algorithm>
#include <cmath>

#include "statistics.h"

namespace refl {

std::vector<double> observationErrors(const std::vector<double>& residuals, int observations) {
    std::vector<double> e(observations);
    for (int i = 0; i < observations; ++i)
        e[i] = std::sqrt(residuals[2 * i] * residuals[2 * i] + residuals[2 * i + 1] * residuals[2 * i + 1]);
    return e;
}

double rmsError(const std::vector<double>& errors) {
    double s = 0;
    for (double e : errors) s += e * e;
    return std::sqrt(s / std::max<double>(double(errors.size()), 1.0));
}

double percentile90(std::vector<double> e) {
    if (e.empty()) return 0.0;
    std::sort(e.begin(), e.end());
    return percentileOf(e, 90.0);
}

double convexHullArea(const std::vector<std::array<float, 2>>& input) {
    std::vector<std::array<float, 2>> p = input;
    std::sort(p.begin(), p.end());
    p.erase(std::unique(p.begin(), p.end()), p.end());
    if (p.size() < 3) return 0.0;
    auto cross = [](const std::array<float, 2>& o, const std::array<float, 2>& a,
                    const std::array<float, 2>& b) {
        return (double(a[0]) - o[0]) * (double(b[1]) - o[1]) - (double(a[1]) - o[1]) * (double(b[0]) - o[0]);
    };
    // Andrew's monotone chain.
    std::vector<std::array<float, 2>> hull(2 * p.size());
    size_t k = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        while (k >= 2 && cross(hull[k - 2], hull[k - 1], p[i]) <= 0) --k;
        hull[k++] = p[i];
    }
    for (size_t i = p.size() - 1, t = k + 1; i > 0; --i) {
        while (k >= t && cross(hull[k - 2], hull[k - 1], p[i - 1]) <= 0) --k;
        hull[k++] = p[i - 1];
    }
    hull.resize(k - 1);
    double area = 0;
    for (size_t i = 0; i < hull.size(); ++i) {
        const auto& a = hull[i];
        const auto& b = hull[(i + 1) % hull.size()];
        area += double(a[0]) * b[1] - double(b[0]) * a[1];
    }
    return std::fabs(area) * 0.5;
}

std::vector<double> viewCoverage(const std::vector<BaObservation>& observations, int viewCount, int width,
                                 int height) {
    std::vector<std::vector<std::array<float, 2>>> pts(std::max(0, viewCount));
    for (const BaObservation& o : observations) {
        if (o.view >= 0 && o.view < viewCount) pts[o.view].push_back({float(o.u), float(o.v)});
    }
    const double area = std::max(1.0, double(width) * double(height));
    std::vector<double> out(pts.size(), 0.0);
    for (size_t v = 0; v < pts.size(); ++v) {
        if (pts[v].size() >= 3) out[v] = convexHullArea(pts[v]) / area;
    }
    return out;
}

double minimumCoverage(const std::vector<double>& coverage) {
    if (coverage.empty()) return 0.0;
    return std::min(1.0, *std::min_element(coverage.begin(), coverage.end()));
}

bool acceptAdjustment(const BaAcceptanceInput& in) {
    const double* k = in.intrinsics;
    if (!(k[0] > 0.56 * in.priorFx && k[0] < 1.79 * in.priorFx && k[1] > 0.56 * in.priorFy &&
          k[1] < 1.79 * in.priorFy)) {
        qDebug() << "bundleAdjust: rejected, focal" << k[0] << k[1] << "outside (0.56, 1.79) x prior"
                 << in.priorFx << in.priorFy;
        return false;
    }
    if (!(std::max(std::fabs(k[4]), std::fabs(k[5])) < 0.49 &&
          std::max(std::fabs(k[6]), std::fabs(k[7])) < 0.049)) {
        qDebug() << "bundleAdjust: rejected, distortion at its limit" << k[4] << k[5] << k[6] << k[7];
        return false;
    }
    for (double v : *in.x) {
        if (!std::isfinite(v)) {
            qDebug() << "bundleAdjust: rejected, non-finite parameter";
            return false;
        }
    }
    for (double v : *in.errors) {
        if (!std::isfinite(v)) {
            qDebug() << "bundleAdjust: rejected, non-finite reprojection error";
            return false;
        }
    }
    if (!(in.finalRms <= 1.01 * in.initialRms)) {
        qDebug() << "bundleAdjust: rejected, final RMS" << in.finalRms << "above initial" << in.initialRms;
        return false;
    }
    if (!(in.p90 < 3.0)) {
        qDebug() << "bundleAdjust: rejected, 90th percentile error" << in.p90 << "px";
        return false;
    }
    if (!(in.minCoverage >= 0.15)) {
        qDebug() << "bundleAdjust: rejected, minimum coverage" << in.minCoverage;
        return false;
    }
    return true;
}

}  // namespace refl
