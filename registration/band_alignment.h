// Residual misalignment between two bands of one capture, measured without the registration
// pipeline: phase correlation of gradient-magnitude images over a grid of windows.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

struct BandShiftSample {
    cv::Point2d centre;  // window centre, pixels
    cv::Point2d shift;   // displacement of `moving` against `fixed`
    double response = 0;
};

// Windows of `window` pixels on a grid with `step` pixels spacing; windows whose correlation peak
// is weak (response below `minResponse`) or lies in a blank area are left out.
std::vector<BandShiftSample> measureBandShifts(const cv::Mat& fixed, const cv::Mat& moving, int window = 128,
                                               int step = 96, double minResponse = 0.05);

// Median length of the shifts; -1 without samples.
double medianShift(const std::vector<BandShiftSample>& samples);

// An 8-bit BGR picture of three bands (red, green, blue channel), each stretched between its 1st
// and 99th percentile.
cv::Mat falseColour(const cv::Mat& red, const cv::Mat& green, const cv::Mat& blue);
