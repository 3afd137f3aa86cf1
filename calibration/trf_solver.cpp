#include "trf_solver.h"

#include <Eigen/QR>
#include <QDebug>
#include <cmath>
#include <limits>
#include <memory>

#include "lsmr.h"
#include "parallel_runner.h"
#include "schur_solver.h"
#include "trust_region.h"

namespace refl {

using tr::Vec;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

std::vector<double> toStd(const Vec& v) { return std::vector<double>(v.data(), v.data() + v.size()); }
Vec toVec(const std::vector<double>& v) { return Eigen::Map<const Vec>(v.data(), Eigen::Index(v.size())); }

bool allFinite(const std::vector<double>& v) {
    for (double e : v) {
        if (!std::isfinite(e)) return false;
    }
    return true;
}

// Residuals and Jacobian at the current point, weighted for the loss.
struct LinearModel {
    std::vector<double> f;  // weighted residuals
    SparseJacobian J;       // weighted Jacobian
    Vec g;                  // J^T f
};

class Solver {
public:
    Solver(const TrfProblem& p, const TrfOptions& o)
        : m_problem(p), m_options(o), m_runner(std::max(1, o.threads)) {}

    TrfResult run(const std::vector<double>& x0);

private:
    // The scaled problem of one iteration: variables x = d * xH.
    struct ScaledModel {
        Vec d;      // variable scale of the step
        Vec diagH;  // diagonal of the bound term (Coleman-Li)
        Vec gH;     // scaled gradient
    };
    // The two-dimensional subspace spanned by the gradient and the Gauss-Newton direction.
    struct Subspace {
        Eigen::MatrixXd S;   // n x 2, orthonormal
        Eigen::Matrix2d BS;  // the model's Hessian in the subspace
        Eigen::Vector2d gS;  // the gradient in the subspace
    };

    bool setUp(const std::vector<double>& x0, TrfResult& result);
    bool start(TrfResult& result);
    void linearise(const std::vector<double>& fTrue);
    void updateJacobianScale(bool first);
    bool stopsBeforeStep();
    ScaledModel scaledModel();
    Vec gaussNewtonDirection(const ScaledModel& sm, double regTerm);
    Vec lsmrDirection(const ScaledModel& sm, const Vec& diagReg);
    Subspace subspace(const ScaledModel& sm, const Vec& gnH) const;
    void tryStep(const ScaledModel& sm, const Subspace& sub);
    TrfResult finish(TrfResult& result) const;
    Vec jhProduct(const Vec& s, const Vec& d) const;

    const TrfProblem& m_problem;
    const TrfOptions& m_options;
    mutable ParallelRunner m_runner;
    int m, n;
    Vec m_lower, m_upper;
    std::vector<double> m_lowerStd, m_upperStd;
    std::vector<int> m_groups;
    int m_groupCount = 0;
    LinearModel m_model;
    SchurSolver m_schur;
    bool m_useSchur = false;
    std::vector<double> m_x;
    // REFL_TRF_TRACE set: one log line per outer iteration (cost, optimality, radius).
    const bool m_trace = qEnvironmentVariableIsSet("REFL_TRF_TRACE");

