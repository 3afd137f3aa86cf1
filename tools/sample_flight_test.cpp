#include "sample_flight.h"

#include <gdal.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <exiv2/exiv2.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tiff_bytes.h"

using namespace reflsample;

namespace {

SampleOptions tiny() {
    SampleOptions o = SampleOptions::small();
    o.captures = 2;
    o.width = 320;
    o.height = 240;
    o.writeNewPanel = o.writeOldPanel = false;
    return o;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Exiv2::Image::AutoPtr openExiv2(const QString& path) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    return image;
}

}  // namespace

TEST(SampleFlight, RefusesInvalidOptionsWithoutWritingAnything) {
    QTemporaryDir dir;
    SampleOptions o = tiny();
    o.cameraType = 5;
    EXPECT_FALSE(generateSampleFlight(dir.filePath("out"), o, nullptr));
    o = tiny();
    o.layout = RawLayout::VTwo;  // type 6 has no V_Two layout
    EXPECT_FALSE(generateSampleFlight(dir.filePath("out"), o, nullptr));
    o = SampleOptions();
    o.width = 640;  // the type-0 layouts need the full sensor
    o.height = 480;
    EXPECT_FALSE(o.validate().isEmpty());
    EXPECT_FALSE(generateSampleFlight(dir.filePath("out"), o, nullptr));
    EXPECT_FALSE(QDir(dir.filePath("out")).exists());
}

TEST(SampleFlight, SameSeedGivesIdenticalFilesAndAnotherSeedDiffers) {
    QTemporaryDir dir;
    SampleOptions o = tiny();
    o.captures = 1;
    FlightTruth a, b, c;
    ASSERT_TRUE(generateSampleFlight(dir.filePath("a"), o, &a));
    ASSERT_TRUE(generateSampleFlight(dir.filePath("b"), o, &b));
    o.seed = 2;
    ASSERT_TRUE(generateSampleFlight(dir.filePath("c"), o, &c));
    const QString rel = a.captures[0].files[2];
    EXPECT_EQ(readAll(dir.filePath("a/" + rel)), readAll(dir.filePath("b/" + rel)));
    EXPECT_NE(readAll(dir.filePath("a/" + rel)), readAll(dir.filePath("c/" + rel)));
}

TEST(SampleFlight, KeyedFlightCarriesPerCaptureMetadataThatExiv2Reads) {
    QTemporaryDir dir;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), tiny(), &t));
    ASSERT_EQ(t.flightCaptureCount(), 2);
    ASSERT_EQ(t.bands.size(), 6);
    EXPECT_EQ(t.bands[t.referenceBand].wavelengthNm, 660);
    QStringList latitudes;
    for (const CaptureTruth& c : t.captures) {
        ASSERT_EQ(c.files.size(), 6);
        for (int b = 0; b < c.files.size(); ++b) {
            const QString path = dir.filePath(c.files[b]);
            auto image = openExiv2(path);
            Exiv2::XmpData& xmp = image->xmpData();
            Exiv2::ExifData& exif = image->exifData();
            EXPECT_EQ(xmp["Xmp.Camera.Serial"].toString(), "CW2401D0098");
            EXPECT_DOUBLE_EQ(QString::fromStdString(xmp["Xmp.Camera.RelativeAltitude"].toString()).toDouble(),
                             c.relativeAltitude);
            EXPECT_FALSE(xmp["Xmp.DLS.Yaw"].toString().empty());
            EXPECT_EQ(QString::fromStdString(xmp["Xmp.Quorvin.RadiometricCalibration_NM"].toString())
                          .split(',')
                          .size(),
                      3);
            EXPECT_EQ(exif["Exif.Image.Model"].toString(), "GL520");
            EXPECT_EQ(exif["Exif.Image.BlackLevel"].toLong(), t.bands[b].darkLevel);
            if (b == 0) latitudes << QString::fromStdString(exif["Exif.GPSInfo.GPSLatitude"].toString());
            // File name: capture key second, band number third, band label at character 11.
            const QString name = QFileInfo(path).fileName();
            EXPECT_EQ(name.section('_', 1, 1), c.key);
            EXPECT_EQ(name.section('_', 2, 2), QString::number(b + 1));
            EXPECT_EQ(name.mid(11).section('.', 0, 0), t.bands[b].label);
        }
    }
    EXPECT_NE(latitudes[0], latitudes[1]);  // position changes per capture
}

