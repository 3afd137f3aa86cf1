// Bad inputs end to end, the images: damaged raw TIFFs, XMP values, panel images and JPG captures.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <exiv2/exiv2.hpp>
#include <functional>
#include <vector>

#include "bad_input_fixture.h"
#include "panel_board.h"
#include "shared_data.h"

using namespace badinput;

namespace {

// ---- Damaged raw TIFFs -----------------------------------------------------------------------

TEST_F(BadInput, TruncatedInHeader) {
    const BatchResult r = runWithDamagedVictim([](QByteArray& b) { b.truncate(5); });
    expectVictimRefused(r, "读TIF文件头失败");
}

TEST_F(BadInput, TruncatedInDirectory) {
    const BatchResult r =
        runWithDamagedVictim([](QByteArray& b) { b.truncate(int(le32At(b, 4)) + 2 + 12 * 5); });
    expectVictimRefused(r, "读图象文件目录失败");
}

TEST_F(BadInput, TruncatedInXmpBlock) {
    // The packet starts at byte 8; the directory at the end of the file is cut off with it.
    const BatchResult r = runWithDamagedVictim([](QByteArray& b) {
        ASSERT_GT(b.indexOf("</x:xmpmeta>"), 1000);
        b.truncate(1000);
    });
    expectVictimRefused(r, "无法获得TIF文件目录入口数量");
}

TEST_F(BadInput, TruncatedInPixelBlock) {
    // A card pulled out while the pixels were written: the block stops 100000 bytes in, the
    // directory (kept intact after it) still claims the whole image.
    const BatchResult r = runWithDamagedVictim([](QByteArray& b) {
        const quint32 strip = ifdValue(b, 273), ifd = le32At(b, 4);
        ASSERT_GT(strip, 0u);
        QByteArray cut = b.left(int(strip) + 100000);
        putLe32(cut, 4, quint32(cut.size()));
        b = cut + b.mid(int(ifd));
    });
    expectVictimRefused(r, "runs past the end of the file");
}

TEST_F(BadInput, ZeroLengthFile) {
    const BatchResult r = runWithDamagedVictim([](QByteArray& b) { b.clear(); });
    expectVictimRefused(r, "读TIF文件头失败");
}

TEST_F(BadInput, DirectoryEntryCountOverrunsFile) {
    const BatchResult r = runWithDamagedVictim([](QByteArray& b) {
        const int ifd = int(le32At(b, 4));
        b[ifd] = char(0xFF);
        b[ifd + 1] = char(0xFF);
    });
    expectVictimRefused(r, "读图象文件目录失败");
}

TEST_F(BadInput, OffsetsBeyondTheEnd) {
    expectVictimRefused(runWithDamagedVictim([](QByteArray& b) { putLe32(b, 4, 0x7FFFFFF0u); }),
                        "无法获得TIF文件目录入口数量");
    expectVictimRefused(
        runWithDamagedVictim([](QByteArray& b) { ASSERT_TRUE(setIfdValue(b, 273, 0x7FFFFFF0u)); }),
        "runs past the end of the file");
    // The XMP entry points nowhere: exiv2 finds no XMP, so the image's own calibration is unknown.
    expectVictimRefused(
        runWithDamagedVictim([](QByteArray& b) { ASSERT_TRUE(setIfdValue(b, 700, 0x7FFFFFF0u)); }),
        "Not Find XmpInfo", "run: calibration of");
}

TEST_F(BadInput, WidthAndHeightDisagreeWithTheFile) {
    expectVictimRefused(runWithDamagedVictim([](QByteArray& b) {
                            ASSERT_TRUE(setIfdValue(b, 256, 1280));
                            ASSERT_TRUE(setIfdValue(b, 257, 960));
                        }),
                        "readTIF: the file holds a 1280 x 960 image, expected 640 x 480");
    expectVictimRefused(runWithDamagedVictim([](QByteArray& b) {
                            ASSERT_TRUE(setIfdValue(b, 256, 320));
                            ASSERT_TRUE(setIfdValue(b, 257, 240));
                        }),
                        "readTIF: the file holds a 320 x 240 image, expected 640 x 480");
}

TEST_F(BadInput, ForeignCameraFileAmongTheFlight) {
    const QString foreign = sharedDataPath("data/real/IMG_0000_3.tif");
    SKIP_WITHOUT_SHARED_DATA(foreign);
    const QByteArray bytes = readAll(foreign);
    expectVictimRefused(runWithDamagedVictim([&](QByteArray& b) { b = bytes; }),
                        "readTIF: the file holds a 1280 x 960 image, expected 640 x 480");
}

TEST_F(BadInput, ForeignCameraFlight) {
    const QString real = sharedDataPath("data/real");
    SKIP_WITHOUT_SHARED_DATA(real + "/IMG_0075_3.tif");
    QDir().mkpath(m_raw);
    for (const QString& name : QDir(real).entryList({"*.tif"}, QDir::Files))
        ASSERT_TRUE(QFile::copy(real + "/" + name, m_raw + "/" + name));
    const auto before = checksums(m_raw);
    const BatchResult r = radiance(m_raw, m_out);
    EXPECT_EQ(checksums(m_raw), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("提醒: 本软件只处理Quorvin系列相机文件！")) << tail(r.err).toStdString();
    EXPECT_TRUE(outputProblems(m_out).isEmpty());
}

TEST_F(BadInput, NonTiffRenamedTif) {
    const QByteArray jpg = readAll(m_flight + "/jpg/IMG_0002_3_660nm.jpg");
    ASSERT_FALSE(jpg.isEmpty());
    expectVictimRefused(runWithDamagedVictim([&](QByteArray& b) { b = jpg; }),
                        "该文件不是TIF格式，读文件失败");
}

TEST_F(BadInput, BigEndianTiff) {
    // The same pixels in a big-endian file written by libtiff.
    const QString scratch = path("big-endian.tif");
    {
        TIFF* tif = TIFFOpen(QFile::encodeName(scratch).constData(), "wb");
        ASSERT_NE(tif, nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 640);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 480);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 480);
        std::vector<uint16_t> row(640, 5000);
        for (uint32_t y = 0; y < 480; ++y) ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
        TIFFClose(tif);
    }
    const QByteArray big = readAll(scratch);
    ASSERT_TRUE(big.startsWith("MM"));
    expectVictimRefused(runWithDamagedVictim([&](QByteArray& b) { b = big; }),
                        "该TIF文件不是IBMPC字节序，读文件失败");
}

