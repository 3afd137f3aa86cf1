#include "ba_layout.h"

#include <QDebug>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

namespace refl {

std::array<double, 9> rodriguesToMatrix(const Vec3& r) {
    const double theta = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    std::array<double, 9> R = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (theta < DBL_EPSILON) return R;
    const double c = std::cos(theta), s = std::sin(theta), c1 = 1.0 - c;
    const double itheta = theta ? 1.0 / theta : 0.0;
    const double x = r[0] * itheta, y = r[1] * itheta, z = r[2] * itheta;
    const double rrt[9] = {x * x, x * y, x * z, x * y, y * y, y * z, x * z, y * z, z * z};
    const double rx[9] = {0, -z, y, z, 0, -x, -y, x, 0};
    for (int i = 0; i < 9; ++i) R[i] = c * (i % 4 == 0 ? 1.0 : 0.0) + c1 * rrt[i] + s * rx[i];
    return R;
}

Vec3 rodriguesFromMatrix(const std::array<double, 9>& R) {
    // Rotation angle from the trace, axis from the antisymmetric part; near pi the axis
    // comes from the symmetric part.
    const double rx = R[7] - R[5], ry = R[2] - R[6], rz = R[3] - R[1];
    double s = std::sqrt((rx * rx + ry * ry + rz * rz) * 0.25);
    double c = (R[0] + R[4] + R[8] - 1) * 0.5;
    c = c > 1. ? 1. : c < -1. ? -1. : c;
    double theta = std::acos(c);
    Vec3 out = {0, 0, 0};
    if (s < 1e-5) {
        if (c > 0) return out;
        double t = (R[0] + 1) * 0.5;
        double x = std::sqrt(std::max(t, 0.0));
        t = (R[4] + 1) * 0.5;
        double y = std::sqrt(std::max(t, 0.0)) * (R[1] < 0 ? -1. : 1.);
        t = (R[8] + 1) * 0.5;
        double z = std::sqrt(std::max(t, 0.0)) * (R[2] < 0 ? -1. : 1.);
        if (std::fabs(x) < std::fabs(y) && std::fabs(x) < std::fabs(z) && (R[5] > 0) != (y * z > 0)) z = -z;
        theta /= std::sqrt(x * x + y * y + z * z);
        out = {x * theta, y * theta, z * theta};
    } else {
        const double vth = 1 / (2 * s) * theta;
        out = {rx * vth, ry * vth, rz * vth};
    }
    return out;
}

void projectPoint(const double* in, const double* rvec, const double* tvec, const double* X, double& u,
                  double& v) {
    projectPointRotated(in, rodriguesToMatrix({rvec[0], rvec[1], rvec[2]}), tvec, X, u, v);
}

void projectPointRotated(const double* in, const std::array<double, 9>& R, const double* tvec, const double* X,
                         double& u, double& v) {
    const double x = R[0] * X[0] + R[1] * X[1] + R[2] * X[2] + tvec[0];
    const double y = R[3] * X[0] + R[4] * X[1] + R[5] * X[2] + tvec[1];
    double z = R[6] * X[0] + R[7] * X[1] + R[8] * X[2] + tvec[2];
    z = z ? 1. / z : 1;
    const double xn = x * z, yn = y * z;
    const double r2 = xn * xn + yn * yn, r4 = r2 * r2, r6 = r4 * r2;
    const double k1 = in[4], k2 = in[5], p1 = in[6], p2 = in[7], k3 = 0.0;
    const double a1 = 2 * xn * yn, a2 = r2 + 2 * xn * xn, a3 = r2 + 2 * yn * yn;
    const double cdist = 1 + k1 * r2 + k2 * r4 + k3 * r6;
    const double xd = xn * cdist + p1 * a1 + p2 * a2;
    const double yd = yn * cdist + p1 * a3 + p2 * a1;
    u = xd * in[0] + in[2];
    v = yd * in[1] + in[3];
}

bool BaLayout::build(const BaInput& input) {
    m_in = input;
    const int views = int(input.rvecs.size());
    if (int(input.tvecs.size()) != views || views < 2 || input.viewA < 0 || input.viewA >= views ||
        input.viewB < 0 || input.viewB >= views || input.viewA == input.viewB) {
        qDebug() << "bundleAdjust: inconsistent views, count" << views << "a" << input.viewA << "b"
                 << input.viewB;
        return false;
    }
    for (const BaObservation& o : input.observations) {
        if (o.view < 0 || o.view >= views || o.point < 0 || o.point >= int(input.points.size())) {
            qDebug() << "bundleAdjust: observation refers to view" << o.view << "point" << o.point;
            return false;
        }
    }
    int next = 8;
    m_rotIndex.assign(views, -1);
    m_transIndex.assign(views, {-1, -1, -1});
    const Vec3& tb = input.tvecs[input.viewB];
    m_fixedComponent = 0;
    for (int k = 1; k < 3; ++k) {
        if (std::fabs(tb[k]) > std::fabs(tb[m_fixedComponent])) m_fixedComponent = k;
    }
    for (int view = 0; view < views; ++view) {
        if (view == input.viewA) continue;
        m_rotIndex[view] = next;
        next += 3;
        for (int k = 0; k < 3; ++k) {
            if (view == input.viewB && k == m_fixedComponent) continue;
            m_transIndex[view][k] = next++;
        }
    }
    m_pointStart = next;
    m_parameterCount = next + 3 * int(input.points.size());

    const double inf = std::numeric_limits<double>::infinity();
    m_lower.assign(m_parameterCount, -inf);
    m_upper.assign(m_parameterCount, inf);
    const double w = input.width, h = input.height;
    const double lo[8] = {0.55 * input.fx, 0.55 * input.fy, 0.15 * w, 0.15 * h, -0.5, -0.5, -0.05, -0.05};
    const double up[8] = {1.8 * input.fx, 1.8 * input.fy, 0.85 * w, 0.85 * h, 0.5, 0.5, 0.05, 0.05};
    for (int i = 0; i < 8; ++i) {
        m_lower[i] = lo[i];
        m_upper[i] = up[i];
        if (!(lo[i] < up[i])) {
            qDebug() << "bundleAdjust: empty bounds for intrinsic" << i << "(prior focal" << input.fx
                     << input.fy << "image" << input.width << "x" << input.height << ")";
            return false;
        }
    }
    m_prior = {input.fx, input.fy, input.cx, input.cy, input.k1, input.k2, input.p1, input.p2};
    const double radial = input.radialPriorSigma;
    m_sigma = {std::max(1.0, input.focalPriorRatio * std::fabs(input.fx)),
               std::max(1.0, input.focalPriorRatio * std::fabs(input.fy)),
               input.principalPriorSigma,
               input.principalPriorSigma,
               radial,
               radial,
               radial / 5,
               radial / 5};
    return true;
}

std::vector<double> BaLayout::initialParameters() const {
    std::vector<double> x(m_parameterCount, 0.0);
    for (int i = 0; i < 8; ++i) x[i] = m_prior[i];
    // Pull the intrinsics inside their bounds.
    for (int i = 0; i < 4; ++i) x[i] = std::min(std::max(x[i], m_lower[i] + 1e-10), m_upper[i] - 1e-10);
    for (int i = 4; i < 6; ++i) x[i] = std::min(std::max(x[i], -0.4999999999), 0.4999999999);
    for (int i = 6; i < 8; ++i) x[i] = std::min(std::max(x[i], -0.0499999999), 0.0499999999);
    for (int view = 0; view < int(m_rotIndex.size()); ++view) {
        if (m_rotIndex[view] < 0) continue;
        for (int k = 0; k < 3; ++k) {
            x[m_rotIndex[view] + k] = m_in.rvecs[view][k];
            if (m_transIndex[view][k] >= 0) x[m_transIndex[view][k]] = m_in.tvecs[view][k];
        }
    }
    for (size_t p = 0; p < m_in.points.size(); ++p)
        for (int k = 0; k < 3; ++k) x[m_pointStart + 3 * p + k] = m_in.points[p][k];
    return x;
}

void BaLayout::pose(const double* x, int view, double* rvec, double* tvec) const {
    for (int k = 0; k < 3; ++k) {
        rvec[k] = m_rotIndex[view] >= 0 ? x[m_rotIndex[view] + k] : m_in.rvecs[view][k];
        tvec[k] = m_transIndex[view][k] >= 0 ? x[m_transIndex[view][k]] : m_in.tvecs[view][k];
    }
}

void BaLayout::residuals(const double* x, double* r) const {
    const int n = int(m_in.observations.size());
    // One rotation matrix per view for all of its observations.
    const int views = int(m_rotIndex.size());
    std::vector<std::array<double, 9>> rotation(static_cast<size_t>(views));
    std::vector<std::array<double, 3>> translation(static_cast<size_t>(views));
    for (int view = 0; view < views; ++view) {
        double rvec[3];
        pose(x, view, rvec, translation[size_t(view)].data());
        rotation[size_t(view)] = rodriguesToMatrix({rvec[0], rvec[1], rvec[2]});
    }
    for (int i = 0; i < n; ++i) {
        const BaObservation& o = m_in.observations[i];
        double u, v;
        projectPointRotated(x, rotation[size_t(o.view)], translation[size_t(o.view)].data(),
                            x + m_pointStart + 3 * o.point, u, v);
        r[2 * i] = u - o.u;
        r[2 * i + 1] = v - o.v;
    }
    for (int i = 0; i < 8; ++i) r[2 * n + i] = (x[i] - m_prior[i]) / m_sigma[i];
}

std::vector<std::vector<int>> BaLayout::columnRows() const {
    std::vector<std::vector<int>> cols(m_parameterCount);
    const int n = int(m_in.observations.size());
    for (int i = 0; i < n; ++i) {
        const BaObservation& o = m_in.observations[i];
        auto add = [&](int col) {
            if (col >= 0) {
                cols[col].push_back(2 * i);
                cols[col].push_back(2 * i + 1);
            }
        };
        for (int k = 0; k < 8; ++k) add(k);
        if (m_rotIndex[o.view] >= 0) {
            for (int k = 0; k < 3; ++k) {
                add(m_rotIndex[o.view] + k);
                add(m_transIndex[o.view][k]);
            }
        }
        for (int k = 0; k < 3; ++k) add(m_pointStart + 3 * o.point + k);
    }
    for (int k = 0; k < 8; ++k) cols[k].push_back(2 * n + k);
    return cols;
}

}  // namespace refl
