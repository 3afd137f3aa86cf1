#include "sparse_jacobian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>

#include "parallel_runner.h"

using namespace refl;

namespace {

// Broyden tridiagonal residuals: f_i = (3 - 2 x_i) x_i - x_{i-1} - 2 x_{i+1} + 1.
void broyden(const double* x, double* f, int n) {
    for (int i = 0; i < n; ++i) {
        const double prev = i > 0 ? x[i - 1] : 0.0;
        const double next = i + 1 < n ? x[i + 1] : 0.0;
        f[i] = (3 - 2 * x[i]) * x[i] - prev - 2 * next + 1;
    }
}

std::vector<std::vector<int>> tridiagonalColumns(int n) {
    std::vector<std::vector<int>> cols(n);
    for (int j = 0; j < n; ++j)
        for (int i = std::max(0, j - 1); i <= std::min(n - 1, j + 1); ++i) cols[j].push_back(i);
    return cols;
}

double entry(const SparseJacobian& J, int row, int col) {
    const SparsityPattern& p = J.pattern();
    for (int k = p.colStart[col]; k < p.colStart[col + 1]; ++k)
        if (p.rowIndex[k] == row) return J.values()[k];
    return 0.0;
}

}  // namespace

TEST(SparsityPattern, RejectsRowsOutOfRange) {
    SparsityPattern p;
    EXPECT_FALSE(p.setColumns(3, {{0, 3}}));
    EXPECT_FALSE(p.setColumns(3, {{-1}}));
    EXPECT_TRUE(p.setColumns(3, {{2, 0, 2}, {}}));
    EXPECT_EQ(p.nonZeros(), 2);  // duplicates dropped
    EXPECT_EQ(p.rowIndex[0], 0);
}

TEST(GroupColumns, ColumnsOfAGroupShareNoRow) {
    SparsityPattern p;
    ASSERT_TRUE(p.setColumns(50, tridiagonalColumns(50)));
    int groups = 0;
    const std::vector<int> g = groupColumns(p, groups);
    EXPECT_EQ(groups, 3);
    for (int a = 0; a < 50; ++a) {
        ASSERT_GE(g[a], 0);
        for (int b = a + 1; b < 50; ++b) {
            if (g[a] != g[b]) continue;
            std::set<int> ra(p.rowIndex.begin() + p.colStart[a], p.rowIndex.begin() + p.colStart[a + 1]);
            for (int k = p.colStart[b]; k < p.colStart[b + 1]; ++k)
                EXPECT_EQ(ra.count(p.rowIndex[k]), 0u) << a << " " << b;
        }
    }
}

TEST(ForwardDifference, StepsFollowTheSignAndTurnAtBounds) {
    const double h0 = std::sqrt(2.220446049250313e-16);
    const std::vector<double> x = {0.0, -3.0, 1.0, 2.0, 0.5};
    const std::vector<double> lo = {-1, -10, 0, 2 - 1e-12, 0.5 - 1e-9};
    const std::vector<double> up = {1, 10, 1, 2 + 1e-12, 0.5 + 2e-9};
    const std::vector<double> h = forwardDifferenceSteps(x, lo, up);
    EXPECT_DOUBLE_EQ(h[0], h0);       // sign(0) = +1
    EXPECT_DOUBLE_EQ(h[1], -3 * h0);  // negative entry steps down, scaled by |x|
    EXPECT_DOUBLE_EQ(h[2], -h0);      // at the upper bound: turned around
    // No room for the step on either side: the larger room to a bound.
    const double upRoom = up[3] - x[3], loRoom = x[3] - lo[3];
    EXPECT_EQ(h[3], upRoom >= loRoom ? upRoom : -loRoom);
    EXPECT_LE(x[3] + h[3], up[3]);
    EXPECT_GE(x[3] + h[3], lo[3]);
    EXPECT_NEAR(h[4], (0.5 + 2e-9) - 0.5, 1e-20);  // upper room is the larger one
    const std::vector<double> free = forwardDifferenceSteps(x, {}, {});
    EXPECT_DOUBLE_EQ(free[2], h0);
}

