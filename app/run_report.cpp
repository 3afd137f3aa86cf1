#include "run_report.h"

#include <cpl_error.h>
#include <gdal.h>

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>
#include <algorithm>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "band_names.h"
#include "capture_shards.h"
#include "exif_tags.h"
#include "run_report_shards.h"

namespace {

const QStringList kQualityColumns{"capture",  "band",    "reference_band",     "method",          "inliers",
                                  "ecc",      "residual_median_px", "residual_p90_px", "windows", "verdict"};
const int kPreviewWidth = 360;

QString esc(const QString& text) { return text.toHtmlEscaped(); }

QString num(double v, int decimals) {
    return std::isfinite(v) ? QString::number(v, 'f', decimals) : QStringLiteral("–");
}

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

QString dataUri(const cv::Mat& image, const char* ext, const char* mime) {
    std::vector<uchar> bytes;
    std::vector<int> params;
    if (QByteArray(ext) == ".jpg") params = {cv::IMWRITE_JPEG_QUALITY, 85};
    if (image.empty() || !cv::imencode(ext, image, bytes, params)) return QString();
    const QByteArray raw(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    return QString("data:%1;base64,").arg(mime) + QString::fromLatin1(raw.toBase64());
}

// Percentile stretch of the valid (positive) samples of a float plane to 8 bits.
cv::Mat stretch(const cv::Mat& plane, const cv::Mat& valid) {
    std::vector<float> v;
    v.reserve(size_t(plane.total()));
    for (int y = 0; y < plane.rows; ++y)
        for (int x = 0; x < plane.cols; ++x)
            if (valid.at<uchar>(y, x)) v.push_back(plane.at<float>(y, x));
    cv::Mat out(plane.size(), CV_8U, cv::Scalar(0));
    if (v.size() < 2) return out;
    const size_t lo = v.size() / 50, hi = v.size() - 1 - v.size() / 50;
    std::nth_element(v.begin(), v.begin() + long(lo), v.end());
    const float a = v[lo];
    std::nth_element(v.begin(), v.begin() + long(hi), v.end());
    const float b = v[hi];
    const double scale = b > a ? 255.0 / (b - a) : 1.0;
    plane.convertTo(out, CV_8U, scale, -a * scale);
    out.setTo(0, ~valid);
    return out;
}

// NDVI on a red-yellow-green scale from -0.2 to 0.9; pixels outside the valid area dark grey.
cv::Mat ndviImage(const cv::Mat& nir, const cv::Mat& red, const cv::Mat& valid, double* mean) {
    cv::Mat out(nir.size(), CV_8UC3, cv::Scalar(40, 40, 40));
    double sum = 0;
    long n = 0;
    for (int y = 0; y < nir.rows; ++y) {
        for (int x = 0; x < nir.cols; ++x) {
            if (!valid.at<uchar>(y, x)) continue;
            const double a = nir.at<float>(y, x), b = red.at<float>(y, x);
            const double v = a + b > 0 ? (a - b) / (a + b) : 0.0;
            sum += v;
            ++n;
            const double t = std::clamp((v + 0.2) / 1.1, 0.0, 1.0);
            // red (0) -> yellow (0.5) -> green (1), in BGR
            const double r = t < 0.5 ? 215 : 215 - (t - 0.5) * 2 * (215 - 26);
            const double g = t < 0.5 ? 48 + t * 2 * (223 - 48) : 223 - (t - 0.5) * 2 * (223 - 150);
            const double bl = t < 0.5 ? 39 + t * 2 * (100 - 39) : 100 - (t - 0.5) * 2 * (100 - 65);
            out.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(bl), uchar(g), uchar(r));
        }
    }
    if (mean) *mean = n > 0 ? sum / double(n) : std::nan("");
    return out;
}

struct MergedPreview {
    QString file;
    QString capture;
    QStringList bandTexts;
    QString falseColour;
    QString ndvi;
    QString channels;  // which bands went into the pictures
    double meanNdvi = std::nan("");
    bool readable = false;
    bool hasPosition = false;
    double latitude = 0, longitude = 0;
};

double degrees(const std::array<uint32_t, 6>& r) {
    auto part = [&](int i) { return r[size_t(2 * i + 1)] ? double(r[size_t(2 * i)]) / r[size_t(2 * i + 1)] : 0.0; };
    return part(0) + part(1) / 60.0 + part(2) / 3600.0;
}

// Index of the band whose wavelength is nearest `target` within [lo, hi); -1 when none.
int bandNear(const QVector<double>& wavelengths, double target, double lo, double hi) {
    int best = -1;
    for (int i = 0; i < wavelengths.size(); ++i) {
        const double w = wavelengths[i];
        if (w < lo || w >= hi) continue;
        if (best < 0 || std::abs(w - target) < std::abs(wavelengths[best] - target)) best = i;
    }
    return best;
}

MergedPreview previewOf(const QString& path) {
    MergedPreview p;
    p.file = path;
    p.capture = QFileInfo(path).fileName().section('_', 1, 1);
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
    CPLPopErrorHandler();
    if (!ds) return p;
    const int w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds), n = GDALGetRasterCount(ds);
    const int pw = std::min(kPreviewWidth, w);
    const int ph = std::max(1, int(std::lround(double(h) * pw / std::max(w, 1))));
    const char* description = GDALGetMetadataItem(ds, "TIFFTAG_IMAGEDESCRIPTION", nullptr);
    QStringList labels = QString::fromUtf8(description ? description : "").section(':', 1).split(',', Qt::SkipEmptyParts);
    QVector<double> wavelengths;
    std::vector<cv::Mat> planes;
    bool ok = n > 0;
    for (int b = 1; b <= n && ok; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds, b);
        const char* own = GDALGetDescription(band);
        const BandDescription d = describeBand(labels.value(b - 1), QString(),
                                               QString::fromUtf8(GDALGetMetadataItem(band, "wavelength", nullptr)));
        p.bandTexts << (own && *own ? QString::fromUtf8(own) : d.text());
        wavelengths << d.wavelengthNm;
        cv::Mat m(ph, pw, CV_32F);
        ok = GDALRasterIO(band, GF_Read, 0, 0, w, h, m.data, pw, ph, GDT_Float32, 0, 0) == CE_None;
        planes.push_back(m);
    }
    GDALClose(ds);
    if (!ok) return p;
    p.readable = true;

    cv::Mat valid(ph, pw, CV_8U, cv::Scalar(255));
    for (const cv::Mat& m : planes) valid.setTo(0, m <= 0);
    int nir = bandNear(wavelengths, 840, 760, 1000);
    int red = bandNear(wavelengths, 660, 600, 700);
    int green = bandNear(wavelengths, 555, 500, 600);
    if (nir < 0 || red < 0 || green < 0) {  // no wavelengths: the last, middle and first bands
        nir = n - 1;
        red = std::max(0, n / 2);
        green = 0;
    }
    std::vector<cv::Mat> bgr{stretch(planes[size_t(green)], valid), stretch(planes[size_t(red)], valid),
                             stretch(planes[size_t(nir)], valid)};
    cv::Mat colour;
    cv::merge(bgr, colour);
    p.falseColour = dataUri(colour, ".jpg", "image/jpeg");
    p.ndvi = dataUri(ndviImage(planes[size_t(nir)], planes[size_t(red)], valid, &p.meanNdvi), ".jpg", "image/jpeg");
    p.channels = QString("R = %1, G = %2, B = %3; NDVI from %1 and %2")
                     .arg(p.bandTexts.value(nir), p.bandTexts.value(red), p.bandTexts.value(green));

    const ReferenceTags tags = readReferenceTags(path);
    const double lat = degrees(tags.latitude), lon = degrees(tags.longitude);
    if (lat != 0.0 || lon != 0.0) {
        p.hasPosition = true;
        p.latitude = tags.latitudeRef == 'S' ? -lat : lat;
        p.longitude = tags.longitudeRef == 'W' ? -lon : lon;
    }
    return p;
}