    // The iteration's state.
    int m_maxNfev = 0;
    int m_nfev = 0, m_njev = 0, m_iteration = 0;
    Vec m_xv;                     // x as a vector (m_x holds the same values)
    std::vector<double> m_fTrue;  // unweighted residuals at x
    double m_cost = 0;
    Vec m_scale, m_scaleInv;  // m_scale = 1/c, m_scaleInv = c
    Vec m_v, m_dv;            // Coleman-Li scaling and its derivative
    double m_Delta = 0;       // trust radius in the scaled variables
    double m_gNorm = 0;
    TrfTermination m_status = TrfTermination::EvaluationLimit;
    bool m_terminated = false;
    std::vector<double> m_fNew;
};

bool Solver::setUp(const std::vector<double>& x0, TrfResult& result) {
    m = m_problem.residualCount;
    n = int(x0.size());
    if (n == 0 || m <= 0 || !m_problem.residuals || int(m_problem.columnRows.size()) != n) {
        qDebug() << "solveTrf: problem size does not match, parameters" << n << "columns"
                 << m_problem.columnRows.size() << "residuals" << m;
        return false;
    }
    const bool bounded = !m_problem.lower.empty() || !m_problem.upper.empty();
    m_lowerStd = m_problem.lower.empty() ? std::vector<double>(n, -kInf) : m_problem.lower;
    m_upperStd = m_problem.upper.empty() ? std::vector<double>(n, kInf) : m_problem.upper;
    if (int(m_lowerStd.size()) != n || int(m_upperStd.size()) != n) {
        qDebug() << "solveTrf: bounds have the wrong length";
        return false;
    }
    for (int j = 0; j < n; ++j) {
        if (!(m_lowerStd[j] < m_upperStd[j]) || std::isnan(x0[j])) {
            qDebug() << "solveTrf: parameter" << j << "has an empty box or no start value";
            return false;
        }
    }
    const QString invalid = m_options.validate(n);
    if (!invalid.isEmpty()) {
        qDebug().noquote() << "solveTrf:" << invalid;
        return false;
    }
    m_lower = toVec(m_lowerStd);
    m_upper = toVec(m_upperStd);

    SparsityPattern pattern;
    if (!pattern.setColumns(m, m_problem.columnRows)) {
        qDebug() << "solveTrf: sparsity names a residual row out of range";
        return false;
    }
    m_groups = groupColumns(pattern, m_groupCount);
    m_model.J.setPattern(pattern);
    m_useSchur = m_options.stepSolver == TrfStepSolver::Schur && m_schur.analyse(pattern);

    Vec x = toVec(x0);
    if (bounded) x = tr::makeStrictlyFeasible(x, m_lower, m_upper);
    m_x = toStd(x);
    result.x = m_x;
    return true;
}

// The first evaluation, the Jacobian there, the variable scales and the first trust radius.
// False when the residuals are not finite at the start point.
bool Solver::start(TrfResult& result) {
    m_maxNfev = m_options.maxEvaluations > 0 ? m_options.maxEvaluations : 100 * n;
    std::vector<double> f(m);
    m_problem.residuals(m_x.data(), f.data());
    m_nfev = 1;
    if (!allFinite(f)) {
        qDebug() << "solveTrf: residuals are not finite at the start point";
        result.residuals = f;
        return false;
    }
    m_cost = m_options.loss.cost(f);
    result.initialCost = m_cost;
    linearise(f);
    m_njev = 1;
    m_fTrue = f;
    m_fNew.resize(m);

    if (m_options.jacobianScaling) {
        updateJacobianScale(true);
    } else {
        m_scale = m_options.xScale.empty() ? Vec::Ones(n) : toVec(m_options.xScale);
        m_scaleInv = m_scale.cwiseInverse();
    }

    m_xv = toVec(m_x);
    tr::colemanLiScaling(m_xv, m_model.g, m_lower, m_upper, m_v, m_dv);
    for (int j = 0; j < n; ++j) {
        if (m_dv[j] != 0) m_v[j] *= m_scaleInv[j];
    }
    m_Delta = m_xv.cwiseProduct(m_scaleInv).cwiseQuotient(m_v.cwiseSqrt()).norm();
    if (m_Delta == 0) m_Delta = 1.0;
    return true;
}

void Solver::linearise(const std::vector<double>& fTrue) {
    forwardDifferenceJacobian(m_problem.residuals, m_x, fTrue, m_lowerStd, m_upperStd, m_groups, m_groupCount,
                              m_model.J, &m_runner);
    m_model.f = fTrue;
    std::vector<double> rowScale;
    if (m_options.loss.reweight(m_model.f, rowScale)) m_model.J.scaleRows(rowScale.data());
    m_model.g.resize(n);
    m_model.J.multiplyTransposed(m_model.f.data(), nullptr, m_model.g.data(), &m_runner);
    if (m_useSchur) m_schur.assemble(m_model.J, &m_runner);
}

// Variable scales from the Jacobian's column norms. SciPy keeps the largest norm seen so far;
// the default steps follow the current Jacobian (on the Ladybug problem 18 Jacobians instead of
// 22 to a lower cost), `first` starts afresh.
void Solver::updateJacobianScale(bool first) {
    const std::vector<double> norms = m_model.J.columnNorms();
    if (first) m_scaleInv = Vec::Ones(n);
    for (int j = 0; j < n; ++j) {
        const double c = norms[j];
        m_scaleInv[j] = first ? (c == 0 ? 1.0 : c) : std::max(c, m_scaleInv[j]);
    }
    m_scale = m_scaleInv.cwiseInverse();
}

Vec Solver::jhProduct(const Vec& s, const Vec& d) const {
    Vec out(m);
    m_model.J.multiply(s.data(), d.data(), out.data(), &m_runner);
    return out;
}

// The tests made before each step: the gradient, the evaluation limit, a stop request.
bool Solver::stopsBeforeStep() {
    tr::colemanLiScaling(m_xv, m_model.g, m_lower, m_upper, m_v, m_dv);
    m_gNorm = m_model.g.cwiseProduct(m_v).cwiseAbs().maxCoeff();
    if (tr::gradientTestHolds(m_gNorm, m_options.gtol)) {
        m_status = TrfTermination::Gradient;
        m_terminated = true;
    }
    if (m_trace)
        qDebug().noquote() << QStringLiteral("solveTrf: iteration %1 nfev %2 cost %3 optimality %4 radius %5")
                                  .arg(m_iteration)
                                  .arg(m_nfev)
                                  .arg(m_cost, 0, 'g', 17)
                                  .arg(m_gNorm, 0, 'g', 6)
                                  .arg(m_Delta, 0, 'g', 6);
    if (m_terminated || tr::evaluationLimitReached(m_nfev, m_maxNfev)) return true;
    if (m_options.stopRequested && m_options.stopRequested()) {
        m_status = TrfTermination::Stopped;
        return true;
    }
    return false;
}

Solver::ScaledModel Solver::scaledModel() {
    for (int j = 0; j < n; ++j) {
        if (m_dv[j] != 0) m_v[j] *= m_scaleInv[j];
    }
    ScaledModel sm;
    sm.d = m_v.cwiseSqrt().cwiseProduct(m_scale);
    sm.diagH = m_model.g.cwiseProduct(m_dv).cwiseProduct(m_scale);
    sm.gH = sm.d.cwiseProduct(m_model.g);
    return sm;
}

// Gauss-Newton direction of [Jh; diag(diagReg)] p ~ [f; 0]: the normal equations
// (Jh^T Jh + diagReg^2) p = gH solved exactly, or by LSMR.
Vec Solver::gaussNewtonDirection(const ScaledModel& sm, double regTerm) {
    const Vec diagReg = (sm.diagH.array() + regTerm).sqrt().matrix();
    Vec gnH(n);
    if (m_useSchur) {
        const Vec reg = (sm.diagH.array() + regTerm).matrix();
        if (m_schur.solve(sm.d.data(), reg.data(), sm.gH.data(), gnH.data(), &m_runner)) return gnH;
    }
    return lsmrDirection(sm, diagReg);
}

Vec Solver::lsmrDirection(const ScaledModel& sm, const Vec& diagReg) {
    const Vec& d = sm.d;
    LinearOperator op;
    op.rows = m + n;
    op.cols = n;
    op.apply = [&](const double* in, double* out) {
        m_model.J.multiply(in, d.data(), out, &m_runner);
        for (int j = 0; j < n; ++j) out[m + j] = diagReg[j] * in[j];
    };
    op.applyTransposed = [&](const double* in, double* out) {
        m_model.J.multiplyTransposed(in, nullptr, out, &m_runner);
        for (int j = 0; j < n; ++j) out[j] = d[j] * out[j] + diagReg[j] * in[m + j];
    };
    op.applyBoth = [&](const double* in, double alpha, double* u, double* w) {
        m_model.J.multiplyBoth(in, d.data(), alpha, u, w, &m_runner);
        for (int j = 0; j < n; ++j) {
            const double t = diagReg[j] * in[j] - alpha * u[m + j];
            u[m + j] = t;
            w[j] += diagReg[j] * t;
        }
    };
    std::vector<double> fAug(m + n, 0.0);
    std::copy(m_model.f.begin(), m_model.f.end(), fAug.begin());
    return toVec(lsmr(op, fAug).x);
}

Solver::Subspace Solver::subspace(const ScaledModel& sm, const Vec& gnH) const {
    Eigen::MatrixXd S0(n, 2);
    S0.col(0) = sm.gH;
    S0.col(1) = gnH;
    Eigen::HouseholderQR<Eigen::MatrixXd> qr(S0);
    Subspace sub;
    sub.S = qr.householderQ() * Eigen::MatrixXd::Identity(n, 2);
    const Vec js0 = jhProduct(sub.S.col(0), sm.d), js1 = jhProduct(sub.S.col(1), sm.d);
    sub.BS(0, 0) = js0.dot(js0) + sub.S.col(0).cwiseProduct(sm.diagH).dot(sub.S.col(0));
    sub.BS(0, 1) = js0.dot(js1) + sub.S.col(0).cwiseProduct(sm.diagH).dot(sub.S.col(1));
    sub.BS(1, 0) = sub.BS(0, 1);
    sub.BS(1, 1) = js1.dot(js1) + sub.S.col(1).cwiseProduct(sm.diagH).dot(sub.S.col(1));
    sub.gS = sub.S.transpose() * sm.gH;
    return sub;
}

// Steps in the subspace, shrinking the region until one lowers the cost (then x moves and the
// model is linearised there) or a stopping test holds.
void Solver::tryStep(const ScaledModel& sm, const Subspace& sub) {
    const tr::JacobianProduct Jh = [&](const Vec& s) { return jhProduct(s, sm.d); };
    const double theta = std::max(0.995, 1 - m_gNorm);
    double actualReduction = -1;
    Vec xNew;
    double costNew = m_cost;
    while (actualReduction <= 0 && m_nfev < m_maxNfev) {
        Eigen::Vector2d pS;
        tr::solveTrustRegion2d(sub.BS, sub.gS, m_Delta, pS);
        const Vec pH = sub.S * pS;
        const Vec p = sm.d.cwiseProduct(pH);
        const tr::SelectedStep sel =
            tr::selectStep(m_xv, Jh, sm.diagH, sm.gH, p, pH, sm.d, m_Delta, m_lower, m_upper, theta);

        xNew = tr::makeStrictlyFeasible(m_xv + sel.step, m_lower, m_upper, 0);
        m_problem.residuals(xNew.data(), m_fNew.data());
        ++m_nfev;
        const double stepHNorm = sel.stepH.norm();
        if (!allFinite(m_fNew)) {
            m_Delta = 0.25 * stepHNorm;
            continue;
        }
        costNew = m_options.loss.cost(m_fNew);
        actualReduction = m_cost - costNew;
        const auto upd = tr::updateTrustRadius(m_Delta, actualReduction, sel.predictedReduction, stepHNorm,
                                               stepHNorm > 0.95 * m_Delta);
        const double stepNorm = sel.step.norm();
        if (m_trace)
            qDebug().noquote() << QStringLiteral(
                                      "solveTrf:   step %1 (radius %2, kind %3) predicted %4 actual %5")
                                      .arg(stepHNorm, 0, 'g', 6)
                                      .arg(m_Delta, 0, 'g', 6)
                                      .arg(sel.kind)
                                      .arg(sel.predictedReduction, 0, 'g', 6)
                                      .arg(actualReduction, 0, 'g', 6);
        const bool costOk = tr::costTestHolds(actualReduction, m_cost, upd.second, m_options.ftol);
        const bool stepOk = tr::stepTestHolds(stepNorm, m_xv.norm(), m_options.xtol);
        if (costOk || stepOk) {
            m_status = costOk && stepOk ? TrfTermination::CostAndStep
                                        : (costOk ? TrfTermination::Cost : TrfTermination::Step);
            m_terminated = true;
            break;
        }
        m_Delta = upd.first;
    }

    if (actualReduction > 0) {
        m_xv = xNew;
        m_x = toStd(m_xv);
        m_fTrue = m_fNew;
        m_cost = costNew;
        linearise(m_fTrue);
        ++m_njev;
        if (m_options.jacobianScaling) updateJacobianScale(m_options.stepSolver != TrfStepSolver::Lsmr);
    }
}

TrfResult Solver::finish(TrfResult& result) const {
    result.x = toStd(m_xv);
    result.residuals = m_fTrue;
    result.finalCost = m_cost;
    result.optimality = m_gNorm;
    result.evaluations = m_nfev;
    result.jacobianEvaluations = m_njev;
    result.iterations = m_iteration;
    result.termination = m_status;
    return result;
}

TrfResult Solver::run(const std::vector<double>& x0) {
    TrfResult result;
    if (!setUp(x0, result) || !start(result)) return result;
    while (!stopsBeforeStep()) {
        const ScaledModel sm = scaledModel();
        // Regularisation from the model's minimum along -gH inside the region.
        const tr::JacobianProduct Jh = [&](const Vec& s) { return jhProduct(s, sm.d); };
        const tr::Quadratic1d q = tr::buildQuadratic1d(Jh, sm.gH, -sm.gH, &sm.diagH);
        const double toTr = m_Delta / sm.gH.norm();
        const double agValue = tr::minimizeQuadratic1d(q.a, q.b, 0, toTr).second;
        const double regTerm = -agValue / (m_Delta * m_Delta);

        const Vec gnH = gaussNewtonDirection(sm, regTerm);
        tryStep(sm, subspace(sm, gnH));
        ++m_iteration;
    }
    return finish(result);
}

}  // namespace

