// The bundle adjustment at the size the self-calibration runs it (5 views, 700 tracks): the same
// iterates whatever the number of threads, and the default step solver as accurate as SciPy's.
#include <gtest/gtest.h>

#include <cstring>

#include "ba_arrays.h"
#include "ba_scene.h"

using namespace refl;

namespace {

BaInput scene() {
    SceneCamera truth, prior;
    prior.fx = truth.fx * 1.03;  // the prior focal length 3 % off, as a wrong XMP lens
    prior.fy = truth.fy * 1.03;
    prior.k1 = 0.0;
    return makeCalibrationScene(truth, prior, 700);
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(BundleAdjustmentThreads, OneTwoAndFourThreadsGiveTheSameIterates) {
    const BaInput in = scene();
    ASSERT_GT(in.observations.size(), 1500u);
    for (TrfStepSolver solver : {TrfStepSolver::Schur, TrfStepSolver::Lsmr}) {
        BaOutput one;
        bundleAdjustArrays(in, 120, {}, one, 1, solver);
        ASSERT_TRUE(one.optimised);
        for (int threads : {2, 4}) {
            BaOutput other;
            bundleAdjustArrays(in, 120, {}, other, threads, solver);
            SCOPED_TRACE(testing::Message() << (solver == TrfStepSolver::Schur ? "schur" : "lsmr") << ", "
                                            << threads << " threads");
            EXPECT_EQ(other.solver.evaluations, one.solver.evaluations);
            EXPECT_EQ(other.solver.jacobianEvaluations, one.solver.jacobianEvaluations);
            EXPECT_EQ(other.solver.termination, one.solver.termination);
            EXPECT_TRUE(sameBits(other.solver.x, one.solver.x));
            EXPECT_TRUE(sameBits(other.solver.residuals, one.solver.residuals));
        }
    }
}

TEST(BundleAdjustmentThreads, DefaultSolverRecoversTheLensAsTheFaithfulOneDoes) {
    const BaInput in = scene();
    BaOutput fast, faithful;
    bundleAdjustArrays(in, 120, {}, fast, 2, TrfStepSolver::Schur);
    bundleAdjustArrays(in, 120, {}, faithful, 2, TrfStepSolver::Lsmr);
    std::printf("schur: %s, fx %.3f\nlsmr:  %s, fx %.3f\n", qPrintable(fast.solver.summary()), fast.fx,
                qPrintable(faithful.solver.summary()), faithful.fx);
    EXPECT_LE(fast.solver.finalCost, faithful.solver.finalCost * (1 + 1e-6));
    EXPECT_LE(fast.solver.evaluations, faithful.solver.evaluations);
    const SceneCamera truth;
    EXPECT_NEAR(fast.fx, truth.fx, 0.005 * truth.fx);
    EXPECT_NEAR(fast.finalRms, faithful.finalRms, 0.02);
}
