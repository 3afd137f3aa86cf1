#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "robust_loss.h"
#include "sparse_jacobian.h"

namespace refl {

// A bounded nonlinear least-squares problem: residuals f(x) (length residualCount) and,
// per parameter, the residual rows it can change. The residual function must be safe to
// call from several threads at once when the solver uses more than one thread.
struct TrfProblem {
    int residualCount = 0;
    ResidualFunction residuals;
    std::vector<std::vector<int>> columnRows;  // one list per parameter
    std::vector<double> lower;                 // empty: -inf everywhere
    std::vector<double> upper;                 // empty: +inf everywhere
};

// How the Gauss-Newton direction of each iteration is found.
enum class TrfStepSolver {
    // Exact solution of the regularised normal equations, with small column blocks that share
    // no rows (bundle adjustment points) eliminated by a Schur complement. Falls back to LSMR
    // when the remaining columns are too many for a dense factorisation. With Jacobian
    // scaling the scales follow the current Jacobian's column norms.
    Schur,
    // LSMR on the scaled Jacobian, iterate for iterate SciPy's least_squares (trf, lsmr).
    Lsmr,
};

struct TrfOptions {
    RobustLoss loss;
    bool jacobianScaling = true;  // variable scales from the Jacobian column norms (see TrfStepSolver)
    std::vector<double> xScale;   // fixed scales when jacobianScaling is false (empty: 1)
    double ftol = 1e-8;           // stops when a step lowers the cost by less than this share of it
    double xtol = 1e-8;           // stops when a step is shorter than this share of |x| (scaled)
    double gtol = 1e-8;           // stops when the scaled gradient's largest component is below this
    int maxEvaluations = 0;  // 0: 100 x parameter count
    TrfStepSolver stepSolver = TrfStepSolver::Schur;
    int threads = 1;  // results do not depend on it
    std::function<bool()> stopRequested;  // polled once per outer iteration

    // Empty when the options can be used for a problem of n parameters, else which one is out of
    // range (negative or NaN tolerances, a negative evaluation cap, x scales of the wrong length or
    // not positive, a Huber loss without a positive scale).
    QString validate(int n) const;
};

enum class TrfTermination {
    InvalidInput = -1,
    EvaluationLimit = 0,
    Gradient = 1,
    Cost = 2,
    Step = 3,
    CostAndStep = 4,
    Stopped = 5,
};

struct TrfResult {
    std::vector<double> x;
    std::vector<double> residuals;  // unweighted f at x
    double initialCost = 0;
    double finalCost = 0;
    double optimality = 0;  // max |g_j v_j| at x
    int evaluations = 0;    // residual evaluations, Jacobian columns excluded
    int jacobianEvaluations = 0;
    int iterations = 0;
    TrfTermination termination = TrfTermination::InvalidInput;

    bool converged() const;
    QString summary() const;
};

const char* terminationName(TrfTermination t);

// Trust Region Reflective with the two-dimensional subspace step, LSMR for the
// Gauss-Newton direction, forward-difference Jacobian over the declared sparsity.
TrfResult solveTrf(const TrfProblem& problem, const std::vector<double>& x0,
                   const TrfOptions& options = TrfOptions());

}  // namespace refl
