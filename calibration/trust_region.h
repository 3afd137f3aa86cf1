#pragma once

#include <Eigen/Core>
#include <functional>
#include <utility>
#include <vector>

// Pieces of the Trust Region Reflective method (Branch, Coleman and Li, 1999) for
// min 0.5 |f(x)|^2 subject to lower <= x <= upper, in the scaled ("hat") variables.
namespace refl::tr {

using Vec = Eigen::VectorXd;
// Product of the scaled Jacobian with a vector.
using JacobianProduct = std::function<Vec(const Vec&)>;

// Coleman-Li scaling vector v and its derivative sign dv.
void colemanLiScaling(const Vec& x, const Vec& g, const Vec& lower, const Vec& upper, Vec& v, Vec& dv);

// Coefficients of q(t) = a t^2 + b t + c for the model 0.5|J(s0 + t s)|^2 + g.(s0 + t s)
// (plus 0.5 (s0 + t s).diag.(s0 + t s) when diag is given); c is 0 when s0 is null.
struct Quadratic1d {
    double a = 0, b = 0, c = 0;
};
Quadratic1d buildQuadratic1d(const JacobianProduct& J, const Vec& g, const Vec& s, const Vec* diag = nullptr,
                             const Vec* s0 = nullptr);

// Minimiser of a t^2 + b t + c on [lo, hi]: returns (t, value).
std::pair<double, double> minimizeQuadratic1d(double a, double b, double lo, double hi, double c = 0.0);

// 0.5 |J s|^2 + 0.5 s.diag.s + g.s
double evaluateQuadratic(const JacobianProduct& J, const Vec& g, const Vec& s, const Vec* diag = nullptr);

// Minimiser of 0.5 p.B.p + g.p subject to |p| <= Delta for a 2x2 symmetric B. Returns
// true when the unconstrained Newton step was taken.
bool solveTrustRegion2d(const Eigen::Matrix2d& B, const Eigen::Vector2d& g, double Delta, Eigen::Vector2d& p);

// Real roots of c[0] t^4 + ... + c[4] by the eigenvalues of the companion matrix
// (leading zero coefficients are dropped).
std::vector<double> realPolynomialRoots(const std::vector<double>& coeffs);

// Smallest t >= 0 with x + t s on the boundary of the box; `hits` (if given) gets, per
// entry, the sign of s where that bound is reached first and 0 elsewhere.
double stepSizeToBound(const Vec& x, const Vec& s, const Vec& lower, const Vec& upper,
                       Eigen::VectorXi* hits = nullptr);

// The two t with |x + t s| = Delta (t1 <= t2), for x inside the region; s must not be 0.
std::pair<double, double> intersectTrustRegion(const Vec& x, const Vec& s, double Delta);

bool inBounds(const Vec& x, const Vec& lower, const Vec& upper);

// Moves entries on or close to a bound (within rstep*max(1,|bound|)) strictly inside;
// with rstep 0 only entries on or beyond a bound move, to the next representable number.
Vec makeStrictlyFeasible(const Vec& x, const Vec& lower, const Vec& upper, double rstep = 1e-10);

// Chooses among the trust-region step, its reflection at the first bound hit and the
// scaled steepest-descent step (see the method's step selection).
struct SelectedStep {
    Vec step;   // in x
    Vec stepH;  // in the scaled variables
    double predictedReduction = 0;
    int kind = 0;  // 0 inside, 1 truncated, 2 reflected, 3 steepest descent
};
SelectedStep selectStep(const Vec& x, const JacobianProduct& Jh, const Vec& diagH, const Vec& gH, Vec p,
                        Vec pH, const Vec& d, double Delta, const Vec& lower, const Vec& upper, double theta);

// New radius and the ratio of actual to predicted reduction.
std::pair<double, double> updateTrustRadius(double Delta, double actualReduction, double predictedReduction,
                                            double stepNorm, bool boundHit);

// Stopping tests.
bool gradientTestHolds(double scaledGradientNorm, double gtol);
bool costTestHolds(double actualReduction, double cost, double ratio, double ftol);
bool stepTestHolds(double stepNorm, double xNorm, double xtol);
bool evaluationLimitReached(int evaluations, int maxEvaluations);

}  // namespace refl::tr
