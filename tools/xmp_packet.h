// XMP packets of the raw band files in the three calibration layouts.
//
//   PerItem (V_One files): one number per rdf:li, one rdf:li per line.
//   Compact (V_Two files): one rdf:li of comma-separated numbers, plus a Camera:VignettingPolynomial_NM
//            item whose first number is 0, which tells the readers not to use the keyed layout.
//   Keyed   (types 3, 4, 6): the compact items plus the "_NM" keys (radiometric calibration under the
//            maker's namespace, seven-coefficient polynomial starting with 1, centre).
// The plain Camera:Vignetting* elements always come before their "_NM" twins, because the text readers
// take the first occurrence of the element name.
#pragma once

#include <QByteArray>
#include <QString>

namespace reflsample {

enum class XmpLayout { PerItem, Compact, Keyed };

struct XmpContent {
    XmpLayout layout = XmpLayout::Compact;
    bool calibration = true;                   ///< false: no radiometric / vignetting items (JPG captures)
    QString make = QStringLiteral("Quorvin");  ///< "quorvin" (any case) selects the Quorvin namespace
    QString serial;
    QString bandName;
    int wavelengthNm = 0;
    int fwhmNm = 0;  // written only when positive
    double a0 = 1, c1 = 1, c2 = 0;
    double centreX = 0, centreY = 0;
    double k[6] = {0, 0, 0, 0, 0, 0};
    double exposureTime = 0.0015;  ///< seconds
    double gain = 1;               ///< written as an integer in the PerItem layout
    double irradiance = 1;
    double stdExposureTime = 0.001;
    double stdGain = 1;
    double relativeAltitude = 0;
    double yawRad = 0, pitchRad = 0, rollRad = 0;
    QString std = QStringLiteral("1");
    double focalMm = 5.2, principalXMm = 0, principalYMm = 0;
    double k1 = 0, k2 = 0, k3 = 0, p1 = 0, p2 = 0;  ///< written in this order: k1, k2, k3, p1, p2
};

QByteArray buildXmpPacket(const XmpContent& content);

/// Namespace URIs used in the packets.
extern const char* const kCameraNs;
extern const char* const kDlsNs;

}  // namespace reflsample
