#pragma once

#include <QMap>
#include <QMetaType>
#include <QString>

namespace refl {

// One band's self-calibration result (OpenCV pinhole model, distortion k1, k2, p1, p2, k3) with the
// quality figures of its adjustment. Only accepted results are ever stored in a map.
struct CameraCalibParams {
    double fx = 0.0;  // px
    double fy = 0.0;
    double cx = 0.0;
    double cy = 0.0;
    double k1 = 0.0;
    double k2 = 0.0;
    double p1 = 0.0;
    double p2 = 0.0;
    double k3 = 0.0;  // not estimated; always 0
    qint32 imageWidth = 0;
    qint32 imageHeight = 0;
    QString band;         // the map key
    QString priorSource;  // where the starting camera came from
    double focalLengthMm = 0.0;  // pixelSizeUm * fx / 1000
    double principalXMm = 0.0;
    double principalYMm = 0.0;
    double pixelSizeUm = 3.75;
    double initialRmsPx = 0.0;
    double finalRmsPx = 0.0;
    double p90ErrorPx = 0.0;
    double minCoverage = 0.0;  // smallest per-image hull coverage, capped at 1
    qint32 adjustedTrackCount = 0;
    qint32 selectedTrackCount = 0;
    bool accepted = false;
    // Whether the data supported a lens other than the XMP one: the standard deviation of the
    // adjusted fx, and when the XMP lens is kept (the band then has no stored result), why.
    double adjustedFxPx = 0.0;  // fx of the adjustment with free intrinsics (0: none ran)
    double fxSigmaPx = 0.0;
    bool xmpLensKept = false;  // then fx ... p2 are the XMP lens
    QString lensDecision;

    bool operator==(const CameraCalibParams& o) const;
    bool operator!=(const CameraCalibParams& o) const { return !(*this == o); }
};

// Accepted results by lower-case band key.
using CameraCalibParamsMap = QMap<QString, CameraCalibParams>;

// Registers the record and its map (under both of the map's names) for queued signals. Safe to
// call more than once.
void registerCalibrationMetaTypes();

}  // namespace refl

Q_DECLARE_METATYPE(refl::CameraCalibParams)
Q_DECLARE_METATYPE(refl::CameraCalibParamsMap)
