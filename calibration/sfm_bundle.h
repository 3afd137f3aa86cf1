#pragma once

#include <QString>
#include <map>
#include <opencv2/core.hpp>
#include <vector>

#include "ba_layout.h"
#include "calib_params.h"
#include "sfm_features.h"
#include "sfm_prior.h"
#include "sfm_reconstruction.h"
#include "sfm_tracks.h"

namespace refl {

// What the adjustment of one band calibration gives back.
struct SfmBundleResult {
    cv::Mat K;                        // 3x3 CV_64F, adjusted
    cv::Mat D;                        // 5x1 CV_64F, k1 k2 p1 p2 0
    std::vector<ViewPose> poses;      // view a unchanged, all registered
    std::map<int, cv::Vec3d> points;  // by selected track index
    double initialRms = 999.0;
    double finalRms = 999.0;
    double p90 = 0.0;
    std::vector<double> coverage;  // per view
    int observationCount = 0;
    int evaluations = 0;
    bool optimised = false;  // false: too few observations, no adjusted camera
    // Whether the data supports the adjusted lens over the prior (see ba_lens_support.h). When not,
    // K and D are the prior's and the poses and points those of the adjustment with the prior lens.
    bool lensAdopted = false;
    double fxSigma = 0.0;     // px, standard deviation of the adjusted fx
    double adjustedFx = 0.0;  // px, fx of the free adjustment, adopted or not
    QString lensDecision;     // the reason, for the log and the summary
    int droppedTracks = 0;    // left out as outliers (no entry in `points`)
};

// The settings of one band's adjustment (the band driver passes the parameter group's iteration cap
// and fixed priors).
struct SfmBundleOptions {
    int maxIterations = 120;            // outer iterations of each solve (held and free) at most
    double focalPriorRatio = 0.1;       // sigma of the focal-length prior, as a share of the prior fx
    double principalPriorSigma = 24.0;  // sigma of the principal-point prior, pixels
    double radialPriorSigma = 0.05;     // sigma of the k1 and k2 priors (around the prior values)
    int threads = 1;  // cores for the Jacobian and LSMR products; iterates do not depend on it
    // Empty when the options can be used, else which one is out of range.
    QString validate() const;
};

// Observations of the selected tracks, in list order, whose views are registered; the point index
// counts positions in `selected`. Exposed for tests.
struct SfmBundleObservation {
    int view = 0;
    int point = 0;
    cv::Point2d pixel;
};
std::vector<SfmBundleObservation> collectBundleObservations(const std::vector<FeatureTrack>& tracks,
                                                            const std::vector<int>& selected,
                                                            const std::vector<ImageFeatures>& features,
                                                            const std::vector<ViewPose>& poses);

// The adjustment's input arrays: the prior camera, the poses, the selected points and their
// observations. False (with a log line) when there are too few observations or the inputs do not
// fit together.
bool makeBundleInput(const std::vector<FeatureTrack>& tracks, const std::vector<int>& selected,
                     const std::map<int, cv::Vec3d>& points, const std::vector<ImageFeatures>& features,
                     const std::vector<ViewPose>& poses, const cv::Mat& K, const cv::Mat& D, int a, int b,
                     int width, int height, const SfmBundleOptions& settings, const QString& band,
                     refl::BaInput* in, int* observationCount);

// Refines the intrinsics (fx, fy, cx, cy, k1, k2, p1, p2) together with the poses (view a fixed,
// view b's largest translation component fixed) and the selected points under weak priors, bounds
// and a Huber loss, once with the intrinsics held at the prior and once free, and keeps the adjusted
// lens only where the data supports it (out->lensAdopted). Returns true when the kept solution passed
// the acceptance test; `out` is filled in full whenever the adjustment ran (out->optimised), even
// when rejected. Polls `stop` once per outer iteration.
bool bundleAdjust(const std::vector<FeatureTrack>& tracks, const std::vector<int>& selected,
                  const std::map<int, cv::Vec3d>& points, const std::vector<ImageFeatures>& features,
                  const std::vector<ViewPose>& poses, const cv::Mat& K, const cv::Mat& D, int a, int b,
                  int width, int height, const SfmBundleOptions& settings, const QString& band,
                  SfmBundleResult* out, const SfmStopFlag* stop = nullptr);

// Copies an adjustment into the record: intrinsics, sizes and prior source from the prior, the
// millimetre values, the quality figures, the track counts and the accept flag.
void fillCalibrationRecord(const SfmBundleResult& result, const CameraPrior& prior, int selectedCount,
                           double pixelSizeUm, bool accepted, CameraCalibParams* out);

}  // namespace refl
