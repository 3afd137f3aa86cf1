#include "radiometric_calibration.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>

#include "camera_info.h"
#include "testing/log_capture.h"
#include "testing/tiff_builder.h"
#include "testing/xmp_texts.h"

using namespace refl;

namespace {

// Texts of a keyed-layout image; each can be changed or dropped (empty = key absent).
struct KeyedImage {
    QString make = "Quorvin";
    QString model = "PV740";
    QString radiometric = "0.00012,0.8,0.05";
    QString polynomial = "1.01,1e-4,2e-7,-3e-10,4e-13,-5e-16,6e-19";
    QString centre = "640.5,480.25";
    QString exposureTime = "0.002";
    QString gain = "2";
    QString irradiance = "1.5";
    QString stdExposure = "0.001";
    QString stdGain = "4";
    QString serial = "CG2104A0173";
    int blackLevel = 4096;
    bool withBlackLevel = true;
    int width = 64;
    bool withWidth = true;

    QByteArray xmp() const {
        const QString prefix = make.toLower() == "quorvin" ? "Quorvin" : "TAVREN";
        QString body;
        if (!radiometric.isEmpty()) body += seqOne(prefix + ":RadiometricCalibration_NM", radiometric);
        if (!polynomial.isEmpty()) body += seqOne("Camera:VignettingPolynomial_NM", polynomial);
        if (!centre.isEmpty()) body += seqOne("Camera:VignettingCenter_NM", centre);
        if (!exposureTime.isEmpty()) body += simple("Camera:IrradianceExposureTime", exposureTime);
        if (!gain.isEmpty()) body += simple("Camera:IrradianceGain", gain);
        if (!irradiance.isEmpty()) body += simple("Camera:Irradiance", irradiance);
        if (!stdExposure.isEmpty()) body += simple("Camera:STDIrradianceExposureTime", stdExposure);
        if (!stdGain.isEmpty()) body += simple("Camera:STDIrradianceGain", stdGain);
        body += simple("Camera:Serial", serial);
        return packet(body, QString("\n    xmlns:%1=\"http://example.com/%2/1.0/\"").arg(prefix, prefix.toLower()));
    }

    bool write(const QString& path) const {
        TiffBuilder b;
        if (withWidth) b.longValue(256, width);
        b.longValue(257, 48).shortValue(258, 16).shortValue(259, 1).shortValue(262, 1);
        b.ascii(271, make.toLatin1()).ascii(272, model.toLatin1());
        b.longValue(273, 8000).shortValue(277, 1).longValue(278, 48).longValue(279, 64 * 48 * 2);
        b.bytesAt(700, 1, 1000, xmp());
        if (withBlackLevel) b.shortValue(50714, static_cast<uint16_t>(blackLevel));
        b.place(8000, TiffBuilder::rampPixels(64, 48));
        return b.write(path);
    }
};

class CalibrationTest : public ::testing::Test {
protected:
    QString write(const KeyedImage& image) {
        const QString path = m_dir.filePath(QString("keyed%1.tif").arg(m_count++));
        EXPECT_TRUE(image.write(path));
        return path;
    }
    QTemporaryDir m_dir;
    int m_count = 0;
    LogCapture log;
};

// ---- compact text layout -------------------------------------------------------------------------

TEST_F(CalibrationTest, CompactLayoutFillsTheRecord) {
    RadiometricCalibration r;
    bool keyed = true;
    ASSERT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Panel, compact(), r, &keyed), 0) << log.all().toStdString();
    EXPECT_DOUBLE_EQ(r.a0, 0.00012);
    EXPECT_DOUBLE_EQ(r.c1, 0.8);
    EXPECT_DOUBLE_EQ(r.c2, 0.05);
    EXPECT_DOUBLE_EQ(r.centreX, 640.5);
    EXPECT_DOUBLE_EQ(r.centreY, 480.25);
    EXPECT_DOUBLE_EQ(r.k0, 1e-4);
    EXPECT_DOUBLE_EQ(r.k5, 6e-19);
    EXPECT_DOUBLE_EQ(r.exposure, 2.0);
    EXPECT_DOUBLE_EQ(r.gain, 2.0);
    EXPECT_DOUBLE_EQ(r.irradiance, 1.5);
    EXPECT_TRUE(keyed) << "left unchanged when no rule applies";
    EXPECT_TRUE(log.contains("a0:c1:c2 \"0.00012\" 0.8 0.05"));
    EXPECT_TRUE(log.contains("V11 old or new true"));
}

