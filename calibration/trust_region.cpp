#include "trust_region.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace refl::tr {

void colemanLiScaling(const Vec& x, const Vec& g, const Vec& lower, const Vec& upper, Vec& v, Vec& dv) {
    const Eigen::Index n = x.size();
    v = Vec::Ones(n);
    dv = Vec::Zero(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        if (g[i] < 0 && std::isfinite(upper[i])) {
            v[i] = upper[i] - x[i];
            dv[i] = -1;
        }
        if (g[i] > 0 && std::isfinite(lower[i])) {
            v[i] = x[i] - lower[i];
            dv[i] = 1;
        }
    }
}

Quadratic1d buildQuadratic1d(const JacobianProduct& J, const Vec& g, const Vec& s, const Vec* diag,
                             const Vec* s0) {
    Quadratic1d q;
    const Vec v = J(s);
    q.a = v.squaredNorm();
    if (diag) q.a += s.cwiseProduct(*diag).dot(s);
    q.a *= 0.5;
    q.b = g.dot(s);
    if (s0) {
        const Vec u = J(*s0);
        q.b += u.dot(v);
        q.c = 0.5 * u.squaredNorm() + g.dot(*s0);
        if (diag) {
            q.b += s0->cwiseProduct(*diag).dot(s);
            q.c += 0.5 * s0->cwiseProduct(*diag).dot(*s0);
        }
    }
    return q;
}

std::pair<double, double> minimizeQuadratic1d(double a, double b, double lo, double hi, double c) {
    double ts[3] = {lo, hi, 0};
    int count = 2;
    if (a != 0) {
        const double extremum = -0.5 * b / a;
        if (lo < extremum && extremum < hi) ts[count++] = extremum;
    }
    int best = 0;
    double bestValue = 0;
    for (int i = 0; i < count; ++i) {
        const double y = ts[i] * (a * ts[i] + b) + c;
        // First minimum wins; NaN never replaces a number.
        if (i == 0 || y < bestValue || (std::isnan(bestValue) && !std::isnan(y))) {
            best = i;
            bestValue = y;
        }
    }
    return {ts[best], bestValue};
}

double evaluateQuadratic(const JacobianProduct& J, const Vec& g, const Vec& s, const Vec* diag) {
    const Vec Js = J(s);
    double q = Js.squaredNorm();
    if (diag) q += s.cwiseProduct(*diag).dot(s);
    return 0.5 * q + s.dot(g);
}

std::vector<double> realPolynomialRoots(const std::vector<double>& coeffs) {
    size_t first = 0;
    while (first < coeffs.size() && coeffs[first] == 0.0) ++first;
    size_t last = coeffs.size();
    while (last > first && coeffs[last - 1] == 0.0) --last;
    std::vector<double> roots(coeffs.size() - last, 0.0);  // trailing zeros: roots at 0
    const int degree = int(last) - int(first) - 1;
    if (degree < 1) return roots;
    Eigen::MatrixXd companion = Eigen::MatrixXd::Zero(degree, degree);
    for (int i = 0; i < degree; ++i) companion(0, i) = -coeffs[first + 1 + i] / coeffs[first];
    for (int i = 1; i < degree; ++i) companion(i, i - 1) = 1.0;
    Eigen::EigenSolver<Eigen::MatrixXd> es(companion, false);
    if (es.info() != Eigen::Success) return roots;
    const Eigen::VectorXcd ev = es.eigenvalues();
    for (Eigen::Index i = 0; i < ev.size(); ++i) {
        if (ev[i].imag() == 0.0) roots.push_back(ev[i].real());
    }
    return roots;
}

