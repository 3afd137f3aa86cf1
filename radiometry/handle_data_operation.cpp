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

namespace refl {

CHandleDataOperation::CHandleDataOperation(QObject* parent) : QObject(parent) {
#ifdef Q_OS_WIN
    // File names reach the C library and exiv2 in the system's 8-bit encoding.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));
#endif
}

QString RadiometricTaskOptions::validate() const {
    if (!plausibleImageSize(width, height))
        return QString("refusing image size %1 x %2").arg(width).arg(height);
    if (!vignettingMap || vignettingMap->size() != static_cast<size_t>(width) * static_cast<size_t>(height))
        return QString("no vignetting map of %1 x %2 for this band").arg(width).arg(height);
    return QString();
}

void CHandleDataOperation::setSfMCalibResults(const CameraCalibParamsMap& results) {
    m_sfmParams = results;
    qDebug() << "setSfMCalibResults: received" << results.size() << "band calibration results";
}

void CHandleDataOperation::finish(bool written) {
    emit conversionEnded(options.inputPath, written);
    emit getCommonCacheAreaData();
    qDebug() << "run,,,,,,over ";
}

void CHandleDataOperation::run() {
    const RadiometricTaskOptions& o = options;
    if (o.inputPath.isEmpty()) {
        qDebug() << "run,,,,,,over ";
        return;
    }
    qDebug() << "new add path:" << o.inputPath << o.width << o.height;
    const QString problem = o.validate();
    if (!problem.isEmpty()) {
        qDebug() << "run:" << qPrintable(problem + ", nothing written:") << o.inputPath;
        finish(false);
        return;
    }

    RadiometricCalibration calibration = o.calibration;
    RawTiffLayout layout;
    layout.layoutFlag = o.layout == RadiometricTaskOptions::Layout::OlderSixBand ? 1 : 0;
    std::vector<uint16_t> raw;
    QByteArray xmp;
    const RawTiffCamera camera{o.cameraType, o.width, o.height, QString()};
    if (!readTIF(RawTiffReader::Task, o.inputPath, camera, layout, raw, xmp, calibration)) {
        qDebug() << "run: raw image could not be read, nothing written:" << o.inputPath;
        finish(false);
        return;
    }
    m_stripOffset = layout.stripOffset;

    if (o.layout == RadiometricTaskOptions::Layout::OlderSixBand) {
        // Older six-band files: calibration from the per-item XMP, no lens correction.
        bool written = false;
        if (!readXmpPerItem(CalibrationReader::Task, xmp, calibration)) {
            qDebug() << "run: calibration of" << o.inputPath << "refused, nothing written";
        } else {
            written = convertAndWrite(raw, calibration, sixband::kOldPixelOffset);
        }
        finish(written);
        return;
    }

    // The flags print as 0 or 1, as they always did in this line.
    qDebug() << "run" << o.outputDir << o.inputPath << int(o.keyedCalibration) << int(o.diagnostic) << o.width
             << o.height;
    if (o.keyedCalibration) {
        // Converting with the panel's exposure and gain instead of the image's own would give a
        // wrong result that looks right.
        if (!readImageExif(o.inputPath, calibration)) {
            qDebug() << "run: calibration of" << o.inputPath
                     << "could not be read from its own metadata, nothing written";
            finish(false);
            return;
        }
    } else if (readXmpNodeValueVerTwo(CalibrationReader::Task, xmp, calibration) == -1) {
        emit conversionEnded(o.inputPath, false);
        emit getCommonCacheAreaData();
        return;
    }
    const bool written = convertAndWrite(raw, calibration, m_stripOffset);
    raw.clear();
    raw.shrink_to_fit();
    bool corrected = true;
    if (written && !o.skipLensCorrection) {
        corrected = correctLens(o.outputDir + "/" + QFileInfo(o.inputPath).fileName());
    }
    finish(written && corrected);
}

bool CHandleDataOperation::convertAndWrite(const std::vector<uint16_t>& raw,
                                           const RadiometricCalibration& calibration, uint64_t pixelOffset) {
    const RadiometricTaskOptions& o = options;
    std::vector<uint16_t> out(raw.size());
    const ConversionMode mode{o.output == RadiometricTaskOptions::Output::Reflectance, o.panelValue,
                              o.panelReflectance};
    convertPixels(raw.data(), calibration, o.vignettingMap->data(), raw.size(), mode, out.data());
    const QString outputPath = o.outputDir + "/" + o.inputPath.section('/', -1);
    return writeConvertedCopy(o.inputPath, outputPath, pixelOffset, out.data(), out.size() * 2u);
}

bool CHandleDataOperation::correctLens(const QString& converted) {
    const RadiometricTaskOptions& o = options;
    const QString name = QFileInfo(o.inputPath).fileName();
    const QString corrected = o.outputDir + "/" + correctedFileName(name);
    if (o.cameraType == 6) {
        if (!readDistortionCoeToCorrection(converted, corrected)) {
            qDebug() << "readDistortionCoeToCorrection FAILED for:" << converted << "->" << corrected;
            return false;
        }
        return true;
    }
    const QString band = bandFromFileName(name);
    bool ok = false;
    if (m_sfmParams.contains(band) && m_sfmParams.value(band).accepted) {
        qDebug() << "distortionCorrectionEx: using SfM calibrated params for band" << band
                 << "pixelSizeUm=" << o.pixelSizeUm;
        ok = distortionCorrectionEx(converted, corrected, m_sfmParams.value(band));
    } else {
        qDebug() << "distortionCorrectionEx: using XMP fallback params for band" << band
                 << "pixelSizeUm=" << o.pixelSizeUm;
        ok = distortionCorrectionEx(converted, corrected, o.pixelSizeUm, o.focalMm);
    }
    if (!ok) qDebug() << "distortionCorrectionEx FAILED for:" << converted << "->" << corrected;
    return ok;
}

}  // namespace refl
