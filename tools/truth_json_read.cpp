// Reading truth.json back into a FlightTruth (for checkers that run on a flight written by the command).
#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "sample_flight.h"

namespace reflsample {

namespace {

bool matrix(const QJsonValue& v, cv::Matx33d* m) {
    const QJsonArray a = v.toArray();
    if (a.size() != 9) return false;
    for (int i = 0; i < 9; ++i) m->val[i] = a[i].toDouble();
    return true;
}

QVector<double> numbers(const QJsonValue& v) {
    QVector<double> out;
    for (const QJsonValue& x : v.toArray()) out << x.toDouble();
    return out;
}

QVector<cv::Point2d> points(const QJsonValue& v) {
    QVector<cv::Point2d> out;
    for (const QJsonValue& p : v.toArray())
        out << cv::Point2d(p.toArray()[0].toDouble(), p.toArray()[1].toDouble());
    return out;
}

QStringList strings(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& s : v.toArray()) out << s.toString();
    return out;
}

bool readBand(const QJsonObject& o, BandTruth* b) {
    b->index = o["index"].toInt();
    b->wavelengthNm = o["wavelengthNm"].toInt();
    b->label = o["label"].toString();
    const QVector<double> d = numbers(o["distortion"]);
    const QVector<double> centre = numbers(o["vignettingCentre"]);
    const QVector<double> k = numbers(o["vignettingPolynomial"]);
    const QVector<double> pp = numbers(o["xmpPrincipalPointMm"]);
    if (d.size() != 5 || centre.size() != 2 || k.size() != 6 || pp.size() != 2) return false;
    if (!matrix(o["cameraMatrix"], &b->K) || !matrix(o["bandFromRefRotation"], &b->bandFromRef) ||
        !matrix(o["refFromBand"], &b->refFromBand) ||
        !matrix(o["refFromBandCorrected"], &b->refFromBandCorrected) ||
        !matrix(o["refFromBandRaw"], &b->refFromBandRaw))
        return false;
    for (int i = 0; i < 5; ++i) b->D[i] = d[i];
    // Without an XMP lens error the XMP keys describe the true lens.
    b->xmpK = b->K;
    b->xmpD = b->D;
    if (o.contains("xmpCameraMatrix") || o.contains("xmpDistortion")) {
        const QVector<double> xd = numbers(o["xmpDistortion"]);
        if (xd.size() != 5 || !matrix(o["xmpCameraMatrix"], &b->xmpK)) return false;
        for (int i = 0; i < 5; ++i) b->xmpD[i] = xd[i];
    }
    for (int i = 0; i < 6; ++i) b->k[i] = k[i];
    b->rawFitRmsPx = o["refFromBandRawRmsPx"].toDouble();
    b->xmpFocalMm = o["xmpFocalMm"].toDouble();
    b->xmpPrincipalXMm = pp[0];
    b->xmpPrincipalYMm = pp[1];
    b->a0 = o["a0"].toDouble();
    b->c1 = o["c1"].toDouble();
    b->c2 = o["c2"].toDouble();
    b->vignettingCentreX = centre[0];
    b->vignettingCentreY = centre[1];
    b->darkLevel = o["darkLevel"].toInt();
    b->irradiance = o["irradiance"].toDouble();
    b->noiseReadDn = o["noiseReadDn"].toDouble();
    b->noiseShotFactor = o["noiseShotFactor"].toDouble();
    const QStringList fraction = o["jpgFactor"].toString().split('/');
    if (fraction.size() == 2) {
        b->jpgFactorNum = fraction[0].toDouble();
        b->jpgFactorDen = fraction[1].toDouble();
    }
    return true;
}

bool readCapture(const QJsonObject& o, CaptureTruth* c) {
    c->key = o["key"].toString();
    c->kind = o["kind"].toString();
    c->files = strings(o["files"]);
    c->jpgFiles = strings(o["jpgFiles"]);
    c->relativeAltitude = o["relativeAltitude"].toDouble();
    c->exposureTime = o["exposureTime"].toDouble();
    c->gain = o["gain"].toDouble();
    c->exposureAsRead = numbers(o["exposureAsRead"]);
    c->gainAsRead = numbers(o["gainAsRead"]);
    const QVector<double> centre = numbers(o["centre"]);
    if (centre.size() != 3 || !matrix(o["camFromWorld"], &c->camFromWorld)) return false;
    c->centre = cv::Vec3d(centre[0], centre[1], centre[2]);
    c->yawDeg = o["yawDeg"].toDouble();
    c->pitchDeg = o["pitchDeg"].toDouble();
    c->rollDeg = o["rollDeg"].toDouble();
    c->latitude = o["latitude"].toDouble();
    c->longitude = o["longitude"].toDouble();
    c->gpsAltitude = o["gpsAltitude"].toDouble();
    return true;
}

void readPanel(const QJsonObject& o, PanelTruth* p) {
    p->present = !o.isEmpty();
    p->captureKey = o["captureKey"].toString();
    p->newBoard = o["newBoard"].toBool();
    p->serial = o["serial"].toString();
    p->qrPayload = o["qrPayload"].toString();
    p->angleDeg = o["angleDeg"].toDouble();
    p->reflectance = numbers(o["reflectance"]);
    p->radiance = numbers(o["radiance"]);
    p->qrCentre = points(o["qrCentre"]);
    p->qrSidePx = numbers(o["qrSidePx"]);
    p->greyCentre = points(o["greyCentre"]);
}

}  // namespace

