// How straight a lens correction leaves straight scene lines. Points along straight lines of the scene
// are taken where the true lens puts them in the raw image, then moved to where a correction with a
// given lens model puts them in the "_Correct" image (the optimal new camera matrix of alpha 0, as the
// XMP and self-calibrated corrections use, or the model's own matrix). A perfect model leaves every
// line straight; the figures are the pixel deviations from straight.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace reflsample {

struct LensModel {
    cv::Matx33d K = cv::Matx33d::eye();
    cv::Vec<double, 5> D;  ///< k1, k2, p1, p2, k3
};

struct StraightnessFigures {
    int lines = 0;               ///< scene lines with enough points inside the image
    int points = 0;              ///< points on them
    double rmsPx = 0;            ///< RMS distance of the corrected points from their line's best fit
    double maxPx = 0;            ///< largest such distance
    double worstLineRmsPx = 0;   ///< RMS of the least straight line
    double projectiveRmsPx = 0;  ///< RMS after the best homography onto the true pinhole image
};

/// Where the correction with `model` puts raw (distorted, 0-based) pixels in the corrected image.
/// newMatrixIsK: the correction keeps K as its new matrix (else getOptimalNewCameraMatrix, alpha 0).
std::vector<cv::Point2d> correctedPositions(const std::vector<cv::Point2d>& raw, const LensModel& model,
                                            cv::Size size, bool newMatrixIsK = false);

/// Raw pixels along straight scene lines as the true lens images them: rows, columns and both diagonals
/// of the true pinhole image, sampled every few pixels, kept where they fall inside the raw image.
/// Each inner vector is one line.
std::vector<std::vector<cv::Point2d>> straightLinesThroughLens(const LensModel& trueLens, cv::Size size,
                                                               int linesPerDirection = 9);

/// Straightness of the scene lines in the image corrected with `model` when the images were taken
/// with `trueLens`.
StraightnessFigures correctedStraightness(const LensModel& trueLens, const LensModel& model, cv::Size size,
                                          bool newMatrixIsK = false);

}  // namespace reflsample
