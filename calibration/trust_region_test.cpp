#include "trust_region.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace refl;

using namespace refl::tr;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// Brute-force minimum of the 2-D model on the circle |p| = Delta.
double boundaryMinimum(const Eigen::Matrix2d& B, const Eigen::Vector2d& g, double Delta) {
    double best = kInf;
    for (int i = 0; i < 200000; ++i) {
        const double a = 2 * M_PI * i / 200000.0;
        const Eigen::Vector2d p(Delta * std::cos(a), Delta * std::sin(a));
        best = std::min(best, 0.5 * p.dot(B * p) + g.dot(p));
    }
    return best;
}

double model2d(const Eigen::Matrix2d& B, const Eigen::Vector2d& g, const Eigen::Vector2d& p) {
    return 0.5 * p.dot(B * p) + g.dot(p);
}

JacobianProduct denseProduct(const Eigen::MatrixXd& J) {
    return [J](const Vec& s) { return Vec(J * s); };
}

}  // namespace

TEST(TrustRegion2d, InteriorNewtonStep) {
    Eigen::Matrix2d B;
    B << 4, 1, 1, 3;
    const Eigen::Vector2d g(1, 2);
    Eigen::Vector2d p;
    EXPECT_TRUE(solveTrustRegion2d(B, g, 10.0, p));
    EXPECT_NEAR((B * p + g).norm(), 0.0, 1e-14);
}

TEST(TrustRegion2d, BoundarySolutionIsTheBestPointOnTheCircle) {
    struct Case {
        double b00, b01, b11, g0, g1, Delta;
    };
    const Case cases[] = {
        {4, 1, 3, 10, -20, 0.5},     // positive definite, Newton step outside
        {1, 2, 1, 0.3, -0.1, 1.0},   // indefinite
        {-1, 0, -2, 0.5, 0.5, 2.0},  // negative definite
        {0, 0, 0, 1, 1, 1.0},        // linear model
        {2, 0, 2, 0, 1.0, 0.1},      // gradient along one axis only
    };
    for (const Case& c : cases) {
        Eigen::Matrix2d B;
        B << c.b00, c.b01, c.b01, c.b11;
        const Eigen::Vector2d g(c.g0, c.g1);
        Eigen::Vector2d p;
        EXPECT_FALSE(solveTrustRegion2d(B, g, c.Delta, p));
        EXPECT_NEAR(p.norm(), c.Delta, 1e-9 * c.Delta);
        EXPECT_LE(model2d(B, g, p), boundaryMinimum(B, g, c.Delta) + 1e-8);
    }
}

TEST(PolynomialRoots, RealRootsOnly) {
    // (t - 1)(t + 2)(t^2 + 1) = t^4 + t^3 - t^2 + t - 2
    std::vector<double> r = realPolynomialRoots({1, 1, -1, 1, -2});
    std::sort(r.begin(), r.end());
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NEAR(r[0], -2, 1e-12);
    EXPECT_NEAR(r[1], 1, 1e-12);
    // Leading zeros are dropped: 2t - 4; a trailing zero is a root at 0.
    r = realPolynomialRoots({0, 0, 0, 2, -4});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NEAR(r[0], 2, 1e-14);
    r = realPolynomialRoots({1, -1, 0});
    std::sort(r.begin(), r.end());
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], 0.0);
    EXPECT_NEAR(r[1], 1, 1e-14);
    EXPECT_TRUE(realPolynomialRoots({0, 0, 0}).empty());
}

TEST(Quadratic1d, MinimiserOnAnInterval) {
    // 2t^2 - 4t + 1: extremum at 1
    auto r = minimizeQuadratic1d(2, -4, 0, 3, 1);
    EXPECT_DOUBLE_EQ(r.first, 1.0);
    EXPECT_DOUBLE_EQ(r.second, -1.0);
    r = minimizeQuadratic1d(2, -4, 2, 3, 1);  // extremum outside: end point
    EXPECT_DOUBLE_EQ(r.first, 2.0);
    r = minimizeQuadratic1d(-1, 0, -1, 2);  // concave: the farther end
    EXPECT_DOUBLE_EQ(r.first, 2.0);
    r = minimizeQuadratic1d(0, 1, -1, 2);  // linear
    EXPECT_DOUBLE_EQ(r.first, -1.0);
}

