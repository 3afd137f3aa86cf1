#pragma once

#include <QString>
#include <opencv2/core.hpp>

namespace refl {

// The starting camera of a band calibration, from the XMP lens keys of its first image.
struct CameraPrior {
    cv::Mat K;  // 3x3 CV_64F, one focal length on both axes
    cv::Mat D;  // 5x1 CV_64F, k1, k2, p1, p2, k3
    QString priorSource;
    double focalMm = 0.0;
    double principalXMm = 0.0;
    double principalYMm = 0.0;
    int width = 0;
    int height = 0;
};

// False when the image cannot be read, exiv2 cannot open it (or throws) or it holds no XMP.
// Missing focal length falls back to focalMm; a missing or malformed principal point to the image
// centre ("EXIF/sensor physical fallback"); missing or short distortion to zero.
bool cameraPriorFromMetadata(const QString& path, double pixelSizeUm, double focalMm, CameraPrior* prior);

}  // namespace refl