// The panel image scaled down, with its measured outline in green.
QString panelFigure(const RunReportData::Panel& panel) {
    if (panel.preview.empty()) return QString();
    cv::Mat colour;
    cv::cvtColor(panel.preview, colour, cv::COLOR_GRAY2BGR);
    if (panel.outlineValid) {
        const double s = panel.previewScale;
        auto pt = [&](int i) { return cv::Point(int(panel.outline[size_t(i)].x() * s), int(panel.outline[size_t(i)].y() * s)); };
        const std::vector<cv::Point> poly{pt(0), pt(2), pt(3), pt(1)};
        cv::polylines(colour, poly, true, cv::Scalar(60, 220, 60), 2, cv::LINE_AA);
    }
    return dataUri(colour, ".jpg", "image/jpeg");
}

int verdictRank(const QString& verdict) {
    if (verdict == "unregistered") return 0;
    if (verdict == "poor") return 1;
    if (verdict == "unmeasured") return 2;
    if (verdict == "good") return 3;
    return 4;  // reference
}

QString verdictColour(const QString& verdict) {
    if (verdict == "good") return "#2e9d46";
    if (verdict == "poor") return "#d9822b";
    if (verdict == "unregistered") return "#c0392b";
    if (verdict == "unmeasured") return "#8a8f98";
    if (verdict == "reference") return "#3b6fb6";
    return "#8a8f98";
}

