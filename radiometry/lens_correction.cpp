#include "lens_correction.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "exif_xmp.h"
#include "output_file.h"

namespace refl {

namespace {

bool missing(const QString& text) { return text.isEmpty() || text == QLatin1String(kUnknow); }


// Copies EXIF and XMP of `source` into `target`. Library errors go to standard error prefixed by
// `who`; a file that cannot be opened skips the copy.
void copyMetadata(const QString& source, const QString& target, const char* who) {
    const auto exiv2Lock = lockExiv2();
    try {
        auto in = Exiv2::ImageFactory::open(std::string(QFile::encodeName(source).constData()));
        auto out = Exiv2::ImageFactory::open(std::string(QFile::encodeName(target).constData()));
        if (!in.get() || !out.get()) return;
        in->readMetadata();
        out->setExifData(in->exifData());
        out->setXmpData(in->xmpData());
        out->writeMetadata();
    } catch (const Exiv2::AnyError& e) {
        std::fprintf(stderr, "%s: Exiv2 error: %s\n", who, e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: Exiv2 error: %s\n", who, e.what());
    }
}

cv::Mat readImage(const QString& path) {
    try {
        return cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

// Undistorts `image` with K and D into `outputPath`, copying the input's metadata. `useOptimal`
// picks the optimal new camera matrix (alpha 0) instead of K.
bool undistortAndWrite(const cv::Mat& image, const QString& inputPath, const QString& outputPath,
                       const cv::Matx33d& K, const cv::Vec<double, 5>& D, bool useOptimal, const char* who) {
    const cv::Size size = image.size();
    const cv::Mat newK = useOptimal ? cv::getOptimalNewCameraMatrix(K, D, size, 0.0, size, nullptr, false)
                                    : cv::Mat(K);
    cv::Mat mapX, mapY, corrected;
    cv::initUndistortRectifyMap(K, D, cv::noArray(), newK, size, CV_32FC1, mapX, mapY);
    cv::remap(image, corrected, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));

    // The twin is written under a temporary name beside it (keeping the ".tif" ending so the image
    // writer picks TIFF) and replaces an existing twin only once complete.
    const QFileInfo info(outputPath);
    QTemporaryFile temp(info.absolutePath() + "/.partial-XXXXXX-" + info.completeBaseName() + ".tif");
    bool written = false;
    if (temp.open()) {
        temp.close();
        try {
            written = cv::imwrite(QFile::encodeName(temp.fileName()).toStdString(), corrected,
                                  {cv::IMWRITE_TIFF_COMPRESSION, 1});
        } catch (const cv::Exception& e) {
            qDebug() << who << "image writer:" << e.what();
        }
    }
    if (written) copyMetadata(inputPath, temp.fileName(), who);
    if (!written || !replaceFile(temp.fileName(), outputPath)) {
        qDebug() << (QString(who) + ": Failed to write image:") << outputPath;
        return false;
    }
    qDebug() << (QString(who) + ": Success") << inputPath << "->" << outputPath;
    return true;
}

}  // namespace

QString correctedFileName(const QString& fileName) {
    const int dot = fileName.lastIndexOf('.');
    if (dot < 0) return fileName + "_Correct";
    return fileName.left(dot) + "_Correct" + fileName.mid(dot);
}

LensModel lensFromXmpTexts(const QString& principal, const QString& focal, const QString& distortion, int width,
                           int height, double pixelSizeUm, double focalMm) {
    const double pixel = pixelSizeUm / 1000.0;
    bool focalOk = false;
    double focalLength = missing(focal) ? focalMm : parseNumber(focal, &focalOk);
    if (!missing(focal) && !focalOk) focalLength = focalMm;
    double px = width * pixel * 0.5, py = height * pixel * 0.5;
    const QStringList pp = principal.split(',');
    if (!missing(principal) && pp.size() == 2) {
        bool okX = false, okY = false;
        const double x = parseNumber(pp[0], &okX), y = parseNumber(pp[1], &okY);
        if (okX && okY) {
            px = x;
            py = y;
        }
    }
    LensModel lens;
    lens.K = cv::Matx33d(focalLength / pixel, 0, px / pixel, 0, focalLength / pixel, py / pixel, 0, 0, 1);
    lens.D = cv::Vec<double, 5>(0, 0, 0, 0, 0);
    const QStringList d = distortion.split(',');
    if (!missing(distortion) && d.size() >= 5) {
        double v[5];
        bool all = true;
        for (int i = 0; i < 5; ++i) {
            bool ok = false;
            v[i] = parseNumber(d[i], &ok);
            all = all && ok;
        }
        // The file holds k1, k2, k3, p1, p2; k3 is not used.
        if (all) lens.D = cv::Vec<double, 5>(v[0], v[1], v[3], v[4], 0.0);
    }
    return lens;
}

bool readDistortionCoeToCorrection(const QString& inputPath, const QString& outputPath) {
    const char* who = "readDistortionCoeToCorrection";
    ImageMetadata meta;
    if (!readCameraMetadata(inputPath, meta)) return false;
    const QString make = readExifValue(meta.exif, "Exif.Image.Make");
    const QString radiometric = readXmpValue(meta.xmp, make.toLower() == "quorvin"
                                                           ? "Xmp.Quorvin.RadiometricCalibration_NM"
                                                           : "Xmp.TAVREN.RadiometricCalibration_NM");
    const QString principal = readXmpValue(meta.xmp, "Xmp.Camera.PrincipalPoint");
    const QString focal = readXmpValue(meta.xmp, "Xmp.Camera.PerspectiveFocalLength");
    const QString distortion = readXmpValue(meta.xmp, "Xmp.Camera.PerspectiveDistortion");
    if (missing(radiometric) || missing(principal) || missing(focal) || missing(distortion)) {
        qDebug() << "readDistortionCoeToCorrection: missing XMP keys, radiometric=" << radiometric
                 << "principal=" << principal << "focal=" << focal << "distortion=" << distortion;
        return false;
    }
    if (radiometric.split(',').size() < 3) {
        qDebug() << "readDistortionCoeToCorrection: radiometricCalibration invalid format:" << radiometric;
        return false;
    }
    const QStringList pp = principal.split(',');
    if (pp.size() < 2) {
        qDebug() << "readDistortionCoeToCorrection: PrincipalPoint invalid format:" << principal;
        return false;
    }
    const QStringList dd = distortion.split(',');
    if (dd.size() < 5) {
        qDebug() << "readDistortionCoeToCorrection: PerspectiveDistortion invalid format:" << distortion;
        return false;
    }
    // Non-numbers read as 0 and so fall back to the built-in model below.
    double cx = parseNumber(pp[0]) / 0.00345, cy = parseNumber(pp[1]) / 0.00345, f = parseNumber(focal) / 0.00345;
    double d[5];
    for (int i = 0; i < 5; ++i) d[i] = parseNumber(dd[i]);
    qDebug() << "readDistortionCoeToCorrection " << cx << cy << f << d[0] << d[1] << d[2] << d[3] << d[4];
    const bool anyZero = cx == 0 || cy == 0 || f == 0 || d[0] == 0 || d[1] == 0 || d[2] == 0 || d[3] == 0 || d[4] == 0;
    const bool anyBad = !std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(f) || !std::isfinite(d[0]) ||
                        !std::isfinite(d[1]) || !std::isfinite(d[2]) || !std::isfinite(d[3]) || !std::isfinite(d[4]);
    if (anyZero || anyBad) {
        qDebug() << "readDistortionCoeToCorrection default" << cx << cy << f << d[0] << d[1] << d[2] << d[3] << d[4];
        f = 5774.790978947414;
        cx = 2045.4649110229766;
        cy = 1508.0243390289304;
        const double builtIn[5] = {-0.2984513684823134, -0.15903718457207022, 1.7611457493032865,
                                   -0.00011339237114169881, 3.89776654828873e-05};
        std::copy(builtIn, builtIn + 5, d);
    }
    const cv::Mat image = readImage(inputPath);
    if (image.empty()) {
        qDebug() << "readDistortionCoeToCorrection: Failed to read image:" << inputPath;
        return false;
    }
    const cv::Matx33d K(f, 0, cx, 0, f, cy, 0, 0, 1);
    const cv::Vec<double, 5> D(d[0], d[1], d[3], d[4], d[2]);
    return undistortAndWrite(image, inputPath, outputPath, K, D, false, who);
}

bool distortionCorrectionEx(const QString& inputPath, const QString& outputPath, double pixelSizeUm, double focalMm) {
    const char* who = "distortionCorrectionEx";
    ImageMetadata meta;
    if (!readCameraMetadata(inputPath, meta, "distortionCorrectionEx: ")) return false;
    const QString principal = readXmpValue(meta.xmp, "Xmp.Camera.PrincipalPoint");
    const QString focal = readXmpValue(meta.xmp, "Xmp.Camera.PerspectiveFocalLength");
    const QString distortion = readXmpValue(meta.xmp, "Xmp.Camera.PerspectiveDistortion");
    const cv::Mat image = readImage(inputPath);
    if (image.empty()) {
        qDebug() << "distortionCorrectionEx: Failed to read image:" << inputPath;
        return false;
    }
    if (!(pixelSizeUm > 0) || !std::isfinite(pixelSizeUm)) {
        qDebug() << "distortionCorrectionEx: pixel size must be positive, got" << pixelSizeUm;
        return false;
    }
    const LensModel lens =
        lensFromXmpTexts(principal, focal, distortion, image.cols, image.rows, pixelSizeUm, focalMm);
    return undistortAndWrite(image, inputPath, outputPath, lens.K, lens.D, true, who);
}

bool distortionCorrectionEx(const QString& inputPath, const QString& outputPath, const CameraCalibParams& p) {
    const char* who = "distortionCorrectionEx(SfM)";
    const cv::Mat image = readImage(inputPath);
    if (image.empty()) {
        qDebug() << "distortionCorrectionEx(SfM): Failed to read image:" << inputPath;
        return false;
    }
    const cv::Matx33d K(p.fx, 0, p.cx, 0, p.fy, p.cy, 0, 0, 1);
    const cv::Vec<double, 5> D(p.k1, p.k2, p.p1, p.p2, p.k3);
    return undistortAndWrite(image, inputPath, outputPath, K, D, true, who);
}

}  // namespace refl
