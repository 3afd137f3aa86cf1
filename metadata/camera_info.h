#pragma once

#include <QString>
#include <QStringList>

namespace refl {

// What the panel step learns about the camera from its panel images.
struct PanelCameraInfo {
    QStringList serials;  // one per panel image read
    int height = 0;
    int width = 0;
    int cameraType = 0;
    double pixelSizeUm = 3.75;
    double focalMm = 5.2;
    QString make;
    QString model;
};

// Reads Make, Model, serial number and image size of a panel image into `info` (the serial is
// appended). False, with a log line, when the file has no EXIF or no XMP.
bool readImageKeyExif(const QString& path, PanelCameraInfo& info);

// Camera type, pixel size and focal length from the first serial number; returns the band count
// of the camera, 0 when the serial belongs to no known camera (the type is then left as it was).
int judgeCameraTypeChannelCount(PanelCameraInfo& info);

// Sensor pixel size (micrometres) and focal length (millimetres) of a camera type.
double pixelSizeForCameraType(int cameraType);
double focalLengthForCameraType(int cameraType);

// Band key of a raw image: the third "_" field of the file name up to its first ".", lower-cased;
// empty for names with fewer than three fields.
QString bandFromFileName(const QString& fileName);

}  // namespace refl
