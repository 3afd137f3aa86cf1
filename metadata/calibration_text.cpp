// Calibration from the raw XMP text: the compact layout (comma-separated numbers in one rdf:li)
// and the per-item layout of the older six-band files (one number per rdf:li).
#include <QDebug>

#include <cmath>

#include "exif_xmp.h"
#include "radiometric_calibration.h"

namespace refl {

namespace {

// The XMP block as text, up to its first zero byte.
QString xmpText(const QByteArray& xmp) { return QString::fromLatin1(xmp.constData(), qstrnlen(xmp.constData(), xmp.size())); }

// Text between the first `open` and the first `close` after it; empty when either is missing.
QString between(const QString& text, const QString& open, const QString& close) {
    const int start = text.indexOf(open);
    if (start < 0) return QString();
    const int from = start + open.size();
    const int end = text.indexOf(close, from);
    if (end < 0) return QString();
    return text.mid(from, end - from);
}

QString firstItem(const QString& text) { return between(text, "<rdf:li>", "</rdf:li>"); }

// Non-numbers read as 0, as the stored files expect.
double number(const QString& text) { return parseNumber(text); }

// Leading decimal integer of a text ("12.5" gives 12); 0 when there is none.
double leadingInteger(const QString& text) {
    const QString t = text.trimmed();
    int end = 0;
    if (end < t.size() && (t[end] == '-' || t[end] == '+')) ++end;
    while (end < t.size() && t[end].isDigit()) ++end;
    return t.left(end).toDouble();
}

QString g16(double v) { return QString::number(v, 'g', 16); }

bool finite(std::initializer_list<double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// Items of a per-item element: from the third line of the element's text on, the contents of
// successive rdf:li items.
QStringList perItemValues(const QString& text, const QString& element, int count) {
    const QString body = between(text, element + ">", "</" + element);
    const QString rest = body.section('\n', 2);
    QStringList items;
    int from = 0;
    while (items.size() < count) {
        const int open = rest.indexOf("<rdf:li>", from);
        if (open < 0) break;
        const int start = open + 8;
        const int close = rest.indexOf("</rdf:li>", start);
        if (close < 0) break;
        items << rest.mid(start, close - start);
        from = close + 9;
    }
    while (items.size() < count) items << QString();
    return items;
}

struct Exposure {
    double exposure, gain, irradiance;
};

}  // namespace

int readXmpNodeValueVerTwo(CalibrationReader copy, const QByteArray& xmp, RadiometricCalibration& r,
                           bool* keyedFlag) {
    const bool panel = copy == CalibrationReader::Panel;
    const QString text = xmpText(xmp);

    const QString rad =
        firstItem(between(text, "QuorVin:RadiometricCalibration>", "</QuorVin:RadiometricCalibration>"));
    r.a0 = number(rad.section(',', 0, 0));
    r.c1 = number(rad.section(',', 1, 1));
    // A fourth number makes c2 unreadable; stored files rely on it reading as 0.
    r.c2 = number(rad.section(',', 2, 3));
    qDebug() << "a0:c1:c2" << g16(r.a0) << r.c1 << r.c2;
    if (panel && keyedFlag && r.c1 == 1.0 && r.c2 == 0.0) *keyedFlag = true;

    const QString centre = firstItem(between(text, "Camera:VignettingCenter", "/Camera:VignettingCenter"));
    r.centreX = number(centre.section(',', 0, 0));
    r.centreY = number(centre.section(',', 1, 1));
    qDebug() << "x0:y0" << r.centreX << r.centreY;

    if (r.a0 == 0.0 || r.c1 == 0.0 || r.c2 == 0.0 || r.centreX == 0.0 || r.centreY == 0.0 ||
        !finite({r.a0, r.c1, r.c2, r.centreX, r.centreY})) {
        qDebug() << (panel ? "grey board have error data" : "have error data");
        return -1;
    }

    const QString poly = firstItem(between(text, "Camera:VignettingPolynomial", "/Camera:VignettingPolynomial"));
    r.k0 = number(poly.section(',', 0, 0));
    r.k1 = number(poly.section(',', 1, 1));
    r.k2 = number(poly.section(',', 2, 2));
    r.k3 = number(poly.section(',', 3, 3));
    r.k4 = number(poly.section(',', 4, 4));
    r.k5 = number(poly.section(',', 5, 6));
    qDebug() << "k0:k1" << r.k0 << r.k1;
    qDebug() << "k2:k3" << r.k2 << r.k3;
    qDebug() << "k4:k5" << r.k4 << r.k5;
    if (!finite({r.k0, r.k1, r.k2, r.k3, r.k4, r.k5})) {
        qDebug() << (panel ? "grey board have error data" : "have error data") << "(vignetting polynomial)";
        return -1;
    }

    if (panel && text.contains("Camera:VignettingPolynomial_NM")) {
        const QStringList parts =
            firstItem(between(text, "Camera:VignettingPolynomial_NM", "/Camera:VignettingPolynomial_NM")).split(',');
        QVector<double> k(7, 0.0);
        for (int i = 0; i < 7 && i < parts.size(); ++i) k[i] = number(parts.at(i));
        qDebug() << "readKDetailVerTwoNew:" << k[0] << k[1] << k[2] << k[3] << k[4] << k[5] << k[6];
        if (keyedFlag) *keyedFlag = k[0] != 0.0;
    }

    r.exposure = number(between(text, "Camera:IrradianceExposureTime>", "</Camera:IrradianceExposureTime>")) * 1000.0;
    qDebug() << (panel ? "..........t" : "t") << r.exposure;
    r.gain = number(between(text, "Camera:IrradianceGain>", "</Camera:IrradianceGain>"));
    qDebug() << "g" << r.gain;
    r.irradiance = number(between(text, "Camera:Irradiance>", "</Camera:Irradiance>"));
    qDebug() << "e" << r.irradiance;
    if (!finite({r.exposure, r.gain})) {
        qDebug() << (panel ? "grey board have error data" : "have error data") << "(exposure or gain)";
        return -1;
    }
    if (panel && keyedFlag) qDebug() << "V11 old or new" << *keyedFlag;
    return 0;
}

bool readXmpPerItem(CalibrationReader copy, const QByteArray& xmp, RadiometricCalibration& r) {
    const bool panel = copy == CalibrationReader::Panel;
    const QString text = xmpText(xmp);
    qDebug() << (panel ? "V1 Original camera::::::::::::::::::::::::::::::::::::::::::::::::::::::::"
                       : "The next::::::::::::::::::::::::::::::::::::::::::::::::::::::::");
    if (panel) {
        const QStringList rad = perItemValues(text, "QuorVin:RadiometricCalibration", 3);
        const double a0 = number(rad[0]), c1 = number(rad[1]), c2 = number(rad[2]);
        qDebug() << "a0:c1:c2" << g16(a0) << c1 << c2;
        const QStringList centre = perItemValues(text, "Camera:VignettingCenter", 2);
        const double x0 = number(centre[0]), y0 = number(centre[1]);
        qDebug() << "x0:y0" << x0 << y0;
        const QStringList poly = perItemValues(text, "Camera:VignettingPolynomial", 6);
        double k[6];
        for (int i = 0; i < 6; ++i) k[i] = number(poly[i]);
        qDebug() << "k0:k1" << k[0] << k[1];
        qDebug() << "k2:k3" << k[2] << k[3];
        qDebug() << "k4:k5" << k[4] << k[5];
        if (a0 == 0.0 || c1 == 0.0 || x0 == 0.0 || y0 == 0.0 ||
            !finite({a0, c1, c2, x0, y0, k[0], k[1], k[2], k[3], k[4], k[5]})) {
            qDebug() << "grey board have error data";
            return false;
        }
        r.a0 = a0;
        r.c1 = c1;
        r.c2 = c2;
        r.centreX = x0;
        r.centreY = y0;
        r.k0 = k[0];
        r.k1 = k[1];
        r.k2 = k[2];
        r.k3 = k[3];
        r.k4 = k[4];
        r.k5 = k[5];
    }
    const double exposure =
        number(between(text, "Camera:IrradianceExposureTime>", "</Camera:IrradianceExposureTime>")) * 1000.0;
    const double gain = leadingInteger(between(text, "Camera:IrradianceGain>", "</Camera:IrradianceGain>"));
    const double irradiance = number(between(text, "Camera:Irradiance>", "</Camera:Irradiance>"));
    if (panel) qDebug() << "..........t" << exposure << "g" << gain << "e" << irradiance;
    if (!finite({exposure, gain, irradiance})) {
        qDebug() << (panel ? "grey board have error data" : "have error data") << "(exposure or gain)";
        return false;
    }
    r.exposure = exposure;
    r.gain = gain;
    r.irradiance = irradiance;
    return true;
}

}  // namespace refl