TEST_F(CalibrationTest, CompactLayoutSwitchesToTheKeyedLayout) {
    RadiometricCalibration r;
    bool keyed = false;
    // c1 = 1 and c2 = 0 are the marker of keyed files; c2 = 0 is then refused as data.
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Panel, compact("0.0001,1,0"), r, &keyed), -1);
    EXPECT_TRUE(keyed);

    keyed = false;
    const QString nm = seqOne("Camera:VignettingPolynomial_NM", "1.2,0,0,0,0,0,0");
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Panel, compact("0.0001,0.5,0.1", "1,1", "0,0,0,0,0,0", nm), r, &keyed), 0);
    EXPECT_TRUE(keyed);
    EXPECT_TRUE(log.contains("readKDetailVerTwoNew: 1.2 0 0 0 0 0 0"));

    keyed = true;
    const QString zero = seqOne("Camera:VignettingPolynomial_NM", "0,0,0,0,0,0,0");
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Panel, compact("0.0001,0.5,0.1", "1,1", "0,0,0,0,0,0", zero), r, &keyed), 0);
    EXPECT_FALSE(keyed);

    // The task copy never touches the flag.
    keyed = false;
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("0.0001,0.5,0.1", "1,1", "0,0,0,0,0,0", nm), r, &keyed), 0);
    EXPECT_FALSE(keyed);
}

TEST_F(CalibrationTest, CompactLayoutRefusesZerosAndNonNumbers) {
    RadiometricCalibration r;
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("0,0.8,0.05"), r), -1);
    EXPECT_TRUE(log.contains("have error data"));
    EXPECT_FALSE(log.contains("grey board have error data"));
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Panel, compact("0.1,0.8,0.05", "0,480"), r), -1);
    EXPECT_TRUE(log.contains("grey board have error data"));
    // A fourth number makes c2 unreadable, which reads as 0 and is refused.
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("0.1,0.8,0.05,7"), r), -1);
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("abc,0.8,0.05"), r), -1);
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("nan,0.8,0.05"), r), -1);
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("inf,0.8,0.05"), r), -1);
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("0.1,0.8,0.05", "1,1", "1,nan,0,0,0,0"), r), -1);
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, QByteArray(), r), -1);
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, QByteArray("garbage without any element"), r), -1);
}

TEST_F(CalibrationTest, CompactPolynomialWithASeventhNumberLosesK5) {
    RadiometricCalibration r;
    ASSERT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, compact("0.1,0.8,0.05", "1,1", "1,2,3,4,5,6,7"), r), 0);
    EXPECT_DOUBLE_EQ(r.k4, 5.0);
    EXPECT_DOUBLE_EQ(r.k5, 0.0);
}

TEST_F(CalibrationTest, XmpTextEndsAtItsFirstZeroByte) {
    QByteArray xmp = compact();
    const int cut = xmp.indexOf("Camera:VignettingCenter");
    xmp[cut] = '\0';
    RadiometricCalibration r;
    EXPECT_EQ(readXmpNodeValueVerTwo(CalibrationReader::Task, xmp, r), -1);
}

// ---- per-item text layout ------------------------------------------------------------------------