bool solveTrustRegion2d(const Eigen::Matrix2d& B, const Eigen::Vector2d& g, double Delta,
                        Eigen::Vector2d& p) {
    Eigen::LLT<Eigen::Matrix2d> llt(B);
    if (llt.info() == Eigen::Success) {
        p = -llt.solve(g);
        if (p.dot(p) <= Delta * Delta) return true;
    }
    const double a = B(0, 0) * Delta * Delta;
    const double b = B(0, 1) * Delta * Delta;
    const double c = B(1, 1) * Delta * Delta;
    const double d = g[0] * Delta;
    const double f = g[1] * Delta;
    const std::vector<double> coeffs = {-b + d, 2 * (a - c + f), 6 * b, 2 * (-a + c + f), -b - d};
    const std::vector<double> ts = realPolynomialRoots(coeffs);
    double bestValue = std::numeric_limits<double>::infinity();
    bool found = false;
    auto consider = [&](const Eigen::Vector2d& q) {
        const double value = 0.5 * q.dot(B * q) + g.dot(q);
        if (!found || value < bestValue) {
            bestValue = value;
            p = q;
            found = true;
        }
    };
    for (double t : ts)
        consider(Eigen::Vector2d(Delta * 2 * t / (1 + t * t), Delta * (1 - t * t) / (1 + t * t)));
    // The half-angle parametrisation reaches (0, -Delta) only as t -> infinity, where the
    // quartic loses its leading term; that point is checked on its own.
    consider(Eigen::Vector2d(0.0, -Delta));
    return false;
}

double stepSizeToBound(const Vec& x, const Vec& s, const Vec& lower, const Vec& upper,
                       Eigen::VectorXi* hits) {
    const Eigen::Index n = x.size();
    Vec steps = Vec::Constant(n, std::numeric_limits<double>::infinity());
    for (Eigen::Index i = 0; i < n; ++i) {
        if (s[i] != 0) steps[i] = std::max((lower[i] - x[i]) / s[i], (upper[i] - x[i]) / s[i]);
    }
    const double minStep = n > 0 ? steps.minCoeff() : std::numeric_limits<double>::infinity();
    if (hits) {
        hits->setZero(n);
        for (Eigen::Index i = 0; i < n; ++i) {
            if (steps[i] == minStep) (*hits)[i] = s[i] > 0 ? 1 : (s[i] < 0 ? -1 : 0);
        }
    }
    return minStep;
}

std::pair<double, double> intersectTrustRegion(const Vec& x, const Vec& s, double Delta) {
    const double a = s.dot(s);
    const double b = x.dot(s);
    const double c = x.dot(x) - Delta * Delta;
    const double d = std::sqrt(std::max(0.0, b * b - a * c));
    const double q = -(b + std::copysign(d, b));
    const double t1 = q / a;
    const double t2 = c / q;
    return t1 < t2 ? std::make_pair(t1, t2) : std::make_pair(t2, t1);
}

bool inBounds(const Vec& x, const Vec& lower, const Vec& upper) {
    for (Eigen::Index i = 0; i < x.size(); ++i) {
        if (!(x[i] >= lower[i] && x[i] <= upper[i])) return false;
    }
    return true;
}

Vec makeStrictlyFeasible(const Vec& x, const Vec& lower, const Vec& upper, double rstep) {
    Vec out = x;
    for (Eigen::Index i = 0; i < x.size(); ++i) {
        const double lo = lower[i], up = upper[i];
        int active = 0;
        if (rstep == 0) {
            if (x[i] <= lo) active = -1;
            if (x[i] >= up) active = 1;
        } else {
            const double lowerDist = x[i] - lo, upperDist = up - x[i];
            if (std::isfinite(lo) && lowerDist <= std::min(upperDist, rstep * std::max(1.0, std::fabs(lo))))
                active = -1;
            if (std::isfinite(up) && upperDist <= std::min(lowerDist, rstep * std::max(1.0, std::fabs(up))))
                active = 1;
        }
        if (active == -1)
            out[i] = rstep == 0 ? std::nextafter(lo, up) : lo + rstep * std::max(1.0, std::fabs(lo));
        else if (active == 1)
            out[i] = rstep == 0 ? std::nextafter(up, lo) : up - rstep * std::max(1.0, std::fabs(up));
        if (out[i] < lo || out[i] > up) out[i] = 0.5 * (lo + up);
    }
    return out;
}