TEST(SampleFlight, TruthJsonBesideTheImagesNamesEveryFile) {
    QTemporaryDir dir;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), tiny(), &t));
    const QJsonObject root = QJsonDocument::fromJson(readAll(dir.filePath("truth.json"))).object();
    ASSERT_FALSE(root.isEmpty());
    EXPECT_EQ(root["camera"].toObject()["cameraType"].toInt(), 6);
    EXPECT_EQ(root["bands"].toArray().size(), 6);
    const QJsonArray h = root["bands"].toArray()[0].toObject()["refFromBandCorrected"].toArray();
    ASSERT_EQ(h.size(), 9);
    EXPECT_DOUBLE_EQ(h[0].toDouble(), t.bands[0].refFromBandCorrected(0, 0));
    for (const QJsonValue& c : root["captures"].toArray())
        for (const QJsonValue& f : c.toObject()["files"].toArray())
            EXPECT_TRUE(QFile::exists(dir.filePath(f.toString())));
    EXPECT_FALSE(root["checkPoints"].toArray().isEmpty());
}

TEST(SampleFlight, TruthReadsBackFromTheFileItWasWrittenTo) {
    QTemporaryDir dir;
    FlightTruth t, back;
    ASSERT_TRUE(generateSampleFlight(dir.path(), tiny(), &t));
    ASSERT_TRUE(loadTruth(dir.filePath("truth.json"), &back));
    EXPECT_EQ(back.camera.cameraType, 6);
    EXPECT_EQ(back.options.layout, RawLayout::Keyed);
    EXPECT_EQ(back.options.captures, 2);
    ASSERT_EQ(back.bands.size(), t.bands.size());
    for (int b = 0; b < t.bands.size(); ++b) {
        EXPECT_EQ(back.bands[b].refFromBandCorrected, t.bands[b].refFromBandCorrected);
        EXPECT_EQ(back.bands[b].K, t.bands[b].K);
        EXPECT_EQ(back.bands[b].c1, t.bands[b].c1);
        EXPECT_EQ(back.bands[b].k[5], t.bands[b].k[5]);
        EXPECT_EQ(back.bands[b].darkLevel, t.bands[b].darkLevel);
    }
    ASSERT_EQ(back.captures.size(), t.captures.size());
    EXPECT_EQ(back.captures[1].files, t.captures[1].files);
    EXPECT_EQ(back.captures[1].exposureAsRead, t.captures[1].exposureAsRead);
    ASSERT_EQ(back.checkPoints.size(), t.checkPoints.size());
    EXPECT_EQ(back.checkPoints.last().pixel, t.checkPoints.last().pixel);
    EXPECT_EQ(back.checkPoints.last().captureIndex, t.checkPoints.last().captureIndex);

    FlightTruth bad;
    EXPECT_FALSE(truthFromJson("{\"camera\": 3}", &bad));
    EXPECT_FALSE(truthFromJson("not json", &bad));
    EXPECT_FALSE(loadTruth(dir.filePath("missing.json"), &bad));
}