TEST_F(BadInput, DamagedFileInTheFirstCapture) {
    // A band file of the first capture cut off after 1000 bytes: the camera and its calibration
    // come from the next capture, the file is named, every other image is converted.
    const QString victim = QStringLiteral("IMG_0001_3_660nm.tif");
    makeRaw(m_raw);
    QByteArray bytes = readAll(m_raw + "/" + victim);
    bytes.truncate(1000);
    ASSERT_TRUE(writeAll(m_raw + "/" + victim, bytes));
    const auto before = checksums(m_raw);
    const QString notConverted =
        "reflectivity-batch: 1 of 12 images not converted (see the log): " + victim;
    const QString endMessage = "提醒: 以下1个影像未能转换（共12个影像，其余已处理）： " + victim + "  原因见日志：";

    BatchResult r = radiance(m_raw, m_out);
    EXPECT_EQ(checksums(m_raw), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1) << tail(r.err).toStdString();
    EXPECT_FALSE(r.says("本软件只处理Quorvin系列相机文件！")) << tail(r.err).toStdString();
    EXPECT_TRUE(r.log.contains("getRadtoMultiObject: capture \"0001\" left out, image could not be read: \"" +
                               m_raw + "/" + victim))
        << "the damaged file is not named";
    EXPECT_TRUE(r.log.contains("getRadtoMultiObject: the camera and its calibration are taken from capture \"0002\""));
    EXPECT_TRUE(r.err.contains(notConverted)) << tail(r.err).toStdString();
    // The end message of the window names the file and the log.
    EXPECT_TRUE(r.err.contains(endMessage + m_logs + "/")) << tail(r.err).toStdString();
    expectConverted(m_out + "/raw", {victim});

    // A reflectance run reads the panel images, not the first capture: the same outcome.
    QDir(m_out).removeRecursively();
    r = reflectance(m_raw, m_out, panelArgs(m_flight + "/panel"));
    EXPECT_EQ(checksums(m_raw), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1) << tail(r.err).toStdString();
    EXPECT_TRUE(r.err.contains(notConverted)) << tail(r.err).toStdString();
    EXPECT_TRUE(r.err.contains(endMessage)) << tail(r.err).toStdString();
    expectConverted(m_out + "/raw", {victim});
}

