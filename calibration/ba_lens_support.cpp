#include "ba_lens_support.h"

#include <QDebug>

namespace refl {

namespace {

// 0.1 % upper point of the chi-square distribution with 8 degrees of freedom.
constexpr double kChiSquare8At999 = 26.1245;

}  // namespace

bool adjustLensWithSupportTest(const BaInput& input, int maxIterations, const std::function<bool()>& stopRequested,
                               LensSupport& out, int threads) {
    out = LensSupport();
    out.threshold = kChiSquare8At999;
    BaInput heldInput = input;
    heldInput.heldIntrinsics.fill(true);
    out.heldAccepted = bundleAdjustArrays(heldInput, maxIterations, stopRequested, out.held, threads);
    if (!out.held.optimised) {
        out.reason = QStringLiteral("too few observations");
        return false;
    }
    // The free adjustment starts where the held one ended.
    BaInput freeInput = input;
    freeInput.heldIntrinsics.fill(false);
    freeInput.rvecs = out.held.rvecs;
    freeInput.tvecs = out.held.tvecs;
    freeInput.points = out.held.points;
    out.freeAccepted = bundleAdjustArrays(freeInput, maxIterations, stopRequested, out.free, threads);
    out.free.initialRms = out.held.initialRms;
    if (!out.free.optimised) {
        out.reason = QStringLiteral("free adjustment did not run");
        return out.heldAccepted;
    }
    const IntrinsicUncertainty& u = out.free.uncertainty;
    out.fxSigma = u.valid ? u.sigma[0] : 0.0;
    const double costHeld = out.held.solver.finalCost, costFree = out.free.solver.finalCost;
    out.statistic = u.valid && u.sigma0 > 0 ? 2.0 * (costHeld - costFree) / (u.sigma0 * u.sigma0) : 0.0;
    const double fx = out.free.fx;
    if (!out.freeAccepted) {
        out.reason = QStringLiteral("the adjusted lens failed the acceptance test");
    } else if (!u.valid) {
        out.reason = QStringLiteral("the adjusted lens has no uncertainty (singular normal matrix)");
    } else if (out.heldAccepted && !(out.statistic > out.threshold)) {
        out.reason = QStringLiteral("improvement not significant (%1 <= %2)")
                         .arg(out.statistic, 0, 'f', 1)
                         .arg(out.threshold, 0, 'f', 1);
    } else if (!(out.fxSigma <= kMaxFocalSigmaRatio * fx)) {
        out.reason = QStringLiteral("focal length not determined (sigma %1 px > %2 % of fx)")
                         .arg(out.fxSigma, 0, 'f', 2)
                         .arg(100.0 * kMaxFocalSigmaRatio, 0, 'f', 2);
    } else {
        out.adopted = true;
        out.reason = out.heldAccepted ? QStringLiteral("significant improvement (%1 > %2)")
                                            .arg(out.statistic, 0, 'f', 1)
                                            .arg(out.threshold, 0, 'f', 1)
                                      : QStringLiteral("the prior lens failed the acceptance test");
    }
    qDebug().noquote() << QStringLiteral(
                              "bundleAdjust: lens support: cost held %1, free %2, statistic %3, sigma0 %4 px, "
                              "fx %5 +- %6 px: %7, %8")
                              .arg(costHeld, 0, 'g', 8)
                              .arg(costFree, 0, 'g', 8)
                              .arg(out.statistic, 0, 'f', 1)
                              .arg(u.sigma0, 0, 'f', 3)
                              .arg(fx, 0, 'f', 2)
                              .arg(out.fxSigma, 0, 'f', 2)
                              .arg(out.adopted ? "adjusted lens taken" : "prior lens kept", out.reason);
    return out.adopted || out.heldAccepted;
}

}  // namespace refl
