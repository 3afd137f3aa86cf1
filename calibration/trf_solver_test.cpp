#include "trf_solver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>

using namespace refl;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

TrfProblem rosenbrock() {
    TrfProblem p;
    p.residualCount = 2;
    p.residuals = [](const double* x, double* r) {
        r[0] = 10 * (x[1] - x[0] * x[0]);
        r[1] = 1 - x[0];
    };
    p.columnRows = {{0, 1}, {0}};
    return p;
}

// y = a exp(b t) + c sampled at 30 points, optionally with gross outliers.
TrfProblem exponentialFit(bool outliers) {
    std::vector<double> t(30), y(30);
    for (int i = 0; i < 30; ++i) {
        t[i] = 0.2 * i;
        y[i] = 2.0 * std::exp(-0.5 * t[i]) + 0.3;
        if (outliers && i % 5 == 2) y[i] += 4.0;
    }
    TrfProblem p;
    p.residualCount = 30;
    p.residuals = [t, y](const double* x, double* r) {
        for (int i = 0; i < 30; ++i) r[i] = x[0] * std::exp(x[1] * t[i]) + x[2] - y[i];
    };
    std::vector<int> all(30);
    for (int i = 0; i < 30; ++i) all[i] = i;
    p.columnRows = {all, all, all};
    return p;
}

}  // namespace

TEST(TrfSolver, UnboundedRosenbrockReachesTheMinimum) {
    const TrfResult r = solveTrf(rosenbrock(), {-1.2, 1});
    EXPECT_TRUE(r.converged()) << r.summary().toStdString();
    EXPECT_NEAR(r.x[0], 1.0, 1e-7);
    EXPECT_NEAR(r.x[1], 1.0, 1e-7);
    EXPECT_LT(r.finalCost, 1e-15);
    EXPECT_NEAR(r.initialCost, 0.5 * (4.4 * 4.4 + 2.2 * 2.2), 1e-12);
    EXPECT_EQ(r.residuals.size(), 2u);
}

TEST(TrfSolver, BoundedRosenbrockStopsOnTheActiveBound) {
    // With x1 >= 1.5 the minimum lies on the bound: x1 = 1.5, x0 solves the 1-D problem.
    TrfProblem p = rosenbrock();
    p.lower = {-kInf, 1.5};
    p.upper = {kInf, kInf};
    const TrfResult r = solveTrf(p, {2, 2});
    EXPECT_TRUE(r.converged()) << r.summary().toStdString();
    EXPECT_NEAR(r.x[1], 1.5, 1e-8);
    EXPECT_GE(r.x[1], 1.5);
    EXPECT_NEAR(r.x[0], 1.2243707, 1e-6);
}

TEST(TrfSolver, IteratesStayInsideTheBox) {
    TrfProblem p = rosenbrock();
    p.lower = {-0.5, -0.3};
    p.upper = {0.8, 0.6};
    auto inner = p.residuals;
    int outside = 0;
    p.residuals = [&](const double* x, double* r) {
        if (x[0] < -0.5 || x[0] > 0.8 || x[1] < -0.3 || x[1] > 0.6) ++outside;
        inner(x, r);
    };
    // Start exactly on a bound: it is moved strictly inside first.
    const TrfResult r = solveTrf(p, {0.8, -0.3});
    EXPECT_EQ(outside, 0);
    EXPECT_TRUE(r.converged()) << r.summary().toStdString();
    // The box minimum lies on x1 = 0.6: 0.5 * 10^2 (0.6 - x0^2)^2 + 0.5 (1 - x0)^2 is least
    // at x0 = 0.77553027 (SciPy agrees).
    EXPECT_NEAR(r.x[1], 0.6, 1e-8);
    EXPECT_LE(r.x[1], 0.6);
    EXPECT_NEAR(r.x[0], 0.77553027, 1e-6);
}

TEST(TrfSolver, LinearProblemIsSolvedExactly) {
    // Residuals A x - b with a known exact solution.
    TrfProblem p;
    p.residualCount = 4;
    // Consistent system with solution (1, 2, 3).
    p.residuals = [](const double* x, double* r) {
        r[0] = 2 * x[0] + x[1] - 4;
        r[1] = x[0] - x[2] + 2;
        r[2] = x[1] + 3 * x[2] - 11;
        r[3] = x[0] + x[1] + x[2] - 6;
    };
    p.columnRows = {{0, 1, 3}, {0, 2, 3}, {1, 2, 3}};
    const TrfResult r = solveTrf(p, {0, 0, 0});
    EXPECT_TRUE(r.converged());
    EXPECT_NEAR(r.x[0], 1.0, 1e-6);
    EXPECT_NEAR(r.x[1], 2.0, 1e-6);
    EXPECT_NEAR(r.x[2], 3.0, 1e-6);
    EXPECT_LT(r.finalCost, 1e-12);
}

TEST(TrfSolver, HuberLossResistsOutliers) {
    const TrfProblem p = exponentialFit(true);
    TrfOptions linear;
    const TrfResult rl = solveTrf(p, {1.5, -0.3, 0.5}, linear);
    TrfOptions huber;
    huber.loss.kind = LossKind::Huber;
    huber.loss.scale = 0.1;
    const TrfResult rh = solveTrf(p, {1.5, -0.3, 0.5}, huber);
    EXPECT_TRUE(rh.converged()) << rh.summary().toStdString();
    const double errLinear = std::fabs(rl.x[0] - 2.0) + std::fabs(rl.x[1] + 0.5) + std::fabs(rl.x[2] - 0.3);
    const double errHuber = std::fabs(rh.x[0] - 2.0) + std::fabs(rh.x[1] + 0.5) + std::fabs(rh.x[2] - 0.3);
    EXPECT_LT(errHuber, 0.03);            // SciPy: (2.00004, -0.49641, 0.32119)
    EXPECT_GT(errLinear, 10 * errHuber);  // linear: (2.018, -0.413, 0.989)
    // The reported cost is the robust one: 0.5 s^2 sum rho.
    double cost = 0;
    for (double v : rh.residuals) {
        const double z = (v / 0.1) * (v / 0.1);
        cost += z <= 1 ? z : 2 * std::sqrt(z) - 1;
    }
    EXPECT_NEAR(rh.finalCost, 0.5 * 0.01 * cost, 1e-12);
}

