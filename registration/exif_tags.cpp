#include "exif_tags.h"

#include <tiffio.h>

#include <QDataStream>
#include <QDebug>
#include <QFile>
#include <QXmlStreamReader>
#include <vector>

#include "band_names.h"

namespace refl {

namespace {

const uint16_t kXmlPacket = 700;
const uint16_t kExifIfd = 34665;
const uint16_t kGpsIfd = 34853;

// Field definitions for the three tags (libtiff keeps its own definition when it already has one).
void registerCustomFields(TIFF* tif) {
    static const TIFFFieldInfo info[] = {
        {kXmlPacket, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_UNDEFINED, FIELD_CUSTOM, 1, 1,
         const_cast<char*>("XMLPacket")},
        {kExifIfd, 1, 1, TIFF_LONG, FIELD_CUSTOM, 1, 0, const_cast<char*>("ExifIFD")},
        {kGpsIfd, 1, 1, TIFF_LONG, FIELD_CUSTOM, 1, 0, const_cast<char*>("GPSIFD")},
    };
    TIFFMergeFieldInfo(tif, info, 3);
}

// A directory offset read through whatever type libtiff settled on for the tag.
bool directoryOffset(TIFF* tif, uint16_t tag, uint64_t& offset) {
    const TIFFField* field = TIFFFindField(tif, tag, TIFF_ANY);
    if (!field) return false;
    const TIFFDataType type = TIFFFieldDataType(field);
    if (type == TIFF_IFD8 || type == TIFF_LONG8) {
        uint64_t v = 0;
        if (!TIFFGetField(tif, tag, &v)) return false;
        offset = v;
        return true;
    }
    uint32_t v = 0;
    if (!TIFFGetField(tif, tag, &v)) return false;
    offset = v;
    return true;
}

bool setDirectoryOffset(TIFF* tif, uint16_t tag, uint32_t offset) {
    const TIFFField* field = TIFFFindField(tif, tag, TIFF_ANY);
    if (!field) return false;
    const TIFFDataType type = TIFFFieldDataType(field);
    if (type == TIFF_IFD8 || type == TIFF_LONG8) return TIFFSetField(tif, tag, uint64_t(offset)) == 1;
    return TIFFSetField(tif, tag, offset) == 1;
}

struct Entry {
    uint16_t tag = 0, type = 0;
    uint32_t count = 0;
    uint32_t value = 0;        // the value/offset field as a number
    uint8_t inlineBytes[4]{};  // the same four bytes as stored
};

// The entries of the directory at `offset` of a little-endian file; empty when it cannot be read.
QVector<Entry> readDirectory(QFile& file, qint64 offset) {
    QVector<Entry> entries;
    if (offset <= 0 || offset + 2 > file.size() || !file.seek(offset)) return entries;
    QDataStream in(&file);
    in.setByteOrder(QDataStream::LittleEndian);
    quint16 n = 0;
    in >> n;
    if (offset + 2 + qint64(n) * 12 > file.size()) return entries;
    for (int i = 0; i < n; ++i) {
        Entry e;
        quint16 tag, type;
        quint32 count;
        in >> tag >> type >> count;
        in.readRawData(reinterpret_cast<char*>(e.inlineBytes), 4);
        e.tag = tag;
        e.type = type;
        e.count = count;
        e.value = uint32_t(e.inlineBytes[0]) | uint32_t(e.inlineBytes[1]) << 8 |
                  uint32_t(e.inlineBytes[2]) << 16 | uint32_t(e.inlineBytes[3]) << 24;
        entries << e;
    }
    if (in.status() != QDataStream::Ok) entries.clear();
    return entries;
}

// `n` 32-bit values at `offset`; false when they lie outside the file.
bool readLongs(QFile& file, qint64 offset, uint32_t* out, int n) {
    if (offset <= 0 || offset + 4 * n > file.size() || !file.seek(offset)) return false;
    QDataStream in(&file);
    in.setByteOrder(QDataStream::LittleEndian);
    for (int i = 0; i < n; ++i) {
        quint32 v;
        in >> v;
        out[i] = v;
    }
    return in.status() == QDataStream::Ok;
}

void readExifValues(QFile& file, uint64_t offset, ReferenceTags& t) {
    for (const Entry& e : readDirectory(file, qint64(offset))) {
        if (e.tag != 37386 || e.type != 5) continue;
        uint32_t r[2];
        if (readLongs(file, e.value, r, 2)) {
            t.focalNum = r[0];
            t.focalDen = r[1];
        }
    }
}

void readGpsValues(QFile& file, uint64_t offset, ReferenceTags& t) {
    for (const Entry& e : readDirectory(file, qint64(offset))) {
        switch (e.tag) {
            case 0:
                if (e.type == 1 && e.count == 4)
                    for (int i = 0; i < 4; ++i) t.gpsVersion[size_t(i)] = e.inlineBytes[i];
                break;
            case 1:
                if (e.type == 2) t.latitudeRef = char(e.inlineBytes[0]);
                break;
            case 2:
                if (e.type == 5) readLongs(file, e.value, t.latitude.data(), 6);
                break;
            case 3:
                if (e.type == 2) t.longitudeRef = char(e.inlineBytes[0]);
                break;
            case 4:
                if (e.type == 5) readLongs(file, e.value, t.longitude.data(), 6);
                break;
            case 5:
                if (e.type == 1) t.altitudeRef = e.inlineBytes[0];
                break;
            case 6:
                if (e.type == 5) {
                    uint32_t r[2];
                    if (readLongs(file, e.value, r, 2)) t.altitudeNum = r[0], t.altitudeDen = r[1];
                }
                break;
            default:
                break;
        }
    }
}

bool isLittleEndianClassic(QFile& file) {
    if (!file.seek(0)) return false;
    const QByteArray head = file.read(4);
    return head.size() == 4 && head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0;
}

void put16(QByteArray& b, int at, uint16_t v) {
    b[at] = char(v & 0xff);
    b[at + 1] = char(v >> 8);
}
void put32(QByteArray& b, int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = char((v >> (8 * i)) & 0xff);
}
void putEntry(QByteArray& b, int at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    put16(b, at, tag);
    put16(b, at + 2, type);
    put32(b, at + 4, count);
    put32(b, at + 8, value);
}
void putInlineEntry(QByteArray& b, int at, uint16_t tag, uint16_t type, uint32_t count, const uint8_t* bytes,
                    int n) {
    putEntry(b, at, tag, type, count, 0);
    for (int i = 0; i < n && i < 4; ++i) b[at + 8 + i] = char(bytes[i]);
}

}  // namespace

QString xmpElementValue(const QString& packet, const QString& name) {
    const QString open = "<" + name + ">";
    const QString close = "</" + name + ">";
    int at = packet.indexOf(open);
    if (at >= 0) {
        const int start = at + open.size();
        const int end = packet.indexOf(close, start);
        if (end >= 0) return packet.mid(start, end - start);
    }
    at = packet.indexOf("<" + name + " ");
    if (at >= 0) {
        const int gt = packet.indexOf('>', at);
        if (gt >= 0) {
            const int end = packet.indexOf(close, gt + 1);
            if (end >= 0) return packet.mid(gt + 1, end - gt - 1);
        }
    }
    for (const QChar quote : {QChar('"'), QChar('\'')}) {
        const QString attr = name + "=" + quote;
        at = packet.indexOf(attr);
        if (at < 0) continue;
        const int start = at + attr.size();
        const int end = packet.indexOf(quote, start);
        if (end > start) return packet.mid(start, end - start);
    }
    return QString();
}

ReferenceTags readReferenceTags(const QString& referencePath) {
    ReferenceTags t;
    TIFF* tif = TIFFOpen(QFile::encodeName(referencePath).constData(), "r");
    if (!tif) {
        qDebug() << "writeExifTags: cannot open reference image" << referencePath;
        return t;
    }
    float f = 0;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &f) && f > 0) t.xResolution = f;
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &f) && f > 0) t.yResolution = f;
    uint16_t s = 0;
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &s) && s != 0) t.resolutionUnit = s;
    if (TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &s) && s != 0) t.planarConfig = s;
    char* artist = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ARTIST, &artist) && artist) t.artist = QString::fromLatin1(artist);
    registerCustomFields(tif);
    uint32_t xmpCount = 0;
    void* xmpData = nullptr;
    if (TIFFGetField(tif, kXmlPacket, &xmpCount, &xmpData) && xmpData && xmpCount > 0)
        t.xmpPacket = QByteArray(static_cast<const char*>(xmpData), int(xmpCount));
    uint64_t exifOffset = 0, gpsOffset = 0;
    const bool hasExif = directoryOffset(tif, kExifIfd, exifOffset) && exifOffset > 0;
    const bool hasGps = directoryOffset(tif, kGpsIfd, gpsOffset) && gpsOffset > 0;
    TIFFClose(tif);

    QFile file(referencePath);
    const bool readable = file.open(QIODevice::ReadOnly) && isLittleEndianClassic(file);
    if (hasExif && readable) {
        readExifValues(file, exifOffset, t);
    } else {
        qDebug() << "writeExifTags: no ExifIFD in reference, using defaults";
    }
    if (hasGps && readable) {
        readGpsValues(file, gpsOffset, t);
    } else {
        qDebug() << "writeExifTags: no GPS IFD in reference, using defaults";
    }
    return t;
}