TEST(Quadratic1d, CoefficientsReproduceTheModel) {
    Eigen::MatrixXd J(3, 2);
    J << 1, 2, -1, 0.5, 3, 1;
    const Vec g = (Vec(2) << 0.3, -0.7).finished();
    const Vec diag = (Vec(2) << 0.2, 1.5).finished();
    const Vec s = (Vec(2) << 1, -2).finished();
    const Vec s0 = (Vec(2) << 0.5, 0.25).finished();
    const Quadratic1d q = buildQuadratic1d(denseProduct(J), g, s, &diag, &s0);
    for (double t : {-1.0, 0.0, 0.7, 2.0}) {
        const Vec p = s0 + t * s;
        EXPECT_NEAR(q.a * t * t + q.b * t + q.c, evaluateQuadratic(denseProduct(J), g, p, &diag), 1e-12);
    }
}

TEST(Bounds, StepToBoundAndHits) {
    const Vec x = (Vec(3) << 0, 0, 0).finished();
    const Vec s = (Vec(3) << 1, -2, 0).finished();
    const Vec lo = (Vec(3) << -1, -1, -1).finished();
    const Vec up = (Vec(3) << 2, 1, 1).finished();
    Eigen::VectorXi hits;
    EXPECT_DOUBLE_EQ(stepSizeToBound(x, s, lo, up, &hits), 0.5);
    EXPECT_EQ(hits[0], 0);
    EXPECT_EQ(hits[1], -1);
    EXPECT_EQ(hits[2], 0);
    const Vec zero = Vec::Zero(3);
    EXPECT_EQ(stepSizeToBound(x, zero, lo, up), kInf);
}

TEST(Bounds, IntersectTrustRegion) {
    const Vec x = (Vec(2) << 0.3, -0.2).finished();
    const Vec s = (Vec(2) << 1, 2).finished();
    const auto t = intersectTrustRegion(x, s, 1.5);
    EXPECT_LT(t.first, 0);
    EXPECT_GT(t.second, 0);
    EXPECT_NEAR((x + t.first * s).norm(), 1.5, 1e-12);
    EXPECT_NEAR((x + t.second * s).norm(), 1.5, 1e-12);
}

TEST(Bounds, MakeStrictlyFeasible) {
    const Vec lo = (Vec(5) << 0, -0.5, 10, -kInf, 1).finished();
    const Vec up = (Vec(5) << 1, 0.5, 1e6, kInf, 1 + 1e-12).finished();
    const Vec x = (Vec(5) << -3, 0.6, 1e6, 5, 1).finished();
    const Vec y = makeStrictlyFeasible(x, lo, up);
    EXPECT_DOUBLE_EQ(y[0], 1e-10);
    EXPECT_DOUBLE_EQ(y[1], 0.5 - 1e-10);  // a prior of 0.6 becomes 0.4999999999
    EXPECT_DOUBLE_EQ(y[2], 1e6 - 1e-10 * 1e6);
    EXPECT_EQ(y[3], 5);
    EXPECT_DOUBLE_EQ(y[4], 0.5 * (1 + 1 + 1e-12));  // box too tight: midpoint
    const Vec z = makeStrictlyFeasible(x, lo, up, 0);
    EXPECT_EQ(z[0], std::nextafter(0.0, 1.0));
    EXPECT_EQ(z[1], std::nextafter(0.5, -0.5));
    EXPECT_GT(z[4], 1.0);
    EXPECT_LT(z[4], 1 + 1e-12);
    EXPECT_TRUE(inBounds(y, lo, up));
    EXPECT_FALSE(inBounds(x, lo, up));
}

TEST(ColemanLi, ScalingVector) {
    const Vec x = (Vec(4) << 0.5, 0.5, 0.5, 0.5).finished();
    const Vec g = (Vec(4) << -1, 1, -1, 0).finished();
    const Vec lo = (Vec(4) << 0, 0.1, -kInf, 0).finished();
    const Vec up = (Vec(4) << 2, 1, kInf, 1).finished();
    Vec v, dv;
    colemanLiScaling(x, g, lo, up, v, dv);
    EXPECT_DOUBLE_EQ(v[0], 1.5);  // g < 0, finite upper
    EXPECT_EQ(dv[0], -1);
    EXPECT_DOUBLE_EQ(v[1], 0.4);  // g > 0, finite lower
    EXPECT_EQ(dv[1], 1);
    EXPECT_EQ(v[2], 1);  // no finite bound in the descent direction
    EXPECT_EQ(dv[2], 0);
    EXPECT_EQ(v[3], 1);  // zero gradient
}