TEST_F(CalibrationTest, PerItemPanelCopyFillsEverythingTheTaskCopyOnlyExposure) {
    RadiometricCalibration panel;
    ASSERT_TRUE(readXmpPerItem(CalibrationReader::Panel, perItem(), panel)) << log.all().toStdString();
    EXPECT_DOUBLE_EQ(panel.a0, 0.00012);
    EXPECT_DOUBLE_EQ(panel.c1, 0.8);
    EXPECT_DOUBLE_EQ(panel.c2, 0.05);
    EXPECT_DOUBLE_EQ(panel.centreX, 640.5);
    EXPECT_DOUBLE_EQ(panel.centreY, 480.25);
    EXPECT_DOUBLE_EQ(panel.k3, 4e-13);
    EXPECT_DOUBLE_EQ(panel.k5, 6e-19);
    EXPECT_DOUBLE_EQ(panel.exposure, 2.0);
    EXPECT_DOUBLE_EQ(panel.gain, 2.0);
    EXPECT_TRUE(log.contains("V1 Original camera::::"));

    RadiometricCalibration task = panel;
    // Another capture's packet: its own exposure and gain; the gain is read as an integer.
    ASSERT_TRUE(readXmpPerItem(CalibrationReader::Task, perItem({"9", "9", "9"}, {"1", "1"}, {"1", "1", "1", "1", "1", "1"}, "4.7"), task));
    EXPECT_DOUBLE_EQ(task.a0, panel.a0);
    EXPECT_DOUBLE_EQ(task.k0, panel.k0);
    EXPECT_DOUBLE_EQ(task.gain, 4.0);
    EXPECT_TRUE(log.contains("The next::::"));
}

TEST_F(CalibrationTest, PerItemRefusesMissingCoefficients) {
    RadiometricCalibration r;
    r.a0 = 5;
    EXPECT_FALSE(readXmpPerItem(CalibrationReader::Panel, perItem({"x", "0.8", "0.05"}), r));
    EXPECT_DOUBLE_EQ(r.a0, 5.0) << "record written although refused";
    EXPECT_FALSE(readXmpPerItem(CalibrationReader::Panel, packet("nothing"), r));
}

// ---- keyed layout --------------------------------------------------------------------------------

TEST_F(CalibrationTest, StrictKeyedReaderFillsTheRecord) {
    RadiometricCalibration r;
    readImageExif(write(KeyedImage()), r);
    EXPECT_DOUBLE_EQ(r.a0, 0.00012) << log.all().toStdString();
    EXPECT_DOUBLE_EQ(r.c1, 0.8);
    EXPECT_DOUBLE_EQ(r.c2, 0.05);
    EXPECT_DOUBLE_EQ(r.k0, 1.01);
    EXPECT_DOUBLE_EQ(r.k6, 6e-19);
    EXPECT_DOUBLE_EQ(r.centreX, 640.5);
    EXPECT_EQ(r.darkLevel, 4096);
    EXPECT_DOUBLE_EQ(r.exposure, 2.0);  // PV740 keeps milliseconds
    EXPECT_DOUBLE_EQ(r.gain, 2.0);
    EXPECT_DOUBLE_EQ(r.irradiance, 1.5);
    EXPECT_DOUBLE_EQ(r.stdExposure, 0.001);
    EXPECT_TRUE(log.contains("readImageExif in run"));
}

TEST_F(CalibrationTest, ExposureIsARatioForModelsOutsideTheList) {
    KeyedImage image;
    image.model = "GL520";
    RadiometricCalibration r;
    readImageExif(write(image), r);
    EXPECT_DOUBLE_EQ(r.exposure, 2.0);  // 0.002 / 0.001
    EXPECT_DOUBLE_EQ(r.gain, 0.5);      // 2 / 4
    RadiometricCalibration lenient;
    ASSERT_TRUE(readImageExifPanel(write(image), lenient));
    EXPECT_DOUBLE_EQ(lenient.exposure, 2.0);
    EXPECT_DOUBLE_EQ(lenient.gain, 0.5);
}

