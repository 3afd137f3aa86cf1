// Lens correction: straight scene lines come back straight, the variants read their models as
// documented, and the metadata of the converted image reaches the twin.
#include "lens_correction.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "exif_xmp.h"
#include "testing/log_capture.h"

using namespace refl;

namespace {

constexpr int kW = 640, kH = 480;
constexpr double kPixelUm = 3.75;

// The camera the test images are taken with: k1, k2, p1, p2 (k3 = 0, which the XMP reading forces).
const cv::Matx33d kK(520.0, 0, 322.5, 0, 520.0, 236.0, 0, 0, 1);
const cv::Vec<double, 5> kD(-0.28, 0.09, 0.0012, -0.0008, 0.0);

// An ideal (undistorted) 16-bit image: dark horizontal lines on a bright background.
cv::Mat idealGrid() {
    cv::Mat img(kH, kW, CV_16UC1, cv::Scalar(50000));
    for (int y = 40; y < kH; y += 80) cv::line(img, {0, y}, {kW - 1, y}, cv::Scalar(2000), 3);
    return img;
}

// What the lens makes of it: every raw pixel looks at its undistorted position.
cv::Mat distort(const cv::Mat& ideal) {
    std::vector<cv::Point2f> raw;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) raw.emplace_back(float(x), float(y));
    std::vector<cv::Point2f> undistorted;
    cv::undistortPoints(raw, undistorted, kK, kD, cv::noArray(), kK);
    cv::Mat mapX(kH, kW, CV_32FC1), mapY(kH, kW, CV_32FC1);
    for (int i = 0; i < kW * kH; ++i) {
        mapX.at<float>(i / kW, i % kW) = undistorted[i].x;
        mapY.at<float>(i / kW, i % kW) = undistorted[i].y;
    }
    cv::Mat out;
    cv::remap(ideal, out, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(50000));
    return out;
}

QString mm(double pixels, double pixelUm) { return QString::number(pixels * pixelUm / 1000.0, 'g', 17); }

// Writes a 16-bit TIFF with EXIF and the XMP lens keys.
bool writeBand(const QString& path, const cv::Mat& img, const QString& principal, const QString& focal,
               const QString& distortion, const QString& make = "Quorvin") {
    if (!cv::imwrite(QFile::encodeName(path).toStdString(), img)) return false;
    try {
        Exiv2::XmpProperties::registerNs("http://example.com/camera/1.0/", "Camera");
        Exiv2::XmpProperties::registerNs("http://example.com/quorvin/1.0/", "Quorvin");
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        exif["Exif.Image.Make"] = make.toStdString();
        exif["Exif.Image.Model"] = "GL520";
        Exiv2::XmpData xmp;
        if (!principal.isNull()) xmp["Xmp.Camera.PrincipalPoint"] = principal.toStdString();
        if (!focal.isNull()) xmp["Xmp.Camera.PerspectiveFocalLength"] = focal.toStdString();
        if (!distortion.isNull()) xmp["Xmp.Camera.PerspectiveDistortion"] = distortion.toStdString();
        xmp["Xmp.Quorvin.RadiometricCalibration_NM"] = "0.0001,0.8,0.05";
        xmp["Xmp.Camera.BandName"] = "Red";
        image->setExifData(exif);
        image->setXmpData(xmp);
        image->writeMetadata();
    } catch (const Exiv2::AnyError& e) {
        ADD_FAILURE() << e.what();
        return false;
    }
    return true;
}

// Largest distance of a grid line's dark centre from its best straight fit, over the lines well
// inside the image (px). Horizontal lines: per column, the dark centroid in a band around the line.
double worstLineDeviation(const cv::Mat& img16) {
    cv::Mat img;
    img16.convertTo(img, CV_64F);
    double worst = 0;
    const int margin = 60;
    for (int y0 = 120; y0 <= kH - 120; y0 += 80) {
        std::vector<cv::Point2d> pts;
        for (int x = margin; x < kW - margin; x += 4) {
            // Track the darkest run near y0 (lines move by tens of pixels under distortion).
            int best = -1;
            double bestV = 1e9;
            for (int y = std::max(0, y0 - 35); y < std::min(kH, y0 + 35); ++y) {
                if (img.at<double>(y, x) < bestV) bestV = img.at<double>(y, x), best = y;
            }
            if (best < 0 || bestV > 20000) continue;
            double s = 0, sw = 0;
            for (int y = best - 3; y <= best + 3; ++y) {
                const double w = std::max(0.0, 50000.0 - img.at<double>(y, x));
                s += w * y;
                sw += w;
            }
            pts.emplace_back(x, s / sw);
        }
        if (pts.size() < 20) continue;
        cv::Vec4d line;
        cv::fitLine(pts, line, cv::DIST_L2, 0, 0.01, 0.01);
        for (const auto& p : pts) {
            const double d = std::abs((p.x - line[2]) * line[1] - (p.y - line[3]) * line[0]);
            worst = std::max(worst, d);
        }
    }
    return worst;
}