TEST(SelectStep, InteriorStepIsKept) {
    Eigen::MatrixXd J = Eigen::MatrixXd::Identity(2, 2);
    const Vec x = Vec::Zero(2), g = (Vec(2) << 1, 1).finished(), d = Vec::Ones(2), diag = Vec::Zero(2);
    const Vec p = (Vec(2) << -0.5, -0.5).finished();
    const Vec lo = Vec::Constant(2, -1), up = Vec::Constant(2, 1);
    const SelectedStep s = selectStep(x, denseProduct(J), diag, g, p, p, d, 1.0, lo, up, 0.995);
    EXPECT_EQ(s.kind, 0);
    EXPECT_EQ(s.step, p);
    EXPECT_NEAR(s.predictedReduction, 0.75, 1e-15);  // -(0.25 - 1)
}

TEST(SelectStep, StepAcrossABoundStaysStrictlyInsideAndPredictsTheModel) {
    Eigen::MatrixXd J(3, 2);
    J << 1, 0.2, 0, 1, 0.5, -0.3;
    const Vec x = (Vec(2) << 0.2, 0.1).finished();
    const Vec g = (Vec(2) << -2, -0.5).finished();
    const Vec d = (Vec(2) << 0.9, 1.1).finished();
    const Vec diag = (Vec(2) << 0.1, 0.0).finished();
    const Vec lo = (Vec(2) << -1, -1).finished();
    const Vec up = (Vec(2) << 0.5, 1).finished();
    for (double scale : {0.5, 1.0, 3.0}) {
        const Vec pH = (Vec(2) << 0.8 * scale, 0.3 * scale).finished();
        const Vec p = d.cwiseProduct(pH);
        const SelectedStep s = selectStep(x, denseProduct(J), diag, g, p, pH, d, 1.0 * scale, lo, up, 0.995);
        EXPECT_NE(s.kind, 0);
        const Vec xn = x + s.step;
        EXPECT_GT(xn[0], lo[0]);
        EXPECT_LT(xn[0], up[0]);
        EXPECT_GT(xn[1], lo[1]);
        EXPECT_LT(xn[1], up[1]);
        EXPECT_NEAR((s.stepH.cwiseProduct(d) - s.step).norm(), 0.0, 1e-12);
        EXPECT_NEAR(s.predictedReduction, -evaluateQuadratic(denseProduct(J), g, s.stepH, &diag), 1e-12);
        EXPECT_GT(s.predictedReduction, 0);
    }
}

TEST(TrustRadius, UpdateRules) {
    auto r = updateTrustRadius(2.0, 0.1, 1.0, 1.5, true);  // poor ratio: shrink to 1/4 step
    EXPECT_DOUBLE_EQ(r.first, 0.375);
    EXPECT_DOUBLE_EQ(r.second, 0.1);
    r = updateTrustRadius(2.0, 0.9, 1.0, 1.99, true);  // good and on the boundary: double
    EXPECT_DOUBLE_EQ(r.first, 4.0);
    r = updateTrustRadius(2.0, 0.9, 1.0, 1.0, false);  // good but inside: keep
    EXPECT_DOUBLE_EQ(r.first, 2.0);
    r = updateTrustRadius(2.0, 0.0, 0.0, 1.0, false);  // nothing predicted, nothing gained
    EXPECT_DOUBLE_EQ(r.second, 1.0);
    r = updateTrustRadius(2.0, 0.5, -1.0, 1.0, false);  // prediction not positive
    EXPECT_DOUBLE_EQ(r.second, 0.0);
    EXPECT_DOUBLE_EQ(r.first, 0.25);
}

TEST(Termination, Tests) {
    EXPECT_TRUE(gradientTestHolds(0.9e-8, 1e-8));
    EXPECT_FALSE(gradientTestHolds(1e-8, 1e-8));
    EXPECT_TRUE(costTestHolds(0.5e-8, 1.0, 0.3, 1e-8));
    EXPECT_FALSE(costTestHolds(0.5e-8, 1.0, 0.2, 1e-8));  // ratio too low
    EXPECT_FALSE(costTestHolds(2e-8, 1.0, 0.9, 1e-8));
    EXPECT_TRUE(stepTestHolds(1e-9, 10.0, 1e-8));
    EXPECT_FALSE(stepTestHolds(2e-7, 10.0, 1e-8));
    EXPECT_TRUE(evaluationLimitReached(5, 5));
    EXPECT_FALSE(evaluationLimitReached(4, 5));
}
