#pragma once

#include <QVector>

// The self-calibration's own lens record (CameraCalibParams) lives in metadata/ so that the
// radiometry can use it without the self-calibration.
#include "camera_calib_params.h"

namespace refl {

// The five tunables of one calibration attempt.
struct SfMParamGroup {
    qint32 maxFeatures = 4500;      // SIFT features per image
    qint32 limit = 4000;            // most tracks admitted to the adjustment
    double loweRatio = 0.72;        // ratio test of the matcher
    double magsacThreshold = 2.0;   // px, pairwise epipolar RANSAC
    qint32 maxIterations = 120;     // bundle-adjustment iteration cap

    bool operator==(const SfMParamGroup& o) const;
};

// The group tried first, and the ten groups tried after it in this order.
SfMParamGroup defaultSfmParamGroup();
const QVector<SfMParamGroup>& retrySfmParamGroups();

}  // namespace refl
