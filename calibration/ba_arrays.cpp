#include "ba_arrays.h"

#include <QDebug>

#include "ba_quality.h"

namespace refl {

namespace {

// The solver's parameters: the layout's without the held intrinsics, which are read from the start
// point.
struct FreeParameters {
    std::vector<double> x0;  // the layout's start point, all parameters
    std::vector<int> index;  // layout parameter of each solver parameter
    bool reduced = false;    // some are held

    std::vector<double> expand(const double* xr) const {
        std::vector<double> full = x0;
        for (size_t i = 0; i < index.size(); ++i) full[size_t(index[i])] = xr[i];
        return full;
    }
};

FreeParameters freeParameters(const BaLayout& layout, const BaInput& input) {
    FreeParameters fp;
    fp.x0 = layout.initialParameters();
    for (int j = 0; j < layout.parameterCount(); ++j)
        if (!(j < 8 && input.heldIntrinsics[size_t(j)])) fp.index.push_back(j);
    fp.reduced = int(fp.index.size()) < layout.parameterCount();
    return fp;
}

// The problem over the free parameters and its start point. It refers to `layout` and `fp`.
TrfProblem makeProblem(const BaLayout& layout, const FreeParameters& fp, std::vector<double>& xStart) {
    TrfProblem problem;
    problem.residualCount = layout.residualCount();
    xStart = fp.x0;
    if (fp.reduced) {
        problem.residuals = [&layout, &fp](const double* x, double* r) {
            layout.residuals(fp.expand(x).data(), r);
        };
        const std::vector<std::vector<int>> rows = layout.columnRows();
        xStart.clear();
        for (int j : fp.index) {
            problem.columnRows.push_back(rows[size_t(j)]);
            problem.lower.push_back(layout.lower()[size_t(j)]);
            problem.upper.push_back(layout.upper()[size_t(j)]);
            xStart.push_back(fp.x0[size_t(j)]);
        }
    } else {
        problem.residuals = [&layout](const double* x, double* r) { layout.residuals(x, r); };
        problem.columnRows = layout.columnRows();
        problem.lower = layout.lower();
        problem.upper = layout.upper();
    }
    return problem;
}

TrfOptions adjustmentOptions(const BaInput& input, int maxIterations,
                             const std::function<bool()>& stopRequested, int threads,
                             TrfStepSolver stepSolver) {
    TrfOptions opt;
    opt.loss.kind = LossKind::Huber;
    opt.loss.scale = input.huberScale;
    opt.loss.reweightOnly = input.reweightOutliers;
    opt.ftol = opt.xtol = opt.gtol = input.tolerance;
    opt.maxEvaluations = std::max(1, maxIterations);
    opt.threads = threads;
    opt.stepSolver = stepSolver;
    opt.stopRequested = stopRequested;
    return opt;
}

// The lens, poses and points of the solution `out.solver.x` (all parameters).
void readSolution(const BaLayout& layout, const BaInput& input, BaOutput& out) {
    const std::vector<double>& x = out.solver.x;
    const int views = int(input.rvecs.size());
    out.fx = x[0];
    out.fy = x[1];
    out.cx = x[2];
    out.cy = x[3];
    out.distortion = {x[4], x[5], x[6], x[7], 0.0};
    out.rvecs.resize(views);
    out.tvecs.resize(views);
    out.rotations.resize(views);
    for (int v = 0; v < views; ++v) {
        layout.pose(x.data(), v, out.rvecs[v].data(), out.tvecs[v].data());
        out.rotations[v] = rodriguesToMatrix(out.rvecs[v]);
    }
    out.points.resize(input.points.size());
    for (size_t p = 0; p < input.points.size(); ++p)
        for (int k = 0; k < 3; ++k) out.points[p][k] = x[layout.pointIndex(int(p)) + k];
}

// The acceptance test of the adjustment, with its log line.
bool judgeAdjustment(const BaInput& input, const BaOutput& out, const std::vector<double>& errors) {
    BaAcceptanceInput acc;
    acc.priorFx = input.fx;
    acc.priorFy = input.fy;
    acc.intrinsics = out.solver.x.data();
    acc.x = &out.solver.x;
    acc.errors = &errors;
    acc.initialRms = out.initialRms;
    acc.finalRms = out.finalRms;
    acc.p90 = out.p90;
    acc.minCoverage = out.minCoverage;
    const bool accepted = acceptAdjustment(acc);
    qDebug().noquote() << QStringLiteral("bundleAdjust: rms %1 -> %2 px, p90 %3 px, coverage %4, %5, %6")
                              .arg(out.initialRms, 0, 'f', 4)
                              .arg(out.finalRms, 0, 'f', 4)
                              .arg(out.p90, 0, 'f', 4)
                              .arg(out.minCoverage, 0, 'f', 3)
                              .arg(out.solver.summary(), accepted ? "accepted" : "rejected");
    return accepted;
}

}  // namespace

bool bundleAdjustArrays(const BaInput& input, int maxIterations, const std::function<bool()>& stopRequested,
                        BaOutput& out, int threads, TrfStepSolver stepSolver) {
    out = BaOutput();
    const int n = int(input.observations.size());
    if (n < 4 || input.points.empty()) {
        qDebug() << "bundleAdjust: too few observations" << n << "or points" << input.points.size();
        return false;
    }
    BaLayout layout;
    if (!layout.build(input)) return false;

    const FreeParameters fp = freeParameters(layout, input);
    std::vector<double> r0(layout.residualCount());
    layout.residuals(fp.x0.data(), r0.data());
    out.initialRms = rmsError(observationErrors(r0, n));

    std::vector<double> xStart;
    const TrfProblem problem = makeProblem(layout, fp, xStart);
    const TrfOptions opt = adjustmentOptions(input, maxIterations, stopRequested, threads, stepSolver);
    out.solver = solveTrf(problem, xStart, opt);
    if (out.solver.termination == TrfTermination::InvalidInput) {
        qDebug() << "bundleAdjust: solver refused the problem";
        return false;
    }
    if (fp.reduced) out.solver.x = fp.expand(out.solver.x.data());
    out.optimised = true;
    out.uncertainty = intrinsicUncertainty(layout, input, out.solver.x, input.heldIntrinsics, opt.loss.scale);

    const std::vector<double> errors = observationErrors(out.solver.residuals, n);
    out.finalRms = rmsError(errors);
    out.p90 = percentile90(errors);
    out.coverage = viewCoverage(input.observations, int(input.rvecs.size()), input.width, input.height);
    out.minCoverage = minimumCoverage(out.coverage);
    readSolution(layout, input, out);
    return judgeAdjustment(input, out, errors);
}

}  // namespace refl