class LensCorrection : public ::testing::Test {
protected:
    QString path(const char* name) const { return m_dir.filePath(name); }
    cv::Mat read(const char* name) const { return cv::imread(path(name).toStdString(), cv::IMREAD_UNCHANGED); }
    QTemporaryDir m_dir;
    LogCapture log;
};

TEST_F(LensCorrection, XmpModelStraightensLinesAndKeepsMetadata) {
    const cv::Mat distorted = distort(idealGrid());
    const QString dist = QString("%1,%2,0,%3,%4").arg(kD[0]).arg(kD[1]).arg(kD[2]).arg(kD[3]);
    ASSERT_TRUE(writeBand(path("IMG_0001_3.tif"), distorted, mm(kK(0, 2), kPixelUm) + "," + mm(kK(1, 2), kPixelUm),
                          mm(kK(0, 0), kPixelUm), dist));
    ASSERT_TRUE(distortionCorrectionEx(path("IMG_0001_3.tif"), path("IMG_0001_3_Correct.tif"), kPixelUm))
        << log.all().toStdString();
    EXPECT_TRUE(log.contains("distortionCorrectionEx: Success"));
    const double before = worstLineDeviation(distorted);
    const cv::Mat corrected = read("IMG_0001_3_Correct.tif");
    ASSERT_EQ(corrected.type(), CV_16UC1);
    ASSERT_EQ(corrected.size(), distorted.size());
    const double after = worstLineDeviation(corrected);
    std::printf("line deviation: distorted %.2f px, corrected %.2f px\n", before, after);
    EXPECT_GT(before, 5.0);
    EXPECT_LT(after, 0.6);

    const ImageMetadata meta = readImageMetadata(path("IMG_0001_3_Correct.tif"));
    EXPECT_EQ(readXmpValue(meta.xmp, "Xmp.Camera.BandName"), "Red");
    EXPECT_EQ(readXmpValue(meta.xmp, "Xmp.Camera.PerspectiveDistortion"), dist);
    EXPECT_EQ(readExifValue(meta.exif, "Exif.Image.Model"), "GL520");
}

TEST_F(LensCorrection, SelfCalibrationVariantUsesTheRecord) {
    const cv::Mat distorted = distort(idealGrid());
    ASSERT_TRUE(cv::imwrite(path("b.tif").toStdString(), distorted));
    CameraCalibParams p;
    p.fx = p.fy = kK(0, 0);
    p.cx = kK(0, 2);
    p.cy = kK(1, 2);
    p.k1 = kD[0];
    p.k2 = kD[1];
    p.p1 = kD[2];
    p.p2 = kD[3];
    ASSERT_TRUE(distortionCorrectionEx(path("b.tif"), path("b_Correct.tif"), p));
    EXPECT_LT(worstLineDeviation(read("b_Correct.tif")), 0.6);
    EXPECT_FALSE(distortionCorrectionEx(path("missing.tif"), path("m_Correct.tif"), p));
    EXPECT_TRUE(log.contains("distortionCorrectionEx(SfM): Failed to read image:"));
}

