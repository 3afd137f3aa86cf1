#pragma once

#include <opencv2/core.hpp>

namespace refl {

// The 1-99 % contrast stretch shared by the band registration and the self-calibration's features.

// One channel of the image's own depth: 3- and 4-channel images are taken as BGR(A) and turned
// grey, other channel counts give their first channel (a grey image is returned as it is, shared).
cv::Mat toGrey(const cv::Mat& image);

// The finite values of the grey image (toGrey, as float) mapped linearly from their 1st..99th percentile to
// 0..1 (clamped); non-finite pixels and images without contrast (range <= 1e-12) give 0. CV_32F.
cv::Mat normalizeToUnitRange(const cv::Mat& image);

// The same stretch as 8-bit grey: round(255 * t). CV_8U.
cv::Mat stretchToGray8(const cv::Mat& image);

}  // namespace refl
