#include "flight_state.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cmath>
#include <functional>
#include <limits>

using namespace refl;

namespace {

const QString kFormat = QStringLiteral("reflectivity-flight-state");

// Numbers that JSON cannot hold (a record may carry NaN for an absent value) are written as null.
QJsonValue number(double v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(); }

QJsonArray numbers(const QVector<double>& values) {
    QJsonArray a;
    for (double v : values) a.append(number(v));
    return a;
}

// The fields of the factory calibration record, by name.
struct RecordField {
    const char* name;
    std::function<double&(RadiometricCalibration&)> get;
};
const std::vector<RecordField>& recordFields() {
    static const std::vector<RecordField> fields{
        {"a0", [](RadiometricCalibration& r) -> double& { return r.a0; }},
        {"centreX", [](RadiometricCalibration& r) -> double& { return r.centreX; }},
        {"centreY", [](RadiometricCalibration& r) -> double& { return r.centreY; }},
        {"c1", [](RadiometricCalibration& r) -> double& { return r.c1; }},
        {"c2", [](RadiometricCalibration& r) -> double& { return r.c2; }},
        {"k0", [](RadiometricCalibration& r) -> double& { return r.k0; }},
        {"k1", [](RadiometricCalibration& r) -> double& { return r.k1; }},
        {"k2", [](RadiometricCalibration& r) -> double& { return r.k2; }},
        {"k3", [](RadiometricCalibration& r) -> double& { return r.k3; }},
        {"k4", [](RadiometricCalibration& r) -> double& { return r.k4; }},
        {"k5", [](RadiometricCalibration& r) -> double& { return r.k5; }},
        {"k6", [](RadiometricCalibration& r) -> double& { return r.k6; }},
        {"exposure", [](RadiometricCalibration& r) -> double& { return r.exposure; }},
        {"gain", [](RadiometricCalibration& r) -> double& { return r.gain; }},
        {"irradiance", [](RadiometricCalibration& r) -> double& { return r.irradiance; }},
        {"stdExposure", [](RadiometricCalibration& r) -> double& { return r.stdExposure; }},
        {"stdGain", [](RadiometricCalibration& r) -> double& { return r.stdGain; }},
    };
    return fields;
}

struct LensField {
    const char* name;
    std::function<double&(CameraCalibParams&)> get;
};
const std::vector<LensField>& lensFields() {
    static const std::vector<LensField> fields{
        {"fx", [](CameraCalibParams& p) -> double& { return p.fx; }},
        {"fy", [](CameraCalibParams& p) -> double& { return p.fy; }},
        {"cx", [](CameraCalibParams& p) -> double& { return p.cx; }},
        {"cy", [](CameraCalibParams& p) -> double& { return p.cy; }},
        {"k1", [](CameraCalibParams& p) -> double& { return p.k1; }},
        {"k2", [](CameraCalibParams& p) -> double& { return p.k2; }},
        {"p1", [](CameraCalibParams& p) -> double& { return p.p1; }},
        {"p2", [](CameraCalibParams& p) -> double& { return p.p2; }},
        {"k3", [](CameraCalibParams& p) -> double& { return p.k3; }},
        {"focalLengthMm", [](CameraCalibParams& p) -> double& { return p.focalLengthMm; }},
        {"principalXMm", [](CameraCalibParams& p) -> double& { return p.principalXMm; }},
        {"principalYMm", [](CameraCalibParams& p) -> double& { return p.principalYMm; }},
        {"pixelSizeUm", [](CameraCalibParams& p) -> double& { return p.pixelSizeUm; }},
        {"initialRmsPx", [](CameraCalibParams& p) -> double& { return p.initialRmsPx; }},
        {"finalRmsPx", [](CameraCalibParams& p) -> double& { return p.finalRmsPx; }},
        {"p90ErrorPx", [](CameraCalibParams& p) -> double& { return p.p90ErrorPx; }},
        {"minCoverage", [](CameraCalibParams& p) -> double& { return p.minCoverage; }},
    };
    return fields;
}

QByteArray checksumOf(QJsonObject object) {
    object.remove("checksum");
    return QCryptographicHash::hash(QJsonDocument(object).toJson(QJsonDocument::Compact),
                                    QCryptographicHash::Sha256)
        .toHex();
}

// Reading with one message for the first thing that is wrong.
class Reader {
public:
    QString problem;

