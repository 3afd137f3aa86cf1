#include "ba_uncertainty.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

namespace refl {

namespace {

// Residual (u, v) of one observation at x with entry `index` of x moved by `delta`.
struct ObservationModel {
    const BaLayout& layout;
    const BaObservation& o;
    std::array<double, 8> k;
    double rvec[3], tvec[3], X[3];

    ObservationModel(const BaLayout& l, const BaObservation& obs, const std::vector<double>& x)
        : layout(l), o(obs) {
        std::copy(x.begin(), x.begin() + 8, k.begin());
        layout.pose(x.data(), o.view, rvec, tvec);
        for (int c = 0; c < 3; ++c) X[c] = x[size_t(layout.pointIndex(o.point) + c)];
    }
    void residual(double* r) const {
        double u, v;
        projectPoint(k.data(), rvec, tvec, X, u, v);
        r[0] = u - o.u;
        r[1] = v - o.v;
    }
};

}  // namespace

IntrinsicUncertainty intrinsicUncertainty(const BaLayout& layout, const BaInput& input, const std::vector<double>& x,
                                          const std::array<bool, 8>& held, double huberScale) {
    IntrinsicUncertainty out;
    const int n = int(input.observations.size());
    const int points = int(input.points.size());
    const int nc = layout.pointIndex(0);  // intrinsics and poses come before the points
    int freeParameters = 3 * points;
    for (int j = 0; j < nc; ++j) freeParameters += (j < 8 && held[size_t(j)]) ? 0 : 1;
    if (n < 4 || 2 * n <= freeParameters) return out;

    Eigen::MatrixXd U = Eigen::MatrixXd::Zero(nc, nc);
    std::vector<Eigen::Matrix3d> V(size_t(points), Eigen::Matrix3d::Zero());
    std::vector<Eigen::MatrixXd> W(size_t(points), Eigen::MatrixXd::Zero(nc, 3));
    double weightedSquares = 0.0;
    for (const BaObservation& o : input.observations) {
        ObservationModel m(layout, o, x);
        double r0[2];
        m.residual(r0);
        double w[2];
        for (int c = 0; c < 2; ++c) {
            const double a = std::fabs(r0[c]);
            w[c] = a <= huberScale ? 1.0 : huberScale / a;
            weightedSquares += w[c] * r0[c] * r0[c];
        }
        // Central differences over the entries this observation depends on.
        int cols[17];
        Eigen::Matrix<double, 2, 17> J;
        int count = 0;
        auto differentiate = [&](double* value, int column) {
            const double h = 1e-6 * std::max(1.0, std::fabs(*value));
            const double keep = *value;
            double rp[2], rm[2];
            *value = keep + h;
            m.residual(rp);
            *value = keep - h;
            m.residual(rm);
            *value = keep;
            J(0, count) = (rp[0] - rm[0]) / (2 * h);
            J(1, count) = (rp[1] - rm[1]) / (2 * h);
            cols[count++] = column;
        };
        for (int k = 0; k < 8; ++k)
            if (!held[size_t(k)]) differentiate(&m.k[size_t(k)], k);
        for (int k = 0; k < 3; ++k) {
            const int ri = layout.rotationIndex(o.view);
            if (ri >= 0) differentiate(&m.rvec[k], ri + k);
            const int ti = layout.translationIndex(o.view, k);
            if (ti >= 0) differentiate(&m.tvec[k], ti);
        }
        const int cameraColumns = count;
        for (int k = 0; k < 3; ++k) differentiate(&m.X[k], -1 - k);
        Eigen::Matrix<double, 2, 17> Jw = J;
        Jw.row(0) *= w[0];
        Jw.row(1) *= w[1];
        for (int a = 0; a < cameraColumns; ++a) {
            for (int b = 0; b < cameraColumns; ++b) U(cols[a], cols[b]) += Jw.col(a).dot(J.col(b));
            for (int b = 0; b < 3; ++b) W[size_t(o.point)](cols[a], b) += Jw.col(a).dot(J.col(cameraColumns + b));
        }
        V[size_t(o.point)] += Jw.block<2, 3>(0, cameraColumns).transpose() * J.block<2, 3>(0, cameraColumns);
    }
    const std::array<double, 8>& sigmaPrior = layout.priorSigmas();
    for (int k = 0; k < 8; ++k)
        if (!held[size_t(k)]) U(k, k) += 1.0 / (sigmaPrior[size_t(k)] * sigmaPrior[size_t(k)]);

    Eigen::MatrixXd S = U;
    for (int p = 0; p < points; ++p) {
        Eigen::LDLT<Eigen::Matrix3d> ldlt(V[size_t(p)]);
        if (ldlt.info() != Eigen::Success || !(ldlt.vectorD().minCoeff() > 1e-12 * V[size_t(p)].trace())) continue;
        S.noalias() -= W[size_t(p)] * ldlt.solve(W[size_t(p)].transpose());
    }
    // Only the free entries take part; held intrinsics have zero rows and columns.
    std::vector<int> freeIndex;
    for (int j = 0; j < nc; ++j)
        if (!(j < 8 && held[size_t(j)])) freeIndex.push_back(j);
    const int nf = int(freeIndex.size());
    Eigen::MatrixXd Sf(nf, nf);
    for (int a = 0; a < nf; ++a)
        for (int b = 0; b < nf; ++b) Sf(a, b) = S(freeIndex[size_t(a)], freeIndex[size_t(b)]);
    // Scale to unit diagonal before inverting: the entries mix pixels, radians and scene units.
    Eigen::VectorXd dsc = Sf.diagonal().cwiseMax(1e-300).cwiseSqrt().cwiseInverse();
    const Eigen::MatrixXd Sn = dsc.asDiagonal() * Sf * dsc.asDiagonal();
    Eigen::LDLT<Eigen::MatrixXd> ldlt(Sn);
    if (ldlt.info() != Eigen::Success || !(ldlt.vectorD().minCoeff() > 1e-14)) return out;
    const Eigen::MatrixXd inv = ldlt.solve(Eigen::MatrixXd::Identity(nf, nf));
    out.sigma0 = std::sqrt(weightedSquares / double(2 * n - freeParameters));
    for (int a = 0; a < nf; ++a) {
        const int j = freeIndex[size_t(a)];
        if (j >= 8) break;
        out.sigma[size_t(j)] = out.sigma0 * dsc[a] * std::sqrt(std::max(0.0, inv(a, a)));
    }
    out.valid = true;
    return out;
}

}  // namespace refl
