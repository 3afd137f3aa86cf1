// Radiation-insensitive (RIFT2-style) features for matching images of different spectral bands.
//
// Phase congruency from log-Gabor filters evaluated in the frequency domain gives a maximum
// moment (edges), a minimum moment (corners), the index of the strongest orientation and its
// amplitude. Keypoints come from corners of the minimum moment and cell maxima of the maximum
// moment; descriptors are orientation histograms of the maximum-index map, cyclically shifted by
// the patch's dominant orientation.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace refl {

struct Rift2Features {
    cv::Mat keypoints;        // N x 2 CV_32F: x (column), y (row)
    cv::Mat descriptors;      // D x (orientations * 36) CV_32F
    cv::Mat descriptorIndex;  // D x 1 CV_32S: keypoint row of each descriptor
    cv::Mat maximumMoment;    // CV_32F, image size
};

struct PhaseCongruencyMaps {
    cv::Mat maxMoment;     // M, CV_32F
    cv::Mat minMoment;     // m, CV_32F
    cv::Mat maxIndex;      // MIM, CV_8U, 0 .. orientations - 1
    cv::Mat maxAmplitude;  // Amax, CV_32F
};

// Fixed constants of the phase congruency used by extractRift2.
constexpr double kRiftMinWavelength = 3.0;
constexpr double kRiftScaleMultiplier = 2.1;
constexpr double kRiftSigmaOnf = 0.55;
constexpr double kRiftNoiseK = 2.0;

PhaseCongruencyMaps computePhaseCongruency(const cv::Mat& image, int orientations, int scales,
                                           double minWavelength, double multiplier, double sigmaOnf,
                                           double k);

// Scales a float map by its 99.5th percentile into 0..255; all zero when that percentile is <= 1e-8.
cv::Mat normalizeToByte(const cv::Mat& map);

// N x 2 float keypoints (x, y); empty when fewer than 12 survive the border and cell rules.
cv::Mat detectRiftKeypoints(const cv::Mat& maxMoment, const cv::Mat& minMoment, int maxFeatures,
                            int patchSize);

void describeRift2(const cv::Mat& keypoints, const cv::Mat& maxIndex, const cv::Mat& maxAmplitude,
                   int orientations, int patchSize, double secondaryRatio, cv::Mat& descriptors,
                   cv::Mat& descriptorIndex);

Rift2Features extractRift2(const cv::Mat& image, int maxFeatures, int orientations, int scales, int patchSize,
                           double secondaryRatio);

// Building blocks, exposed for tests and benchmarks.
namespace rift2detail {

// Unshifted frequency grid of a rows x cols DFT: radius (with radius(0,0) = 1) and theta.
void frequencyGrid(int rows, int cols, cv::Mat& radius, cv::Mat& theta);

// Radial log-Gabor component of one scale (element (0,0) forced to 0), CV_32F.
cv::Mat logGaborRadial(const cv::Mat& radius, double wavelength, double sigmaOnf);

// Angular spread of one orientation, CV_32F.
cv::Mat angularSpread(const cv::Mat& theta, double angle, double thetaSigma);

// Candidate of the keypoint selection (exposed for the cell-rule test).
struct KeypointCandidate {
    float x;
    float y;
    float score;
};

// Stable-sorts by score (descending), applies the 6-pixel cell rule and the cap.
std::vector<KeypointCandidate> selectByCells(std::vector<KeypointCandidate> candidates, int maxFeatures);

// Dominant orientations of a patch histogram: the strongest bin (ties: higher index), and the
// second strongest when it reaches `secondaryRatio` of the first.
std::vector<int> dominantOrientations(const std::vector<double>& hist, double secondaryRatio);

}  // namespace rift2detail

}  // namespace refl
