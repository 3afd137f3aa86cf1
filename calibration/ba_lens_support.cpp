#include "ba_lens_support.h"

#include <QDebug>
#include <algorithm>
#include <cmath>

namespace refl {

namespace {

// 0.1 % upper points of the chi-square distribution with 8 and 6 degrees of freedom.
constexpr double kChiSquare8At999 = 26.1245;
constexpr double kChiSquare6At999 = 22.4577;

// The tracks of `input` with an observation more than `threshold` px off at `solution`.
std::vector<char> outlierTracks(const BaInput& input, const BaOutput& solution, double threshold) {
    const double k[8] = {solution.fx,
                         solution.fy,
                         solution.cx,
                         solution.cy,
                         solution.distortion[0],
                         solution.distortion[1],
                         solution.distortion[2],
                         solution.distortion[3]};
    std::vector<char> bad(input.points.size(), 0);
    for (const BaObservation& o : input.observations) {
        double u, v;
        projectPoint(k, solution.rvecs[size_t(o.view)].data(), solution.tvecs[size_t(o.view)].data(),
                     solution.points[size_t(o.point)].data(), u, v);
        if (!(std::hypot(u - o.u, v - o.v) <= threshold)) bad[size_t(o.point)] = 1;
    }
    return bad;
}

// `input` without the tracks marked in `drop`, started from the poses and points of `solution`;
// `kept` maps the new point indices to those of `input`.
BaInput withoutTracks(const BaInput& input, const BaOutput& solution, const std::vector<char>& drop,
                      std::vector<int>* kept) {
    BaInput out = input;
    out.rvecs = solution.rvecs;
    out.tvecs = solution.tvecs;
    out.points.clear();
    out.observations.clear();
    kept->clear();
    std::vector<int> index(input.points.size(), -1);
    for (size_t q = 0; q < input.points.size(); ++q) {
        if (drop[q]) continue;
        index[q] = int(out.points.size());
        kept->push_back(int(q));
        out.points.push_back(solution.points[q]);
    }
    for (const BaObservation& o : input.observations)
        if (index[size_t(o.point)] >= 0)
            out.observations.push_back({o.view, index[size_t(o.point)], o.u, o.v});
    return out;
}

// Empty when a lens adjusted with more parameters than the held adjustment is supported: accepted,
// with an uncertainty, and (when the prior lens fits) a significant and large enough improvement.
QString unsupportedReason(const LensSupport& out, bool accepted, double statistic, double threshold,
                          double gain) {
    if (!accepted) return QStringLiteral("the adjusted lens failed the acceptance test");
    if (!out.free.uncertainty.valid)
        return QStringLiteral("the adjusted lens has no uncertainty (singular normal matrix)");
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
}

QString supportedBecause(const LensSupport& out, double statistic, double threshold, double gain) {
    return out.heldAccepted ? QStringLiteral("significant improvement (%1 > %2, cost %3 % lower)")
                                  .arg(statistic, 0, 'f', 1)
                                  .arg(threshold, 0, 'f', 1)
                                  .arg(100.0 * gain, 0, 'f', 1)
                            : QStringLiteral("the prior lens failed the acceptance test");
}

// The held and the free adjustment and the test statistic between them. False when the free one
// did not run (the reason says why; the held one decides).
bool adjustHeldAndFree(const BaInput& input, const BaInput* freeStart, int maxIterations,
                       const std::function<bool()>& stopRequested, LensSupport& out, BaInput& freeInput,
                       int threads) {
    out.threshold = kChiSquare8At999;
    BaInput heldInput = input;
    heldInput.heldIntrinsics.fill(true);
    out.heldAccepted = bundleAdjustArrays(heldInput, maxIterations, stopRequested, out.held, threads);
    if (!out.held.optimised) {
        out.reason = QStringLiteral("too few observations");
        return false;
    }
    // The free adjustment starts where the held one ended.
    freeInput = input;
    freeInput.heldIntrinsics.fill(false);
    freeInput.rvecs = freeStart ? freeStart->rvecs : out.held.rvecs;
    freeInput.tvecs = freeStart ? freeStart->tvecs : out.held.tvecs;
    freeInput.points = freeStart ? freeStart->points : out.held.points;
    out.freeAccepted = bundleAdjustArrays(freeInput, maxIterations, stopRequested, out.free, threads);
    out.free.initialRms = out.held.initialRms;
    if (!out.free.optimised) {
        out.reason = QStringLiteral("free adjustment did not run");
        return false;
    }
    const IntrinsicUncertainty& u = out.free.uncertainty;
    out.fxSigma = u.valid ? u.sigma[0] : 0.0;
    const double costHeld = out.held.solver.finalCost, costFree = out.free.solver.finalCost;
    out.statistic = u.valid && u.sigma0 > 0 ? 2.0 * (costHeld - costFree) / (u.sigma0 * u.sigma0) : 0.0;
    out.relativeGain = costFree > 0 ? (costHeld - costFree) / costFree : 0.0;
    return true;
}

// The focal length is not determined, the rest of the lens may be: adjust it with fx and fy held at
// the prior, and take it when that is supported.
void adjustWithFocalHeld(const BaInput& freeInput, int maxIterations,
                         const std::function<bool()>& stopRequested, LensSupport& out, int threads) {
    const IntrinsicUncertainty& u = out.free.uncertainty;
    const QString focal = QStringLiteral("focal length not determined (sigma %1 px > %2 % of fx)")
                              .arg(out.fxSigma, 0, 'f', 2)
                              .arg(100.0 * kMaxFocalSigmaRatio, 0, 'f', 2);
    BaInput partialInput = freeInput;
    partialInput.heldIntrinsics[0] = partialInput.heldIntrinsics[1] = true;
    const bool partialAccepted =
        bundleAdjustArrays(partialInput, maxIterations, stopRequested, out.focalHeld, threads);
    out.focalHeld.initialRms = out.held.initialRms;
    const double costHeld = out.held.solver.finalCost, costPartial = out.focalHeld.solver.finalCost;
    const double statistic = u.sigma0 > 0 ? 2.0 * (costHeld - costPartial) / (u.sigma0 * u.sigma0) : 0.0;
    const double gain = costPartial > 0 ? (costHeld - costPartial) / costPartial : 0.0;
    const QString why = out.focalHeld.optimised
                            ? unsupportedReason(out, partialAccepted, statistic, kChiSquare6At999, gain)
                            : QStringLiteral("the adjustment did not run");
    if (why.isEmpty()) {
        out.adopted = out.focalAtPrior = true;
        out.reason = focal + QStringLiteral(", the rest of the lens adjusted: ") +
                     supportedBecause(out, statistic, kChiSquare6At999, gain);
    } else {
        out.reason = focal + QStringLiteral(", the rest of the lens: ") + why;
    }
}

// One round of the test on `input`: held, free and, where needed, fx held. The free adjustment starts
// from the poses and points of `freeStart` when given, else from the held solution.
bool supportRound(const BaInput& input, const BaInput* freeStart, int maxIterations,
                  const std::function<bool()>& stopRequested, LensSupport& out, int threads) {
    BaInput freeInput;
    if (!adjustHeldAndFree(input, freeStart, maxIterations, stopRequested, out, freeInput, threads))
        return out.held.optimised && out.heldAccepted;
    const double fx = out.free.fx;
    out.reason = unsupportedReason(out, out.freeAccepted, out.statistic, out.threshold, out.relativeGain);
    // Determined: precise enough, or less precise but far enough from the prior focal length that the
    // data reject the prior one.
    const double shift = std::abs(fx - input.fx);
    const bool focalPrecise = out.fxSigma <= kMaxFocalSigmaRatio * fx;
    const bool priorFocalRejected =
        out.fxSigma <= kMaxRejectingFocalSigmaRatio * fx && shift >= kPriorFocalRejectionSigmas * out.fxSigma;
    if (out.reason.isEmpty() && (focalPrecise || priorFocalRejected)) {
        out.adopted = true;
        out.reason = supportedBecause(out, out.statistic, out.threshold, out.relativeGain);
        if (!focalPrecise)
            out.reason += QStringLiteral(
                              "; fx %1 +- %2 px is less precise than %3 %, but %4 standard deviations "
                              "from the prior %5 px")
                              .arg(fx, 0, 'f', 1)
                              .arg(out.fxSigma, 0, 'f', 1)
                              .arg(100.0 * kMaxFocalSigmaRatio, 0, 'f', 2)
                              .arg(shift / out.fxSigma, 0, 'f', 0)
                              .arg(input.fx, 0, 'f', 1);
    } else if (out.reason.isEmpty()) {
        adjustWithFocalHeld(freeInput, maxIterations, stopRequested, out, threads);
    }
    qDebug().noquote()
        << QStringLiteral(
               "bundleAdjust: lens support: cost held %1, free %2, statistic %3, sigma0 %4 px, "
               "fx %5 +- %6 px: %7, %8")
               .arg(out.held.solver.finalCost, 0, 'g', 8)
               .arg(out.free.solver.finalCost, 0, 'g', 8)
               .arg(out.statistic, 0, 'f', 1)
               .arg(out.free.uncertainty.sigma0, 0, 'f', 3)
               .arg(fx, 0, 'f', 2)
               .arg(out.fxSigma, 0, 'f', 2)
               .arg(out.adopted ? (out.focalAtPrior ? "adjusted lens with the prior focal length taken"
                                                    : "adjusted lens taken")
                                : "prior lens kept",
                    out.reason);
    return out.adopted || out.heldAccepted;
}

}  // namespace

bool adjustLensWithSupportTest(const BaInput& input, int maxIterations,
                               const std::function<bool()>& stopRequested, LensSupport& out, int threads) {
    out = LensSupport();
    bool result = supportRound(input, nullptr, maxIterations, stopRequested, out, threads);
    // A few tracks that no lens fits (a wrong match, two features merged into one track) can hold the
    // whole solution in a basin of their own: their points settle where they pull the focal length
    // and the attitude of the views along the flat fx-altitude valley. Drop the tracks with an
    // observation far off at the free solution and adjust the rest again, from that solution.
    BaInput current = input;
    std::vector<int> kept(input.points.size());
    for (size_t q = 0; q < kept.size(); ++q) kept[q] = int(q);
    for (int round = 0; round < kMaxOutlierRounds; ++round) {
        if (!out.held.optimised || !out.free.optimised || (stopRequested && stopRequested())) break;
        const double threshold = std::max(kOutlierMinPx, kOutlierSigmas * out.free.uncertainty.sigma0);
        const std::vector<char> drop = outlierTracks(current, out.free, threshold);
        const int count = int(std::count(drop.begin(), drop.end(), 1));
        if (count == 0 || int(current.points.size()) - count < kMinTracksAfterOutliers) break;
        // Each adjustment goes on from where it ended.
        std::vector<int> keptNow;
        BaInput next = withoutTracks(current, out.held, drop, &keptNow);
        const BaInput freeStart = withoutTracks(current, out.free, drop, &keptNow);
        for (int& k : keptNow) k = kept[size_t(k)];
        qDebug().noquote() << QStringLiteral(
                                  "bundleAdjust: dropping %1 tracks with an observation more than %2 px off, "
                                  "adjusting again")
                                  .arg(count)
                                  .arg(threshold, 0, 'f', 2);
        LensSupport again;
        const bool ok = supportRound(next, &freeStart, maxIterations, stopRequested, again, threads);
        if (!again.held.optimised) break;
        const int droppedBefore = out.droppedTracks;
        out = again;
        out.droppedTracks = droppedBefore + count;
        out.outlierThresholdPx = threshold;
        result = ok;
        current = std::move(next);
        kept = std::move(keptNow);
    }
    out.keptPoints = kept;
    if (out.droppedTracks > 0)
        out.reason += QStringLiteral(" (%1 outlier tracks dropped)").arg(out.droppedTracks);
    return result;
}

}  // namespace refl