    bool fail(const QString& text) {
        if (problem.isEmpty()) problem = text;
        return false;
    }
    QJsonObject object(const QJsonObject& o, const char* key) {
        const QJsonValue v = o.value(key);
        if (!v.isObject()) fail(QString("\"%1\" is missing or not an object").arg(key));
        return v.toObject();
    }
    QJsonArray array(const QJsonObject& o, const char* key) {
        const QJsonValue v = o.value(key);
        if (!v.isArray()) fail(QString("\"%1\" is missing or not a list").arg(key));
        return v.toArray();
    }
    QString text(const QJsonObject& o, const char* key) {
        const QJsonValue v = o.value(key);
        if (!v.isString()) fail(QString("\"%1\" is missing or not a text").arg(key));
        return v.toString();
    }
    bool flag(const QJsonObject& o, const char* key) {
        const QJsonValue v = o.value(key);
        if (!v.isBool()) fail(QString("\"%1\" is missing or not true/false").arg(key));
        return v.toBool();
    }
    // null stands for a number JSON cannot hold.
    double value(const QJsonValue& v, const QString& what, bool nullable = false) {
        if (nullable && v.isNull()) return std::numeric_limits<double>::quiet_NaN();
        if (!v.isDouble()) fail(QString("%1 is missing or not a number").arg(what));
        return v.toDouble();
    }
    double value(const QJsonObject& o, const char* key, bool nullable = false) {
        return value(o.value(key), QString("\"%1\"").arg(key), nullable);
    }
    int integer(const QJsonObject& o, const char* key, int low, int high) {
        const double v = value(o, key);
        if (problem.isEmpty() && (v != std::floor(v) || v < low || v > high))
            fail(QString("\"%1\" is %2, expected a whole number from %3 to %4")
                     .arg(key)
                     .arg(v)
                     .arg(low)
                     .arg(high));
        return int(v);
    }
    QStringList texts(const QJsonObject& o, const char* key) {
        QStringList out;
        for (const QJsonValue& v : array(o, key)) {
            if (!v.isString()) fail(QString("\"%1\" holds something that is not a text").arg(key));
            out << v.toString();
        }
        return out;
    }
};

}  // namespace