TEST(TrfSolver, CleanExponentialFitRecoversTheTruth) {
    const TrfResult r = solveTrf(exponentialFit(false), {1, -1, 0});
    EXPECT_TRUE(r.converged());
    EXPECT_NEAR(r.x[0], 2.0, 1e-6);
    EXPECT_NEAR(r.x[1], -0.5, 1e-6);
    EXPECT_NEAR(r.x[2], 0.3, 1e-6);
}

TEST(TrfSolver, EvaluationLimitIsHonoured) {
    TrfOptions opt;
    opt.maxEvaluations = 4;
    int calls = 0;
    TrfProblem p = rosenbrock();
    auto inner = p.residuals;
    p.residuals = [&](const double* x, double* r) {
        ++calls;
        inner(x, r);
    };
    const TrfResult r = solveTrf(p, {-1.2, 1}, opt);
    EXPECT_EQ(r.termination, TrfTermination::EvaluationLimit);
    EXPECT_EQ(r.evaluations, 4);
    // Jacobian columns come on top: 2 groups per Jacobian.
    EXPECT_EQ(calls, r.evaluations + 2 * r.jacobianEvaluations);
}

TEST(TrfSolver, StopRequestEndsTheIterations) {
    int polls = 0;
    TrfOptions opt;
    opt.stopRequested = [&] { return ++polls >= 3; };
    const TrfResult r = solveTrf(rosenbrock(), {-1.2, 1}, opt);
    EXPECT_EQ(r.termination, TrfTermination::Stopped);
    EXPECT_EQ(polls, 3);
    EXPECT_LT(r.finalCost, r.initialCost);
    EXPECT_FALSE(r.converged());
}

TEST(TrfSolver, NonFiniteTrialPointsShrinkTheRegion) {
    // log is undefined below 0; big first steps land there and must be rejected.
    TrfProblem p;
    p.residualCount = 2;
    p.residuals = [](const double* x, double* r) {
        r[0] = std::log(x[0]) - 1.0;
        r[1] = 0.1 * (x[0] - std::exp(1.0));
    };
    p.columnRows = {{0, 1}};
    const TrfResult r = solveTrf(p, {50.0});
    EXPECT_TRUE(r.converged()) << r.summary().toStdString();
    EXPECT_NEAR(r.x[0], std::exp(1.0), 1e-6);
    for (double v : r.residuals) EXPECT_TRUE(std::isfinite(v));
}

TEST(TrfSolver, TwoThreadsGiveTheSameIterates) {
    TrfOptions one, two;
    two.threads = 2;
    const TrfResult a = solveTrf(exponentialFit(true), {1, -1, 0}, one);
    const TrfResult b = solveTrf(exponentialFit(true), {1, -1, 0}, two);
    EXPECT_EQ(a.evaluations, b.evaluations);
    EXPECT_NEAR(a.finalCost, b.finalCost, 1e-12 * a.finalCost);
}

TEST(TrfSolver, BadInputIsReportedNotSolved) {
    TrfProblem p = rosenbrock();
    EXPECT_EQ(solveTrf(p, {1}).termination, TrfTermination::InvalidInput);  // size mismatch
    p.lower = {0, 0};
    p.upper = {1, 0};
    EXPECT_EQ(solveTrf(p, {0.5, 0}).termination, TrfTermination::InvalidInput);  // empty box
    p = rosenbrock();
    p.columnRows = {{0, 2}, {0}};
    EXPECT_EQ(solveTrf(p, {1, 1}).termination, TrfTermination::InvalidInput);  // bad row
    p = rosenbrock();
    p.residuals = [](const double*, double* r) { r[0] = r[1] = NAN; };
    const TrfResult r = solveTrf(p, {1, 1});
    EXPECT_EQ(r.termination, TrfTermination::InvalidInput);
    TrfOptions opt;
    opt.jacobianScaling = false;
    opt.xScale = {1, -1};
    EXPECT_EQ(solveTrf(rosenbrock(), {1, 1}, opt).termination, TrfTermination::InvalidInput);
    TrfOptions nanTol;
    nanTol.ftol = NAN;
    EXPECT_FALSE(nanTol.validate(2).isEmpty());
    EXPECT_EQ(solveTrf(rosenbrock(), {1, 1}, nanTol).termination, TrfTermination::InvalidInput);
}

TEST(TrfSolver, FixedScalesAlsoConverge) {
    TrfOptions opt;
    opt.jacobianScaling = false;
    opt.xScale = {1, 1};
    const TrfResult r = solveTrf(rosenbrock(), {-1.2, 1}, opt);
    EXPECT_TRUE(r.converged());
    EXPECT_NEAR(r.x[0], 1.0, 1e-6);
}

TEST(TrfSolver, SummaryNamesTheTermination) {
    const TrfResult r = solveTrf(rosenbrock(), {2, 2});
    const QString s = r.summary();
    EXPECT_TRUE(s.contains("gradient test")) << s.toStdString();
    EXPECT_TRUE(s.contains("initial cost 200.5")) << s.toStdString();
}
