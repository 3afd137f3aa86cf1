// truth.json: the record every generated flight leaves beside its images.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "sample_flight.h"

namespace reflsample {

namespace {

QJsonArray matrix(const cv::Matx33d& m) {
    QJsonArray a;
    for (int i = 0; i < 9; ++i) a << m.val[i];
    return a;
}

QJsonArray numbers(const QVector<double>& v) {
    QJsonArray a;
    for (double d : v) a << d;
    return a;
}

QJsonArray points(const QVector<cv::Point2d>& v) {
    QJsonArray a;
    for (const auto& p : v) a << QJsonArray{p.x, p.y};
    return a;
}

QJsonObject bandObject(const BandTruth& b) {
    QJsonObject o;
    o["index"] = b.index;
    o["wavelengthNm"] = b.wavelengthNm;
    o["label"] = b.label;
    o["cameraMatrix"] = matrix(b.K);
    o["distortion"] = QJsonArray{b.D[0], b.D[1], b.D[2], b.D[3], b.D[4]};
    o["bandFromRefRotation"] = matrix(b.bandFromRef);
    o["refFromBand"] = matrix(b.refFromBand);
    o["refFromBandCorrected"] = matrix(b.refFromBandCorrected);
    o["refFromBandRaw"] = matrix(b.refFromBandRaw);
    o["refFromBandRawRmsPx"] = b.rawFitRmsPx;
    o["xmpFocalMm"] = b.xmpFocalMm;
    o["xmpPrincipalPointMm"] = QJsonArray{b.xmpPrincipalXMm, b.xmpPrincipalYMm};
    if (b.xmpLensDiffers()) {  // only flights generated with an XMP lens error carry the XMP lens apart
        o["xmpCameraMatrix"] = matrix(b.xmpK);
        o["xmpDistortion"] = QJsonArray{b.xmpD[0], b.xmpD[1], b.xmpD[2], b.xmpD[3], b.xmpD[4]};
    }
    o["a0"] = b.a0;
    o["c1"] = b.c1;
    o["c2"] = b.c2;
    o["vignettingCentre"] = QJsonArray{b.vignettingCentreX, b.vignettingCentreY};
    o["vignettingPolynomial"] = QJsonArray{b.k[0], b.k[1], b.k[2], b.k[3], b.k[4], b.k[5]};
    o["darkLevel"] = b.darkLevel;
    o["irradiance"] = b.irradiance;
    o["noiseReadDn"] = b.noiseReadDn;
    o["noiseShotFactor"] = b.noiseShotFactor;
    o["jpgFactor"] = QString("%1/%2").arg(b.jpgFactorNum).arg(b.jpgFactorDen);
    return o;
}

QJsonObject captureObject(const CaptureTruth& c) {
    QJsonObject o;
    o["key"] = c.key;
    o["kind"] = c.kind;
    o["files"] = QJsonArray::fromStringList(c.files);
    if (!c.jpgFiles.isEmpty()) o["jpgFiles"] = QJsonArray::fromStringList(c.jpgFiles);
    o["relativeAltitude"] = c.relativeAltitude;
    o["exposureTime"] = c.exposureTime;
    o["gain"] = c.gain;
    o["exposureAsRead"] = numbers(c.exposureAsRead);
    o["gainAsRead"] = numbers(c.gainAsRead);
    o["centre"] = QJsonArray{c.centre[0], c.centre[1], c.centre[2]};
    o["camFromWorld"] = matrix(c.camFromWorld);
    o["yawDeg"] = c.yawDeg;
    o["pitchDeg"] = c.pitchDeg;
    o["rollDeg"] = c.rollDeg;
    o["latitude"] = c.latitude;
    o["longitude"] = c.longitude;
    o["gpsAltitude"] = c.gpsAltitude;
    return o;
}

QJsonObject panelObject(const PanelTruth& p) {
    QJsonObject o;
    o["captureKey"] = p.captureKey;
    o["newBoard"] = p.newBoard;
    o["serial"] = p.serial;
    o["qrPayload"] = p.qrPayload;
    o["angleDeg"] = p.angleDeg;
    o["reflectance"] = numbers(p.reflectance);
    o["radiance"] = numbers(p.radiance);
    o["qrCentre"] = points(p.qrCentre);
    o["qrSidePx"] = numbers(p.qrSidePx);
    o["greyCentre"] = points(p.greyCentre);
    return o;
}

}  // namespace

QByteArray truthToJson(const FlightTruth& t) {
    QJsonObject root;
    QJsonObject cam;
    cam["cameraType"] = t.camera.cameraType;
    cam["serial"] = t.camera.serial;
    cam["make"] = t.camera.make;
    cam["model"] = t.camera.model;
    cam["layout"] = layoutName(t.options.layout);
    cam["width"] = t.camera.width;
    cam["height"] = t.camera.height;
    cam["pixelSizeUm"] = t.camera.pixelSizeUm;
    cam["xmpPixelSizeUm"] = t.camera.xmpPixelSizeUm;
    cam["focalMm"] = t.camera.focalMm;
    root["camera"] = cam;
    root["seed"] = double(t.options.seed);
    root["referenceBand"] = t.referenceBand;
    if (t.options.xmpLensError > 0.0) root["xmpLensError"] = t.options.xmpLensError;
    if (t.options.xmpFocalErrorPct > 0.0) root["xmpFocalErrorPct"] = t.options.xmpFocalErrorPct;
    // Flight geometry other than the default one line over gentle terrain.
    if (t.options.strips != 1) root["strips"] = t.options.strips;
    if (t.options.relief != 1.0) root["relief"] = t.options.relief;
    if (t.options.tiltDeg != 1.5) root["tiltDeg"] = t.options.tiltDeg;
    root["radiometricModel"] =
        "DN = darkLevel + L * (c1 * exposureAsRead * gainAsRead + c2) * a0 / P(r) + noise; "
        "P(r) = 1 + k0 r + ... + k5 r^6, r from vignettingCentre in 1-based pixels; L = reflectance * "
        "irradiance";
    QJsonArray bands;
    for (const BandTruth& b : t.bands) bands << bandObject(b);
    root["bands"] = bands;
    QJsonArray captures;
    for (const CaptureTruth& c : t.captures) captures << captureObject(c);
    root["captures"] = captures;
    QJsonArray checks;
    for (const CheckPoint& c : t.checkPoints) {
        QJsonObject o;
        o["name"] = c.name;
        o["captureKey"] = c.captureKey;
        o["radiusPx"] = c.radiusPx;
        o["pixel"] = points(c.pixel);
        o["reflectance"] = numbers(c.reflectance);
        o["radiance"] = numbers(c.radiance);
        checks << o;
    }
    root["checkPoints"] = checks;
    if (t.newPanel.present) root["newPanel"] = panelObject(t.newPanel);
    if (t.oldPanel.present) root["oldPanel"] = panelObject(t.oldPanel);
    root["generationSeconds"] = t.generationSeconds;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

}  // namespace reflsample