TEST_F(CalibrationTest, ForeignMakeReadsTheOtherCalibrationKey) {
    KeyedImage image;
    image.make = "Tavren";
    image.radiometric = "0.5,0.6,0.7";
    RadiometricCalibration r;
    readImageExif(write(image), r);
    EXPECT_DOUBLE_EQ(r.a0, 0.5) << log.all().toStdString();
}

TEST_F(CalibrationTest, StrictReaderAcceptsSixCoefficientsAndRefusesFive) {
    KeyedImage six;
    six.polynomial = "1,2,3,4,5,6";
    RadiometricCalibration r;
    r.k6 = 99;
    readImageExif(write(six), r);
    EXPECT_DOUBLE_EQ(r.k5, 6.0);
    EXPECT_DOUBLE_EQ(r.k6, 0.0);
    EXPECT_TRUE(log.contains("readImageExif: vignettingPolynomial invalid format, count= 6"));

    KeyedImage five;
    five.polynomial = "1,2,3,4,5";
    RadiometricCalibration untouched;
    untouched.a0 = 42;
    readImageExif(write(five), untouched);
    EXPECT_DOUBLE_EQ(untouched.a0, 42.0);
    EXPECT_TRUE(log.contains("readImageExif: vignettingPolynomial too few:"));
}

TEST_F(CalibrationTest, StrictReaderLeavesTheRecordAloneOnBadInput) {
    struct Case {
        const char* what;
        std::function<void(KeyedImage&)> spoil;
        const char* logged;
    } cases[] = {
        {"missing gain", [](KeyedImage& i) { i.gain.clear(); }, "readImageExif00000000000"},
        {"missing black level", [](KeyedImage& i) { i.withBlackLevel = false; }, "readImageExif00000000000"},
        {"two numbers", [](KeyedImage& i) { i.radiometric = "1,2"; }, "radiometricCalibration invalid format"},
        {"one centre", [](KeyedImage& i) { i.centre = "5"; }, "vignettingCenter invalid format"},
        {"text", [](KeyedImage& i) { i.radiometric = "a,b,c"; }, "not a number"},
        {"nan", [](KeyedImage& i) { i.centre = "nan,4"; }, "not a number"},
        {"infinite exposure", [](KeyedImage& i) { i.exposureTime = "inf"; }, "not a number"},
        {"zero reference exposure",
         [](KeyedImage& i) {
             i.model = "GL520";
             i.stdExposure = "0";
         },
         "not finite"},
    };
    for (const Case& c : cases) {
        KeyedImage image;
        c.spoil(image);
        RadiometricCalibration r;
        r.a0 = 42;
        r.exposure = 7;
        readImageExif(write(image), r);
        EXPECT_DOUBLE_EQ(r.a0, 42.0) << c.what;
        EXPECT_DOUBLE_EQ(r.exposure, 7.0) << c.what;
        EXPECT_TRUE(log.contains(c.logged)) << c.what << "\n" << log.all().toStdString();
    }
    RadiometricCalibration r;
    readImageExif(m_dir.filePath("absent.tif"), r);
    EXPECT_TRUE(log.contains("Read Exif Error."));
}

TEST_F(CalibrationTest, LenientPanelReaderTakesMissingItemsAsZeroButRefusesMissingKeys) {
    KeyedImage image;
    image.polynomial = "1.5,2";
    RadiometricCalibration r;
    ASSERT_TRUE(readImageExifPanel(write(image), r)) << log.all().toStdString();
    EXPECT_DOUBLE_EQ(r.k0, 1.5);
    EXPECT_DOUBLE_EQ(r.k2, 0.0);
    EXPECT_TRUE(log.contains("grey board readImageExif00000000001 \"PV740\""));

    KeyedImage noCentre;
    noCentre.centre.clear();
    EXPECT_FALSE(readImageExifPanel(write(noCentre), r));
    EXPECT_TRUE(log.contains("readImageExif00000000001 false false true false false false"));

    KeyedImage infinite;
    infinite.model = "GL520";
    infinite.stdGain = "0";
    EXPECT_FALSE(readImageExifPanel(write(infinite), r));
}

