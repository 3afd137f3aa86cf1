#include "ba_lens_support.h"

#include <QDebug>

namespace refl {

namespace {

// 0.1 % upper points of the chi-square distribution with 8 and 6 degrees of freedom.
constexpr double kChiSquare8At999 = 26.1245;
constexpr double kChiSquare6At999 = 22.4577;

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
    const double fx = out.free.fx;
    const double costHeld = out.held.solver.finalCost, costFree = out.free.solver.finalCost;
    out.statistic = u.valid && u.sigma0 > 0 ? 2.0 * (costHeld - costFree) / (u.sigma0 * u.sigma0) : 0.0;
    out.relativeGain = costFree > 0 ? (costHeld - costFree) / costFree : 0.0;
    // Empty when `candidate` (with `dof` more parameters than the held adjustment) is supported.
    auto unsupported = [&](bool accepted, double statistic, double threshold, double gain) -> QString {
        if (!accepted) return QStringLiteral("the adjusted lens failed the acceptance test");
        if (!u.valid) return QStringLiteral("the adjusted lens has no uncertainty (singular normal matrix)");
        if (!out.heldAccepted) return QString();  // the prior lens does not even fit
        if (!(statistic > threshold))
            return QStringLiteral("improvement not significant (%1 <= %2)")
                .arg(statistic, 0, 'f', 1)
                .arg(threshold, 0, 'f', 1);
        if (!(gain >= kMinRelativeGain))
            return QStringLiteral("improvement too small (cost %1 % lower, < %2 %)")
                .arg(100.0 * gain, 0, 'f', 2)
                .arg(100.0 * kMinRelativeGain, 0, 'f', 1);
        return QString();
    };
    auto supportedBecause = [&](double statistic, double threshold, double gain) {
        return out.heldAccepted ? QStringLiteral("significant improvement (%1 > %2, cost %3 % lower)")
                                      .arg(statistic, 0, 'f', 1)
                                      .arg(threshold, 0, 'f', 1)
                                      .arg(100.0 * gain, 0, 'f', 1)
                                : QStringLiteral("the prior lens failed the acceptance test");
    };
    out.reason = unsupported(out.freeAccepted, out.statistic, out.threshold, out.relativeGain);
    const bool focalDetermined = out.fxSigma <= kMaxFocalSigmaRatio * fx;
    if (out.reason.isEmpty() && focalDetermined) {
        out.adopted = true;
        out.reason = supportedBecause(out.statistic, out.threshold, out.relativeGain);
    } else if (out.reason.isEmpty()) {
        // The focal length is not determined, the rest of the lens may be: adjust it with fx and fy
        // held at the prior.
        const QString focal = QStringLiteral("focal length not determined (sigma %1 px > %2 % of fx)")
                                  .arg(out.fxSigma, 0, 'f', 2)
                                  .arg(100.0 * kMaxFocalSigmaRatio, 0, 'f', 2);
        BaInput partialInput = freeInput;
        partialInput.heldIntrinsics[0] = partialInput.heldIntrinsics[1] = true;
        const bool partialAccepted =
            bundleAdjustArrays(partialInput, maxIterations, stopRequested, out.focalHeld, threads);
        out.focalHeld.initialRms = out.held.initialRms;
        const double costPartial = out.focalHeld.solver.finalCost;
        const double statistic =
            u.sigma0 > 0 ? 2.0 * (costHeld - costPartial) / (u.sigma0 * u.sigma0) : 0.0;
        const double gain = costPartial > 0 ? (costHeld - costPartial) / costPartial : 0.0;
        const QString why = out.focalHeld.optimised
                                ? unsupported(partialAccepted, statistic, kChiSquare6At999, gain)
                                : QStringLiteral("the adjustment did not run");
        if (why.isEmpty()) {
            out.adopted = out.focalAtPrior = true;
            out.reason = focal + QStringLiteral(", the rest of the lens adjusted: ") +
                         supportedBecause(statistic, kChiSquare6At999, gain);
        } else {
            out.reason = focal + QStringLiteral(", the rest of the lens: ") + why;
        }
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
                              .arg(out.adopted ? (out.focalAtPrior ? "adjusted lens with the prior focal length taken"
                                                                   : "adjusted lens taken")
                                               : "prior lens kept",
                                   out.reason);
    return out.adopted || out.heldAccepted;
}

}  // namespace refl