TEST_F(BadInput, DamagedPanelImage) {
    makeRaw(m_raw);
    const QString first = path("标定板/first"), second = path("标定板/second");
    ASSERT_TRUE(copyTree(m_flight + "/panel", first));
    QDir().mkpath(second);
    for (const QString& name : QDir(first).entryList({"*.tif"}, QDir::Files))
        ASSERT_TRUE(QFile::copy(first + "/" + name, second + "/" + QString(name).replace("IMG_0000", "IMG_0010")));
    const QString damaged = QStringLiteral("IMG_0000_3_660nm.tif");
    QByteArray bytes = readAll(first + "/" + damaged);
    bytes.truncate(1000);
    ASSERT_TRUE(writeAll(first + "/" + damaged, bytes));

    // The group of the damaged image is left out, the other measures the panel.
    BatchResult r = reflectance(m_raw, m_out, panelArgs(first) + panelArgs(second));
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
    EXPECT_TRUE(r.err.contains("提醒: 以下灰板影像无法读取，已跳过所在的灰板组： " + damaged)) << tail(r.err).toStdString();
    EXPECT_TRUE(r.log.contains("readPanelCalibration: panel image could not be read, its group is left out: \"" +
                               first + "/" + damaged));
    expectConverted(m_out + "/raw");

    // Alone it is refused with a message that names the file, not the camera.
    QDir(m_out).removeRecursively();
    r = reflectance(m_raw, m_out, panelArgs(first));
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("提醒: 以下影像文件无法读取（文件损坏或不完整）： " + damaged)) << tail(r.err).toStdString();
    EXPECT_FALSE(r.says("本软件只处理Quorvin系列相机文件！"));
    EXPECT_TRUE(QDir(m_out + "/raw").entryList({"*.tif"}, QDir::Files).isEmpty());
}

// ---- XMP values ------------------------------------------------------------------------------

TEST_F(BadInput, XmpKeysMissingEmptyNonNumericNanInfinite) {
    const QByteArray key = "<Camera:IrradianceExposureTime>";
    const QByteArray end = "</Camera:IrradianceExposureTime>";
    const auto element = [&](const QByteArray& value) { return key + value + end; };
    struct Case {
        QByteArray value;  // empty text with `missing`: the element is removed
        bool missing;
        QString reason;
    };
    const std::vector<Case> cases = {{"", true, "readImageExif00000000000"},
                                     {"", false, "readImageExif00000000000"},
                                     {"fast", false, "readImageExif: not a number among"},
                                     {"nan", false, "readImageExif: not a number among"},
                                     {"inf", false, "readImageExif: not a number among"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing ? "missing" : c.value.isEmpty() ? "empty" : c.value.toStdString());
        const BatchResult r = runWithDamagedVictim([&](QByteArray& b) {
            const int at = b.indexOf(key);
            ASSERT_GE(at, 0);
            const QByteArray whole = b.mid(at, b.indexOf(end, at) + end.size() - at);
            ASSERT_TRUE(replaceSameLength(b, whole, c.missing ? QByteArray() : element(c.value)));
        });
        expectVictimRefused(r, c.reason, "run: calibration of");
        EXPECT_TRUE(r.log.contains(kOwnCalibration));
    }
}

// ---- Panels ----------------------------------------------------------------------------------

// Paints a QR code holding `payload` over the panel code of every band image in `folder`.
void replacePanelCode(const QString& folder, const QString& truthPath, const QByteArray& payload) {
    const QJsonObject panel =
        QJsonDocument::fromJson(readAll(truthPath)).object().value("newPanel").toObject();
    reflsample::QrModules qr;
    ASSERT_TRUE(reflsample::encodeQr(payload, &qr));
    const QStringList names = QDir(folder).entryList({"*.tif"}, QDir::Files);
    ASSERT_EQ(names.size(), 6);
    for (int b = 0; b < names.size(); ++b) {
        QByteArray bytes = readAll(folder + "/" + names[b]);
        const int w = int(ifdValue(bytes, 256)), h = int(ifdValue(bytes, 257));
        const qint64 strip = ifdValue(bytes, 273);
        ASSERT_GE(bytes.size(), strip + qint64(w) * h * 2);
        auto px = [&](int x, int y) { return reinterpret_cast<uint16_t*>(bytes.data() + strip) + y * w + x; };
        const QJsonArray centre = panel.value("qrCentre").toArray().at(b).toArray();
        const double side = 1.5 * panel.value("qrSidePx").toArray().at(b).toDouble();
        const int x0 = int(centre.at(0).toDouble() - side / 2), y0 = int(centre.at(1).toDouble() - side / 2);
        ASSERT_TRUE(x0 >= 0 && y0 >= 0 && x0 + side < w && y0 + side < h);
        std::vector<uint16_t> values;
        for (int y = y0; y < y0 + int(side); ++y)
            for (int x = x0; x < x0 + int(side); ++x) values.push_back(*px(x, y));
        std::sort(values.begin(), values.end());
        const uint16_t dark = values[values.size() / 20], white = values[values.size() * 19 / 20];
        const int modules = qr.size + 8;  // four quiet modules on each side
        for (int y = 0; y < int(side); ++y) {
            for (int x = 0; x < int(side); ++x) {
                const int mx = x * modules / int(side) - 4, my = y * modules / int(side) - 4;
                const bool isDark = mx >= 0 && my >= 0 && mx < qr.size && my < qr.size &&
                                    qr.dark[size_t(my) * size_t(qr.size) + size_t(mx)];
                *px(x0 + x, y0 + y) = isDark ? dark : white;
            }
        }
        ASSERT_TRUE(writeAll(folder + "/" + names[b], bytes));
    }
}