TEST_F(CalibrationTest, SeqWithOneNumberPerItemIsReadToo) {
    // exiv2 joins the items of a sequence with ", ".
    KeyedImage image;
    QByteArray xmp = image.xmp();
    xmp.replace("<rdf:li>640.5,480.25</rdf:li>", "<rdf:li>640.5</rdf:li><rdf:li>480.25</rdf:li>");
    TiffBuilder b;
    b.longValue(256, 64).longValue(257, 48).shortValue(258, 16).ascii(271, "Quorvin").ascii(272, "PV740")
        .longValue(273, 8000).bytesAt(700, 1, 1000, xmp).shortValue(50714, 10).place(8000, TiffBuilder::rampPixels(64, 48));
    const QString path = m_dir.filePath("seq.tif");
    ASSERT_TRUE(b.write(path));
    RadiometricCalibration r;
    readImageExif(path, r);
    EXPECT_DOUBLE_EQ(r.centreY, 480.25) << log.all().toStdString();
}

// ---- camera identification -----------------------------------------------------------------------

TEST_F(CalibrationTest, PanelImageKeysAndCameraType) {
    PanelCameraInfo info;
    ASSERT_TRUE(readImageKeyExif(write(KeyedImage()), info)) << log.all().toStdString();
    EXPECT_EQ(info.make, "Quorvin");
    EXPECT_EQ(info.model, "PV740");
    EXPECT_EQ(info.serials, QStringList({"CG2104A0173"}));
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 48);
    EXPECT_EQ(judgeCameraTypeChannelCount(info), 5);
    EXPECT_EQ(info.cameraType, 4);
    EXPECT_DOUBLE_EQ(info.pixelSizeUm, 3.45);
    EXPECT_DOUBLE_EQ(info.focalMm, 7.84);

    KeyedImage noWidth;
    noWidth.withWidth = false;
    PanelCameraInfo second;
    ASSERT_TRUE(readImageKeyExif(write(noWidth), second));
    EXPECT_EQ(second.width, 0);

    // A TIFF without XMP.
    TiffBuilder bare;
    bare.longValue(256, 8).longValue(257, 8).ascii(271, "X").longValue(273, 100).place(100, TiffBuilder::rampPixels(8, 8));
    ASSERT_TRUE(bare.write(m_dir.filePath("bare.tif")));
    EXPECT_FALSE(readImageKeyExif(m_dir.filePath("bare.tif"), second));
    EXPECT_TRUE(log.contains("Not Find XmpInfo"));
}

TEST_F(CalibrationTest, SerialPrefixesGiveTheCameraTable) {
    struct Row {
        const char* serial;
        int type, channels;
        double pixel, focal;
    } rows[] = {{"CA1", 0, 6, 3.75, 5.2}, {"CM1", 0, 6, 3.75, 5.2}, {"CD6", 3, 5, 2.7, 5.2},
                {"CD7", 3, 4, 2.7, 5.2},  {"CD61", 3, 4, 2.7, 5.2}, {"CH1", 4, 5, 3.45, 7.84},
                {"CU1", 6, 6, 3.75, 5.2}, {"CW9", 6, 6, 3.75, 5.2}};
    for (const Row& row : rows) {
        PanelCameraInfo info;
        info.serials << row.serial;
        EXPECT_EQ(judgeCameraTypeChannelCount(info), row.channels) << row.serial;
        EXPECT_EQ(info.cameraType, row.type) << row.serial;
        EXPECT_DOUBLE_EQ(info.pixelSizeUm, row.pixel) << row.serial;
        EXPECT_DOUBLE_EQ(info.focalMm, row.focal) << row.serial;
    }
    PanelCameraInfo unknown;
    unknown.cameraType = 4;
    unknown.serials << "XY123";
    EXPECT_EQ(judgeCameraTypeChannelCount(unknown), 0);
    EXPECT_EQ(unknown.cameraType, 4);
    PanelCameraInfo none;
    EXPECT_EQ(judgeCameraTypeChannelCount(none), 0);
}

