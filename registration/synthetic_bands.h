// Synthetic multispectral captures with a known band-to-band geometry, for tests and benchmarks of
// the band registration: a scene of fields, roads, roofs, water and trees rendered with per-band
// reflectances (contrast inverts between visible and near-infrared bands), each band warped by its
// own homography and given sensor noise.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace refl {

struct SyntheticCapture {
    std::vector<cv::Mat> bands;          // CV_16U, one per band
    std::vector<std::string> bandNames;  // "475nm", "560nm", "660nm", "717nm", "842nm"
    std::vector<cv::Mat> trueRefFromBand;  // CV_64F 3x3, maps band pixels onto reference-band pixels
    int referenceIndex = 2;                // the 660 nm band; its trueRefFromBand is the identity
};

// Deterministic for a given seed. `noiseSigma` is the sensor noise relative to full scale.
SyntheticCapture makeSyntheticCapture(unsigned seed, cv::Size size, double noiseSigma = 0.004);

// Distances of the four image corners of a w x h image mapped by `estimated` and by `truth`.
std::vector<double> cornerErrors(const cv::Mat& estimated, const cv::Mat& truth, cv::Size size);

}  // namespace refl