namespace {

// Whether `text` can stand as the content of one element: plain text, or balanced markup.
bool wellFormedContent(const QString& text) {
    QXmlStreamReader reader(QStringLiteral("<v>") + text + QStringLiteral("</v>"));
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd()) reader.readNext();
    return !reader.hasError();
}

// A looked-up value goes into the merged packet as it stands. One that would break the packet
// (an element whose closing tag was found only past other elements, a stray "<" or "&") counts
// as absent.
QString plainXmpValue(const QString& packet, const QString& name) {
    const QString value = xmpElementValue(packet, name);
    if (value.isEmpty() || wellFormedContent(value)) return value;
    qDebug() << "buildMergedXmpPacket: value of" << name << "is not well-formed XML, left empty:" << value.left(200);
    return QString();
}

}  // namespace

QByteArray buildMergedXmpPacket(const QString& ref, const QByteArray& extra) {
    const QString pitch = plainXmpValue(ref, "DLS:Pitch");
    const QString roll = plainXmpValue(ref, "DLS:Roll");
    const QString yaw = plainXmpValue(ref, "DLS:Yaw");
    const QString serial = plainXmpValue(ref, "Camera:Serial");
    const QString altitude = plainXmpValue(ref, "Camera:RelativeAltitude");
    QString std = plainXmpValue(ref, "Camera:STD");
    if (std.isEmpty()) std = plainXmpValue(ref, "Camera:Std");
    const bool noValues = pitch.isEmpty() && roll.isEmpty() && yaw.isEmpty() && serial.isEmpty() &&
                          altitude.isEmpty() && std.isEmpty();
    if (noValues && extra.isEmpty()) return QByteArray();
    const QString nine(9, ' ');
    QString p;
    p += "<?xpacket begin=\" \" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n";
    p += "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"XMP Core 4.4.0\">\n";
    p += "   <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n";
    if (noValues) {
        p += QString::fromUtf8(extra);
        p += "   </rdf:RDF>\n";
        p += "</x:xmpmeta>\n";
        p += "<?xpacket end=\"w\"?>\n";
        return p.toUtf8();
    }
    p += "      <rdf:Description rdf:about=\"Pix4D Camera Information\"\n";
    p += " xmlns:DLS=\"http://quorvin.com/DLS/1.0/\">\n";
    p += nine + "<DLS:Pitch>" + pitch + "</DLS:Pitch>\n";
    p += nine + "<DLS:RelativeAltitude>" + altitude + "</DLS:RelativeAltitude>\n";
    p += nine + "<DLS:Roll>" + roll + "</DLS:Roll>\n";
    p += nine + "<DLS:STD>" + std + "</DLS:STD>\n";
    p += nine + "<DLS:Serial>" + serial + "</DLS:Serial>\n";
    p += nine + "<DLS:Yaw>" + yaw + "</DLS:Yaw>\n";
    p += "      </rdf:Description>\n";
    p += "      <rdf:Description rdf:about=\"Pix4D Camera Information\"\n";
    p += " xmlns:drone-dji=\"http://www.dji.com/drone-dji/1.0/\">\n";
    p += nine + "<drone-dji:RelativeAltitude>" + altitude + "</drone-dji:RelativeAltitude>\n";
    p += "      </rdf:Description>\n";
    p += QString::fromUtf8(extra);
    p += "   </rdf:RDF>\n";
    p += "</x:xmpmeta>\n";
    p += "<?xpacket end=\"w\"?>\n";
    return p.toUtf8();
}

