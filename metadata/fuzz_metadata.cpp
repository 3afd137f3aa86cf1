// libFuzzer entry over the raw TIFF reader and the calibration readers. Built only with clang
// (-DREFLECTIVITY_FUZZ=ON); see scripts/fuzz-metadata.sh.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <cstdint>
#include <unistd.h>

#include "radiometric_calibration.h"
#include "raw_tiff.h"

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

QString scratchPath() {
    static const QString path = QDir::tempPath() + QString("/refl-fuzz-%1.tif").arg(getpid());
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool init = (qInstallMessageHandler(quiet), true);
    Q_UNUSED(init);
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));

    // Calibration text readers straight on the input.
    RadiometricCalibration record;
    bool keyed = false;
    readXmpNodeValueVerTwo(CalibrationReader::Panel, bytes, record, &keyed);
    readXmpNodeValueVerTwo(CalibrationReader::Task, bytes, record);
    readXmpPerItem(CalibrationReader::Panel, bytes, record);
    readXmpPerItem(CalibrationReader::Task, bytes, record);

    // The input as a raw band file, read as every camera type by both readers, then the XMP it
    // yields through the text readers, and the keyed readers through exiv2.
    QFile file(scratchPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
    file.write(bytes);
    file.close();
    const RawTiffCamera cameras[] = {{0, 1280, 960, "Quorvin"}, {3, 16, 8, ""}, {4, 32, 16, ""}, {6, 8, 8, ""}};
    for (const RawTiffCamera& camera : cameras) {
        for (RawTiffReader reader : {RawTiffReader::Panel, RawTiffReader::Task}) {
            RawTiffLayout layout;
            std::vector<uint16_t> pixels;
            QByteArray xmp;
            if (readTIF(reader, scratchPath(), camera, layout, pixels, xmp, record)) {
                readXmpNodeValueVerTwo(CalibrationReader::Panel, xmp, record, &keyed);
                readXmpPerItem(CalibrationReader::Panel, xmp, record);
            }
        }
    }
    readImageExif(scratchPath(), record);
    readImageExifPanel(scratchPath(), record);
    return 0;
}