QByteArray flightStateToJson(const FlightState& s) {
    QJsonObject root;
    root["format"] = kFormat;
    root["version"] = FlightState::kVersion;
    root["program"] = s.program;
    root["created"] = s.created;

    root["flight"] = QJsonObject{{"rawDirectory", s.rawDirectory},
                                 {"fingerprint", s.flightFingerprint},
                                 {"images", s.imageCount},
                                 {"captures", s.captureCount}};
    root["camera"] = QJsonObject{{"type", s.cameraType},
                                 {"serial", s.serial},
                                 {"make", s.make},
                                 {"model", s.model},
                                 {"width", s.width},
                                 {"height", s.height},
                                 {"pixelSizeUm", s.pixelSizeUm},
                                 {"focalMm", s.focalMm},
                                 {"layoutFlag", s.layoutFlag},
                                 {"keyedFlag", s.keyedFlag}};

    QJsonArray bands;
    for (int b = 0; b < s.bandLabels.size(); ++b) {
        QJsonObject band{{"label", s.bandLabels[b]}};
        RadiometricCalibration record = s.calibration.value(b);
        QJsonObject calibration;
        for (const RecordField& f : recordFields()) calibration[f.name] = number(f.get(record));
        calibration["darkLevel"] = int(record.darkLevel);
        band["calibration"] = calibration;
        bands.append(band);
    }
    root["bands"] = bands;

    QJsonObject panel{{"reflectance", s.reflectance}};
    if (s.reflectance) {
        panel["values"] = numbers(s.panelValues);
        panel["standardReflectance"] =
            numbers(QVector<double>(s.standardReflectance.begin(), s.standardReflectance.end()));
    }
    root["panel"] = panel;

    QJsonArray lenses;
    for (const QString& key : s.lensBandKeys) {
        QJsonObject lens{{"band", key}};
        if (!s.lens.contains(key)) {
            lens["source"] = "xmp";
        } else {
            CameraCalibParams p = s.lens.value(key);
            lens["source"] = "self-calibration";
            for (const LensField& f : lensFields()) lens[f.name] = number(f.get(p));
            lens["imageWidth"] = p.imageWidth;
            lens["imageHeight"] = p.imageHeight;
            lens["priorSource"] = p.priorSource;
            lens["adjustedTrackCount"] = p.adjustedTrackCount;
            lens["selectedTrackCount"] = p.selectedTrackCount;
            lens["accepted"] = p.accepted;
        }
        lenses.append(lens);
    }
    root["lens"] = QJsonObject{{"selfCalibrationRan", s.selfCalibrationRan}, {"bands", lenses}};

    QJsonObject registration{{"commonMatrices", s.hasCommonMatrices}};
    if (s.hasCommonMatrices) {
        registration["referenceBand"] = s.commonReference;
        registration["altitude"] = number(s.commonAltitude);
        registration["captures"] = QJsonArray::fromStringList(s.commonCaptures);
        QJsonArray matrices;
        for (auto it = s.commonMatrices.begin(); it != s.commonMatrices.end(); ++it) {
            QJsonArray m;
            for (double v : it.value()) m.append(v);
            matrices.append(
                QJsonObject{{"band", it.key()}, {"name", s.commonBandNames.value(it.key())}, {"matrix", m}});
        }
        registration["matrices"] = matrices;
        registration["bandNames"] = QJsonArray::fromStringList(s.commonBandNames);
    }
    root["registration"] = registration;

    root["checksum"] = QString::fromLatin1(checksumOf(root));
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

// The envelope: a JSON object of our format and version whose checksum matches its content.
bool readEnvelope(const QByteArray& json, QJsonObject& root, QString& problem) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (doc.isNull()) {
        problem =
            QString("not a complete JSON text (%1 at byte %2)").arg(error.errorString()).arg(error.offset);
        return false;
    }
    if (!doc.isObject()) {
        problem = "not a flight state (the JSON text is not an object)";
        return false;
    }
    root = doc.object();
    if (root.value("format").toString() != kFormat) {
        problem = QString("not a flight state (\"format\" is not \"%1\")").arg(kFormat);
        return false;
    }
    Reader r;
    const int version = int(r.value(root, "version"));
    if (!r.problem.isEmpty()) {
        problem = r.problem;
        return false;
    }
    if (version != FlightState::kVersion) {
        problem = version > FlightState::kVersion
                      ? QString("written by a newer program (version %1; this program reads version %2)")
                            .arg(version)
                            .arg(FlightState::kVersion)
                      : QString("of an unknown version %1").arg(version);
        return false;
    }
    if (root.value("checksum").toString().toLatin1() != checksumOf(root)) {
        problem =
            "changed after it was written (its checksum does not match its content); write it again with "
            "--save-state";
        return false;
    }
    return true;
}

