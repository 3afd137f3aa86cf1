// Enhanced-correlation-coefficient refinement of a homography, coarse to fine: most iterations run on
// reduced copies of the two images (refining the affine part of the warp), a few at full size (the
// whole homography). Each level stops when the warp's update moves no image corner by more than a
// small fraction of a pixel, or when the correlation stops changing.
#pragma once

#include <QString>
#include <opencv2/core.hpp>

namespace refl {

struct EccRefineOptions {
    // Iteration limits: the coarsest level (the full-size one when there is no reduced level), each
    // level between, the full-size level after reduced ones.
    int coarseIterations = 100;
    int middleIterations = 30;
    int fullIterations = 12;
    // A level ends when the correlation changes by less than this between two iterations...
    double correlationEpsilon = 1e-7;
    // ...or when the update moves no corner of the image by more than this, in that level's pixels.
    double cornerStepPx = 0.01;
    // Levels below the full size: halvings while the smaller side stays at least this long (a smaller
    // image loses the detail the warp's perspective rests on; 1280 x 960 gets one reduced level).
    int minimumLevelSide = 320;
    int maximumReductions = 2;
    // Gaussian prefilter applied to both images at every level.
    int gaussianSize = 5;
};

struct EccRefineResult {
    bool ok = false;
    cv::Matx33d inputFromTemplate = cv::Matx33d::eye();  // maps template pixels onto input pixels, (2,2) = 1
    double correlation = 0.0;               // of the last warp evaluated at full size
    int fullSizeIterations = 0;
    int reducedIterations = 0;  // over all reduced levels
    bool converged = false;     // the full-size level stopped on its own test, not on its limit
    QString error;              // why it failed
};

// Refines `start` so that input(W(x)) matches templ(x) in the zero-mean normalised correlation sense.
// Both images single-channel 8-bit or 32-bit float of any (possibly different) size. Fails (without
// exceptions) on other types, too little overlap, or a correlation that would be minimised.
EccRefineResult refineHomographyEcc(const cv::Mat& templ, const cv::Mat& input, const cv::Matx33d& start,
                                    const EccRefineOptions& settings = EccRefineOptions());

}  // namespace refl
