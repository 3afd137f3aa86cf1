// Dense steps on a band pair that already has a transform close to the truth: warping a band into
// the reference geometry, refining its transform on the measured residual shifts, and the consensus
// of several captures' transforms of one band (the cameras of a rig are rigid, so the transforms of
// one band change only slowly over a flight).
#pragma once

#include <QString>
#include <opencv2/core.hpp>
#include <vector>

#include "band_alignment.h"

namespace refl {

// The band resampled into the reference geometry (bilinear, float, zero outside the band).
cv::Mat warpOntoReference(const cv::Mat& band, const cv::Matx33d& refFromBand, const cv::Size& refSize);

struct WindowRefineOptions {
    BandQualityOptions measure;  // the windows whose shifts drive the refinement
    int iterations = 6;          // measure-and-correct rounds at most
    double stopShift = 0.03;     // stop when the median shift vector is shorter than this (pixels)
    // The correction is fitted to one colour of a checkerboard of windows and the result measured on
    // the other, so that the reported residual is not that of the windows the transform was fitted to.
    bool holdOut = true;
    // Empty when the options can be used, else which one is out of range.
    QString validate() const;
};

struct WindowRefineResult {
    cv::Matx33d refFromBand;  // the refined transform (the start when no round could run)
    BandQuality quality;      // measured with the refined transform (on the held-out windows)
    int rounds = 0;           // corrections applied
};

// Warps the band with `start`, measures the residual shift of every window against the reference,
// fits an affine correction to the window centres (robustly: windows far from the median shift are
// left out) and composes it with the transform; repeats while the correction is noticeable. The
// gradient of the reference may be given when already computed.
WindowRefineResult refineByWindowShifts(const cv::Mat& ref, const cv::Mat& band, const cv::Matx33d& start,
                                        const WindowRefineOptions& options = {},
                                        const cv::Mat& refGradient = cv::Mat());

// Largest distance between the images of the four corners of an image of `size` under `a` and `b`.
double cornerDistance(const cv::Matx33d& a, const cv::Matx33d& b, const cv::Size& size);

// The transform whose corner images are the per-coordinate medians of the corner images of the given
// transforms: robust to a minority of wrong ones. Empty input gives the identity.
cv::Matx33d consensusTransform(const std::vector<cv::Matx33d>& transforms, const cv::Size& size);

}  // namespace refl