QString TrfOptions::validate(int n) const {
    if (!(ftol >= 0) || !(xtol >= 0) || !(gtol >= 0))
        return QString("tolerances must not be negative (ftol %1, xtol %2, gtol %3)")
            .arg(ftol)
            .arg(xtol)
            .arg(gtol);
    if (maxEvaluations < 0) return QString("evaluation cap %1 below 0").arg(maxEvaluations);
    if (!jacobianScaling && !xScale.empty()) {
        if (int(xScale.size()) != n) return QStringLiteral("x scale has the wrong length");
        for (double s : xScale) {
            if (!(s > 0) || !std::isfinite(s)) return QStringLiteral("x scale entries must be positive");
        }
    }
    if (loss.kind == LossKind::Huber && !(loss.scale > 0))
        return QStringLiteral("loss scale must be positive");
    return QString();
}

bool TrfResult::converged() const {
    return termination == TrfTermination::Gradient || termination == TrfTermination::Cost ||
           termination == TrfTermination::Step || termination == TrfTermination::CostAndStep;
}

const char* terminationName(TrfTermination t) {
    switch (t) {
        case TrfTermination::InvalidInput:
            return "invalid input";
        case TrfTermination::EvaluationLimit:
            return "evaluation limit reached";
        case TrfTermination::Gradient:
            return "gradient test";
        case TrfTermination::Cost:
            return "cost test";
        case TrfTermination::Step:
            return "step test";
        case TrfTermination::CostAndStep:
            return "cost and step tests";
        case TrfTermination::Stopped:
            return "stop requested";
    }
    return "unknown";
}

QString TrfResult::summary() const {
    return QStringLiteral(
               "termination: %1 (%2), evaluations %3, jacobians %4, initial cost %5, "
               "final cost %6, optimality %7")
        .arg(terminationName(termination))
        .arg(int(termination))
        .arg(evaluations)
        .arg(jacobianEvaluations)
        .arg(initialCost, 0, 'g', 12)
        .arg(finalCost, 0, 'g', 12)
        .arg(optimality, 0, 'g', 6);
}

TrfResult solveTrf(const TrfProblem& problem, const std::vector<double>& x0, const TrfOptions& options) {
    Solver solver(problem, options);
    return solver.run(x0);
}

}  // namespace refl
