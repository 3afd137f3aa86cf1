#include "band_names.h"

#include <tiffio.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "exif_tags.h"

namespace refl {

namespace {

const char* const kCameraNamespace = "http://pix4d.com/camera/1.0/";

// A positive number from text such as "450", "450nm" or "450.5 nm"; 0 otherwise.
double wavelengthFrom(const QString& text) {
    static const QRegularExpression number(QStringLiteral("^\\s*(\\d+(?:\\.\\d+)?)\\s*(?:nm)?\\s*$"),
                                           QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = number.match(text);
    if (!m.hasMatch()) return 0.0;
    const double v = m.captured(1).toDouble();
    return v > 0 && v < 100000 ? v : 0.0;
}

QString numberText(double v) { return QString::number(v, 'g', 10); }

// The XMP packet of a TIFF (tag 700), empty when it has none or cannot be read.
QString packetOf(const QString& path) {
    TIFFErrorHandler oldError = TIFFSetErrorHandler(nullptr);
    TIFFErrorHandler oldWarning = TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    QString packet;
    if (tif) {
        uint32_t count = 0;
        void* data = nullptr;
        if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &count, &data) && data && count > 0)
            packet = QString::fromUtf8(static_cast<const char*>(data), int(count));
        TIFFClose(tif);
    }
    TIFFSetErrorHandler(oldError);
    TIFFSetWarningHandler(oldWarning);
    return packet;
}

QString xmlEscaped(const QString& text) { return text.toHtmlEscaped(); }

QString sequence(const QString& name, const QStringList& items) {
    QString s = QString(9, ' ') + "<" + name + ">\n" + QString(12, ' ') + "<rdf:Seq>\n";
    for (const QString& item : items) s += QString(15, ' ') + "<rdf:li>" + xmlEscaped(item) + "</rdf:li>\n";
    s += QString(12, ' ') + "</rdf:Seq>\n" + QString(9, ' ') + "</" + name + ">\n";
    return s;
}

}  // namespace

QString BandDescription::text() const {
    if (wavelengthNm <= 0) return name;
    return QString("%1 %2 nm").arg(name, numberText(wavelengthNm));
}

QString spectralRegionName(double nm) {
    if (!(nm > 0)) return QString();
    if (nm < 400) return QStringLiteral("Ultraviolet");
    if (nm < 500) return QStringLiteral("Blue");
    if (nm < 590) return QStringLiteral("Green");
    if (nm < 690) return QStringLiteral("Red");
    if (nm < 760) return QStringLiteral("Red edge");
    if (nm < 1000) return QStringLiteral("NIR");
    return QStringLiteral("SWIR");
}

BandDescription describeBand(const QString& label, const QString& xmpBandName, const QString& xmpWavelength,
                             const QString& xmpFwhm) {
    BandDescription d;
    d.wavelengthNm = wavelengthFrom(xmpWavelength);
    // A label such as "3" numbers the band; only "450nm" or a plausible wavelength names one.
    if (d.wavelengthNm <= 0 && (label.endsWith("nm", Qt::CaseInsensitive) || wavelengthFrom(label) >= 300))
        d.wavelengthNm = wavelengthFrom(label);
    d.fwhmNm = wavelengthFrom(xmpFwhm);
    const QString own = xmpBandName.trimmed();
    if (!own.isEmpty() && wavelengthFrom(own) <= 0) {
        d.name = own;
    } else if (d.wavelengthNm > 0) {
        d.name = spectralRegionName(d.wavelengthNm);
    } else {
        d.name = label;
    }
    return d;
}

QVector<BandDescription> describeMergedBands(const QString& mergedPath, const QStringList& bandLabels) {
    const QFileInfo merged(mergedPath);
    // The merge may write under a hidden scratch name (".IMG_0001_Multi.tif.partial-N") first.
    QString name = merged.fileName();
    if (name.startsWith('.')) name.remove(0, 1);
    const QStringList fields = name.split('_');
    const QString stem = fields.size() >= 3 ? fields[0] + "_" + fields[1] + "_" : QString();
    const QDir folder = merged.absoluteDir();
    QVector<BandDescription> out;
    for (const QString& label : bandLabels) {
        QString packet;
        if (!stem.isEmpty()) {
            // The converted file first (its "_Correct" twin carries the same XMP).
            QStringList candidates = folder.entryList({stem + label + ".tif", stem + label + "_*.tif",
                                                       stem + label + ".TIF", stem + label + "_*.TIF"},
                                                      QDir::Files, QDir::Name);
            candidates.removeAll(merged.fileName());
            for (const QString& name : candidates) {
                packet = packetOf(folder.filePath(name));
                if (!packet.isEmpty()) break;
            }
        }
        out << describeBand(label, xmpElementValue(packet, "Camera:BandName"),
                            xmpElementValue(packet, "Camera:CentralWavelength"),
                            xmpElementValue(packet, "Camera:WavelengthFWHM"));
    }
    return out;
}

QByteArray withBandSequences(const QByteArray& packet, const QVector<BandDescription>& bands) {
    const QByteArray closing("</rdf:RDF>");
    const int at = packet.lastIndexOf(closing);
    if (at < 0 || bands.isEmpty()) return packet;
    // The closing tag's own indentation stays in front of it.
    int lineStart = at;
    while (lineStart > 0 && packet[lineStart - 1] == ' ') --lineStart;

    QStringList names, wavelengths, widths;
    bool everyWidth = true;
    for (const BandDescription& b : bands) {
        names << b.name;
        wavelengths << (b.wavelengthNm > 0 ? numberText(b.wavelengthNm) : QStringLiteral("0"));
        widths << numberText(b.fwhmNm);
        everyWidth = everyWidth && b.fwhmNm > 0;
    }
    QString block = QStringLiteral("      <rdf:Description rdf:about=\"\"\n xmlns:Camera=\"%1\">\n").arg(kCameraNamespace);
    block += sequence("Camera:BandName", names);
    block += sequence("Camera:CentralWavelength", wavelengths);
    if (everyWidth) block += sequence("Camera:WavelengthFWHM", widths);
    block += QStringLiteral("      </rdf:Description>\n");
    QByteArray out = packet;
    out.insert(lineStart, block.toUtf8());
    return out;
}

}  // namespace refl