TEST_F(LensCorrection, MissingKeysFallBackToTheImageCentreAndTheTaskFocalLength) {
    const QString none;
    const LensModel lens = lensFromXmpTexts(kUnknow, kUnknow, kUnknow, 1280, 960, 3.75, 5.2);
    EXPECT_NEAR(lens.K(0, 0), 5.2 / 0.00375, 1e-9);
    EXPECT_NEAR(lens.K(0, 2), 640.0, 1e-9);
    EXPECT_NEAR(lens.K(1, 2), 480.0, 1e-9);
    EXPECT_EQ(lens.D, (cv::Vec<double, 5>(0, 0, 0, 0, 0)));
    const LensModel other = lensFromXmpTexts("1,2,3", "7.84", "0.1,0.2,0.3,0.4", 100, 80, 2.0, 5.2);
    EXPECT_NEAR(other.K(0, 0), 3920.0, 1e-9);
    EXPECT_NEAR(other.K(0, 2), 50.0, 1e-9) << "three principal numbers: image centre";
    EXPECT_EQ(other.D, (cv::Vec<double, 5>(0, 0, 0, 0, 0))) << "four distortion numbers: no distortion";
    const LensModel full = lensFromXmpTexts("1.2,0.9", "5", "0.1,0.2,0.3,0.4,0.5", 100, 80, 2.0, 5.2);
    EXPECT_EQ(full.D, (cv::Vec<double, 5>(0.1, 0.2, 0.4, 0.5, 0.0)));
    EXPECT_NEAR(full.K(1, 2), 450.0, 1e-9);

    // A file without any lens key is still corrected (re-projected only).
    ASSERT_TRUE(writeBand(path("c.tif"), idealGrid(), none, none, none));
    EXPECT_TRUE(distortionCorrectionEx(path("c.tif"), path("c_Correct.tif"), kPixelUm));
}

TEST_F(LensCorrection, CameraType6ReadingAndItsBuiltInModel) {
    const cv::Mat img = idealGrid();
    // Principal point 0,0: the complete built-in model replaces the file's.
    ASSERT_TRUE(writeBand(path("z.tif"), img, "0,0", "5.2", "-0.1,0.05,0.001,0.0001,0.0002"));
    ASSERT_TRUE(readDistortionCoeToCorrection(path("z.tif"), path("z_Correct.tif"))) << log.all().toStdString();
    EXPECT_TRUE(log.contains("readDistortionCoeToCorrection default"));
    EXPECT_TRUE(log.contains("readDistortionCoeToCorrection: Success"));

    ASSERT_TRUE(writeBand(path("g.tif"), distort(img), mm(kK(0, 2), 3.45) + "," + mm(kK(1, 2), 3.45),
                          mm(kK(0, 0), 3.45), QString("%1,%2,1e-12,%3,%4").arg(kD[0]).arg(kD[1]).arg(kD[2]).arg(kD[3])));
    ASSERT_TRUE(readDistortionCoeToCorrection(path("g.tif"), path("g_Correct.tif")));
    EXPECT_LT(worstLineDeviation(read("g_Correct.tif")), 0.6);

    // Four distortion numbers are refused, as is a missing key.
    ASSERT_TRUE(writeBand(path("f.tif"), img, "1,1", "5.2", "0.1,0.2,0.3,0.4"));
    EXPECT_FALSE(readDistortionCoeToCorrection(path("f.tif"), path("f_Correct.tif")));
    EXPECT_TRUE(log.contains("readDistortionCoeToCorrection: PerspectiveDistortion invalid format:"));
    ASSERT_TRUE(writeBand(path("k.tif"), img, QString(), "5.2", "0.1,0.2,0.3,0.4,0.5"));
    EXPECT_FALSE(readDistortionCoeToCorrection(path("k.tif"), path("k_Correct.tif")));
    EXPECT_TRUE(log.contains("readDistortionCoeToCorrection: missing XMP keys, radiometric="));
    EXPECT_FALSE(QFile::exists(path("k_Correct.tif")));
}

TEST_F(LensCorrection, MetadataCopyFailureStillLeavesTheCorrectedImage) {
    // A format the image reader knows but exiv2 does not: the copy fails, the twin stays.
    ASSERT_TRUE(cv::imwrite(path("p.pgm").toStdString(), idealGrid()));
    CameraCalibParams p;
    p.fx = p.fy = 500;
    p.cx = 320;
    p.cy = 240;
    testing::internal::CaptureStderr();
    const bool ok = distortionCorrectionEx(path("p.pgm"), path("p_Correct.tif"), p);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ok);
    EXPECT_NE(err.find("distortionCorrectionEx(SfM): Exiv2 error: "), std::string::npos) << err;
    EXPECT_TRUE(QFile::exists(path("p_Correct.tif")));
}

TEST(CorrectedFileName, InsertsBeforeTheLastDot) {
    EXPECT_EQ(correctedFileName("IMG_0001_3.tif"), "IMG_0001_3_Correct.tif");
    EXPECT_EQ(correctedFileName("a.b.tif"), "a.b_Correct.tif");
    // Without a dot the twin must not overwrite the converted file.
    EXPECT_EQ(correctedFileName("IMG_0001_3"), "IMG_0001_3_Correct");
}

}  // namespace
