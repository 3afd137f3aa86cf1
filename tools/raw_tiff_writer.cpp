#include "raw_tiff_writer.h"

#include <QDebug>
#include <QSaveFile>
#include <QtEndian>
#include <cmath>

namespace reflsample {

namespace {

quint32 alignUp(quint32 v, quint32 a) { return (v + a - 1) / a * a; }

QVector<quint32> degreesToDms(double deg) {
    deg = std::fabs(deg);
    const quint32 d = quint32(deg);
    const double m = (deg - d) * 60.0;
    const quint32 mi = quint32(m);
    const quint32 s1000 = quint32(std::lround((m - mi) * 60.0 * 1000.0));
    return {d, 1, mi, 1, s1000, 1000};
}

}  // namespace

void addImageTags(IfdBuilder& ifd0, const ExifInfo& exif) {
    ifd0.addAscii(271, exif.make.toLatin1());
    ifd0.addAscii(272, exif.model.toLatin1());
    ifd0.addShort(274, exif.orientation);
    ifd0.addAscii(305, exif.software.toLatin1());
    ifd0.addAscii(306, exif.dateTime.toLatin1());
    if (!exif.imageDescription.isEmpty()) ifd0.addAscii(270, exif.imageDescription.toLatin1());
}

IfdBuilder exifSubIfd(const ExifInfo& exif) {
    IfdBuilder e;
    const quint32 expDen = 1000000;
    e.addRational(33434, quint32(std::lround(exif.exposureTime * expDen)), expDen);  // ExposureTime
    e.addRational(33437, 28, 10);                                                    // FNumber
    e.addShort(34855, quint16(exif.iso));                                            // ISO
    e.addBytes(36864, kUndefined, QByteArrayLiteral("0230"));                        // ExifVersion
    e.addAscii(36867, exif.dateTime.toLatin1());                                     // DateTimeOriginal
    e.addRational(37386, quint32(std::lround(exif.focalMm * 1000.0)), 1000);         // FocalLength
    e.addBytes(40960, kUndefined, QByteArrayLiteral("0100"));                        // FlashpixVersion
    e.addShort(40961, 1);                                                            // ColorSpace
    if (exif.pixelXDimension > 0) {
        e.addBytes(37121, kUndefined, QByteArray("\x01\x02\x03\x00", 4));  // ComponentsConfiguration
        e.addLong(40962, quint32(exif.pixelXDimension));
        e.addLong(40963, quint32(exif.pixelYDimension));
    }
    return e;
}

IfdBuilder gpsSubIfd(const ExifInfo& exif) {
    IfdBuilder g;
    g.addBytes(0, kByte, QByteArray("\x02\x02\x00\x00", 4));
    g.addAscii(1, exif.latitude < 0 ? "S" : "N");
    g.addRationals(2, degreesToDms(exif.latitude));
    g.addAscii(3, exif.longitude < 0 ? "W" : "E");
    g.addRationals(4, degreesToDms(exif.longitude));
    g.addBytes(5, kByte, QByteArray(1, exif.altitude < 0 ? '\x01' : '\x00'));
    g.addRational(6, quint32(std::lround(std::fabs(exif.altitude) * 1000.0)), 1000);
    g.addBytes(27, kUndefined, QByteArray("ASCII\0\0\0GPS", 11));  // GPSProcessingMethod
    return g;
}

QByteArray buildRawBandTiff(const RawBandFile& f, RawTiffOffsets* out) {
    if (f.width <= 0 || f.height <= 0 || !f.pixels) {
        qDebug() << "buildRawBandTiff: no pixels or bad size" << f.width << f.height;
        return QByteArray();
    }
    if (f.xmp.contains('\0')) {
        qDebug() << "buildRawBandTiff: XMP packet holds a zero byte";
        return QByteArray();
    }
    const quint32 pixelBytes = quint32(f.width) * quint32(f.height) * 2u;
    const quint32 xmpLen = quint32(f.xmp.size());
    RawTiffOffsets o;
    o.xmpLength = xmpLen;
    quint32 ifdStart = 0;
    switch (f.layout) {
        case RawLayout::VTwo:
            if (f.makerBytes.size() != 7) {
                qDebug() << "buildRawBandTiff: maker bytes must be 7 long";
                return QByteArray();
            }
            o.maker = kVTwoMakerOffset;
            o.xmp = kVTwoXmpOffset;
            o.strip = alignUp(o.xmp + xmpLen + 1, 16);
            ifdStart = alignUp(o.strip + pixelBytes, 2);
            break;
        case RawLayout::VOne:
            if (pixelBytes != kVOneMakerOffset - kVOnePixelOffset || f.makerBytes.size() != 7 ||
                f.makerExtra.size() != 5) {
                qDebug() << "buildRawBandTiff: V_One needs 1280 x 960 pixels and 7 + 5 maker bytes";
                return QByteArray();
            }
            o.strip = kVOnePixelOffset;
            o.maker = kVOneMakerOffset;
            o.xmp = kVOneXmpOffset;
            ifdStart = alignUp(o.xmp + xmpLen + 1, 2);
            break;
        case RawLayout::Keyed:
            o.xmp = kKeyedXmpOffset;
            o.strip = alignUp(o.xmp + xmpLen + 1, 16);
            ifdStart = alignUp(o.strip + pixelBytes, 2);
            break;
    }

    IfdBuilder ifd0;
    ifd0.addLong(254, 0);
    ifd0.addLong(256, quint32(f.width));
    ifd0.addLong(257, quint32(f.height));
    ifd0.addShort(258, 16);
    ifd0.addShort(259, 1);
    ifd0.addShort(262, 1);
    addImageTags(ifd0, f.exif);
    ifd0.addLong(273, o.strip);
    ifd0.addShort(277, 1);
    ifd0.addLong(278, quint32(f.height));
    ifd0.addLong(279, pixelBytes);
    // Pixels per centimetre of the sensor pitch.
    const double pitch = f.exif.pixelSizeUm > 0 ? f.exif.pixelSizeUm : 3.75;
    const quint32 perCm = quint32(std::lround(10000.0 / pitch * 100.0));
    ifd0.addRational(282, perCm, 100);
    ifd0.addRational(283, perCm, 100);
    ifd0.addShort(284, 1);
    ifd0.addShort(296, 3);
    ifd0.addShort(339, 1);
    ifd0.addExternal(700, kByte, xmpLen, o.xmp);
    ifd0.addLong(34665, 0);
    if (f.exif.hasGps) ifd0.addLong(34853, 0);
    ifd0.addShort(50714, f.darkLevel);

    IfdBuilder exif = exifSubIfd(f.exif);
    IfdBuilder gps = gpsSubIfd(f.exif);
    o.ifd = ifdStart;
    o.exifIfd = o.ifd + quint32(ifd0.byteSize());
    o.gpsIfd = f.exif.hasGps ? o.exifIfd + quint32(exif.byteSize()) : 0;
    ifd0.setLongValue(34665, o.exifIfd);
    if (f.exif.hasGps) ifd0.setLongValue(34853, o.gpsIfd);
    o.fileSize = o.exifIfd + quint32(exif.byteSize()) + (f.exif.hasGps ? quint32(gps.byteSize()) : 0u);

    QByteArray file(int(o.fileSize), '\0');
    file[0] = 'I';
    file[1] = 'I';
    putU16(file, 2, 42);
    putU32(file, 4, o.ifd);
    if (f.layout != RawLayout::Keyed) {
        file.replace(int(o.maker), 7, f.makerBytes);
        if (f.layout == RawLayout::VOne) file.replace(int(kVOneExtraOffset), 5, f.makerExtra);
    }
    file.replace(int(o.xmp), int(xmpLen), f.xmp);
    char* px = file.data() + o.strip;
    const int n = f.width * f.height;
    for (int i = 0; i < n; ++i) qToLittleEndian<quint16>(f.pixels[i], px + 2 * i);
    const QByteArray ifdBytes = ifd0.serialise(o.ifd);
    file.replace(int(o.ifd), ifdBytes.size(), ifdBytes);
    const QByteArray exifBytes = exif.serialise(o.exifIfd);
    file.replace(int(o.exifIfd), exifBytes.size(), exifBytes);
    if (f.exif.hasGps) {
        const QByteArray gpsBytes = gps.serialise(o.gpsIfd);
        file.replace(int(o.gpsIfd), gpsBytes.size(), gpsBytes);
    }
    if (out) *out = o;
    return file;
}

bool writeWholeFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "writeWholeFile: cannot create" << path << file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qDebug() << "writeWholeFile: cannot write" << path << file.errorString();
        return false;
    }
    return true;
}

}  // namespace reflsample