SelectedStep selectStep(const Vec& x, const JacobianProduct& Jh, const Vec& diagH, const Vec& gH, Vec p,
                        Vec pH, const Vec& d, double Delta, const Vec& lower, const Vec& upper,
                        double theta) {
    SelectedStep out;
    if (inBounds(x + p, lower, upper)) {
        out.predictedReduction = -evaluateQuadratic(Jh, gH, pH, &diagH);
        out.step = std::move(p);
        out.stepH = std::move(pH);
        return out;
    }

    Eigen::VectorXi hits;
    const double pStride = stepSizeToBound(x, p, lower, upper, &hits);

    // Reflected direction.
    Vec rH = pH;
    for (Eigen::Index i = 0; i < rH.size(); ++i) {
        if (hits[i] != 0) rH[i] = -rH[i];
    }
    Vec r = d.cwiseProduct(rH);

    // Restrict the trust-region step so that it ends on the bound.
    p *= pStride;
    pH *= pStride;
    const Vec xOnBound = x + p;

    // The reflected direction leaves either the box or the trust region first.
    const double toTr = intersectTrustRegion(pH, rH, Delta).second;
    const double toBound = stepSizeToBound(xOnBound, r, lower, upper);

    double rStride = std::min(toBound, toTr);
    double rStrideL, rStrideU;
    if (rStride > 0) {
        rStrideL = (1 - theta) * pStride / rStride;
        rStrideU = rStride == toBound ? theta * toBound : toTr;
    } else {
        rStrideL = 0;
        rStrideU = -1;
    }
    double rValue = std::numeric_limits<double>::infinity();
    if (rStrideL <= rStrideU) {
        const Quadratic1d q = buildQuadratic1d(Jh, gH, rH, &diagH, &pH);
        const auto best = minimizeQuadratic1d(q.a, q.b, rStrideL, rStrideU, q.c);
        rStride = best.first;
        rValue = best.second;
        rH = rH * rStride + pH;
        r = rH.cwiseProduct(d);
    }

    // Pull the truncated step strictly inside.
    p *= theta;
    pH *= theta;
    const double pValue = evaluateQuadratic(Jh, gH, pH, &diagH);

    Vec agH = -gH;
    Vec ag = d.cwiseProduct(agH);
    const double agToTr = Delta / agH.norm();
    const double agToBound = stepSizeToBound(x, ag, lower, upper);
    double agStride = agToBound < agToTr ? theta * agToBound : agToTr;
    const Quadratic1d qa = buildQuadratic1d(Jh, gH, agH, &diagH);
    const auto agBest = minimizeQuadratic1d(qa.a, qa.b, 0, agStride);
    agStride = agBest.first;
    const double agValue = agBest.second;
    agH *= agStride;
    ag *= agStride;

    if (pValue < rValue && pValue < agValue) {
        out.step = std::move(p);
        out.stepH = std::move(pH);
        out.predictedReduction = -pValue;
        out.kind = 1;
    } else if (rValue < pValue && rValue < agValue) {
        out.step = std::move(r);
        out.stepH = std::move(rH);
        out.predictedReduction = -rValue;
        out.kind = 2;
    } else {
        out.step = std::move(ag);
        out.stepH = std::move(agH);
        out.predictedReduction = -agValue;
        out.kind = 3;
    }
    return out;
}

std::pair<double, double> updateTrustRadius(double Delta, double actualReduction, double predictedReduction,
                                            double stepNorm, bool boundHit) {
    double ratio;
    if (predictedReduction > 0)
        ratio = actualReduction / predictedReduction;
    else if (predictedReduction == 0 && actualReduction == 0)
        ratio = 1;
    else
        ratio = 0;
    if (ratio < 0.25)
        Delta = 0.25 * stepNorm;
    else if (ratio > 0.75 && boundHit)
        Delta *= 2.0;
    return {Delta, ratio};
}

bool gradientTestHolds(double scaledGradientNorm, double gtol) { return scaledGradientNorm < gtol; }

bool costTestHolds(double actualReduction, double cost, double ratio, double ftol) {
    return actualReduction < ftol * cost && ratio > 0.25;
}

bool stepTestHolds(double stepNorm, double xNorm, double xtol) { return stepNorm < xtol * (xtol + xNorm); }

bool evaluationLimitReached(int evaluations, int maxEvaluations) { return evaluations >= maxEvaluations; }

}  // namespace refl::tr
