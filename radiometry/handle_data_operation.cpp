#include "handle_data_operation.h"

#include <QDebug>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QTextCodec>
#endif

#include "camera_info.h"
#include "lens_correction.h"
#include "output_file.h"
#include "radiometric_conversion.h"
#include "raw_tiff.h"

CHandleDataOperation::CHandleDataOperation(QObject* parent) : QObject(parent) {
#ifdef Q_OS_WIN
    // File names reach the C library and exiv2 in the system's 8-bit encoding.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));
#endif
}

void CHandleDataOperation::setSfMCalibResults(const CameraCalibParamsMap& results) {
    sfmParams = results;
    qDebug() << "setSfMCalibResults: received" << results.size() << "band calibration results";
}

void CHandleDataOperation::finish(bool written) {
    emit conversionEnded(inputPath, written);
    emit getCommonCacheAreaData();
    qDebug() << "run,,,,,,over ";
}

void CHandleDataOperation::run() {
    if (inputPath.isEmpty()) {
        qDebug() << "run,,,,,,over ";
        return;
    }
    qDebug() << "new add path:" << inputPath << width << height;
    if (!plausibleImageSize(width, height)) {
        qDebug() << "run: refusing image size" << width << "x" << height << "for" << inputPath;
        finish(false);
        return;
    }
    if (!vignettingMap || vignettingMap->size() != static_cast<size_t>(width) * static_cast<size_t>(height)) {
        qDebug() << "run: no vignetting map of" << width << "x" << height << "for this band, nothing written:"
                 << inputPath;
        finish(false);
        return;
    }

    RawTiffLayout layout;
    layout.layoutFlag = layoutFlag;
    std::vector<uint16_t> raw;
    QByteArray xmp;
    const RawTiffCamera camera{cameraType, width, height, QString()};
    if (!readTIF(RawTiffReader::Task, inputPath, camera, layout, raw, xmp, calibration)) {
        qDebug() << "run: raw image could not be read, nothing written:" << inputPath;
        finish(false);
        return;
    }
    stripOffset = layout.stripOffset;

    if (layoutFlag == 1) {
        // Older six-band files: calibration from the per-item XMP, no lens correction.
        bool written = false;
        if (!readXmpPerItem(CalibrationReader::Task, xmp, calibration)) {
            qDebug() << "run: calibration of" << inputPath << "refused, nothing written";
        } else {
            written = convertAndWrite(raw, sixband::kOldPixelOffset);
        }
        finish(written);
        return;
    }

    qDebug() << "run" << outputDir << inputPath << keyedFlag << diagnosticFlag << width << height;
    if (keyedFlag == 1) {
        // Converting with the panel's exposure and gain instead of the image's own would give a
        // wrong result that looks right.
        if (!readImageExif(inputPath, calibration)) {
            qDebug() << "run: calibration of" << inputPath << "could not be read from its own metadata, nothing written";
            finish(false);
            return;
        }
    } else if (readXmpNodeValueVerTwo(CalibrationReader::Task, xmp, calibration) == -1) {
        emit conversionEnded(inputPath, false);
        emit getCommonCacheAreaData();
        return;
    }
    const bool written = convertAndWrite(raw, stripOffset);
    raw.clear();
    raw.shrink_to_fit();
    bool corrected = true;
    if (written && skipLensCorrection != 1) {
        corrected = correctLens(outputDir + "/" + QFileInfo(inputPath).fileName());
    }
    finish(written && corrected);
}

bool CHandleDataOperation::convertAndWrite(const std::vector<uint16_t>& raw, uint64_t pixelOffset) {
    std::vector<uint16_t> out(raw.size());
    const ConversionMode mode{reflectanceMode == 1, panelValue, panelReflectance};
    convertPixels(raw.data(), calibration, vignettingMap->data(), raw.size(), mode, out.data());
    const QString outputPath = outputDir + "/" + inputPath.section('/', -1);
    return writeConvertedCopy(inputPath, outputPath, pixelOffset, out.data(), out.size() * 2u);
}

bool CHandleDataOperation::correctLens(const QString& converted) {
    const QString name = QFileInfo(inputPath).fileName();
    const QString corrected = outputDir + "/" + correctedFileName(name);
    if (cameraType == 6) {
        if (!readDistortionCoeToCorrection(converted, corrected)) {
            qDebug() << "readDistortionCoeToCorrection FAILED for:" << converted << "->" << corrected;
            return false;
        }
        return true;
    }
    const QString band = bandFromFileName(name);
    bool ok = false;
    if (sfmParams.contains(band) && sfmParams.value(band).accepted) {
        qDebug() << "distortionCorrectionEx: using SfM calibrated params for band" << band << "pixelSizeUm="
                 << pixelSizeUm;
        ok = distortionCorrectionEx(converted, corrected, sfmParams.value(band));
    } else {
        qDebug() << "distortionCorrectionEx: using XMP fallback params for band" << band << "pixelSizeUm="
                 << pixelSizeUm;
        ok = distortionCorrectionEx(converted, corrected, pixelSizeUm, focalMm);
    }
    if (!ok) qDebug() << "distortionCorrectionEx FAILED for:" << converted << "->" << corrected;
    return ok;
}