void readFlightAndCamera(Reader& r, const QJsonObject& root, FlightState& s) {
    s.program = r.text(root, "program");
    s.created = r.text(root, "created");
    const QJsonObject flight = r.object(root, "flight");
    s.rawDirectory = r.text(flight, "rawDirectory");
    s.flightFingerprint = r.text(flight, "fingerprint");
    s.imageCount = r.integer(flight, "images", 0, 1 << 30);
    s.captureCount = r.integer(flight, "captures", 0, 1 << 30);

    const QJsonObject camera = r.object(root, "camera");
    s.cameraType = r.integer(camera, "type", 0, 99);
    s.serial = r.text(camera, "serial");
    s.make = r.text(camera, "make");
    s.model = r.text(camera, "model");
    s.width = r.integer(camera, "width", 1, 100000);
    s.height = r.integer(camera, "height", 1, 100000);
    s.pixelSizeUm = r.value(camera, "pixelSizeUm");
    s.focalMm = r.value(camera, "focalMm");
    s.layoutFlag = r.integer(camera, "layoutFlag", 0, 1);
    s.keyedFlag = r.flag(camera, "keyedFlag");
}

void readBands(Reader& r, const QJsonObject& root, FlightState& s) {
    const QJsonArray bands = r.array(root, "bands");
    if (r.problem.isEmpty() && (bands.isEmpty() || bands.size() > 16))
        r.fail(QString("\"bands\" holds %1 bands").arg(bands.size()));
    for (const QJsonValue& v : bands) {
        const QJsonObject band = v.toObject();
        s.bandLabels << r.text(band, "label");
        const QJsonObject c = r.object(band, "calibration");
        RadiometricCalibration record;
        for (const RecordField& f : recordFields()) f.get(record) = r.value(c, f.name, true);
        record.darkLevel = uint16_t(r.integer(c, "darkLevel", 0, 65535));
        s.calibration << record;
    }
}

void readPanel(Reader& r, const QJsonObject& root, FlightState& s) {
    const QJsonObject panel = r.object(root, "panel");
    s.reflectance = r.flag(panel, "reflectance");
    if (!s.reflectance || !r.problem.isEmpty()) return;
    const QJsonArray values = r.array(panel, "values");
    if (r.problem.isEmpty() && values.size() < s.bandLabels.size())
        r.fail(QString("\"values\" of the panel holds %1 values for %2 bands")
                   .arg(values.size())
                   .arg(s.bandLabels.size()));
    for (int i = 0; i < values.size(); ++i) {
        const double v = r.value(values[i], "a panel value");
        if (r.problem.isEmpty() && i < s.bandLabels.size() && !(v > 0))
            r.fail(QString("panel value %1 is %2").arg(i).arg(v));
        s.panelValues << v;
    }
    const QJsonArray standard = r.array(panel, "standardReflectance");
    if (r.problem.isEmpty() && standard.size() != 6)
        r.fail(QString("\"standardReflectance\" holds %1 values instead of 6").arg(standard.size()));
    for (int i = 0; i < 6 && i < standard.size(); ++i) {
        const double v = r.value(standard[i], "a standard reflectance");
        if (r.problem.isEmpty() && !(v > 0 && v < 1))
            r.fail(QString("standard reflectance %1 is %2, outside 0 ... 1").arg(i).arg(v));
        s.standardReflectance[size_t(i)] = v;
    }
}

void readLenses(Reader& r, const QJsonObject& root, FlightState& s) {
    const QJsonObject lens = r.object(root, "lens");
    s.selfCalibrationRan = r.flag(lens, "selfCalibrationRan");
    for (const QJsonValue& v : r.array(lens, "bands")) {
        const QJsonObject band = v.toObject();
        const QString key = r.text(band, "band");
        s.lensBandKeys << key;
        const QString source = r.text(band, "source");
        if (source == "xmp") continue;
        if (source != "self-calibration") {
            r.fail(QString("lens source \"%1\" of band %2 is neither \"xmp\" nor \"self-calibration\"")
                       .arg(source, key));
            continue;
        }
        CameraCalibParams p;
        for (const LensField& f : lensFields()) f.get(p) = r.value(band, f.name);
        p.imageWidth = r.integer(band, "imageWidth", 0, 100000);
        p.imageHeight = r.integer(band, "imageHeight", 0, 100000);
        p.priorSource = r.text(band, "priorSource");
        p.adjustedTrackCount = r.integer(band, "adjustedTrackCount", 0, 1 << 30);
        p.selectedTrackCount = r.integer(band, "selectedTrackCount", 0, 1 << 30);
        p.accepted = r.flag(band, "accepted");
        p.band = key;
        if (r.problem.isEmpty() && !(p.fx > 0 && p.fy > 0))
            r.fail(QString("lens of band %1 has no focal length").arg(key));
        s.lens.insert(key, p);
    }
}

