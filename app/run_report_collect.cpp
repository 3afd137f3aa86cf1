// What the run report is built from: the registration quality files, the merged captures, the
// counts of the end summary, the lens table and the panel previews.
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTextStream>
#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "capture_shards.h"
#include "exif_xmp.h"
#include "lens_correction.h"
#include "run_report.h"

using namespace refl;

namespace {

const QStringList kQualityColumns{"capture", "band",   "reference_band",     "method",
                                  "inliers", "ecc",    "residual_median_px", "residual_p90_px",
                                  "windows", "verdict"};

// Fields of one CSV line; a field may be quoted ("" inside for a quote).
QStringList csvFields(const QString& line) {
    QStringList out;
    QString field;
    bool quoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            out << field;
            field.clear();
        } else {
            field += c;
        }
    }
    out << field;
    return out;
}

}  // namespace

bool readRegistrationQuality(const QString& path, QVector<RegistrationQualityRow>& rows, QString* why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (why) *why = QStringLiteral("not found");
        return false;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");
    QString header = in.readLine();
    if (header.startsWith(QChar(0xFEFF))) header.remove(0, 1);
    // Newer files name the neighbouring band a band was measured through in an eleventh column.
    const QStringList columns = csvFields(header.trimmed());
    const bool through = columns == kQualityColumns + QStringList{"measured_through"};
    if (columns != kQualityColumns && !through) {
        if (why) *why = QStringLiteral("unexpected header: ") + header.left(200);
        return false;
    }
    int lineNumber = 1;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        ++lineNumber;
        if (line.trimmed().isEmpty()) continue;
        const QStringList f = csvFields(line);
        if (f.size() != columns.size()) {
            if (why) *why = QString("line %1 has %2 fields").arg(lineNumber).arg(f.size());
            return false;
        }
        RegistrationQualityRow r;
        r.capture = f[0];
        r.band = f[1];
        r.referenceBand = f[2];
        r.method = f[3];
        r.inliers = f[4];
        r.ecc = f[5];
        bool ok = false;
        const double median = f[6].toDouble(&ok);
        if (ok) r.residualMedianPx = median;
        const double p90 = f[7].toDouble(&ok);
        if (ok) r.residualP90Px = p90;
        r.windows = f[8].toInt();
        r.verdict = f[9].trimmed();
        if (through) r.measuredThrough = f[10].trimmed();
        rows << r;
    }
    return true;
}

QVector<RegistrationQualityRow> registrationQualityOf(const QStringList& folders, bool* found,
                                                      const QStringList& names) {
    QVector<RegistrationQualityRow> rows;
    if (found) *found = false;
    for (const QString& folder : folders) {
        for (const QString& name : names) {
            const QString path = QDir(folder).filePath(name);
            if (!QFileInfo::exists(path)) continue;
            QString why;
            QVector<RegistrationQualityRow> own;
            if (!readRegistrationQuality(path, own, &why)) {
                qDebug() << "run report: registration quality file not read:" << path << why;
                continue;
            }
            if (found) *found = true;
            rows += own;
        }
    }
    return rows;
}

QStringList mergedCaptureFiles(const QStringList& folders) {
    QStringList files;
    for (const QString& folder : folders) {
        QDirIterator it(folder, {"*_Multi.tif"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) files << it.next();
    }
    std::sort(files.begin(), files.end());
    return files;
}

QStringList reportMergedFiles(const RunReportData& data) {
    if (!data.mergedFiles.isEmpty()) return data.mergedFiles;
    QStringList files = mergedCaptureFiles(data.outputFolders);
    if (data.isShard()) {
        const QSet<QString> ids(data.shardCaptureIds.begin(), data.shardCaptureIds.end());
        QStringList own;
        for (const QString& f : files)
            if (ids.contains(captureIdOfFile(f))) own << f;
        files = own;
    }
    return files;
}

QVector<RegistrationQualityRow> reportQualityRows(const RunReportData& data, bool* found) {
    return registrationQualityOf(data.outputFolders, found, data.qualityFileNames);
}

QString shardReportName(int index, int count, const QString& ext) {
    return QString("report_shard-%1-of-%2.%3").arg(index).arg(count).arg(ext);
}

RunCounts countRun(const RunReportData& data) {
    RunCounts c;
    c.mergedCaptures = reportMergedFiles(data).size();
    c.notConverted = data.notConverted.size();
    c.convertedImages = std::max(0, data.processedCount - c.notConverted);
    const QVector<RegistrationQualityRow> rows = reportQualityRows(data, &c.qualityMeasured);
    for (const RegistrationQualityRow& r : rows) {
        if (r.needsLook()) ++c.bandsToLook;
        if (r.verdict == "unmeasured") ++c.bandsUnmeasured;
    }
    return c;
}

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
