#pragma once

#include <QString>
#include <opencv2/core.hpp>

#include "camera_calib_params.h"

namespace refl {

// Undistortion of a converted band image into its "_Correct" twin. Three ways to get the camera:
// the camera-type-6 reading of the XMP lens keys (fixed 3.45 um pixel, built-in model when a value
// is zero), the general XMP reading with the task's pixel size and focal-length fallback, and a
// self-calibration result. All write the twin under a temporary name and rename it into place, with
// the input's EXIF and XMP copied over.

bool readDistortionCoeToCorrection(const QString& inputPath, const QString& outputPath);
bool distortionCorrectionEx(const QString& inputPath, const QString& outputPath, double pixelSizeUm,
                            double focalMm = 5.2);
bool distortionCorrectionEx(const QString& inputPath, const QString& outputPath, const CameraCalibParams& params);

// Name of the twin: "_Correct" before the last '.' of the file name (appended when there is none).
QString correctedFileName(const QString& fileName);

// The camera the XMP lens keys describe (pixels), with the fallbacks of the general reading.
struct LensModel {
    cv::Matx33d K;
    cv::Vec<double, 5> D;  // k1, k2, p1, p2, k3
};
LensModel lensFromXmpTexts(const QString& principal, const QString& focal, const QString& distortion, int width,
                           int height, double pixelSizeUm, double focalMm);

}  // namespace refl