TEST(ForwardDifference, JacobianMatchesTheAnalyticOne) {
    const int n = 12;
    SparsityPattern p;
    ASSERT_TRUE(p.setColumns(n, tridiagonalColumns(n)));
    int groups = 0;
    const std::vector<int> g = groupColumns(p, groups);
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) x[i] = -1.0 + 0.13 * i;
    std::vector<double> f0(n);
    broyden(x.data(), f0.data(), n);
    int calls = 0;
    ResidualFunction fun = [&](const double* xx, double* f) {
        ++calls;
        broyden(xx, f, n);
    };
    for (int threads : {1, 2}) {
        ParallelRunner runner(threads);
        SparseJacobian J;
        J.setPattern(p);
        calls = 0;
        forwardDifferenceJacobian(fun, x, f0, {}, {}, g, groups, J, &runner);
        EXPECT_EQ(calls, groups);
        for (int i = 0; i < n; ++i) {
            EXPECT_NEAR(entry(J, i, i), 3 - 4 * x[i], 1e-6);
            if (i > 0) {
                EXPECT_NEAR(entry(J, i, i - 1), -1, 1e-6);
            }
            if (i + 1 < n) {
                EXPECT_NEAR(entry(J, i, i + 1), -2, 1e-6);
            }
        }
    }
}

TEST(ForwardDifference, GroupedColumnsEqualOneColumnAtATime) {
    // Grouping must give bit-identical columns to perturbing each entry alone.
    const int n = 9;
    SparsityPattern p;
    ASSERT_TRUE(p.setColumns(n, tridiagonalColumns(n)));
    int groups = 0;
    const std::vector<int> g = groupColumns(p, groups);
    std::vector<int> single(n);
    for (int j = 0; j < n; ++j) single[j] = j;
    std::vector<double> x(n, 0.3), f0(n);
    x[4] = -2.5;
    broyden(x.data(), f0.data(), n);
    ResidualFunction fun = [&](const double* xx, double* f) { broyden(xx, f, n); };
    SparseJacobian a, b;
    a.setPattern(p);
    b.setPattern(p);
    forwardDifferenceJacobian(fun, x, f0, {}, {}, g, groups, a, nullptr);
    forwardDifferenceJacobian(fun, x, f0, {}, {}, single, n, b, nullptr);
    EXPECT_EQ(a.values(), b.values());
}

TEST(SparseJacobian, ProductsMatchTheDenseMatrix) {
    // Irregular pattern with repeated rows (blocks), an empty row and an empty column.
    const int m = 7, n = 5;
    std::vector<std::vector<int>> cols = {{0, 1, 4}, {0, 1, 2, 3}, {}, {2, 3, 4, 6}, {0, 1, 6}};
    SparsityPattern p;
    ASSERT_TRUE(p.setColumns(m, cols));
    SparseJacobian J;
    J.setPattern(p);
    double dense[7][5] = {};
    for (int j = 0, k = 0; j < n; ++j)
        for (int r : cols[j]) {
            J.values()[k] = 0.5 + k * 0.37 - j;
            dense[r][j] = J.values()[k];
            ++k;
        }
    const double x[5] = {1, -2, 3, 0.5, -1.5};
    const double d[5] = {2, 1, -1, 0.25, 3};
    const double u[7] = {0.1, -0.4, 2, 1, -3, 5, 0.7};
    for (int threads : {1, 2}) {
        ParallelRunner runner(threads);
        std::vector<double> y(m, 99.0), z(n, 99.0);
        J.multiply(x, d, y.data(), &runner);
        for (int i = 0; i < m; ++i) {
            double s = 0;
            for (int j = 0; j < n; ++j) s += dense[i][j] * d[j] * x[j];
            EXPECT_NEAR(y[i], s, 1e-12) << i;
        }
        J.multiplyTransposed(u, d, z.data(), &runner);
        for (int j = 0; j < n; ++j) {
            double s = 0;
            for (int i = 0; i < m; ++i) s += dense[i][j] * u[i];
            EXPECT_NEAR(z[j], d[j] * s, 1e-12) << j;
        }
    }
    // Changing values after a product is seen by the next product.
    const double rowScale[7] = {2, 2, 2, 2, 2, 2, 2};
    J.scaleRows(rowScale);
    std::vector<double> y(m);
    J.multiply(x, nullptr, y.data(), nullptr);
    double s0 = 0;
    for (int j = 0; j < n; ++j) s0 += dense[0][j] * x[j];
    EXPECT_NEAR(y[0], 2 * s0, 1e-12);
    const std::vector<double> norms = J.columnNorms();
    EXPECT_EQ(norms[2], 0.0);
}