QByteArray buildExifAndGpsDirectories(const ReferenceTags& t, uint32_t e) {
    QByteArray b(74 + 146, '\0');
    // EXIF directory.
    put16(b, 0, 5);
    const uint8_t exifVersion[4] = {'0', '2', '3', '0'};
    const uint8_t components[4] = {1, 2, 3, 0};
    const uint8_t flashpix[4] = {'0', '1', '0', '0'};
    putInlineEntry(b, 2, 36864, 7, 4, exifVersion, 4);
    putInlineEntry(b, 14, 37121, 7, 4, components, 4);
    putEntry(b, 26, 37386, 5, 1, e + 66);
    putInlineEntry(b, 38, 40960, 7, 4, flashpix, 4);
    putEntry(b, 50, 40961, 3, 1, 1);
    put32(b, 62, 0);
    put32(b, 66, t.focalNum);
    put32(b, 70, t.focalDen);
    // GPS directory.
    const int g0 = 74;
    const uint32_t g = e + 74;
    const uint8_t latRef[1] = {uint8_t(t.latitudeRef)};
    const uint8_t lonRef[1] = {uint8_t(t.longitudeRef)};
    const uint8_t altRef[1] = {t.altitudeRef};
    put16(b, g0, 7);
    putInlineEntry(b, g0 + 2, 0, 1, 4, t.gpsVersion.data(), 4);
    putInlineEntry(b, g0 + 14, 1, 2, 2, latRef, 1);
    putEntry(b, g0 + 26, 2, 5, 3, g + 90);
    putInlineEntry(b, g0 + 38, 3, 2, 2, lonRef, 1);
    putEntry(b, g0 + 50, 4, 5, 3, g + 114);
    putInlineEntry(b, g0 + 62, 5, 1, 1, altRef, 1);
    putEntry(b, g0 + 74, 6, 5, 1, g + 138);
    put32(b, g0 + 86, 0);
    for (int i = 0; i < 6; ++i) put32(b, g0 + 90 + 4 * i, t.latitude[size_t(i)]);
    for (int i = 0; i < 6; ++i) put32(b, g0 + 114 + 4 * i, t.longitude[size_t(i)]);
    put32(b, g0 + 138, t.altitudeNum);
    put32(b, g0 + 142, t.altitudeDen);
    return b;
}