bool truthFromJson(const QByteArray& json, FlightTruth* truth) {
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(json, &error).object();
    if (error.error != QJsonParseError::NoError || root.isEmpty()) {
        qDebug() << "truthFromJson: not a truth record:" << error.errorString();
        return false;
    }
    FlightTruth t;
    const QJsonObject cam = root["camera"].toObject();
    t.camera = cameraSpecFor(cam["cameraType"].toInt(), cam["width"].toInt(), cam["height"].toInt());
    t.camera.serial = cam["serial"].toString();
    t.camera.make = cam["make"].toString();
    t.camera.model = cam["model"].toString();
    t.options.cameraType = t.camera.cameraType;
    t.options.seed = quint32(root["seed"].toDouble());
    if (!layoutFromName(cam["layout"].toString(), &t.options.layout)) {
        qDebug() << "truthFromJson: unknown layout" << cam["layout"].toString();
        return false;
    }
    t.referenceBand = root["referenceBand"].toInt();
    t.options.xmpLensError = root["xmpLensError"].toDouble(0.0);
    t.options.xmpFocalErrorPct = root["xmpFocalErrorPct"].toDouble(0.0);
    t.options.strips = root["strips"].toInt(1);
    t.options.relief = root["relief"].toDouble(1.0);
    t.options.tiltDeg = root["tiltDeg"].toDouble(1.5);
    for (const QJsonValue& v : root["bands"].toArray()) {
        BandTruth b;
        if (!readBand(v.toObject(), &b)) {
            qDebug() << "truthFromJson: incomplete band record";
            return false;
        }
        t.bands << b;
    }
    for (const QJsonValue& v : root["captures"].toArray()) {
        CaptureTruth c;
        if (!readCapture(v.toObject(), &c)) {
            qDebug() << "truthFromJson: incomplete capture record";
            return false;
        }
        t.captures << c;
    }
    for (const QJsonValue& v : root["checkPoints"].toArray()) {
        const QJsonObject o = v.toObject();
        CheckPoint cp;
        cp.name = o["name"].toString();
        cp.captureKey = o["captureKey"].toString();
        for (int i = 0; i < t.captures.size(); ++i)
            if (t.captures[i].key == cp.captureKey) cp.captureIndex = i;
        cp.radiusPx = o["radiusPx"].toDouble();
        cp.pixel = points(o["pixel"]);
        cp.reflectance = numbers(o["reflectance"]);
        cp.radiance = numbers(o["radiance"]);
        t.checkPoints << cp;
    }
    readPanel(root["newPanel"].toObject(), &t.newPanel);
    readPanel(root["oldPanel"].toObject(), &t.oldPanel);
    t.options.captures = t.flightCaptureCount();
    t.generationSeconds = root["generationSeconds"].toDouble();
    if (t.bands.isEmpty() || t.referenceBand < 0 || t.referenceBand >= t.bands.size()) {
        qDebug() << "truthFromJson: no bands or no reference band";
        return false;
    }
    *truth = t;
    return true;
}

bool loadTruth(const QString& path, FlightTruth* truth) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        qDebug() << "loadTruth: cannot open" << path;
        return false;
    }
    return truthFromJson(f.readAll(), truth);
}

}  // namespace reflsample
