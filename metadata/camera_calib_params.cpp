#include "camera_calib_params.h"

namespace refl {

bool CameraCalibParams::operator==(const CameraCalibParams& o) const {
    return fx == o.fx && fy == o.fy && cx == o.cx && cy == o.cy && k1 == o.k1 && k2 == o.k2 && p1 == o.p1 &&
           p2 == o.p2 && k3 == o.k3 && imageWidth == o.imageWidth && imageHeight == o.imageHeight &&
           band == o.band && priorSource == o.priorSource && focalLengthMm == o.focalLengthMm &&
           principalXMm == o.principalXMm && principalYMm == o.principalYMm && pixelSizeUm == o.pixelSizeUm &&
           initialRmsPx == o.initialRmsPx && finalRmsPx == o.finalRmsPx && p90ErrorPx == o.p90ErrorPx &&
           minCoverage == o.minCoverage && adjustedTrackCount == o.adjustedTrackCount &&
           selectedTrackCount == o.selectedTrackCount && accepted == o.accepted && fxSigmaPx == o.fxSigmaPx &&
           adjustedFxPx == o.adjustedFxPx &&
           xmpLensKept == o.xmpLensKept && lensDecision == o.lensDecision;
}

void registerCalibrationMetaTypes() {
    qRegisterMetaType<CameraCalibParams>("CameraCalibParams");
    qRegisterMetaType<CameraCalibParamsMap>("CameraCalibParamsMap");
    qRegisterMetaType<CameraCalibParamsMap>("QMap<QString, CameraCalibParams>");
}

}  // namespace refl
