#include "trf_solver.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace refl;

namespace {

TrfProblem rosenbrock()
{
    TrfProblem p;
    p.residualCount = 2;
    p.residuals = [](const double *x, double *r) {
        r[0] = 10 * (x[1] - x[0] * x[0]);
        r[1] = 1 - x[0];
    };
    p.columnRows = {{0, 1}, {0}};
    return p;
}

} // namespace

TEST(TrfSolver, UnboundedRosenbrockReachesTheMinimum)
{
    const TrfResult r = solveTrf(rosenbrock(), {2, 2});
    EXPECT_TRUE(r.converged()) << r.summary().toStdString();
    EXPECT_NEAR(r.x[0], 1.0, 1e-7);
    EXPECT_NEAR(r.x[1], 1.0, 1e-7);
    EXPECT_LT(r.finalCost, 1e-15);
    std::printf("%s\n", r.summary().toUtf8().constData());
}
