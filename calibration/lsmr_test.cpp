#include "lsmr.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

using namespace refl;

namespace {

LinearOperator denseOperator(const Eigen::MatrixXd& A) {
    LinearOperator op;
    op.rows = int(A.rows());
    op.cols = int(A.cols());
    op.apply = [A](const double* x, double* y) {
        Eigen::Map<Eigen::VectorXd>(y, A.rows()) = A * Eigen::Map<const Eigen::VectorXd>(x, A.cols());
    };
    op.applyTransposed = [A](const double* x, double* y) {
        Eigen::Map<Eigen::VectorXd>(y, A.cols()) =
            A.transpose() * Eigen::Map<const Eigen::VectorXd>(x, A.rows());
    };
    return op;
}

// A fixed, moderately conditioned test matrix.
Eigen::MatrixXd testMatrix(int m, int n) {
    Eigen::MatrixXd A(m, n);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) A(i, j) = std::sin(1.3 * i + 0.7 * j * j + 0.1) + (i == j ? 3.0 : 0.0);
    return A;
}

std::vector<double> testVector(int m) {
    std::vector<double> b(m);
    for (int i = 0; i < m; ++i) b[i] = std::cos(0.9 * i) + 0.5;
    return b;
}

}  // namespace

TEST(Lsmr, OverdeterminedSystemMatchesTheQrSolution) {
    const Eigen::MatrixXd A = testMatrix(30, 8);
    const std::vector<double> b = testVector(30);
    LsmrOptions opt;
    opt.atol = opt.btol = 1e-14;
    opt.maxIterations = 100;
    const LsmrResult r = lsmr(denseOperator(A), b, opt);
    const Eigen::VectorXd ref =
        A.colPivHouseholderQr().solve(Eigen::Map<const Eigen::VectorXd>(b.data(), 30));
    for (int j = 0; j < 8; ++j) EXPECT_NEAR(r.x[j], ref[j], 1e-10) << j;
    EXPECT_GT(r.stopReason, 0);
    // The residual estimate agrees with the true residual norm.
    const Eigen::VectorXd res = A * Eigen::Map<const Eigen::VectorXd>(r.x.data(), 8) -
                                Eigen::Map<const Eigen::VectorXd>(b.data(), 30);
    EXPECT_NEAR(r.normR, res.norm(), 1e-8);
}

TEST(Lsmr, DampedProblemMatchesTheRegularisedNormalEquations) {
    const Eigen::MatrixXd A = testMatrix(12, 10);
    const std::vector<double> b = testVector(12);
    LsmrOptions opt;
    opt.damp = 0.7;
    opt.atol = opt.btol = 1e-14;
    opt.maxIterations = 200;
    const LsmrResult r = lsmr(denseOperator(A), b, opt);
    const Eigen::MatrixXd N = A.transpose() * A + 0.49 * Eigen::MatrixXd::Identity(10, 10);
    const Eigen::VectorXd ref =
        N.ldlt().solve(A.transpose() * Eigen::Map<const Eigen::VectorXd>(b.data(), 12));
    for (int j = 0; j < 10; ++j) EXPECT_NEAR(r.x[j], ref[j], 1e-9) << j;
}

TEST(Lsmr, ZeroRightHandSideGivesZero) {
    const LsmrResult r = lsmr(denseOperator(testMatrix(5, 3)), std::vector<double>(5, 0.0));
    EXPECT_EQ(r.stopReason, 0);
    EXPECT_EQ(r.iterations, 0);
    for (double v : r.x) EXPECT_EQ(v, 0.0);
}

TEST(Lsmr, CompatibleSquareSystemStopsOnTheResidualTest) {
    const Eigen::MatrixXd A = testMatrix(6, 6);
    const Eigen::VectorXd xTrue = Eigen::VectorXd::LinSpaced(6, -1, 2);
    const Eigen::VectorXd b = A * xTrue;
    LsmrOptions opt;
    opt.atol = opt.btol = 1e-12;
    opt.maxIterations = 100;
    const LsmrResult r = lsmr(denseOperator(A), std::vector<double>(b.data(), b.data() + 6), opt);
    EXPECT_EQ(r.stopReason, 1);
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(r.x[j], xTrue[j], 1e-9);
}

TEST(Lsmr, IterationLimitIsHonoured) {
    const Eigen::MatrixXd A = testMatrix(40, 20);
    LsmrOptions opt;
    opt.atol = opt.btol = 1e-16;
    opt.maxIterations = 3;
    const LsmrResult r = lsmr(denseOperator(A), testVector(40), opt);
    EXPECT_EQ(r.iterations, 3);
    EXPECT_EQ(r.stopReason, 7);
    // A cap below -1 (or a NaN tolerance) is refused before any product.
    opt.maxIterations = -2;
    const LsmrResult refused = lsmr(denseOperator(A), testVector(40), opt);
    EXPECT_EQ(refused.stopReason, -1);
    EXPECT_EQ(refused.iterations, 0);
    EXPECT_EQ(refused.x, std::vector<double>(20, 0.0));
}

TEST(Lsmr, DefaultLimitIsTheSmallerDimension) {
    // A rank-deficient matrix never meets tiny tolerances; the default cap min(m, n) ends it.
    Eigen::MatrixXd A = testMatrix(9, 4);
    A.col(3) = A.col(0) + A.col(1);
    LsmrOptions opt;
    opt.atol = opt.btol = 0;
    opt.conlim = 0;
    const LsmrResult r = lsmr(denseOperator(A), testVector(9), opt);
    EXPECT_LE(r.iterations, 4);
}

TEST(SymOrtho, RotationAnnihilatesTheSecondEntry) {
    const double cases[][2] = {{3, 4}, {-3, 4}, {4, -3}, {0, 2}, {-2, 0}, {1e-300, 1}};
    for (const auto& ab : cases) {
        double c, s, r;
        symOrtho(ab[0], ab[1], c, s, r);
        EXPECT_NEAR(c * c + s * s, 1.0, 1e-15);
        EXPECT_NEAR(c * ab[0] + s * ab[1], r, 1e-12 * std::max(1.0, r));
        EXPECT_NEAR(-s * ab[0] + c * ab[1], 0.0, 1e-12);
        EXPECT_GE(r, 0.0);
    }
}

TEST(Lsmr, FusedProductGivesTheSameSolution) {
    const Eigen::MatrixXd A = testMatrix(25, 9);
    const std::vector<double> b = testVector(25);
    LinearOperator plain = denseOperator(A);
    LinearOperator fused = plain;
    fused.applyBoth = [A](const double* x, double alpha, double* u, double* w) {
        Eigen::Map<Eigen::VectorXd> uu(u, A.rows());
        uu = A * Eigen::Map<const Eigen::VectorXd>(x, A.cols()) - alpha * uu;
        Eigen::Map<Eigen::VectorXd>(w, A.cols()) = A.transpose() * uu;
    };
    const LsmrResult r1 = lsmr(plain, b);
    const LsmrResult r2 = lsmr(fused, b);
    EXPECT_EQ(r1.iterations, r2.iterations);
    EXPECT_EQ(r1.stopReason, r2.stopReason);
    for (int j = 0; j < 9; ++j) EXPECT_NEAR(r1.x[j], r2.x[j], 1e-12 * std::max(1.0, std::fabs(r1.x[j])));
}
