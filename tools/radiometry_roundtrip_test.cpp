// Inverts the radiometric model on generated pixels, with the constants read back from the file's own
// metadata, and checks that the scene radiance of the check points comes back.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <vector>

#include "sample_flight.h"

using namespace reflsample;

namespace {

struct FileCalibration {
    double a0 = 0, c1 = 0, c2 = 0, cx = 0, cy = 0, k[7] = {0, 0, 0, 0, 0, 0, 0};
    double exposure = 0, gain = 0, dark = 0;
};

QVector<double> numbersOf(const std::string& text) {
    QVector<double> v;
    for (const QString& s : QString::fromStdString(text).split(',')) v << s.toDouble();
    return v;
}

/// Keyed-layout calibration of a file through exiv2 (the model is not one that keeps milliseconds).
FileCalibration readKeyed(const QString& path) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    Exiv2::XmpData& x = image->xmpData();
    FileCalibration c;
    const QVector<double> r = numbersOf(x["Xmp.Quorvin.RadiometricCalibration_NM"].toString());
    const QVector<double> p = numbersOf(x["Xmp.Camera.VignettingPolynomial_NM"].toString());
    const QVector<double> ctr = numbersOf(x["Xmp.Camera.VignettingCenter_NM"].toString());
    c.a0 = r.value(0);
    c.c1 = r.value(1);
    c.c2 = r.value(2);
    for (int i = 0; i < 7; ++i) c.k[i] = p.value(i);
    c.cx = ctr.value(0);
    c.cy = ctr.value(1);
    c.exposure = std::stod(x["Xmp.Camera.IrradianceExposureTime"].toString()) /
                 std::stod(x["Xmp.Camera.STDIrradianceExposureTime"].toString());
    c.gain = std::stod(x["Xmp.Camera.IrradianceGain"].toString()) /
             std::stod(x["Xmp.Camera.STDIrradianceGain"].toString());
    c.dark = image->exifData()["Exif.Image.BlackLevel"].toLong();
    return c;
}

/// Compact-layout calibration (V_Two): six-coefficient polynomial after an implicit 1, exposure in ms.
FileCalibration readCompact(const QString& path) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    Exiv2::XmpData& x = image->xmpData();
    FileCalibration c;
    const QVector<double> r = numbersOf(x["Xmp.QuorVin.RadiometricCalibration"].toString());
    const QVector<double> p = numbersOf(x["Xmp.Camera.VignettingPolynomial"].toString());
    const QVector<double> ctr = numbersOf(x["Xmp.Camera.VignettingCenter"].toString());
    c.a0 = r.value(0);
    c.c1 = r.value(1);
    c.c2 = r.value(2);
    c.k[0] = 1.0;
    for (int i = 0; i < 6; ++i) c.k[i + 1] = p.value(i);
    c.cx = ctr.value(0);
    c.cy = ctr.value(1);
    c.exposure = std::stod(x["Xmp.Camera.IrradianceExposureTime"].toString()) * 1000.0;
    c.gain = std::stod(x["Xmp.Camera.IrradianceGain"].toString());
    c.dark = image->exifData()["Exif.Image.BlackLevel"].toLong();
    return c;
}

std::vector<quint16> readPixels(const QString& path, int* w, int* h) {
    std::vector<quint16> px;
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tif) return px;
    uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &th);
    px.resize(size_t(tw) * th);
    for (uint32_t y = 0; y < th; ++y) TIFFReadScanline(tif, px.data() + size_t(y) * tw, y, 0);
    TIFFClose(tif);
    *w = int(tw);
    *h = int(th);
    return px;
}

/// Mean radiance over a disc, inverting DN = dark + L (c1 t g + c2) a0 / P(r).
double meanRadiance(const std::vector<quint16>& px, int w, const FileCalibration& c, cv::Point2d at,
                    double radius) {
    double sum = 0;
    int n = 0;
    for (int y = int(at.y - radius); y <= int(at.y + radius) + 1; ++y) {
        for (int x = int(at.x - radius); x <= int(at.x + radius) + 1; ++x) {
            if (std::hypot(x - at.x, y - at.y) > radius) continue;
            const double r = std::hypot(x + 1 - c.cx, y + 1 - c.cy);
            double p = 0, rn = 1;
            for (double k : c.k) {
                p += k * rn;
                rn *= r;
            }
            sum +=
                (double(px[size_t(y) * w + x]) - c.dark) * p / (c.a0 * (c.c1 * c.exposure * c.gain + c.c2));
            ++n;
        }
    }
    return n ? sum / n : NAN;
}

void checkRoundTrip(SampleOptions o, double tolerance) {
    QTemporaryDir dir;
    o.writeJpg = false;
    o.writeNewPanel = o.writeOldPanel = false;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
    ASSERT_GE(t.checkPoints.size(), 4);
    for (const CheckPoint& cp : t.checkPoints) {
        for (int b = 0; b < t.bands.size(); ++b) {
            const QString path = dir.filePath(t.captures[cp.captureIndex].files[b]);
            int w = 0, h = 0;
            const std::vector<quint16> px = readPixels(path, &w, &h);
            ASSERT_FALSE(px.empty());
            const FileCalibration cal = o.layout == RawLayout::Keyed ? readKeyed(path) : readCompact(path);
            const double l = meanRadiance(px, w, cal, cp.pixel[b], cp.radiusPx);
            EXPECT_NEAR(l, cp.radiance[b], tolerance * cp.radiance[b] + 2e-4)
                << qPrintable(cp.name) << " capture " << qPrintable(cp.captureKey) << " band " << b;
        }
    }
}

}  // namespace

SampleOptions smallFlight(double noise) {
    SampleOptions o = SampleOptions::small();
    o.captures = 2;
    o.noiseScale = noise;
    return o;
}

TEST(RadiometryRoundTrip, NoiseFreePixelsGiveBackTheCheckPointRadiance) {
    checkRoundTrip(smallFlight(0.0), 0.002);
}

TEST(RadiometryRoundTrip, NoisyPixelsGiveItBackWithinTheNoise) { checkRoundTrip(smallFlight(1.0), 0.02); }

TEST(RadiometryRoundTrip, CompactLayoutWithMillisecondExposuresGivesItBackToo) {
    SampleOptions o;  // type 0, V_Two
    o.captures = 1;
    checkRoundTrip(o, 0.02);
}