void readCommonMatrices(Reader& r, const QJsonObject& root, FlightState& s) {
    const QJsonObject registration = r.object(root, "registration");
    s.hasCommonMatrices = r.flag(registration, "commonMatrices");
    if (!s.hasCommonMatrices || !r.problem.isEmpty()) return;
    s.commonReference = r.integer(registration, "referenceBand", -1, 15);
    s.commonAltitude = r.value(registration, "altitude", true);
    s.commonCaptures = r.texts(registration, "captures");
    s.commonBandNames = r.texts(registration, "bandNames");
    for (const QJsonValue& v : r.array(registration, "matrices")) {
        const QJsonObject m = v.toObject();
        const int band = r.integer(m, "band", 0, 15);
        const QJsonArray numbers = r.array(m, "matrix");
        if (r.problem.isEmpty() && numbers.size() != 9)
            r.fail(
                QString("the matrix of band %1 holds %2 numbers instead of 9").arg(band).arg(numbers.size()));
        QList<double> matrix;
        for (const QJsonValue& x : numbers)
            matrix << r.value(x, QString("a number of the matrix of band %1").arg(band));
        if (r.problem.isEmpty() && band == s.commonReference)
            r.fail(QString("a matrix is given for the reference band %1").arg(band));
        s.commonMatrices.insert(band, matrix);
    }
}

}  // namespace

bool flightStateFromJson(const QByteArray& json, FlightState& out, QString& problem) {
    QJsonObject root;
    if (!readEnvelope(json, root, problem)) return false;
    Reader r;
    FlightState s;
    readFlightAndCamera(r, root, s);
    readBands(r, root, s);
    readPanel(r, root, s);
    readLenses(r, root, s);
    readCommonMatrices(r, root, s);
    if (r.problem.isEmpty() && s.calibration.size() != s.bandLabels.size())
        r.fail("bands without calibration");
    if (!r.problem.isEmpty()) {
        problem = r.problem;
        return false;
    }
    out = s;
    return true;
}

bool saveFlightState(const QString& path, const FlightState& state, QString& problem) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        problem = file.errorString();
        return false;
    }
    file.write(flightStateToJson(state));
    if (!file.commit()) {
        problem = file.errorString();
        return false;
    }
    return true;
}

bool loadFlightState(const QString& path, FlightState& state, QString& problem) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        problem = "cannot be read";
        return false;
    }
    // A state is a few kilobytes; anything far larger is not one.
    if (file.size() > 16 * 1024 * 1024) {
        problem = "too large for a flight state";
        return false;
    }
    return flightStateFromJson(file.readAll(), state, problem);
}

QString flightStateMismatch(const FlightState& state, int cameraType, const QString& serial, int width,
                            int height, const QStringList& bandLabels) {
    if (state.cameraType != cameraType || state.serial != serial)
        return QString("it is of another camera (type %1, serial %2; this flight: type %3, serial %4)")
            .arg(state.cameraType)
            .arg(state.serial, QString::number(cameraType), serial);
    if (state.width != width || state.height != height)
        return QString("its images are %1x%2 pixels, this flight's %3x%4")
            .arg(state.width)
            .arg(state.height)
            .arg(width)
            .arg(height);
    QStringList mine = state.bandLabels, theirs = bandLabels;
    mine.sort();
    theirs.sort();
    if (mine != theirs)
        return QString("its bands are %1, this flight's %2")
            .arg(state.bandLabels.join(","), bandLabels.join(","));
    return QString();
}