TEST(BandFromFileName, ThirdFieldLowerCased) {
    EXPECT_EQ(bandFromFileName("IMG_0001_NIR.tif"), "nir");
    EXPECT_EQ(bandFromFileName("/some/dir_with_underscores/IMG_0003_2_555nm.tif"), "2");
    EXPECT_EQ(bandFromFileName("IMG_0001.tif"), "");
}

// ---- vignetting maps -----------------------------------------------------------------------------

RadiometricCalibration vignettingRecord() {
    RadiometricCalibration r;
    r.a0 = 2e-4;
    r.centreX = 30.5;
    r.centreY = 20;
    r.k0 = 1.5;
    r.k1 = 1e-3;
    r.k2 = 2e-5;
    r.k3 = -1e-7;
    r.k4 = 1e-9;
    r.k5 = -1e-11;
    r.k6 = 1e-13;
    return r;
}

TEST(VignettingMaps, CentreValueAndAnOffCentrePixel) {
    const RadiometricCalibration r = vignettingRecord();
    std::vector<VignettingMap> maps;
    ASSERT_TRUE(buildVignettingMaps({r, r}, 60, 40, 2, true, maps));
    ASSERT_EQ(maps.size(), 2u);
    ASSERT_EQ(maps[0].size(), 60u * 40u);
    // Pixel (30, 20) is 0.5 px left of the centre; pixel (x, y) sits at index (y-1)*width + (x-1).
    const double r1 = 0.5;
    double p7 = 0, p6 = 1;
    const double k[7] = {r.k0, r.k1, r.k2, r.k3, r.k4, r.k5, r.k6};
    for (int i = 0; i < 7; ++i) p7 += k[i] * std::pow(r1, i);
    for (int i = 0; i < 6; ++i) p6 += k[i] * std::pow(r1, i + 1);
    EXPECT_NEAR(maps[0][(20 - 1) * 60 + (30 - 1)], r.a0 / p7, 1e-15);

    RadiometricCalibration centred = r;
    centred.centreX = 30;
    ASSERT_TRUE(buildVignettingMaps({centred}, 60, 40, 1, true, maps));
    EXPECT_DOUBLE_EQ(maps[0][(20 - 1) * 60 + (30 - 1)], r.a0 / r.k0);
    ASSERT_TRUE(buildVignettingMaps({centred}, 60, 40, 1, false, maps));
    EXPECT_EQ(maps.size(), 6u);
    EXPECT_DOUBLE_EQ(maps[0][(20 - 1) * 60 + (30 - 1)], r.a0);
    EXPECT_TRUE(maps[1].empty()) << "a band without a record has no map";

    ASSERT_TRUE(buildVignettingMaps({r}, 60, 40, 1, false, maps));
    EXPECT_NEAR(maps[0][(20 - 1) * 60 + (30 - 1)], r.a0 / p6, 1e-15);
    // The far corner (60, 40).
    const double rc = std::hypot(60 - r.centreX, 40 - r.centreY);
    double pc = 1;
    for (int i = 0; i < 6; ++i) pc += k[i] * std::pow(rc, i + 1);
    EXPECT_NEAR(maps[0].back() / (r.a0 / pc), 1.0, 1e-12);
}

TEST(VignettingMaps, ImplausibleSizesAreRefused) {
    std::vector<VignettingMap> maps(3);
    EXPECT_FALSE(buildVignettingMaps({vignettingRecord()}, 0, 960, 1, true, maps));
    EXPECT_TRUE(maps.empty());
    EXPECT_FALSE(buildVignettingMaps({vignettingRecord()}, 1280, 30000, 1, true, maps));
}

}  // namespace
