#include "sfm_prior.h"

#include <QDebug>
#include <QFile>
#include <QStringList>
#include <cmath>
#include <opencv2/imgcodecs.hpp>

#include "exif_xmp.h"

namespace refl {

namespace {

bool present(const QString& text) { return !text.isEmpty() && text != QLatin1String(kUnknow); }

// A number as the prior reads it: an unparsable text gives 0.
double toDouble(const QString& text) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    return ok ? v : 0.0;
}

}  // namespace

bool cameraPriorFromMetadata(const QString& path, double pixelSizeUm, double focalMm, CameraPrior* prior) {
    const cv::Mat image = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_UNCHANGED);
    if (image.empty()) {
        qDebug() << "cameraPriorFromMetadata: cannot read image" << path;
        return false;
    }
    const int width = image.cols;
    const int height = image.rows;

    QString focalText, principalText, distortionText;
    try {
        const ImageMetadata meta = readImageMetadata(path);
        if (!meta.opened) {
            qDebug() << "cameraPriorFromMetadata: exiv2 cannot open" << path;
            return false;
        }
        if (meta.xmp.empty()) {
            qDebug() << "cameraPriorFromMetadata: no XMP in" << path;
            return false;
        }
        focalText = readXmpValue(meta.xmp, QStringLiteral("Xmp.Camera.PerspectiveFocalLength"));
        principalText = readXmpValue(meta.xmp, QStringLiteral("Xmp.Camera.PrincipalPoint"));
        distortionText = readXmpValue(meta.xmp, QStringLiteral("Xmp.Camera.PerspectiveDistortion"));
    } catch (const std::exception& e) {
        qDebug() << "cameraPriorFromMetadata: exiv2 error" << e.what();
        return false;
    }

    const double s = pixelSizeUm / 1000.0;
    CameraPrior p;
    p.width = width;
    p.height = height;
    p.priorSource = QStringLiteral("XMP Camera namespace");
    p.focalMm = present(focalText) ? toDouble(focalText) : focalMm;

    const QStringList pp = present(principalText) ? principalText.split(',') : QStringList();
    if (pp.size() == 2) {
        p.principalXMm = toDouble(pp[0]);
        p.principalYMm = toDouble(pp[1]);
    } else {
        p.principalXMm = width * s * 0.5;
        p.principalYMm = height * s * 0.5;
        p.priorSource = QStringLiteral("EXIF/sensor physical fallback");
    }

    // A zero pitch or a zero focal length (an unparsable text) leaves no usable camera.
    const double fPx = p.focalMm / s;
    if (!(s > 0.0) || !std::isfinite(fPx) || !(fPx > 0.0) || !std::isfinite(p.principalXMm / s) ||
        !std::isfinite(p.principalYMm / s)) {
        qDebug() << "cameraPriorFromMetadata: unusable focal length" << p.focalMm << "mm or pixel size"
                 << pixelSizeUm << "um";
        return false;
    }
    p.K = (cv::Mat_<double>(3, 3) << p.focalMm / s, 0, p.principalXMm / s, 0, p.focalMm / s,
           p.principalYMm / s, 0, 0, 1);
    p.D = cv::Mat::zeros(5, 1, CV_64F);
    const QStringList dd = present(distortionText) ? distortionText.split(',') : QStringList();
    if (dd.size() >= 5) {
        // Stored as k1, k2, k3, p1, p2.
        p.D.at<double>(0) = toDouble(dd[0]);
        p.D.at<double>(1) = toDouble(dd[1]);
        p.D.at<double>(2) = toDouble(dd[3]);
        p.D.at<double>(3) = toDouble(dd[4]);
        p.D.at<double>(4) = toDouble(dd[2]);
    } else {
        p.priorSource += QStringLiteral("; no distortion metadata");
    }
    *prior = p;
    return true;
}

}  // namespace refl