TEST(SampleFlight, TypeZeroLayoutsHoldTheirOffsetsInEveryFileAndOpenInGdal) {
    QTemporaryDir dir;
    GDALAllRegister();
    for (RawLayout layout : {RawLayout::VOne, RawLayout::VTwo}) {
        SampleOptions o;
        o.layout = layout;
        o.captures = 1;
        o.writeJpg = false;
        o.writeNewPanel = false;
        o.writeOldPanel = layout == RawLayout::VOne;  // panel files go through the same layouts
        FlightTruth t;
        const QString sub = dir.filePath(layoutName(layout));
        ASSERT_TRUE(generateSampleFlight(sub, o, &t));
        for (const CaptureTruth& c : t.captures) {
            for (const QString& rel : c.files) {
                const QString path = sub + "/" + rel;
                const QByteArray b = readAll(path);
                ASSERT_GT(b.size(), 2458247);
                const quint32 ifd = getU32(b, 4);
                quint32 strip = 0, xmp = 0;
                for (int i = 0, n = getU16(b, int(ifd)); i < n; ++i) {
                    const int e = int(ifd) + 2 + 12 * i;
                    if (getU16(b, e) == 273) strip = getU32(b, e + 8);
                    if (getU16(b, e) == 700) xmp = getU32(b, e + 8);
                }
                if (layout == RawLayout::VTwo) {
                    EXPECT_EQ(b.mid(266, 7), QByteArray("Quorvin")) << qPrintable(path);
                    EXPECT_EQ(xmp, 308u);
                    EXPECT_TRUE(b.mid(308, 9).startsWith("<?xpacket"));
                } else {
                    EXPECT_EQ(strip, 266u);
                    EXPECT_EQ(b.mid(2457866, 7), QByteArray("Quorvin")) << qPrintable(path);
                    EXPECT_EQ(xmp, 2458247u);
                    EXPECT_TRUE(b.mid(2458247, 9).startsWith("<?xpacket"));
                    EXPECT_NE(b.mid(2458247, 5000).indexOf("QuorVin:RadiometricCalibration>"), -1);
                }
                GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
                ASSERT_NE(ds, nullptr);
                EXPECT_EQ(GDALGetRasterXSize(ds), 1280);
                EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(ds, 1)), GDT_UInt16);
                GDALClose(ds);
            }
        }
    }
}

TEST(SampleFlight, JpgCapturesCarryTheScaleFractionAndOpenInGdal) {
    QTemporaryDir dir;
    SampleOptions o = tiny();
    o.captures = 1;
    o.writeJpg = true;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
    ASSERT_EQ(t.captures[0].jpgFiles.size(), 6);
    GDALAllRegister();
    const QString path = dir.filePath(t.captures[0].jpgFiles[3]);
    auto image = openExiv2(path);
    const QString fraction =
        QString::fromStdString(image->exifData()["Exif.Image.ImageDescription"].toString());
    EXPECT_EQ(fraction, QString("%1/%2").arg(t.bands[3].jpgFactorNum).arg(t.bands[3].jpgFactorDen));
    EXPECT_EQ(image->xmpData()["Xmp.Camera.Serial"].toString(), "CW2401D0098");
    EXPECT_FALSE(image->exifData()["Exif.GPSInfo.GPSLatitude"].toString().empty());
    // DN / 255 x fraction is the radiance (what the JPG conversion writes, scaled by 65535).
    for (const CheckPoint& cp : t.checkPoints) {
        const QString p = dir.filePath(t.captures[cp.captureIndex].jpgFiles[3]);
        const cv::Mat grey = cv::imread(QFile::encodeName(p).toStdString(), cv::IMREAD_GRAYSCALE);
        ASSERT_FALSE(grey.empty());
        const cv::Point c(cvRound(cp.pixel[3].x), cvRound(cp.pixel[3].y));
        const double r = std::max(1.0, cp.radiusPx * 0.7);
        const cv::Scalar mean =
            cv::mean(grey(cv::Rect(c.x - int(r), c.y - int(r), 2 * int(r) + 1, 2 * int(r) + 1)));
        EXPECT_NEAR(mean[0] / 255.0 * t.bands[3].jpgFactorNum / t.bands[3].jpgFactorDen, cp.radiance[3],
                    0.006)
            << qPrintable(cp.name);
    }
    GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(GDALGetRasterXSize(ds), 320);
    EXPECT_EQ(GDALGetRasterCount(ds), 1);
    GDALClose(ds);
}