QString qualityRow(const RegistrationQualityRow& r) {
    return QString("<tr class=\"q-%1\"><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td>"
                   "<td class=\"num\">%8</td><td class=\"num\">%9</td><td class=\"num\">%10</td>"
                   "<td><span class=\"badge\" style=\"background:%11\">%1</span></td></tr>\n")
        .arg(esc(r.verdict), esc(r.capture), esc(r.band), esc(r.referenceBand),
             esc(r.measuredThrough.isEmpty() ? r.method : r.method + " (measured through " + r.measuredThrough + ")"),
             esc(r.inliers), esc(r.ecc), num(r.residualMedianPx, 3), num(r.residualP90Px, 3))
        .arg(r.windows)
        .arg(verdictColour(r.verdict));
}

// Capture positions as an SVG scatter, each point coloured by its capture's worst band.
QString positionsSvg(const QVector<MergedPreview>& previews, const std::map<QString, QString>& worst) {
    QVector<const MergedPreview*> placed;
    for (const MergedPreview& p : previews)
        if (p.hasPosition) placed << &p;
    if (placed.isEmpty()) return QStringLiteral("<p>No capture carries a GPS position.</p>");
    double minLat = 1e9, maxLat = -1e9, minLon = 1e9, maxLon = -1e9;
    for (const MergedPreview* p : placed) {
        minLat = std::min(minLat, p->latitude);
        maxLat = std::max(maxLat, p->latitude);
        minLon = std::min(minLon, p->longitude);
        maxLon = std::max(maxLon, p->longitude);
    }
    // Metres east and north of the south-west corner (equirectangular; flights are small).
    const double kDeg = 111320.0;
    const double cosLat = std::cos((minLat + maxLat) / 2 * M_PI / 180.0);
    const double spanX = std::max((maxLon - minLon) * kDeg * cosLat, 1.0);
    const double spanY = std::max((maxLat - minLat) * kDeg, 1.0);
    const double size = 420, margin = 40;
    const double scale = (size - 2 * margin) / std::max(spanX, spanY);
    const double width = spanX * scale + 2 * margin, height = spanY * scale + 2 * margin;
    QString svg = QString("<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"positions-plot\" width=\"%1\" height=\"%2\" "
                          "viewBox=\"0 0 %1 %2\">\n<rect width=\"100%\" height=\"100%\" fill=\"#f7f7f4\" stroke=\"#ccc\"/>\n")
                      .arg(int(width + 140))
                      .arg(int(height));
    QString path;
    for (const MergedPreview* p : placed) {
        const double x = margin + (p->longitude - minLon) * kDeg * cosLat * scale;
        const double y = height - margin - (p->latitude - minLat) * kDeg * scale;
        path += QString(path.isEmpty() ? "M%1 %2" : " L%1 %2").arg(x, 0, 'f', 1).arg(y, 0, 'f', 1);
    }
    svg += QString("<path d=\"%1\" fill=\"none\" stroke=\"#bbb\" stroke-dasharray=\"4 3\"/>\n").arg(path);
    for (const MergedPreview* p : placed) {
        const double x = margin + (p->longitude - minLon) * kDeg * cosLat * scale;
        const double y = height - margin - (p->latitude - minLat) * kDeg * scale;
        const auto it = worst.find(p->capture);
        const QString verdict = it == worst.end() ? QStringLiteral("not measured") : it->second;
        svg += QString("<circle class=\"capture-point\" data-capture=\"%1\" data-worst=\"%2\" cx=\"%3\" cy=\"%4\" "
                       "r=\"7\" fill=\"%5\" stroke=\"#333\"><title>capture %1: %2 (%6, %7)</title></circle>\n"
                       "<text x=\"%8\" y=\"%9\" font-size=\"11\">%1</text>\n")
                   .arg(esc(p->capture), esc(verdict))
                   .arg(x, 0, 'f', 1)
                   .arg(y, 0, 'f', 1)
                   .arg(verdictColour(verdict))
                   .arg(p->latitude, 0, 'f', 6)
                   .arg(p->longitude, 0, 'f', 6)
                   .arg(x + 9, 0, 'f', 1)
                   .arg(y - 9, 0, 'f', 1);
    }
    // Legend and scale.
    int ly = 20;
    for (const QString v : {"good", "poor", "unregistered", "unmeasured", "not measured"}) {
        svg += QString("<circle cx=\"%1\" cy=\"%2\" r=\"6\" fill=\"%3\" stroke=\"#333\"/><text x=\"%4\" y=\"%5\" "
                       "font-size=\"12\">%6</text>\n")
                   .arg(width + 12)
                   .arg(ly)
                   .arg(verdictColour(v))
                   .arg(width + 24)
                   .arg(ly + 4)
                   .arg(v);
        ly += 20;
    }
    svg += QString("<text x=\"%1\" y=\"%2\" font-size=\"11\" fill=\"#555\">%3 m × %4 m, north up</text>\n")
               .arg(margin)
               .arg(height - 10)
               .arg(spanX, 0, 'f', 0)
               .arg(spanY, 0, 'f', 0);
    svg += "</svg>\n";
    return svg;
}

