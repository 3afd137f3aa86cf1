#include <QFileInfo>
#include <opencv2/imgproc.hpp>

#include "exif_xmp.h"
#include "lens_correction.h"
#include "run_report.h"

void collectLensReport(RunReportData& data, const QStringList& firstGroupFiles, const QStringList& bandLabels,
                       const CameraCalibParamsMap& results, int width, int height, double pixelSizeUm, double focalMm,
                       bool ran, const QString& whyNot) {
    data.lenses.clear();
    data.selfCalibrationRan = ran;
    data.selfCalibrationWhyNot = ran ? QString() : whyNot;
    for (int b = 0; b < bandLabels.size(); ++b) {
        RunReportData::Lens lens;
        lens.band = bandLabels[b];
        const QString file = firstGroupFiles.value(b);
        ImageMetadata meta;
        if (!file.isEmpty() && width > 0 && height > 0 && readCameraMetadata(file, meta, "run report: ")) {
            const LensModel m = lensFromXmpTexts(readXmpValue(meta.xmp, "Xmp.Camera.PrincipalPoint"),
                                                 readXmpValue(meta.xmp, "Xmp.Camera.PerspectiveFocalLength"),
                                                 readXmpValue(meta.xmp, "Xmp.Camera.PerspectiveDistortion"), width,
                                                 height, pixelSizeUm, focalMm);
            lens.xmp = {m.K(0, 0), m.K(1, 1), m.K(0, 2), m.K(1, 2), m.D[0], m.D[1], m.D[2], m.D[3]};
            lens.xmpKnown = true;
        }
        auto found = results.constFind(lens.band.toLower());
        if (found == results.constEnd()) {
            for (auto it = results.constBegin(); it != results.constEnd(); ++it)
                if (it.value().band.compare(lens.band, Qt::CaseInsensitive) == 0) found = it;
        }
        if (found != results.constEnd()) {
            lens.selfCalibrated = true;
            lens.self = found.value();
            lens.note = QString("self-calibration accepted (%1 of %2 tracks, final RMS %3 px)")
                            .arg(found->adjustedTrackCount)
                            .arg(found->selectedTrackCount)
                            .arg(found->finalRmsPx, 0, 'f', 3);
        } else if (!ran) {
            lens.note = "XMP lens used: " + whyNot;
        } else {
            lens.note = "XMP lens kept: no adjustment of this band passed the acceptance checks "
                        "(default and all retry parameter sets)";
        }
        data.lenses << lens;
    }
}

RunReportData::Panel panelReportEntry(const QString& image, const QString& bandLabel, const uint16_t* plane, int width,
                                      int height, bool outlineValid, const std::array<QPoint, 4>& outline,
                                      double value) {
    RunReportData::Panel p;
    p.image = image;
    p.bandLabel = bandLabel;
    p.outlineValid = outlineValid;
    p.outline = outline;
    p.value = value;
    if (!plane || width <= 0 || height <= 0) return p;
    const cv::Mat full(height, width, CV_16U, const_cast<uint16_t*>(plane));
    p.previewScale = std::min(1.0, 240.0 / width);
    cv::Mat small;
    cv::resize(full, small, cv::Size(), p.previewScale, p.previewScale, cv::INTER_AREA);
    double lo = 0, hi = 0;
    cv::minMaxLoc(small, &lo, &hi);
    small.convertTo(p.preview, CV_8U, hi > lo ? 255.0 / (hi - lo) : 1.0, hi > lo ? -lo * 255.0 / (hi - lo) : 0.0);
    return p;
}
