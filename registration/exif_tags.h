// Tags of a merged capture: baseline TIFF tags, the band list, an XMP packet with the attitude and
// irradiance-sensor values, and EXIF / GPS directories taken from the reference band's file.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

namespace refl {

// Value of element `name` in an XMP packet (element or attribute form); empty when absent.
QString xmpElementValue(const QString& packet, const QString& name);

// What the merged file takes over from the reference band's file (defaults when absent).
struct ReferenceTags {
    float xResolution = 2898.55f;
    float yResolution = 2898.55f;
    uint16_t resolutionUnit = 3;
    uint16_t planarConfig = 1;
    QString artist;        // empty: the prefix is used
    QByteArray xmpPacket;  // empty when the reference has none
    uint32_t focalNum = 5200, focalDen = 1000;
    std::array<uint8_t, 4> gpsVersion{{2, 3, 0, 0}};
    char latitudeRef = 'N';
    std::array<uint32_t, 6> latitude{{0, 1, 0, 1, 0, 1}};
    char longitudeRef = 'E';
    std::array<uint32_t, 6> longitude{{0, 1, 0, 1, 0, 1}};
    uint8_t altitudeRef = 0;
    uint32_t altitudeNum = 0, altitudeDen = 1;
};

// Reads the tags of the reference file; missing values keep their defaults (logged).
ReferenceTags readReferenceTags(const QString& referencePath);

// The packet written into the merged file, or empty when none of its six values is present and
// there are no further descriptions. `extraDescriptions` (complete rdf:Description elements) go in
// after the reference's values.
QByteArray buildMergedXmpPacket(const QString& referencePacket, const QByteArray& extraDescriptions = {});

// The EXIF directory (74 bytes at file offset exifOffset) followed by the GPS directory (146 bytes),
// little-endian.
QByteArray buildExifAndGpsDirectories(const ReferenceTags& tags, uint32_t exifOffset);

// Gives `mergedPath` its tags from `referencePath`. False when the merged file cannot be opened
// for writing tags; the EXIF/GPS append is skipped (logged) when the file is no little-endian
// classic TIFF.
bool writeExifTags(const QString& mergedPath, const QString& referencePath, const QString& prefix,
                   const QStringList& bandNames, const QByteArray& extraXmpDescriptions = {});

}  // namespace refl
