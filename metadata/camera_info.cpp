#include "camera_info.h"

#include <QDebug>
#include <QFileInfo>

#include "exif_xmp.h"

namespace refl {

bool readImageKeyExif(const QString& path, PanelCameraInfo& info) {
    ImageMetadata meta;
    if (!readCameraMetadata(path, meta)) return false;
    info.make = readExifValue(meta.exif, "Exif.Image.Make");
    info.model = readExifValue(meta.exif, "Exif.Image.Model");
    const QString serial = readXmpValue(meta.xmp, "Xmp.Camera.Serial");
    info.serials.append(serial);
    // "Unknow" and other non-numbers give 0.
    info.height = readExifValue(meta.exif, "Exif.Image.ImageLength").trimmed().toInt();
    info.width = readExifValue(meta.exif, "Exif.Image.ImageWidth").trimmed().toInt();
    qDebug() << "grey board readImageKeyExif" << info.width << info.height << serial;
    return true;
}

double pixelSizeForCameraType(int cameraType) {
    switch (cameraType) {
    case 3: return 2.7;
    case 4: return 3.45;
    default: return 3.75;
    }
}

double focalLengthForCameraType(int cameraType) { return cameraType == 4 ? 7.84 : 5.2; }

int judgeCameraTypeChannelCount(PanelCameraInfo& info) {
    const QString serial = info.serials.value(0);
    const QString prefix = serial.left(2);
    int channels = 0;
    if (QStringList({"CA", "CB", "CC", "CE", "CM"}).contains(prefix)) {
        info.cameraType = 0;
        channels = 6;
    } else if (prefix == "CD") {
        info.cameraType = 3;
        channels = serial.mid(2, 3) == "6" ? 5 : 4;
    } else if (prefix == "CG" || prefix == "CH") {
        info.cameraType = 4;
        channels = 5;
    } else if (prefix == "CU" || prefix == "CW") {
        info.cameraType = 6;
        channels = 6;
    }
    info.pixelSizeUm = pixelSizeForCameraType(info.cameraType);
    info.focalMm = focalLengthForCameraType(info.cameraType);
    qDebug() << "judgeCameraTypeChannelCount" << info.cameraType << channels << info.height << info.width
             << "pixelSizeUm=" << info.pixelSizeUm << "focalMm=" << info.focalMm;
    return channels;
}

QString bandFromFileName(const QString& fileName) {
    const QStringList fields = QFileInfo(fileName).fileName().split('_');
    if (fields.size() < 3) return QString();
    return fields.at(2).section('.', 0, 0).toLower();
}

}  // namespace refl