bool writeExifTags(const QString& mergedPath, const QString& referencePath, const QString& prefix,
                   const QStringList& bandNames, const QByteArray& extraXmp) {
    const ReferenceTags ref = readReferenceTags(referencePath);
    const QByteArray out = QFile::encodeName(mergedPath);
    TIFF* tif = TIFFOpen(out.constData(), "r+");
    if (!tif) {
        qDebug() << "writeExifTags: cannot open output file" << mergedPath;
        return false;
    }
    uint16_t samples = 1, planar = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_RGB));
    const QByteArray description = ("central_wavelength:" + bandNames.join(",")).toUtf8();
    TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.constData());
    const QByteArray model = (prefix + "-MULTI").toUtf8();
    TIFFSetField(tif, TIFFTAG_MODEL, model.constData());
    TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_TOPLEFT));
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, double(ref.xResolution));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, double(ref.yResolution));
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, ref.resolutionUnit);
    // The pixel layout is the one the file was written with; another value would scramble it.
    if (ref.planarConfig != planar)
        qDebug() << "writeExifTags: reference planar configuration" << ref.planarConfig << "kept as"
                 << planar;
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "REF");
    const QByteArray artist = ref.artist.isEmpty() ? prefix.toLatin1() : ref.artist.toLatin1();
    TIFFSetField(tif, TIFFTAG_ARTIST, artist.constData());

    registerCustomFields(tif);
    if (!ref.xmpPacket.isEmpty() || !extraXmp.isEmpty()) {
        QByteArray packet = buildMergedXmpPacket(QString::fromUtf8(ref.xmpPacket), extraXmp);
        if (!packet.isEmpty()) packet = withBandSequences(packet, describeMergedBands(mergedPath, bandNames));
        if (packet.isEmpty()) {
            qDebug() << "writeExifTags: all DLS values empty, skipping XMLPacket"
                     << "xmpPreview=" << QString::fromUtf8(ref.xmpPacket.left(2000));
        } else {
            TIFFSetField(tif, kXmlPacket, uint32_t(packet.size()), packet.constData());
        }
    } else {
        qDebug() << "writeExifTags: no XMP data from reference, skipping XMLPacket";
    }
    TIFFUnsetField(tif, TIFFTAG_EXTRASAMPLES);
    if (samples > 3) {
        std::vector<uint16_t> extra(size_t(samples - 3), EXTRASAMPLE_UNSPECIFIED);
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, uint16_t(extra.size()), extra.data());
    }
    TIFFRewriteDirectory(tif);
    TIFFClose(tif);

    // The EXIF and GPS directories go after everything libtiff wrote.
    QFile file(mergedPath);
    if (!file.open(QIODevice::ReadWrite)) {
        qDebug() << "writeExifTags: cannot open output file for the EXIF/GPS append" << mergedPath;
        return true;
    }
    if (!isLittleEndianClassic(file)) {
        qDebug() << "writeExifTags: output is not a little-endian classic TIFF, EXIF/GPS append skipped"
                 << mergedPath;
        return true;
    }
    const qint64 originalSize = file.size();
    qint64 end = originalSize;
    if (end % 2) ++end;  // directories start on a word boundary
    if (end + 74 + 146 > qint64(UINT32_MAX)) {
        qDebug() << "writeExifTags: output too large for 32-bit offsets, EXIF/GPS append skipped"
                 << mergedPath;
        return true;
    }
    const uint32_t e = uint32_t(end);
    QByteArray block = buildExifAndGpsDirectories(ref, e);
    if (end != originalSize) block.prepend('\0');
    if (!file.seek(originalSize) || file.write(block) != block.size() || !file.flush()) {
        qDebug() << "writeExifTags: EXIF/GPS append failed" << mergedPath;
        file.resize(originalSize);
        return true;
    }
    file.close();

    tif = TIFFOpen(out.constData(), "r+");
    if (!tif) {
        qDebug() << "writeExifTags: cannot reopen output file" << mergedPath;
        return true;
    }
    registerCustomFields(tif);
    setDirectoryOffset(tif, kExifIfd, e);
    setDirectoryOffset(tif, kGpsIfd, e + 74);
    TIFFRewriteDirectory(tif);
    TIFFClose(tif);
    return true;
}

}  // namespace refl
