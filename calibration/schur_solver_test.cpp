#include "schur_solver.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cstring>
#include <random>

#include "parallel_runner.h"

using namespace refl;

namespace {

// A bundle-adjustment-like pattern: 2 shared columns over every row, 4 "cameras" of 3 columns
// and 30 "points" of 3 columns (one of them seen only once, so its own block is singular
// without the regularisation), two rows per observation.
struct Problem {
    SparsityPattern pattern;
    SparseJacobian J;
    Eigen::MatrixXd dense;
};

Problem makeProblem(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uni(-1.0, 1.0);
    const int shared = 2, cams = 4, pts = 30, n = shared + 3 * cams + 3 * pts;
    std::vector<std::vector<int>> cols(n);
    int rows = 0;
    for (int p = 0; p < pts; ++p) {
        for (int c = 0; c < cams; ++c) {
            if (p > 0 && (p + c) % 3 == 0) continue;
            if (p == 0 && c > 0) continue;  // point 0: a single observation
            for (int k = 0; k < 2; ++k, ++rows) {
                for (int s = 0; s < shared; ++s) cols[s].push_back(rows);
                for (int j = 0; j < 3; ++j) cols[shared + 3 * c + j].push_back(rows);
                for (int j = 0; j < 3; ++j) cols[shared + 3 * cams + 3 * p + j].push_back(rows);
            }
        }
    }
    Problem out;
    EXPECT_TRUE(out.pattern.setColumns(rows, cols));
    out.J.setPattern(out.pattern);
    out.dense = Eigen::MatrixXd::Zero(rows, n);
    std::vector<double>& v = out.J.values();
    for (int j = 0; j < n; ++j)
        for (int k = out.pattern.colStart[j]; k < out.pattern.colStart[j + 1]; ++k) {
            v[k] = uni(rng);
            out.dense(out.pattern.rowIndex[k], j) = v[k];
        }
    return out;
}

}  // namespace

TEST(SchurSolver, SolvesTheRegularisedNormalEquations) {
    Problem p = makeProblem(5);
    const int n = p.pattern.cols;
    SchurSolver schur;
    ASSERT_TRUE(schur.analyse(p.pattern));
    EXPECT_EQ(schur.blockCount(), 30);                 // the points
    EXPECT_EQ(schur.reducedCount(), 2 + 3 * 4);         // shared columns and cameras
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> uni(0.5, 2.0);
    Eigen::VectorXd d(n), reg(n), rhs(n);
    for (int j = 0; j < n; ++j) {
        d[j] = uni(rng);
        reg[j] = 1e-3 * uni(rng);
        rhs[j] = uni(rng) - 1.25;
    }
    schur.assemble(p.J, nullptr);
    Eigen::VectorXd x(n);
    ASSERT_TRUE(schur.solve(d.data(), reg.data(), rhs.data(), x.data(), nullptr));
    const Eigen::MatrixXd Jd = p.dense * d.asDiagonal();
    Eigen::MatrixXd A = Jd.transpose() * Jd;
    A.diagonal() += reg;
    const Eigen::VectorXd want = A.ldlt().solve(rhs);
    EXPECT_LT((x - want).norm(), 1e-9 * want.norm());

    // The same bits on three threads.
    ParallelRunner runner(3);
    SchurSolver threaded;
    ASSERT_TRUE(threaded.analyse(p.pattern));
    threaded.assemble(p.J, &runner);
    Eigen::VectorXd y(n);
    ASSERT_TRUE(threaded.solve(d.data(), reg.data(), rhs.data(), y.data(), &runner));
    EXPECT_EQ(std::memcmp(x.data(), y.data(), sizeof(double) * n), 0);
}

TEST(SchurSolver, DeclinesWhenTheRestIsTooLargeToFactorise) {
    Problem p = makeProblem(6);
    SchurSolver schur;
    EXPECT_FALSE(schur.analyse(p.pattern, 10));
}
