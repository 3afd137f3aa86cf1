// Named bands of a merged capture: what gdalinfo / QGIS and exiftool read back.
#include <gdal.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <exiv2/exiv2.hpp>
#include <vector>

#include "band_names.h"
#include "exif_tags.h"
#include "merge_bands.h"
#include "raw_tiff_writer.h"
#include "xmp_packet.h"

using namespace refl;

namespace {

// A converted band file with the camera's XMP (band name, centre wavelength, width).
void writeBand(const QString& path, int wavelength, int fwhm, quint16 value) {
    reflsample::XmpContent x;
    x.serial = "CW2401D0098";
    x.bandName = QString::number(wavelength) + "nm";
    x.wavelengthNm = wavelength;
    x.fwhmNm = fwhm;
    x.relativeAltitude = 60.25;
    x.pitchRad = 0.125;
    std::vector<quint16> pixels(32 * 24, value);
    pixels[5] = 0;  // one pixel outside the valid area
    reflsample::RawBandFile f;
    f.layout = reflsample::RawLayout::Keyed;
    f.width = 32;
    f.height = 24;
    f.pixels = pixels.data();
    f.xmp = reflsample::buildXmpPacket(x);
    f.exif.make = "Quorvin";
    ASSERT_TRUE(reflsample::writeWholeFile(path, reflsample::buildRawBandTiff(f)));
}

}  // namespace

TEST(BandNames, DescriptionFromLabelAndXmp) {
    EXPECT_EQ(describeBand("450nm").text(), "Blue 450 nm");
    EXPECT_EQ(describeBand("720nm").text(), "Red edge 720 nm");
    const BandDescription nir = describeBand("840nm", "NIR", "842", "40");
    EXPECT_EQ(nir.text(), "NIR 842 nm");
    EXPECT_DOUBLE_EQ(nir.fwhmNm, 40.0);
    EXPECT_EQ(describeBand("3").text(), "3");  // a band number, nothing to go by: the label itself
}

TEST(BandNames, MergedFileCarriesGdalBandNamesNoDataAndXmpSequences) {
    QTemporaryDir dir;
    const QString blue = dir.filePath("IMG_0003_450nm.tif"), nir = dir.filePath("IMG_0003_840nm.tif");
    writeBand(blue, 450, 20, 30000);
    writeBand(nir, 840, 40, 50000);
    // Written under the scratch name the registration uses before renaming it into place.
    const QString merged = dir.filePath(".IMG_0003_Multi.tif.partial-1");
    const QStringList names{"450nm", "840nm"};
    ASSERT_TRUE(mergeBandsToTif({blue, nir}, merged, "IMG", names, true));
    ASSERT_TRUE(writeExifTags(merged, blue, "IMG", names));

    // GDAL's own tags survive the tag rewrite that follows the merge.
    GDALAllRegister();
    GDALDatasetH ds = GDALOpen(QFile::encodeName(merged).constData(), GA_ReadOnly);
    ASSERT_NE(ds, nullptr);
    const char* expected[2] = {"Blue 450 nm", "NIR 840 nm"};
    for (int b = 1; b <= 2; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds, b);
        EXPECT_STREQ(GDALGetDescription(band), expected[b - 1]);
        int has = 0;
        EXPECT_EQ(GDALGetRasterNoDataValue(band, &has), 0.0);
        EXPECT_TRUE(has);
        EXPECT_STREQ(GDALGetMetadataItem(band, "wavelength", nullptr), b == 1 ? "450" : "840");
    }
    EXPECT_STREQ(GDALGetMetadataItem(ds, "TIFFTAG_IMAGEDESCRIPTION", nullptr), "central_wavelength:450nm,840nm");
    GDALClose(ds);

    // The XMP keeps the attitude values and gains one sequence per property, one entry per band.
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(merged).toStdString());
    image->readMetadata();
    const Exiv2::XmpData& xmp = image->xmpData();
    auto values = [&](const char* key) {
        QStringList out;
        const auto it = xmp.findKey(Exiv2::XmpKey(key));
        if (it == xmp.end()) return out;
        for (long i = 0; i < it->count(); ++i) out << QString::fromStdString(it->toString(i));
        return out;
    };
    EXPECT_EQ(values("Xmp.Camera.BandName"), QStringList({"Blue", "NIR"}));
    EXPECT_EQ(values("Xmp.Camera.CentralWavelength"), QStringList({"450", "840"}));
    EXPECT_EQ(values("Xmp.Camera.WavelengthFWHM"), QStringList({"20", "40"}));
    const auto serial = xmp.findKey(Exiv2::XmpKey("Xmp.DLS.Serial"));
    ASSERT_NE(serial, xmp.end());
    EXPECT_EQ(serial->toString(), "CW2401D0098");
}