TEST_F(BadInput, QrCodeThatIsNotAPanelCode) {
    makeRaw(m_raw);
    const QString good = path("标定板/good"), other = path("标定板/other");
    ASSERT_TRUE(copyTree(m_flight + "/panel", good));
    QDir().mkpath(other);
    for (const QString& name : QDir(good).entryList({"*.tif"}, QDir::Files))
        ASSERT_TRUE(
            QFile::copy(good + "/" + name, other + "/" + QString(name).replace("IMG_0000", "IMG_0010")));
    replacePanelCode(other, m_flight + "/truth.json", "https://example.org/field-marker-17");
    const auto rawBefore = checksums(m_raw), panelsBefore = checksums(path("标定板"));

    // With a good group beside it the run goes on with the good one.
    BatchResult r = reflectance(m_raw, m_out, panelArgs(good) + panelArgs(other));
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
    EXPECT_TRUE(r.log.contains("组1全部文件识别失败，跳过该组"));
    EXPECT_TRUE(r.log.contains("成功识别1组灰板"));
    expectConverted(m_out + "/raw");

    // Alone it is refused, and nothing is written.
    QDir(m_out).removeRecursively();
    r = reflectance(m_raw, m_out, panelArgs(other));
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("提醒: 所有灰板组均未能正确识别，请人工绘制！")) << tail(r.err).toStdString();
    EXPECT_TRUE(QDir(m_out + "/raw").entryList({"*.tif"}, QDir::Files).isEmpty());
    EXPECT_EQ(checksums(m_raw), rawBefore);
    EXPECT_EQ(checksums(path("标定板")), panelsBefore);
}

TEST_F(BadInput, PanelImagesOfAnotherSize) {
    const QString big = sampleFlight(
        "t6-1280-panel", {"--type", "6", "--size", "1280x960", "--no-flight", "--no-jpg", "--no-old-panel"});
    ASSERT_FALSE(big.isEmpty());
    makeRaw(m_raw);
    const auto before = checksums(m_raw);
    const BatchResult r = reflectance(m_raw, m_out, panelArgs(big + "/panel"));
    EXPECT_EQ(checksums(m_raw), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("reflectivity-batch: 12 of 12 images not converted"))
        << tail(r.err).toStdString();
    EXPECT_TRUE(r.log.contains("readTIF: the file holds a 640 x 480 image, expected 1280 x 960"));
    EXPECT_TRUE(outputProblems(m_out).isEmpty());
    EXPECT_TRUE(QDir(m_out + "/raw").entryList({"*.tif"}, QDir::Files).isEmpty());
}

// ---- JPG captures ----------------------------------------------------------------------------

TEST_F(BadInput, JpgWithABadDescription) {
    ASSERT_TRUE(copyTree(m_flight + "/jpg", m_raw));
    const QString bad = m_raw + "/IMG_0002_3_660nm.jpg";
    {
        auto image = Exiv2::ImageFactory::open(std::string(QFile::encodeName(bad).constData()));
        ASSERT_TRUE(image.get() != nullptr);
        image->readMetadata();
        image->exifData()["Exif.Image.ImageDescription"] = std::string("94 of 100");
        image->writeMetadata();
    }
    const auto before = checksums(m_raw);
    const BatchResult r = runBatch({"--raw", m_raw, "--out", m_out, "--registration", "none"}, m_logs);
    EXPECT_EQ(checksums(m_raw), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(
        "reflectivity-batch: 1 of 12 images not converted (see the log): IMG_0002_3_660nm.jpg"))
        << tail(r.err).toStdString();
    EXPECT_TRUE(r.log.contains("convertJpgToTif: image description is not a scale fraction, not converted:"));
    const QStringList written = QDir(m_out + "/raw").entryList({"*.tif"}, QDir::Files);
    EXPECT_EQ(written.size(), 11);
    EXPECT_FALSE(written.contains("IMG_0002_3_660nm.tif"));
    const QStringList problems = outputProblems(m_out);
    EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
}

}  // namespace
