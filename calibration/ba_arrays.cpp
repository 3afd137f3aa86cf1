#include "ba_arrays.h"

#include <QDebug>

#include "ba_quality.h"

namespace refl {

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

    const std::vector<double> x0 = layout.initialParameters();
    std::vector<double> r0(layout.residualCount());
    layout.residuals(x0.data(), r0.data());
    out.initialRms = rmsError(observationErrors(r0, n));

    // Held intrinsics are left out of the solver's parameters and read from the start point.
    std::vector<int> freeIndex;
    for (int j = 0; j < layout.parameterCount(); ++j)
        if (!(j < 8 && input.heldIntrinsics[size_t(j)])) freeIndex.push_back(j);
    const bool reduced = int(freeIndex.size()) < layout.parameterCount();
    auto expand = [&x0, &freeIndex](const double* xr) {
        std::vector<double> full = x0;
        for (size_t i = 0; i < freeIndex.size(); ++i) full[size_t(freeIndex[i])] = xr[i];
        return full;
    };
    TrfProblem problem;
    problem.residualCount = layout.residualCount();
    std::vector<double> xStart = x0;
    if (reduced) {
        problem.residuals = [&layout, &expand](const double* x, double* r) { layout.residuals(expand(x).data(), r); };
        const std::vector<std::vector<int>> rows = layout.columnRows();
        xStart.clear();
        for (int j : freeIndex) {
            problem.columnRows.push_back(rows[size_t(j)]);
            problem.lower.push_back(layout.lower()[size_t(j)]);
            problem.upper.push_back(layout.upper()[size_t(j)]);
            xStart.push_back(x0[size_t(j)]);
        }
    } else {
        problem.residuals = [&layout](const double* x, double* r) { layout.residuals(x, r); };
        problem.columnRows = layout.columnRows();
        problem.lower = layout.lower();
        problem.upper = layout.upper();
    }
    TrfOptions opt;
    opt.loss.kind = LossKind::Huber;
    opt.loss.scale = input.huberScale;
    opt.loss.reweightOnly = input.reweightOutliers;
    opt.ftol = opt.xtol = opt.gtol = input.tolerance;
    opt.maxEvaluations = std::max(1, maxIterations);
    opt.threads = threads;
    opt.stepSolver = stepSolver;
    opt.stopRequested = stopRequested;
    out.solver = solveTrf(problem, xStart, opt);
    if (out.solver.termination == TrfTermination::InvalidInput) {
        qDebug() << "bundleAdjust: solver refused the problem";
        return false;
    }
    if (reduced) out.solver.x = expand(out.solver.x.data());
    out.optimised = true;
    const std::vector<double>& x = out.solver.x;
    out.uncertainty = intrinsicUncertainty(layout, input, x, input.heldIntrinsics, opt.loss.scale);

    const std::vector<double> errors = observationErrors(out.solver.residuals, n);
    out.finalRms = rmsError(errors);
    out.p90 = percentile90(errors);
    const int views = int(input.rvecs.size());
    out.coverage = viewCoverage(input.observations, views, input.width, input.height);
    out.minCoverage = minimumCoverage(out.coverage);

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

    BaAcceptanceInput acc;
    acc.priorFx = input.fx;
    acc.priorFy = input.fy;
    acc.intrinsics = x.data();
    acc.x = &x;
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

}  // namespace refl
