#include "jpg_writer.h"

#include <QDebug>
#include <opencv2/imgcodecs.hpp>

namespace reflsample {

namespace {

bool appendSegment(QByteArray& out, quint8 marker, const QByteArray& payload) {
    if (payload.size() + 2 > 0xffff) return false;
    out.append(char(0xff));
    out.append(char(marker));
    const quint16 len = quint16(payload.size() + 2);
    out.append(char(len >> 8));  // segment lengths are big-endian
    out.append(char(len & 0xff));
    out.append(payload);
    return true;
}

}  // namespace

QByteArray buildExifTiffBlock(const ExifInfo& exif) {
    IfdBuilder ifd0;
    ifd0.addLong(254, 0);
    addImageTags(ifd0, exif);
    ifd0.addRational(282, 72, 1);
    ifd0.addRational(283, 72, 1);
    ifd0.addShort(296, 2);
    ifd0.addShort(531, 1);  // YCbCrPositioning
    ifd0.addLong(34665, 0);
    if (exif.hasGps) ifd0.addLong(34853, 0);
    IfdBuilder sub = exifSubIfd(exif);
    IfdBuilder gps = gpsSubIfd(exif);
    const quint32 ifdOffset = 8;
    const quint32 exifOffset = ifdOffset + quint32(ifd0.byteSize());
    const quint32 gpsOffset = exifOffset + quint32(sub.byteSize());
    ifd0.setLongValue(34665, exifOffset);
    if (exif.hasGps) ifd0.setLongValue(34853, gpsOffset);
    QByteArray block("II*\0", 4);
    appendU32(block, ifdOffset);
    block += ifd0.serialise(ifdOffset);
    block += sub.serialise(exifOffset);
    if (exif.hasGps) block += gps.serialise(gpsOffset);
    return block;
}

QByteArray buildJpgWithMetadata(const cv::Mat& grey8, const ExifInfo& exif, const QByteArray& xmp) {
    std::vector<uchar> encoded;
    if (grey8.empty() || !cv::imencode(".jpg", grey8, encoded, {cv::IMWRITE_JPEG_QUALITY, 95}) ||
        encoded.size() < 4 || encoded[0] != 0xff || encoded[1] != 0xd8) {
        qDebug() << "buildJpgWithMetadata: JPEG encoding failed";
        return QByteArray();
    }
    // Skip the JFIF APP0 segment the encoder writes; EXIF wants to be the first segment.
    size_t rest = 2;
    if (encoded[2] == 0xff && encoded[3] == 0xe0 && encoded.size() > 6)
        rest = 4 + (size_t(encoded[4]) << 8 | encoded[5]);
    QByteArray out("\xff\xd8", 2);
    ExifInfo withSize = exif;
    withSize.pixelXDimension = grey8.cols;
    withSize.pixelYDimension = grey8.rows;
    if (!appendSegment(out, 0xe1, QByteArray("Exif\0\0", 6) + buildExifTiffBlock(withSize)) ||
        (!xmp.isEmpty() &&
         !appendSegment(out, 0xe1, QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) + xmp))) {
        qDebug() << "buildJpgWithMetadata: metadata segment too large";
        return QByteArray();
    }
    out.append(reinterpret_cast<const char*>(encoded.data() + rest), int(encoded.size() - rest));
    return out;
}

}  // namespace reflsample
