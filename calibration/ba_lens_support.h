#pragma once

#include <QString>
#include <functional>

#include "ba_arrays.h"

namespace refl {

// Whether the observations support a lens other than the prior (the XMP lens): the adjustment is
// run once with the intrinsics held at the prior and once with them free (started from the held
// solution). The free lens is adopted only when
//   - both adjustments ran and the free one passes the acceptance test;
//   - the cost falls significantly: 2 (cost_held - cost_free) / sigma0^2 above the 0.1 % point of
//     the chi-square distribution with 8 degrees of freedom (sigma0: residual standard deviation of
//     the free adjustment), and by at least kMinRelativeGain of the free cost, unless the held lens
//     does not even pass the acceptance test. Keypoint errors are not independent from view to view
//     (occlusion edges, silhouettes, resampled texture): with the true lens held, freeing the
//     intrinsics still lowers the cost of generated flights by up to about 1 %, far beyond the
//     chi-square point at thousands of observations, while a focal length 3 % off costs 5 - 8 %;
//   - the standard deviation of fx from the Jacobian at the free solution is at most
//     kMaxFocalSigmaRatio of fx (the Jacobian's figure; the scatter between flights is larger), or
//     at most kMaxRejectingFocalSigmaRatio while the adjusted fx lies kPriorFocalRejectionSigmas or
//     more standard deviations from the prior one (the data reject the prior focal length).
// When all but the last hold, the adjustment is run once more with fx and fy held at the prior and
// the rest free, and taken under the same tests (6 degrees of freedom). Otherwise the prior lens is
// kept, with the reason.
// Then the tracks with an observation far off at the free solution are dropped and the whole test is
// run again on the rest, each adjustment going on from where it ended (see kOutlierMinPx): a few
// tracks that no lens fits can hold the free solution several standard deviations of fx away.
struct LensSupport {
    BaOutput held;  // intrinsics at the prior
    BaOutput free;  // intrinsics adjusted
    BaOutput focalHeld;  // fx and fy held at the prior, the rest adjusted (when fx is not determined)
    bool heldAccepted = false;
    bool freeAccepted = false;
    double statistic = 0.0;  // 2 (cost_held - cost_free) / sigma0^2
    double threshold = 0.0;  // its critical value
    double fxSigma = 0.0;    // px, at the free solution (0 when unknown)
    double relativeGain = 0.0;  // (cost_held - cost_free) / cost_free
    bool adopted = false;       // an adjusted lens is taken: `free`, or `focalHeld` when focalAtPrior
    bool focalAtPrior = false;
    QString reason;          // why the free lens is (not) taken, for the log
    // Tracks left out as outliers, the threshold used, and the input points (in input order) that the
    // adjustments above were run on: their `points` follow this list.
    int droppedTracks = 0;
    double outlierThresholdPx = 0.0;
    std::vector<int> keptPoints;
};

constexpr double kMaxFocalSigmaRatio = 0.0025;
constexpr double kMaxRejectingFocalSigmaRatio = 0.005;
constexpr double kPriorFocalRejectionSigmas = 5.0;
constexpr double kMinRelativeGain = 0.02;
// Outlier tracks: an observation more than max(kOutlierMinPx, kOutlierSigmas sigma0) off at the free
// solution; at most kMaxOutlierRounds rounds, never below kMinTracksAfterOutliers tracks.
constexpr double kOutlierMinPx = 3.0;
constexpr double kOutlierSigmas = 6.0;
constexpr int kMaxOutlierRounds = 2;
constexpr int kMinTracksAfterOutliers = 20;

// True when one of the two adjustments is accepted (the free one when adopted, else the held one):
// the attempt succeeded, whichever lens it keeps. False when neither is (or there are too few
// observations: held.optimised false).
bool adjustLensWithSupportTest(const BaInput& input, int maxIterations, const std::function<bool()>& stopRequested,
                               LensSupport& out, int threads = 1);

}  // namespace refl
