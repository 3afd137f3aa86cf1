// Raw band TIFFs in the cameras' own byte layouts, and the EXIF / GPS directories they carry.
//
//   V_Two (type 0): "Quorvin" maker bytes at 266, XMP at 308, pixels at StripOffsets, IFD after the pixels.
//   V_One (type 0): pixels at 266, maker bytes at 2457866 (+5 more at 2457873), XMP at 2458247, IFD after.
//   keyed (types 3, 4, 6): XMP at 8, pixels at StripOffsets, IFD after the pixels.
// Every XMP packet is followed by at least one zero byte (the readers take the text up to the first zero).
#pragma once

#include <QByteArray>
#include <QString>

#include "camera_setup.h"
#include "tiff_bytes.h"

namespace reflsample {

constexpr quint32 kVTwoMakerOffset = 266;
constexpr quint32 kVTwoXmpOffset = 308;
constexpr quint32 kVOnePixelOffset = 266;
constexpr quint32 kVOneMakerOffset = 2457866;
constexpr quint32 kVOneExtraOffset = 2457873;
constexpr quint32 kVOneXmpOffset = 2458247;
constexpr quint32 kKeyedXmpOffset = 8;

/// EXIF content shared by the raw TIFFs and the JPG captures.
struct ExifInfo {
    QString make, model;
    QString software = QStringLiteral("v2.3.1");
    QString dateTime = QStringLiteral("2026:05:14 10:21:07");  ///< "YYYY:MM:DD HH:MM:SS"
    QString imageDescription;                                  ///< empty = not written
    double focalMm = 5.2;
    double pixelSizeUm = 3.75;     ///< gives XResolution / YResolution in pixels per centimetre
    double exposureTime = 0.0015;  ///< seconds
    int iso = 100;
    bool hasGps = true;
    double latitude = 0, longitude = 0, altitude = 0;  ///< degrees (negative = S / W), metres
    quint16 orientation = 1;
    int pixelXDimension = 0, pixelYDimension = 0;  ///< JPG only: written into the EXIF directory when > 0
};

/// Fills IFD0 entries common to the raw TIFFs and the JPG EXIF (Make, Model, Orientation, Software ...).
void addImageTags(IfdBuilder& ifd0, const ExifInfo& exif);
IfdBuilder exifSubIfd(const ExifInfo& exif);
IfdBuilder gpsSubIfd(const ExifInfo& exif);

struct RawBandFile {
    RawLayout layout = RawLayout::VTwo;
    int width = 0, height = 0;
    const quint16* pixels = nullptr;  ///< width x height, row by row
    quint16 darkLevel = 0;
    QByteArray xmp;  ///< the packet; must not contain a zero byte
    ExifInfo exif;
    QByteArray makerBytes = QByteArrayLiteral("Quorvin");  ///< 7 bytes, type-0 layouts only
    QByteArray makerExtra = QByteArrayLiteral("V1.20");    ///< 5 bytes after them (V_One only)
};

struct RawTiffOffsets {
    quint32 ifd = 0, strip = 0, xmp = 0, xmpLength = 0, maker = 0, exifIfd = 0, gpsIfd = 0, fileSize = 0;
};

/// The whole file in memory; empty (and one log line) when the description cannot be laid out.
QByteArray buildRawBandTiff(const RawBandFile& file, RawTiffOffsets* offsets = nullptr);

/// Writes bytes to path through a temporary file, so that a failure never leaves half a file.
bool writeWholeFile(const QString& path, const QByteArray& bytes);

}  // namespace reflsample