const char* kStyle = R"(
body{font-family:"Noto Sans CJK SC","WenQuanYi Micro Hei",sans-serif;margin:24px;color:#222;max-width:1200px}
h1{font-size:22px;margin-bottom:4px}h2{font-size:18px;border-bottom:2px solid #ddd;padding-bottom:4px;margin-top:32px}
table{border-collapse:collapse;margin:8px 0;font-size:13px}td,th{border:1px solid #d4d4d4;padding:3px 8px;text-align:left}
th{background:#f0f0ec}td.num{text-align:right;font-variant-numeric:tabular-nums}
.state{display:inline-block;padding:3px 10px;border-radius:4px;color:#fff;font-weight:bold}
.completed{background:#2e9d46}.stopped,.incomplete{background:#d9822b}.failed,.refused{background:#c0392b}
.badge{display:inline-block;padding:1px 6px;border-radius:3px;color:#fff;font-size:12px}
.figures{display:flex;flex-wrap:wrap;gap:12px}figure{margin:0;font-size:12px}figure img{display:block;border:1px solid #ccc}
.capture{border:1px solid #ddd;padding:8px;border-radius:4px}.capture .pair{display:flex;gap:6px}
.note{color:#555;font-size:13px}.warn{color:#b03a2e}.kv td:first-child{font-weight:bold;background:#f7f7f4}
)";

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

QString writeRunReport(const RunReportData& d) {
    if (d.resultDirectory.isEmpty() || !QDir().mkpath(d.resultDirectory)) {
        qDebug() << "run report: no result folder to write into:" << d.resultDirectory;
        return QString();
    }
    const QString name = d.isShard() ? shardReportName(d.shardIndex, d.shardCount, "html") : d.reportName;
    if (name.isEmpty()) {
        qDebug() << "run report: none for this run (it only prepares a flight state)";
        return QString();
    }
    const QString path = QDir(d.resultDirectory).filePath(name);
    const RunCounts counts = countRun(d);
    bool measured = false;
    QVector<RegistrationQualityRow> quality = reportQualityRows(d, &measured);
    const QStringList merged = reportMergedFiles(d);
    QVector<MergedPreview> previews;
    for (const QString& file : merged) previews << previewOf(file);
    std::map<QString, QString> worst;  // capture -> worst verdict
    for (const RegistrationQualityRow& r : quality) {
        auto it = worst.find(r.capture);
        if (it == worst.end() || verdictRank(r.verdict) < verdictRank(it->second)) worst[r.capture] = r.verdict;
    }

    QString h;
    h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>reflectivity run report</title>\n";
    h += "<style>" + QString::fromLatin1(kStyle) + "</style></head><body>\n";
    const QString scope = d.isShard() ? QString(" · shard %1 of %2").arg(d.shardIndex).arg(d.shardCount)
                          : d.shardCount > 0 ? QString(" · %1 shards merged").arg(d.shardCount)
                                             : QString();
    h += QString("<h1>Run report · 运行报告%3</h1>\n<p class=\"note\">%1 → %2 · reflectivity</p>\n")
             .arg(esc(d.startedAt.toString("yyyy-MM-dd hh:mm:ss")),
                  esc(d.endedAt.toString("yyyy-MM-dd hh:mm:ss")), esc(scope));

    // The run.
    h += QString("<section id=\"run\" data-outcome=\"%1\"><h2>Run</h2>\n").arg(esc(d.outcome));
    const QString stateText = d.outcome == "completed"    ? QStringLiteral("Completed")
                              : d.outcome == "stopped"    ? QStringLiteral("Stopped before the end")
                              : d.outcome == "refused"    ? QStringLiteral("Refused")
                              : d.outcome == "incomplete" ? QStringLiteral("Incomplete: shards missing")
                                                          : QStringLiteral("Failed");
    h += QString("<p><span class=\"state %1\" id=\"run-state\">%2</span></p>\n").arg(esc(d.outcome), stateText);
    if (d.outcome == "incomplete")
        h += "<p class=\"warn\">Some shards left no report: the figures below cover the shards that "
             "did.</p>\n";
    else if (d.outcome != "completed")
        h += "<p class=\"warn\">The run did not end normally: the figures below show what was done up to that point.</p>\n";
    h += "<table class=\"kv\" id=\"run-summary\">\n";
    auto kv = [&](const QString& id, const QString& key, const QString& value) {
        h += QString("<tr id=\"%1\"><td>%2</td><td>%3</td></tr>\n").arg(id, esc(key), value);
    };
    kv("run-kind", "Kind", esc(d.kind));
    kv("run-raw", "Raw images", esc(QDir::toNativeSeparators(d.rawDirectory)));
    kv("run-result", "Result folder", esc(QDir::toNativeSeparators(d.resultDirectory)));
    kv("run-registration", "Band registration", esc(d.registrationMode));
    kv("run-selfcal", "Lens self-calibration",
       d.selfCalibrationRan ? QStringLiteral("run")
       : !d.selfCalibrationWhyNot.isEmpty() ? esc("not run: " + d.selfCalibrationWhyNot)
       : d.selfCalibrationEnabled ? QStringLiteral("on") : QStringLiteral("off"));
    if (d.cameraType >= 0) kv("run-camera", "Camera type", QString::number(d.cameraType));
    if (d.isShard()) {
        QStringList keys = d.shardCaptureKeys;
        if (keys.size() > 40) keys = keys.mid(0, 40) << "...";
        kv("run-shard", "Shard",
           QString("<span data-shard=\"%1/%2\">%1 of %2 (counted from 0)</span>: %3 of %4 captures (%5); the "
                   "other shards write their own reports, --merge-reports combines them")
               .arg(d.shardIndex)
               .arg(d.shardCount)
               .arg(d.shardCaptureKeys.size())
               .arg(d.flightCaptureCount)
               .arg(esc(keys.join(" "))));
    } else if (d.shardCount > 0) {
        kv("run-shard", "Shards",
           QString("<span data-shards=\"%1\" data-missing=\"%2\">%3 of %1 shard reports merged</span>%4")
               .arg(d.shardCount)
               .arg(d.missingShards.size())
               .arg(d.shards.size())
               .arg(d.missingShards.isEmpty() ? QString() : esc([&] {
                   QStringList m;
                   for (int i : d.missingShards) m << QString("%1/%2").arg(i).arg(d.shardCount);
                   return "; no report from shard " + m.join(", ");
               }())));
    }
    if (!d.stateFile.isEmpty()) kv("run-state", "Flight state", esc(QDir::toNativeSeparators(d.stateFile)));
    kv("run-images", d.isShard() ? "Images of this shard" : "Images in the raw folder",
       QString::number(d.imageCount));
    kv("run-captures", "Captures × bands", QString("%1 × %2 (%3)").arg(d.captureCount).arg(d.bandCount).arg(esc(d.bandLabels.join(", "))));
    kv("run-converted", "Images converted", QString("<span data-count=\"%1\">%1</span>").arg(counts.convertedImages));
    kv("run-not-converted", "Images not converted",
       QString("<span data-count=\"%1\"%2>%1</span>").arg(counts.notConverted).arg(counts.notConverted ? " class=\"warn\"" : ""));
    kv("run-merged", "Merged captures", QString("<span data-count=\"%1\">%1</span>").arg(counts.mergedCaptures));
    kv("run-look", "Bands to look at",
       counts.qualityMeasured ? QString("<span data-count=\"%1\">%1</span>").arg(counts.bandsToLook)
                              : QStringLiteral("<span data-count=\"\">not measured</span>"));
    if (!d.logPath.isEmpty()) kv("run-log", "Log", esc(QDir::toNativeSeparators(QFileInfo(d.logPath).absoluteFilePath())));
    h += "</table>\n";
    if (!d.shards.isEmpty()) {
        h += "<h3>Shards</h3>\n<table "
             "id=\"shards\"><tr><th>Shard</th><th>State</th><th>Captures</th><th>Merged</th>"
             "<th>Converted</th><th>Not converted</th><th>Time</th><th>Report</th><th>Log</th></tr>\n";
        for (const RunReportData::ShardEntry& s : d.shards) {
            QStringList keys = s.captureKeys;
            if (keys.size() > 12) keys = keys.mid(0, 12) << "...";
            h += QString(
                     "<tr class=\"shard\" data-shard=\"%1\" "
                     "data-outcome=\"%2\"><td>%1/%3</td><td>%2</td><td>%4 (%5)</td>"
                     "<td class=\"num\">%6</td><td class=\"num\">%7</td><td class=\"num\">%8</td><td "
                     "class=\"num\">%9 s</td>")
                     .arg(s.index)
                     .arg(esc(s.outcome))
                     .arg(d.shardCount)
                     .arg(s.captureKeys.size())
                     .arg(esc(keys.join(" ")))
                     .arg(s.mergedCaptures)
                     .arg(std::max(0, s.processedCount - s.notConverted))
                     .arg(s.notConverted)
                     .arg(num(s.startedAt.msecsTo(s.endedAt) / 1000.0, 1));
            h += QString("<td>%1</td><td>%2</td></tr>\n")
                     .arg(esc(s.report), esc(QDir::toNativeSeparators(s.logPath)));
        }
        for (int i : d.missingShards)
            h += QString(
                     "<tr class=\"shard missing\" data-shard=\"%1\"><td>%1/%2</td><td class=\"warn\" "
                     "colspan=\"8\">"
                     "no report</td></tr>\n")
                     .arg(i)
                     .arg(d.shardCount);
        h += "</table>\n";
    }
    h += QString("<h3>Time per phase%1</h3>\n<table id=\"phases\"><tr><th>Phase</th><th>Time</th></tr>\n")
             .arg(d.shards.isEmpty() ? QString() : QStringLiteral(" (summed over the shards)"));
    double total = 0;
    for (const auto& p : d.phaseSeconds) {
        h += QString("<tr class=\"phase\"><td>%1</td><td class=\"num\">%2 s</td></tr>\n").arg(esc(p.first), num(p.second, 1));
        total += p.second;
    }
    h += QString("<tr><th>All</th><th class=\"num\">%1 s</th></tr></table>\n").arg(num(total, 1));
    if (!d.notConverted.isEmpty()) {
        h += "<h3>Files that could not be converted</h3>\n<ul id=\"not-converted\">\n";
        for (const QString& f : d.notConverted) h += "<li>" + esc(QDir::toNativeSeparators(f)) + "</li>\n";
        h += "</ul>\n";
    }
    if (!d.messages.isEmpty()) {
        h += "<h3>Messages</h3>\n<ul id=\"messages\">\n";
        for (const QString& m : d.messages) h += "<li>" + esc(m) + "</li>\n";
        h += "</ul>\n";
    }
    h += "</section>\n";

    // The panel.
    h += QString("<section id=\"panel\" data-count=\"%1\"><h2>Reference panel</h2>\n").arg(d.panels.size());
    const bool panelValues =
        std::any_of(d.meanPanelValue.begin(), d.meanPanelValue.end(), [](double v) { return v > 0; });
    if (d.panels.isEmpty() && d.kind == "reflectance" && !d.panelSource.isEmpty() && panelValues) {
        h += QString(
                 "<p id=\"panel-source\">Panel values taken from %1 (no panel image was measured by this "
                 "run).</p>\n")
                 .arg(esc(d.panelSource));
        h += "<table id=\"panel-bands\"><tr><th>Band</th><th>Mean panel value</th><th>Standard reflectance "
             "used</th></tr>\n";
        for (int b = 0; b < d.bandCount && b < d.bandLabels.size(); ++b)
            h += QString("<tr><td>%1</td><td class=\"num\">%2</td><td class=\"num\">%3</td></tr>\n")
                     .arg(esc(d.bandLabels[b]), num(d.meanPanelValue.value(b, std::nan("")), 4),
                          num(d.standardReflectance[size_t(std::min(b, 5))], 3));
        h += "</table>\n";
    } else if (d.panels.isEmpty()) {
        h += QString("<p>%1</p>\n").arg(d.kind == "reflectance" ? "No panel was measured (the run ended before the panel phase)."
                                                                 : "This run uses no panel.");
    } else {
        h += QString("<p>%1. Panel code values: %2.</p>\n")
                 .arg(d.automaticRecognition ? "Panels found automatically from their QR code" : "Panel outlines drawn by hand",
                      d.codeValues.isEmpty() ? QStringLiteral("none")
                                             : esc([&] {
                                                   QStringList v;
                                                   for (int x : d.codeValues) v << QString::number(x) + " %";
                                                   return v.join(", ");
                                               }()));
        h += "<table id=\"panel-bands\"><tr><th>Band</th><th>Mean panel value</th><th>Standard reflectance used</th></tr>\n";
        for (int b = 0; b < d.bandCount && b < d.bandLabels.size(); ++b)
            h += QString("<tr><td>%1</td><td class=\"num\">%2</td><td class=\"num\">%3</td></tr>\n")
                     .arg(esc(d.bandLabels[b]), num(d.meanPanelValue.value(b, std::nan("")), 4),
                          num(d.standardReflectance[size_t(std::min(b, 5))], 3));
        h += "</table>\n<div class=\"figures\">\n";
        for (const RunReportData::Panel& p : d.panels) {
            const QString uri = panelFigure(p);
            h += QString("<figure class=\"panel-image\">%1<figcaption>%2 · band %3 · value %4</figcaption></figure>\n")
                     .arg(uri.isEmpty() ? QStringLiteral("<p>(image not readable)</p>")
                                        : QString("<img alt=\"panel\" width=\"%1\" src=\"%2\">").arg(p.preview.cols).arg(uri),
                          esc(QFileInfo(p.image).fileName()), esc(p.bandLabel), num(p.value, 4));
        }
        h += "</div>\n";
    }
    h += "</section>\n";

    // The self-calibration.
    h += QString("<section id=\"calibration\" data-count=\"%1\"><h2>Lens self-calibration</h2>\n").arg(d.lenses.size());
    if (!d.calibrationSummary.isEmpty()) h += "<p>" + esc(d.calibrationSummary) + "</p>\n";
    if (!d.lenses.isEmpty()) {
        h += "<table id=\"lenses\"><tr><th>Band</th><th>Lens</th><th>fx</th><th>fy</th><th>cx</th><th>cy</th><th>k1</th>"
             "<th>k2</th><th>p1</th><th>p2</th><th>RMS before → after (px)</th><th>Used</th></tr>\n";
        for (const RunReportData::Lens& l : d.lenses) {
            auto cells = [&](const std::array<double, 8>& v) {
                QString s;
                for (int i = 0; i < 8; ++i) s += QString("<td class=\"num\">%1</td>").arg(num(v[size_t(i)], i < 4 ? 1 : 5));
                return s;
            };
            const int rows = l.selfCalibrated ? 2 : 1;
            h += QString("<tr class=\"lens %1\"><td rowspan=\"%2\">%3</td><td>XMP</td>%4<td rowspan=\"%2\">%5</td>"
                         "<td rowspan=\"%2\">%6</td></tr>\n")
                     .arg(l.selfCalibrated ? "accepted" : "kept")
                     .arg(rows)
                     .arg(esc(l.band),
                          l.xmpKnown ? cells(l.xmp) : QStringLiteral("<td colspan=\"8\">not readable</td>"),
                          l.selfCalibrated ? num(l.self.initialRmsPx, 3) + " → " + num(l.self.finalRmsPx, 3)
                                           : QStringLiteral("–"),
                          esc(l.note));
            if (l.selfCalibrated) {
                const CameraCalibParams& c = l.self;
                h += "<tr><td>self-calibrated</td>" + cells({c.fx, c.fy, c.cx, c.cy, c.k1, c.k2, c.p1, c.p2}) + "</tr>\n";
            }
        }
        h += "</table>\n";
    }
    h += "</section>\n";

    // The registration.
    h += QString("<section id=\"registration\" data-measured=\"%1\" data-rows=\"%2\"><h2>Band registration</h2>\n")
             .arg(measured ? "yes" : "no")
             .arg(quality.size());
    if (!measured) {
        h += "<p id=\"registration-not-measured\">Registration quality: not measured (no registration_quality.csv beside the merged files).</p>\n";
    } else {
        QVector<RegistrationQualityRow> look;
        for (const RegistrationQualityRow& r : quality)
            if (r.needsLook()) look << r;
        std::stable_sort(look.begin(), look.end(), [](const RegistrationQualityRow& a, const RegistrationQualityRow& b) {
            return verdictRank(a.verdict) < verdictRank(b.verdict);
        });
        const QString head = "<tr><th>Capture</th><th>Band</th><th>Reference</th><th>Method</th><th>Inliers</th><th>ECC</th>"
                             "<th>Residual median (px)</th><th>Residual p90 (px)</th><th>Windows</th><th>Verdict</th></tr>\n";
        h += QString("<h3>Bands to look at (%1)</h3>\n").arg(look.size());
        if (look.isEmpty()) {
            h += "<p>None: every band was registered and measured good, or could not be measured.</p>\n";
        } else {
            h += "<table id=\"look\">" + head;
            for (const RegistrationQualityRow& r : look) h += qualityRow(r);
            h += "</table>\n";
        }
        if (counts.bandsUnmeasured)
            h += QString("<p class=\"note\">%1 bands could not be measured (too few usable windows).</p>\n").arg(counts.bandsUnmeasured);
        h += "<h3>Every band</h3>\n<table id=\"quality\">" + head;
        for (const RegistrationQualityRow& r : quality) h += qualityRow(r);
        h += "</table>\n";
    }
    h += "</section>\n";

    // Previews.
    h += QString("<section id=\"previews\" data-count=\"%1\"><h2>Merged captures</h2>\n").arg(previews.size());
    if (previews.isEmpty()) h += "<p>No merged capture was written.</p>\n";
    h += "<div class=\"figures\">\n";
    for (const MergedPreview& p : previews) {
        const auto it = worst.find(p.capture);
        const QString verdict = it == worst.end() ? QStringLiteral("not measured") : it->second;
        h += QString("<div class=\"capture\" data-capture=\"%1\"><b>%2</b> · worst band: <span class=\"badge\" "
                     "style=\"background:%3\">%4</span>\n")
                 .arg(esc(p.capture), esc(QFileInfo(p.file).fileName()), verdictColour(verdict), esc(verdict));
        if (!p.readable) {
            h += "<p class=\"warn\">not readable</p></div>\n";
            continue;
        }
        h += QString("<div class=\"pair\"><figure><img class=\"false-colour\" alt=\"false colour\" width=\"%1\" src=\"%2\">"
                     "<figcaption>false colour (NIR, red, green)</figcaption></figure>"
                     "<figure><img class=\"ndvi\" alt=\"NDVI\" width=\"%1\" src=\"%3\"><figcaption>NDVI, mean %4</figcaption></figure></div>\n"
                     "<p class=\"note\">%5</p></div>\n")
                 .arg(kPreviewWidth / 2 + 40)
                 .arg(p.falseColour, p.ndvi, num(p.meanNdvi, 3), esc(p.channels));
    }
    h += "</div>\n</section>\n";

    // Positions.
    h += "<section id=\"positions\"><h2>Capture positions</h2>\n" + positionsSvg(previews, worst) + "</section>\n";
    h += "</body></html>\n";

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(h.toUtf8()) < 0 || !out.commit()) {
        qDebug() << "run report: cannot write" << path << out.errorString();
        return QString();
    }
    qDebug() << "run report: written" << path;
    // A shard leaves what its report was built from for --merge-reports.
    if (d.isShard() && !writeShardReportData(d, counts, merged)) return QString();
    return path;
}

void RunReportLog::begin(const QString& kind) {
    m_data = RunReportData();
    m_data.kind = kind;
    m_data.startedAt = QDateTime::currentDateTime();
    m_clock.start();
    m_phase.clear();
    m_active = true;
}

void RunReportLog::closePhase() {
    if (m_phase.isEmpty()) return;
    m_data.phaseSeconds << qMakePair(m_phase, m_clock.restart() / 1000.0);
    m_phase.clear();
}

void RunReportLog::enterPhase(const QString& phase) {
    if (!m_active) return;
    if (phase == m_phase) return;
    if (m_phase.isEmpty()) {
        // Time before the first phase (checks, scanning) belongs to the first phase.
    } else {
        closePhase();
    }
    m_phase = phase;
}

bool RunReportLog::reached(const QString& phase) const {
    if (m_phase == phase) return true;
    for (const auto& p : m_data.phaseSeconds)
        if (p.first == phase) return true;
    return false;
}

void RunReportLog::note(const QString& message) {
    if (m_active && !message.trimmed().isEmpty()) m_data.messages << message.trimmed();
}

QString RunReportLog::finish(const QString& outcome) {
    if (!m_active) return QString();
    closePhase();
    m_active = false;
    m_data.outcome = outcome;
    m_data.endedAt = QDateTime::currentDateTime();
    m_lastPath = writeRunReport(m_data);
    return m_lastPath;
}
