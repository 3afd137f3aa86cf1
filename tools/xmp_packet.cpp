#include "xmp_packet.h"

#include <QDebug>
#include <QStringList>

#include "camera_setup.h"

namespace reflsample {

const char* const kCameraNs = "http://pix4d.com/camera/1.0/";
const char* const kDlsNs = "http://quorvin.com/DLS/1.0/";

namespace {

const char* const kTextNs = "http://quorvin.com/QuorVin/1.0/";
const char* const kQuorvinNs = "http://quorvin.com/Quorvin/1.0/";
const char* const kTavrenNs = "http://tavren.com/TAVREN/1.0/";

QString joined(std::initializer_list<double> values) {
    QStringList parts;
    for (double v : values) parts << numberText(v);
    return parts.join(',');
}

class PacketText {
public:
    void simple(const QString& name, const QString& value) {
        text_ += QString("   <%1>%2</%1>\n").arg(name, value);
    }
    /// rdf:Seq with one rdf:li holding the whole value.
    void seqOne(const QString& name, const QString& value) {
        text_ += QString("   <%1>\n    <rdf:Seq>\n     <rdf:li>%2</rdf:li>\n    </rdf:Seq>\n   </%1>\n")
                     .arg(name, value);
    }
    /// rdf:Seq with one rdf:li per value, one per line.
    void seqItems(const QString& name, const QStringList& values) {
        text_ += QString("   <%1>\n    <rdf:Seq>\n").arg(name);
        for (const QString& v : values) text_ += QString("     <rdf:li>%1</rdf:li>\n").arg(v);
        text_ += QString("    </rdf:Seq>\n   </%1>\n").arg(name);
    }
    QString text_;
};

}  // namespace

QByteArray buildXmpPacket(const XmpContent& c) {
    const bool quorvin = c.make.toLower() == "quorvin";
    const QString keyedPrefix = quorvin ? QStringLiteral("Quorvin") : QStringLiteral("TAVREN");
    QString head = QString::fromUtf8("<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n");
    head += "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"XMP Core 5.1.2\">\n";
    head += " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n";
    head += "  <rdf:Description rdf:about=\"\"\n";
    head += QString("    xmlns:Camera=\"%1\"\n    xmlns:DLS=\"%2\"").arg(kCameraNs, kDlsNs);
    if (c.calibration) head += QString("\n    xmlns:QuorVin=\"%1\"").arg(kTextNs);
    if (c.calibration && c.layout == XmpLayout::Keyed)
        head += QString("\n    xmlns:%1=\"%2\"").arg(keyedPrefix, quorvin ? kQuorvinNs : kTavrenNs);
    head += ">\n";

    PacketText p;
    p.simple("Camera:Serial", c.serial);
    p.simple("Camera:BandName", c.bandName);
    p.simple("Camera:CentralWavelength", QString::number(c.wavelengthNm));
    if (c.fwhmNm > 0) p.simple("Camera:WavelengthFWHM", QString::number(c.fwhmNm));
    p.simple("Camera:RelativeAltitude", numberText(c.relativeAltitude));
    p.simple("Camera:STD", c.std);
    p.simple("Camera:ModelType", "perspective");
    p.simple("Camera:PrincipalPoint", joined({c.principalXMm, c.principalYMm}));
    p.simple("Camera:PerspectiveFocalLength", numberText(c.focalMm));
    p.simple("Camera:PerspectiveFocalLengthUnits", "mm");
    p.simple("Camera:PerspectiveDistortion", joined({c.k1, c.k2, c.k3, c.p1, c.p2}));
    if (c.calibration) {
        const QString gainText =
            c.layout == XmpLayout::PerItem ? QString::number(qRound(c.gain)) : numberText(c.gain);
        if (c.layout == XmpLayout::PerItem) {
            p.seqItems("Camera:VignettingCenter", {numberText(c.centreX), numberText(c.centreY)});
            QStringList ks;
            for (double k : c.k) ks << numberText(k);
            p.seqItems("Camera:VignettingPolynomial", ks);
        } else {
            p.seqOne("Camera:VignettingCenter", joined({c.centreX, c.centreY}));
            p.seqOne("Camera:VignettingPolynomial", joined({c.k[0], c.k[1], c.k[2], c.k[3], c.k[4], c.k[5]}));
            if (c.layout == XmpLayout::Keyed) {
                p.seqOne("Camera:VignettingCenter_NM", joined({c.centreX, c.centreY}));
                p.seqOne("Camera:VignettingPolynomial_NM",
                         joined({1.0, c.k[0], c.k[1], c.k[2], c.k[3], c.k[4], c.k[5]}));
            } else {
                p.seqOne("Camera:VignettingPolynomial_NM", "0,0,0,0,0,0,0");
            }
        }
        p.simple("Camera:IrradianceExposureTime", numberText(c.exposureTime));
        p.simple("Camera:IrradianceGain", gainText);
        p.simple("Camera:Irradiance", numberText(c.irradiance));
        p.simple("Camera:STDIrradianceExposureTime", numberText(c.stdExposureTime));
        p.simple("Camera:STDIrradianceGain", numberText(c.stdGain));
        if (c.layout == XmpLayout::PerItem) {
            p.seqItems("QuorVin:RadiometricCalibration",
                       {numberText(c.a0), numberText(c.c1), numberText(c.c2)});
        } else {
            p.seqOne("QuorVin:RadiometricCalibration", joined({c.a0, c.c1, c.c2}));
        }
        if (c.layout == XmpLayout::Keyed)
            p.seqOne(keyedPrefix + ":RadiometricCalibration_NM", joined({c.a0, c.c1, c.c2}));
    }
    p.simple("DLS:Yaw", numberText(c.yawRad));
    p.simple("DLS:Pitch", numberText(c.pitchRad));
    p.simple("DLS:Roll", numberText(c.rollRad));

    QString tail = "  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n";
    // A little padding, as cameras leave room to edit the packet in place.
    tail += QString(4, ' ') + "\n<?xpacket end=\"w\"?>";
    const QByteArray packet = (head + p.text_ + tail).toUtf8();
    if (packet.size() >= 4999) qDebug() << "buildXmpPacket: packet longer than the readers' 5000 bytes";
    return packet;
}

}  // namespace reflsample
