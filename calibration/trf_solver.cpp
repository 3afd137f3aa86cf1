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
    bool setUp(const std::vector<double>& x0, TrfResult& result);
    void linearise(const std::vector<double>& fTrue);
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
    if (!m_options.jacobianScaling && !m_options.xScale.empty()) {
        if (int(m_options.xScale.size()) != n) {
            qDebug() << "solveTrf: x scale has the wrong length";
            return false;
        }
        for (double s : m_options.xScale) {
            if (!(s > 0) || !std::isfinite(s)) {
                qDebug() << "solveTrf: x scale entries must be positive";
                return false;
            }
        }
    }
    if (m_options.loss.kind == LossKind::Huber && !(m_options.loss.scale > 0)) {
        qDebug() << "solveTrf: loss scale must be positive";
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

Vec Solver::jhProduct(const Vec& s, const Vec& d) const {
    Vec out(m);
    m_model.J.multiply(s.data(), d.data(), out.data(), &m_runner);
    return out;
}

TrfResult Solver::run(const std::vector<double>& x0) {
    TrfResult result;
    if (!setUp(x0, result)) return result;

    const int maxNfev = m_options.maxEvaluations > 0 ? m_options.maxEvaluations : 100 * n;
    std::vector<double> f(m);
    m_problem.residuals(m_x.data(), f.data());
    int nfev = 1;
    if (!allFinite(f)) {
        qDebug() << "solveTrf: residuals are not finite at the start point";
        result.residuals = f;
        return result;
    }
    double cost = m_options.loss.cost(f);
    result.initialCost = cost;
    linearise(f);
    int njev = 1;
    std::vector<double> fTrue = f;

    Vec scale, scaleInv;  // scale = 1/c, scaleInv = c
    auto updateJacScale = [&](bool first) {
        const std::vector<double> norms = m_model.J.columnNorms();
        if (first) scaleInv = Vec::Ones(n);
        for (int j = 0; j < n; ++j) {
            const double c = norms[j];
            scaleInv[j] = first ? (c == 0 ? 1.0 : c) : std::max(c, scaleInv[j]);
        }
        scale = scaleInv.cwiseInverse();
    };
    if (m_options.jacobianScaling) {
        updateJacScale(true);
    } else {
        scale = m_options.xScale.empty() ? Vec::Ones(n) : toVec(m_options.xScale);
        scaleInv = scale.cwiseInverse();
    }

    Vec x = toVec(m_x);
    Vec v, dv;
    tr::colemanLiScaling(x, m_model.g, m_lower, m_upper, v, dv);
    for (int j = 0; j < n; ++j) {
        if (dv[j] != 0) v[j] *= scaleInv[j];
    }
    double Delta = x.cwiseProduct(scaleInv).cwiseQuotient(v.cwiseSqrt()).norm();
    if (Delta == 0) Delta = 1.0;

    TrfTermination status = TrfTermination::EvaluationLimit;
    bool terminated = false;
    double gNorm = 0;
    int iteration = 0;
    std::vector<double> fNew(m);
    while (true) {
        tr::colemanLiScaling(x, m_model.g, m_lower, m_upper, v, dv);
        gNorm = m_model.g.cwiseProduct(v).cwiseAbs().maxCoeff();
        if (tr::gradientTestHolds(gNorm, m_options.gtol)) {
            status = TrfTermination::Gradient;
            terminated = true;
        }
        if (m_trace)
            qDebug().noquote() << QStringLiteral(
                                      "solveTrf: iteration %1 nfev %2 cost %3 optimality %4 radius %5")
                                      .arg(iteration)
                                      .arg(nfev)
                                      .arg(cost, 0, 'g', 17)
                                      .arg(gNorm, 0, 'g', 6)
                                      .arg(Delta, 0, 'g', 6);
        if (terminated || tr::evaluationLimitReached(nfev, maxNfev)) break;
        if (m_options.stopRequested && m_options.stopRequested()) {
            status = TrfTermination::Stopped;
            break;
        }

        for (int j = 0; j < n; ++j) {
            if (dv[j] != 0) v[j] *= scaleInv[j];
        }
        const Vec d = v.cwiseSqrt().cwiseProduct(scale);
        const Vec diagH = m_model.g.cwiseProduct(dv).cwiseProduct(scale);
        const Vec gH = d.cwiseProduct(m_model.g);
        const tr::JacobianProduct Jh = [&](const Vec& s) { return jhProduct(s, d); };

        // Regularisation from the model's minimum along -gH inside the region.
        const tr::Quadratic1d q = tr::buildQuadratic1d(Jh, gH, -gH, &diagH);
        const double toTr = Delta / gH.norm();
        const double agValue = tr::minimizeQuadratic1d(q.a, q.b, 0, toTr).second;
        const double regTerm = -agValue / (Delta * Delta);
        const Vec diagReg = (diagH.array() + regTerm).sqrt().matrix();

        // Gauss-Newton direction of [Jh; diag(diagReg)] p ~ [f; 0]: the normal equations
        // (Jh^T Jh + diagReg^2) p = gH solved exactly, or LSMR.
        Vec gnH(n);
        bool solved = false;
        if (m_useSchur) {
            const Vec reg = (diagH.array() + regTerm).matrix();
            solved = m_schur.solve(d.data(), reg.data(), gH.data(), gnH.data(), &m_runner);
        }
        if (!solved) {
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
            gnH = toVec(lsmr(op, fAug).x);
        }

        // Two-dimensional subspace spanned by gH and the Gauss-Newton direction.
        Eigen::MatrixXd S0(n, 2);
        S0.col(0) = gH;
        S0.col(1) = gnH;
        Eigen::HouseholderQR<Eigen::MatrixXd> qr(S0);
        const Eigen::MatrixXd S = qr.householderQ() * Eigen::MatrixXd::Identity(n, 2);
        const Vec js0 = Jh(S.col(0)), js1 = Jh(S.col(1));
        Eigen::Matrix2d BS;
        BS(0, 0) = js0.dot(js0) + S.col(0).cwiseProduct(diagH).dot(S.col(0));
        BS(0, 1) = js0.dot(js1) + S.col(0).cwiseProduct(diagH).dot(S.col(1));
        BS(1, 0) = BS(0, 1);
        BS(1, 1) = js1.dot(js1) + S.col(1).cwiseProduct(diagH).dot(S.col(1));
        const Eigen::Vector2d gS = S.transpose() * gH;

        const double theta = std::max(0.995, 1 - gNorm);

        double actualReduction = -1;
        Vec xNew;
        double costNew = cost;
        while (actualReduction <= 0 && nfev < maxNfev) {
            Eigen::Vector2d pS;
            tr::solveTrustRegion2d(BS, gS, Delta, pS);
            const Vec pH = S * pS;
            const Vec p = d.cwiseProduct(pH);
            const tr::SelectedStep sel =
                tr::selectStep(x, Jh, diagH, gH, p, pH, d, Delta, m_lower, m_upper, theta);

            xNew = tr::makeStrictlyFeasible(x + sel.step, m_lower, m_upper, 0);
            m_problem.residuals(xNew.data(), fNew.data());
            ++nfev;
            const double stepHNorm = sel.stepH.norm();
            if (!allFinite(fNew)) {
                Delta = 0.25 * stepHNorm;
                continue;
            }
            costNew = m_options.loss.cost(fNew);
            actualReduction = cost - costNew;
            const auto upd = tr::updateTrustRadius(Delta, actualReduction, sel.predictedReduction, stepHNorm,
                                                   stepHNorm > 0.95 * Delta);
            const double stepNorm = sel.step.norm();
            if (m_trace)
                qDebug().noquote() << QStringLiteral("solveTrf:   step %1 (radius %2, kind %3) predicted %4 actual %5")
                                          .arg(stepHNorm, 0, 'g', 6)
                                          .arg(Delta, 0, 'g', 6)
                                          .arg(sel.kind)
                                          .arg(sel.predictedReduction, 0, 'g', 6)
                                          .arg(actualReduction, 0, 'g', 6);
            const bool costOk = tr::costTestHolds(actualReduction, cost, upd.second, m_options.ftol);
            const bool stepOk = tr::stepTestHolds(stepNorm, x.norm(), m_options.xtol);
            if (costOk || stepOk) {
                status = costOk && stepOk ? TrfTermination::CostAndStep
                                          : (costOk ? TrfTermination::Cost : TrfTermination::Step);
                terminated = true;
                break;
            }
            Delta = upd.first;
        }

        if (actualReduction > 0) {
            x = xNew;
            m_x = toStd(x);
            fTrue = fNew;
            cost = costNew;
            linearise(fTrue);
            ++njev;
            // SciPy keeps the largest column norm seen so far; the default steps follow the
            // current Jacobian (on the Ladybug problem 18 Jacobians instead of 22 to a lower cost).
            if (m_options.jacobianScaling) updateJacScale(m_options.stepSolver != TrfStepSolver::Lsmr);
        }
        ++iteration;
    }

    result.x = toStd(x);
    result.residuals = fTrue;
    result.finalCost = cost;
    result.optimality = gNorm;
    result.evaluations = nfev;
    result.jacobianEvaluations = njev;
    result.iterations = iteration;
    result.termination = status;
    return result;
}

}  // namespace

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
