#pragma once

// XMP packets of the three calibration layouts, written the way the cameras lay them out.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace {

inline QByteArray packet(const QString& body, const QString& extraNamespaces = QString()) {
    return QString("<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                   "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
                   " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                   "  <rdf:Description rdf:about=\"\"\n"
                   "    xmlns:Camera=\"http://example.com/camera/1.0/\"\n"
                   "    xmlns:QuorVin=\"http://example.com/quorvin-text/1.0/\"%1>\n"
                   "%2"
                   "  </rdf:Description>\n"
                   " </rdf:RDF>\n"
                   "</x:xmpmeta>\n"
                   "<?xpacket end=\"w\"?>")
        .arg(extraNamespaces, body)
        .toUtf8();
}

// An element holding one rdf:li with the whole comma-separated value.
inline QString seqOne(const QString& element, const QString& value) {
    return QString("   <%1>\n    <rdf:Seq>\n     <rdf:li>%2</rdf:li>\n    </rdf:Seq>\n   </%1>\n").arg(element, value);
}

// An element holding one rdf:li per value, one per line.
inline QString seqItems(const QString& element, const QStringList& values) {
    QString out = QString("   <%1>\n    <rdf:Seq>\n").arg(element);
    for (const QString& v : values) out += QString("     <rdf:li>%1</rdf:li>\n").arg(v);
    return out + QString("    </rdf:Seq>\n   </%1>\n").arg(element);
}

inline QString simple(const QString& element, const QString& value) {
    return QString("   <%1>%2</%1>\n").arg(element, value);
}

inline QString exposureKeys(const QString& time = "0.002", const QString& gain = "2", const QString& irradiance = "1.5") {
    return simple("Camera:IrradianceExposureTime", time) + simple("Camera:IrradianceGain", gain) +
           simple("Camera:Irradiance", irradiance);
}

// Compact layout: a0,c1,c2 / x0,y0 / k0..k5 in single items.
inline QByteArray compact(const QString& rad = "0.00012,0.8,0.05", const QString& centre = "640.5,480.25",
                          const QString& poly = "1e-4,2e-7,-3e-10,4e-13,-5e-16,6e-19", const QString& extra = QString()) {
    return packet(seqOne("QuorVin:RadiometricCalibration", rad) + seqOne("Camera:VignettingCenter", centre) +
                  seqOne("Camera:VignettingPolynomial", poly) + extra + exposureKeys());
}

// Per-item layout of the older six-band files.
inline QByteArray perItem(const QStringList& rad = {"0.00012", "0.8", "0.05"},
                          const QStringList& centre = {"640.5", "480.25"},
                          const QStringList& poly = {"1e-4", "2e-7", "-3e-10", "4e-13", "-5e-16", "6e-19"},
                          const QString& gain = "2") {
    return packet(seqItems("QuorVin:RadiometricCalibration", rad) + seqItems("Camera:VignettingCenter", centre) +
                  seqItems("Camera:VignettingPolynomial", poly) + exposureKeys("0.002", gain));
}

}  // namespace
