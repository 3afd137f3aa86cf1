#include "run_report_figures.h"

#include <cpl_error.h>
#include <gdal.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "band_names.h"
#include "exif_tags.h"

using namespace refl;

namespace {

QString esc(const QString& text) { return text.toHtmlEscaped(); }

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

double degrees(const std::array<uint32_t, 6>& r) {
    auto part = [&](int i) {
        return r[size_t(2 * i + 1)] ? double(r[size_t(2 * i)]) / r[size_t(2 * i + 1)] : 0.0;
    };
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

}  // namespace

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
    QStringList labels =
        QString::fromUtf8(description ? description : "").section(':', 1).split(',', Qt::SkipEmptyParts);
    QVector<double> wavelengths;
    std::vector<cv::Mat> planes;
    bool ok = n > 0;
    for (int b = 1; b <= n && ok; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds, b);
        const char* own = GDALGetDescription(band);
        const BandDescription d =
            describeBand(labels.value(b - 1), QString(),
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
    p.ndvi = dataUri(ndviImage(planes[size_t(nir)], planes[size_t(red)], valid, &p.meanNdvi), ".jpg",
                     "image/jpeg");
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

QString panelFigure(const RunReportData::Panel& panel) {
    if (panel.preview.empty()) return QString();
    cv::Mat colour;
    cv::cvtColor(panel.preview, colour, cv::COLOR_GRAY2BGR);
    if (panel.outlineValid) {
        const double s = panel.previewScale;
        auto pt = [&](int i) {
            return cv::Point(int(panel.outline[size_t(i)].x() * s), int(panel.outline[size_t(i)].y() * s));
        };
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
    QString svg =
        QString(
            "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"positions-plot\" width=\"%1\" height=\"%2\" "
            "viewBox=\"0 0 %1 %2\">\n<rect width=\"100%\" height=\"100%\" fill=\"#f7f7f4\" "
            "stroke=\"#ccc\"/>\n")
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
        svg +=
            QString(
                "<circle class=\"capture-point\" data-capture=\"%1\" data-worst=\"%2\" cx=\"%3\" cy=\"%4\" "
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
        svg += QString(
                   "<circle cx=\"%1\" cy=\"%2\" r=\"6\" fill=\"%3\" stroke=\"#333\"/><text x=\"%4\" y=\"%5\" "
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
