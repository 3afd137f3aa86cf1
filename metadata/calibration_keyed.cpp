// Keyed calibration layout: the "_NM" keys of newer firmware, read through exiv2.
#include <QDebug>

#include <cmath>

#include "exif_xmp.h"
#include "radiometric_calibration.h"

namespace refl {

namespace {

// The texts of one image that the keyed readers use.
struct KeyedTexts {
    QString make, model, radiometric, polynomial, centre, exposureTime, gain, blackLevel, irradiance,
        stdExposure, stdGain;
};

bool openKeyed(const QString& path, KeyedTexts& t) {
    ImageMetadata meta;
    if (!readCameraMetadata(path, meta)) return false;
    t.make = readExifValue(meta.exif, "Exif.Image.Make");
    t.radiometric = readXmpValue(meta.xmp, t.make.toLower() == "quorvin" ? "Xmp.Quorvin.RadiometricCalibration_NM"
                                                                       : "Xmp.TAVREN.RadiometricCalibration_NM");
    t.model = readExifValue(meta.exif, "Exif.Image.Model");
    t.polynomial = readXmpValue(meta.xmp, "Xmp.Camera.VignettingPolynomial_NM");
    t.centre = readXmpValue(meta.xmp, "Xmp.Camera.VignettingCenter_NM");
    t.exposureTime = readXmpValue(meta.xmp, "Xmp.Camera.IrradianceExposureTime");
    t.gain = readXmpValue(meta.xmp, "Xmp.Camera.IrradianceGain");
    t.blackLevel = readExifValue(meta.exif, "Exif.Image.BlackLevel");
    t.irradiance = readXmpValue(meta.xmp, "Xmp.Camera.Irradiance");
    t.stdExposure = readXmpValue(meta.xmp, "Xmp.Camera.STDIrradianceExposureTime");
    t.stdGain = readXmpValue(meta.xmp, "Xmp.Camera.STDIrradianceGain");
    return true;
}

bool missing(const QString& text) { return text.isEmpty() || text == QLatin1String(kUnknow); }

// Whether each of the six required texts is missing, in the order the log line shows them.
QVector<bool> missingRequired(const KeyedTexts& t) {
    return {missing(t.radiometric), missing(t.polynomial), missing(t.centre),
            missing(t.exposureTime), missing(t.gain), missing(t.blackLevel)};
}

bool anyOf(const QVector<bool>& flags) { return std::any_of(flags.begin(), flags.end(), [](bool b) { return b; }); }

bool modelMeasuresExposureInSeconds(const QString& model) {
    return model == "PV760" || model == "PV740" || model == "TR310";
}

// The black level may hold one value per colour channel; the first one counts.
bool parseBlackLevel(const QString& text, uint16_t& out) {
    bool ok = false;
    const uint value = text.trimmed().section(QRegExp("[\\s,]+"), 0, 0).toUInt(&ok);
    if (!ok || value > 0xFFFFu) return false;
    out = static_cast<uint16_t>(value);
    return true;
}

// Numbers of a comma-separated list; `count` items, missing ones read as 0. False when an item
// that is present is not a finite number.
bool parseList(const QStringList& parts, int count, QVector<double>& out) {
    out.fill(0.0, count);
    for (int i = 0; i < count && i < parts.size(); ++i) {
        bool ok = false;
        out[i] = parseNumber(parts.at(i), &ok);
        if (!ok) return false;
    }
    return true;
}

// Exposure in milliseconds for the maker's own models, otherwise as ratios to the reference.
void normaliseExposure(const QString& model, double exposureTime, double gain, double stdExposure, double stdGain,
                       double& exposureOut, double& gainOut) {
    if (modelMeasuresExposureInSeconds(model)) {
        exposureOut = exposureTime * 1000.0;
        gainOut = gain;
    } else {
        exposureOut = exposureTime / stdExposure;
        gainOut = gain / stdGain;
    }
}

void fillCoefficients(RadiometricCalibration& r, const QVector<double>& rad, const QVector<double>& poly,
                      const QVector<double>& centre) {
    r.a0 = rad[0];
    r.c1 = rad[1];
    r.c2 = rad[2];
    r.k0 = poly[0];
    r.k1 = poly[1];
    r.k2 = poly[2];
    r.k3 = poly[3];
    r.k4 = poly[4];
    r.k5 = poly[5];
    r.k6 = poly[6];
    r.centreX = centre[0];
    r.centreY = centre[1];
}

}  // namespace

bool readImageExif(const QString& path, RadiometricCalibration& record) {
    KeyedTexts t;
    if (!openKeyed(path, t)) return false;
    const QVector<bool> absent = missingRequired(t);
    if (anyOf(absent)) {
        qDebug() << "readImageExif00000000000" << absent[0] << absent[1] << absent[2] << absent[3] << absent[4]
                 << absent[5];
        return false;
    }
    const QStringList radParts = t.radiometric.split(',');
    if (radParts.size() < 3) {
        qDebug() << "readImageExif: radiometricCalibration invalid format:" << t.radiometric;
        return false;
    }
    const QStringList polyParts = t.polynomial.split(',');
    if (polyParts.size() < 7) {
        qDebug() << "readImageExif: vignettingPolynomial invalid format, count=" << polyParts.size();
        if (polyParts.size() < 6) {
            qDebug() << "readImageExif: vignettingPolynomial too few:" << t.polynomial;
            return false;
        }
    }
    const QStringList centreParts = t.centre.split(',');
    if (centreParts.size() < 2) {
        qDebug() << "readImageExif: vignettingCenter invalid format:" << t.centre;
        return false;
    }

    QVector<double> rad, poly, centre;
    bool okT = false, okG = false;
    const double exposureTime = parseNumber(t.exposureTime, &okT);
    const double gain = parseNumber(t.gain, &okG);
    uint16_t dark = 0;
    if (!parseList(radParts, 3, rad) || !parseList(polyParts, 7, poly) || !parseList(centreParts, 2, centre) ||
        !okT || !okG || !parseBlackLevel(t.blackLevel, dark)) {
        qDebug() << "readImageExif: not a number among" << t.radiometric << "|" << t.polynomial << "|" << t.centre
                 << "|" << t.exposureTime << "|" << t.gain << "|" << t.blackLevel;
        return false;
    }
    const double irradiance = parseNumber(t.irradiance);
    const double stdExposure = parseNumber(t.stdExposure);
    const double stdGain = parseNumber(t.stdGain);
    double exposure = 0.0, normalisedGain = 0.0;
    normaliseExposure(t.model, exposureTime, gain, stdExposure, stdGain, exposure, normalisedGain);
    if (!std::isfinite(exposure) || !std::isfinite(normalisedGain)) {
        qDebug() << "readImageExif: exposure or gain not finite, reference exposure" << t.stdExposure
                 << "reference gain" << t.stdGain;
        return false;
    }

    fillCoefficients(record, rad, poly, centre);
    record.darkLevel = dark;
    record.irradiance = irradiance;
    record.stdExposure = stdExposure;
    record.stdGain = stdGain;
    qDebug() << "readImageExif in run" << record.a0 << QString::number(record.a0, 'g', 16) << record.c1 << record.c2
             << record.k0 << record.k1 << record.k2 << record.k3 << record.k4 << record.k5 << record.k6
             << record.centreX << record.centreY << record.darkLevel << exposureTime << gain << stdExposure << stdGain;
    record.exposure = exposure;
    record.gain = normalisedGain;
    return true;
}

bool readImageExifPanel(const QString& path, RadiometricCalibration& record) {
    KeyedTexts t;
    if (!openKeyed(path, t)) return false;
    const QVector<bool> absent = missingRequired(t);
    if (anyOf(absent)) {
        qDebug() << "readImageExif00000000001" << absent[0] << absent[1] << absent[2] << absent[3] << absent[4]
                 << absent[5];
        return false;
    }
    QVector<double> rad, poly, centre;
    bool okT = false, okG = false;
    const double exposureTime = parseNumber(t.exposureTime, &okT);
    const double gain = parseNumber(t.gain, &okG);
    uint16_t dark = 0;
    if (!parseList(t.radiometric.split(','), 3, rad) || !parseList(t.polynomial.split(','), 7, poly) ||
        !parseList(t.centre.split(','), 2, centre) || !okT || !okG || !parseBlackLevel(t.blackLevel, dark)) {
        qDebug() << "grey board readImageExif: not a number among" << t.radiometric << "|" << t.polynomial << "|"
                 << t.centre << "|" << t.exposureTime << "|" << t.gain << "|" << t.blackLevel;
        return false;
    }
    fillCoefficients(record, rad, poly, centre);
    record.darkLevel = dark;
    record.irradiance = parseNumber(t.irradiance);
    record.stdExposure = parseNumber(t.stdExposure);
    record.stdGain = parseNumber(t.stdGain);
    normaliseExposure(t.model, exposureTime, gain, record.stdExposure, record.stdGain, record.exposure, record.gain);
    qDebug() << "grey board readImageExif00000000001" << t.model << record.a0 << record.centreX << record.centreY
             << record.c1 << record.c2 << record.k0 << record.k1 << record.k2 << record.k3 << record.k4 << record.k5
             << record.k6 << record.darkLevel << record.exposure << record.gain << record.irradiance
             << record.stdExposure << record.stdGain;
    if (!std::isfinite(record.exposure) || !std::isfinite(record.gain)) return false;
    return true;
}

}  // namespace refl