TEST(SparseJacobian, FusedProductEqualsTheTwoProducts) {
    const int n = 40;
    SparsityPattern p;
    ASSERT_TRUE(p.setColumns(n, tridiagonalColumns(n)));
    SparseJacobian J;
    J.setPattern(p);
    for (size_t k = 0; k < J.values().size(); ++k) J.values()[k] = std::sin(0.37 * k) + 0.1;
    std::vector<double> x(n), d(n), u0(n);
    for (int i = 0; i < n; ++i) {
        x[i] = std::cos(0.7 * i);
        d[i] = 0.5 + 0.01 * i;
        u0[i] = std::sin(1.1 * i);
    }
    const double alpha = 0.8;
    for (int threads : {1, 2}) {
        ParallelRunner runner(threads);
        std::vector<double> y(n), ref(n), u = u0, w(n, 0.0);
        J.multiply(x.data(), d.data(), y.data(), &runner);
        for (int i = 0; i < n; ++i) y[i] -= alpha * u0[i];
        J.multiplyTransposed(y.data(), d.data(), ref.data(), &runner);
        J.multiplyBoth(x.data(), d.data(), alpha, u.data(), w.data(), &runner);
        for (int i = 0; i < n; ++i) {
            EXPECT_DOUBLE_EQ(u[i], y[i]);
            EXPECT_NEAR(w[i], ref[i], 1e-13);
        }
    }
}

TEST(ParallelRunner, RunsEveryJobOnce) {
    // Job counts change from run to run and some runs follow a pause longer than the workers
    // spin, so late workers, sleeping workers and a sleeping caller all occur.
    for (int threads : {2, 4}) {
        ParallelRunner runner(threads);
        for (int rep = 0; rep < 3000; ++rep) {
            const int jobs = 1 + (rep * 7) % 11;
            std::vector<std::atomic<int>> hits(jobs);
            for (auto& h : hits) h = 0;
            runner.run(jobs, [&](int i) {
                if (i == rep % jobs && rep % 97 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
                ++hits[i];
            });
            for (int i = 0; i < jobs; ++i) ASSERT_EQ(hits[i].load(), 1) << "run " << rep << " job " << i;
            if (rep % 101 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::vector<char> many(70000, 0);  // more jobs than one ticket counts
        runner.run(int(many.size()), [&](int i) { ++many[i]; });
        EXPECT_EQ(std::count(many.begin(), many.end(), 1), 70000);
    }
}

TEST(SparseJacobian, RowBlocksOfOddAndEvenLengthGiveTheDenseProducts) {
    // Blocks of 3, 4 and 1 rows sharing their columns: the row pairs of a block are stored
    // together, an odd last row alone. One thread sums in the dense order, so results are exact.
    const int m = 8, n = 5;
    std::vector<std::vector<int>> cols = {{0, 1, 2, 7}, {3, 4, 5, 6, 7}, {0, 1, 2, 7}, {0, 1, 2, 7}, {3, 4, 5, 6, 7}};
    SparsityPattern p;
    ASSERT_TRUE(p.setColumns(m, cols));
    SparseJacobian J;
    J.setPattern(p);
    EXPECT_EQ(J.rowBlockCount(), 3);
    double dense[8][5] = {};
    for (int j = 0, k = 0; j < n; ++j)
        for (int r : cols[j]) {
            J.values()[k] = std::sin(1.3 * k) + 0.2 * j;
            dense[r][j] = J.values()[k];
            ++k;
        }
    const double x[5] = {1, -2, 3, 0.5, -1.5};
    const double u0[8] = {0.1, -0.4, 2, 1, -3, 5, 0.7, -0.9};
    const double alpha = 0.3;
    std::vector<double> y(m), z(n), u(u0, u0 + m), w(n);
    J.multiply(x, nullptr, y.data(), nullptr);
    J.multiplyTransposed(u0, nullptr, z.data(), nullptr);
    J.multiplyBoth(x, nullptr, alpha, u.data(), w.data(), nullptr);
    double ub[8];
    for (int i = 0; i < m; ++i) {
        double s = 0;
        for (int j = 0; j < n; ++j)
            if (dense[i][j] != 0) s += dense[i][j] * x[j];
        EXPECT_EQ(y[i], s) << i;
        ub[i] = s - alpha * u0[i];
        EXPECT_EQ(u[i], ub[i]) << i;
    }
    for (int j = 0; j < n; ++j) {
        double s = 0, sb = 0;
        for (int i = 0; i < m; ++i)
            if (dense[i][j] != 0) {
                s += dense[i][j] * u0[i];
                sb += dense[i][j] * ub[i];
            }
        EXPECT_EQ(z[j], s) << j;
        EXPECT_EQ(w[j], sb) << j;
    }
}
