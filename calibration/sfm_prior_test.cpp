#include "sfm_prior.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <exiv2/exiv2.hpp>
#include <opencv2/imgcodecs.hpp>

using namespace refl;

namespace {

struct Keys {
    const char* focal = nullptr;
    const char* principal = nullptr;
    const char* distortion = nullptr;
};

// A 64 x 48 16-bit TIFF carrying the given lens keys (a null key is left out).
QString writeImage(const QTemporaryDir& dir, const QString& name, const Keys& keys, bool withXmp = true) {
    const QString path = dir.filePath(name);
    const cv::Mat img(48, 64, CV_16U, cv::Scalar(1000));
    EXPECT_TRUE(cv::imwrite(QFile::encodeName(path).toStdString(), img));
    if (!withXmp) return path;
    Exiv2::XmpProperties::registerNs("http://pix4d.com/camera/1.0/", "Camera");
    Exiv2::XmpData xmp;
    xmp["Xmp.Camera.BandName"] = "NIR";
    if (keys.focal) xmp["Xmp.Camera.PerspectiveFocalLength"] = keys.focal;
    if (keys.principal) xmp["Xmp.Camera.PrincipalPoint"] = keys.principal;
    if (keys.distortion) xmp["Xmp.Camera.PerspectiveDistortion"] = keys.distortion;
    auto image = Exiv2::ImageFactory::open(std::string(QFile::encodeName(path).constData()));
    image->readMetadata();
    image->setXmpData(xmp);
    image->writeMetadata();
    return path;
}

}  // namespace

TEST(SfmPrior, AllKeysPresent) {
    QTemporaryDir dir;
    const QString p = writeImage(dir, "a.tif", {"5.4", "0.12,0.09", "0.1,0.2,0.3,0.4,0.5"});
    CameraPrior prior;
    ASSERT_TRUE(cameraPriorFromMetadata(p, 3.75, 5.2, &prior));
    EXPECT_EQ(prior.width, 64);
    EXPECT_EQ(prior.height, 48);
    EXPECT_EQ(prior.priorSource, "XMP Camera namespace");
    EXPECT_DOUBLE_EQ(prior.focalMm, 5.4);
    EXPECT_NEAR(prior.K.at<double>(0, 0), 5.4 / 0.00375, 1e-9);
    EXPECT_NEAR(prior.K.at<double>(1, 1), 5.4 / 0.00375, 1e-9);
    EXPECT_NEAR(prior.K.at<double>(0, 2), 32.0, 1e-9);
    EXPECT_NEAR(prior.K.at<double>(1, 2), 24.0, 1e-9);
    EXPECT_EQ(prior.K.at<double>(2, 2), 1.0);
    ASSERT_EQ(prior.D.rows, 5);
    // Stored k1, k2, k3, p1, p2; OpenCV order k1, k2, p1, p2, k3.
    EXPECT_DOUBLE_EQ(prior.D.at<double>(0), 0.1);
    EXPECT_DOUBLE_EQ(prior.D.at<double>(1), 0.2);
    EXPECT_DOUBLE_EQ(prior.D.at<double>(2), 0.4);
    EXPECT_DOUBLE_EQ(prior.D.at<double>(3), 0.5);
    EXPECT_DOUBLE_EQ(prior.D.at<double>(4), 0.3);
}

TEST(SfmPrior, MissingOrMalformedPrincipalPointUsesTheImageCentre) {
    QTemporaryDir dir;
    for (const char* pp : {static_cast<const char*>(nullptr), "0.1,0.2,0.3", "0.1"}) {
        const QString p = writeImage(dir, "b.tif", {"5.4", pp, "0.1,0.2,0.3,0.4,0.5"});
        CameraPrior prior;
        ASSERT_TRUE(cameraPriorFromMetadata(p, 3.75, 5.2, &prior));
        EXPECT_EQ(prior.priorSource, "EXIF/sensor physical fallback") << (pp ? pp : "none");
        EXPECT_NEAR(prior.K.at<double>(0, 2), 32.0, 1e-9);
        EXPECT_NEAR(prior.K.at<double>(1, 2), 24.0, 1e-9);
        EXPECT_NEAR(prior.principalXMm, 64 * 0.00375 * 0.5, 1e-12);
    }
}

TEST(SfmPrior, FourDistortionValuesMeanNoDistortion) {
    QTemporaryDir dir;
    const QString p = writeImage(dir, "c.tif", {"5.4", "0.12,0.09", "0.1,0.2,0.3,0.4"});
    CameraPrior prior;
    ASSERT_TRUE(cameraPriorFromMetadata(p, 3.75, 5.2, &prior));
    EXPECT_EQ(cv::countNonZero(prior.D), 0);
    EXPECT_EQ(prior.priorSource, "XMP Camera namespace; no distortion metadata");

    const QString q = writeImage(dir, "d.tif", {"5.4", nullptr, nullptr});
    ASSERT_TRUE(cameraPriorFromMetadata(q, 3.75, 5.2, &prior));
    EXPECT_EQ(prior.priorSource, "EXIF/sensor physical fallback; no distortion metadata");
}

TEST(SfmPrior, MissingFocalLengthFallsBackSilently) {
    QTemporaryDir dir;
    const QString p = writeImage(dir, "e.tif", {nullptr, "0.12,0.09", "0.1,0.2,0.3,0.4,0.5,0.6"});
    CameraPrior prior;
    ASSERT_TRUE(cameraPriorFromMetadata(p, 3.75, 5.2, &prior));
    EXPECT_NEAR(prior.K.at<double>(0, 0), 5.2 * 1000 / 3.75, 1e-9);
    EXPECT_EQ(prior.priorSource, "XMP Camera namespace");
    EXPECT_DOUBLE_EQ(prior.D.at<double>(4), 0.3);  // a sixth value is ignored
}

TEST(SfmPrior, UnreadableInputsFail) {
    QTemporaryDir dir;
    CameraPrior prior;
    EXPECT_FALSE(cameraPriorFromMetadata(dir.filePath("missing.tif"), 3.75, 5.2, &prior));
    // Readable image without XMP.
    EXPECT_FALSE(cameraPriorFromMetadata(writeImage(dir, "f.tif", {}, false), 3.75, 5.2, &prior));
    // OpenCV reads a PGM, exiv2 cannot open it.
    const QString pgm = dir.filePath("g.pgm");
    ASSERT_TRUE(cv::imwrite(QFile::encodeName(pgm).toStdString(), cv::Mat(8, 8, CV_8U, cv::Scalar(5))));
    EXPECT_FALSE(cameraPriorFromMetadata(pgm, 3.75, 5.2, &prior));
    // A pixel pitch of zero would give an infinite focal length.
    const QString ok = writeImage(dir, "h.tif", {"5.4", "0.12,0.09", "0.1,0.2,0.3,0.4,0.5"});
    EXPECT_FALSE(cameraPriorFromMetadata(ok, 0.0, 5.2, &prior));
    const QString zeroFocal = writeImage(dir, "i.tif", {"abc", "0.12,0.09", "0.1,0.2,0.3,0.4,0.5"});
    EXPECT_FALSE(cameraPriorFromMetadata(zeroFocal, 3.75, 5.2, &prior));
}
