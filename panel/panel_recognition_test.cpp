// Panel recognition on generated panel captures and on drawn QR images, and the panel value.
#include "panel_recognition.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "panel_automatic.h"
#include "panel_board.h"
#include "panel_value.h"
#include "raw_tiff.h"
#include "sample_flight.h"
#include "testing/log_capture.h"

using namespace refl;

namespace {

// ---- payloads and tables -----------------------------------------------------------------------

TEST(PanelPayload, NewAndOldBoardsAndBadFields) {
    GreyBoardCode code = parsePanelPayload("CA2104A0173,61,62,63,64,65,66,67,68,69,70,71,72,73,74,75,76,77");
    EXPECT_TRUE(isPanelCode(code));
    EXPECT_TRUE(code.isNew);
    EXPECT_EQ(code.values.size(), 17);
    EXPECT_EQ(code.values[4], 65);

    code = parsePanelPayload("CA2104A0173");
    EXPECT_TRUE(isPanelCode(code));
    EXPECT_FALSE(code.isNew);

    code = parsePanelPayload("CA2104A0173,61,x7,63");
    EXPECT_EQ(code.values, QVector<int>({61})) << "a non-integer field ends the list";
    EXPECT_FALSE(isPanelCode(parsePanelPayload("CB2104A0173,61")));
    EXPECT_FALSE(isPanelCode(parsePanelPayload("CA2104A017,61")));
    EXPECT_FALSE(isPanelCode(parsePanelPayload(QByteArray("CA") + QByteArray(60, '1'))));
    QByteArray many = "CA2104A0173";
    for (int i = 0; i < 70; ++i) many += ",1";
    EXPECT_EQ(parsePanelPayload(many).values.size(), 50);
}

TEST(PanelPayload, StandardReflectanceFromTheNearestTableWavelength) {
    QVector<int> values;
    for (int i = 0; i < 17; ++i) values << 50 + i;
    LogCapture log;
    const auto r = standardReflectanceFromCode(values, {"450nm", "555nm", "700nm", "nolabel", "840nm", "1000nm", "x"});
    ASSERT_EQ(r.size(), 6);
    EXPECT_DOUBLE_EQ(*r[0], 0.51);
    EXPECT_DOUBLE_EQ(*r[1], 0.54);  // 555 nm is value 5
    EXPECT_DOUBLE_EQ(*r[2], 0.59);  // 700 nm: 680 and 720 tie, 680 comes first
    EXPECT_FALSE(r[3].has_value());
    EXPECT_DOUBLE_EQ(*r[4], 0.64);
    EXPECT_DOUBLE_EQ(*r[5], 0.66);  // nearest is 940 nm
    EXPECT_TRUE(log.contains("波长555nm匹配灰板555nm反射率0.54"));
    EXPECT_FALSE(standardReflectanceFromCode(values.mid(0, 5), {"450nm"})[0].has_value());
    QVector<int> twenty = values + QVector<int>{90, 91, 92};
    EXPECT_DOUBLE_EQ(*standardReflectanceFromCode(twenty, {"1600nm"})[0], 0.91);
}

// ---- drawn outlines ----------------------------------------------------------------------------

TEST(DrawnOutline, OrderingAndNormalisationPerCamera) {
    const auto ordered = orderDrawnOutline({"300,200", "100,110", "310,90", "90,210"});
    ASSERT_TRUE(ordered.has_value());
    EXPECT_EQ((*ordered)[0], QPoint(100, 110));
    EXPECT_EQ((*ordered)[1], QPoint(90, 210));
    EXPECT_EQ((*ordered)[2], QPoint(310, 90));
    EXPECT_EQ((*ordered)[3], QPoint(300, 200));
    EXPECT_FALSE(orderDrawnOutline({"1,2", "3,4", "5,6"}).has_value());
    EXPECT_FALSE(orderDrawnOutline({"1,2", "3,4", "5,6", "a,b"}).has_value());

    LogCapture log;
    // Inner rectangle: left 100, right 300, top 110, bottom 200.
    PanelGeometry g = normalizeDrawnOutline(*ordered, 0, 1280, 960, 2);
    EXPECT_EQ(g.vertices[0], QPoint(200, 220));
    EXPECT_EQ(g.vertices[3], QPoint(600, 400));
    EXPECT_TRUE(log.contains("the len rectangle 2 72581"));
    g = normalizeDrawnOutline(*ordered, 3, 1080, 1280, 0);
    EXPECT_EQ(g.vertices[0], QPoint(int(100 * 2 * 0.84375), int(110 * 2 * 1.33333)));
    g = normalizeDrawnOutline(*ordered, 6, 4112, 3008, 0);
    EXPECT_EQ(g.vertices[3], QPoint(int(300 * 2 * 3.2125), int(200 * 2 * 3.13333)));
    g = normalizeDrawnOutline(*ordered, 4, 2048, 1536, 0);
    EXPECT_EQ(g.vertices[2], QPoint(int(300 * 3.2), int(110 * 3.2)));
    // Another image size: the view's own ratio.
    g = normalizeDrawnOutline(*ordered, 6, 640, 480, 0);
    EXPECT_EQ(g.vertices[0], QPoint(100, 110));
}

// ---- panel value -------------------------------------------------------------------------------

TEST(PanelValue, MeanRadianceOverTheAreaAndRefusals) {
    const int w = 8, h = 6;
    std::vector<uint16_t> plane(w * h, 0);
    VignettingMap map(w * h, 1000.0);
    RadiometricCalibration c;
    c.c1 = 1;
    c.exposure = 2;
    c.gain = 1;
    c.c2 = 0;  // scale 2
    c.darkLevel = 100;
    plane[2 * w + 3] = 4100;  // (4000) / 2000 = 2
    plane[2 * w + 4] = 2100;  // 1
    PanelGeometry g;
    g.vertices = {QPoint(3, 2), QPoint(3, 3), QPoint(4, 2), QPoint(4, 3)};
    double value = 0;
    ASSERT_TRUE(getHawkAreaDNAndLValue(panelAreaFrom(g), plane.data(), w, h, c, map, value));
    // Four pixels: 2, 1 and two at DN 0, each (0 - 100) / 2000.
    EXPECT_DOUBLE_EQ(value, (2.0 + 1.0 - 0.05 - 0.05) / 4);

    LogCapture log;
    PanelArea outside{5, 2, 3, 8};
    EXPECT_FALSE(getHawkAreaDNAndLValue(outside, plane.data(), w, h, c, map, value));
    EXPECT_TRUE(log.contains("lies outside"));
    PanelArea empty{3, 4, 2, 4};
    EXPECT_FALSE(getHawkAreaDNAndLValue(empty, plane.data(), w, h, c, map, value));
    EXPECT_TRUE(std::isnan(value));
    EXPECT_TRUE(log.contains("empty panel area"));

    const QVector<double> means = meanPanelValues({1, 2, 3, 10, 20, 30, 100, 200, 300}, {0, 2}, 3);
    EXPECT_EQ(means, QVector<double>({50.5, 101, 151.5}));
    // A panel that could not be measured is left out; a band with none is NaN.
    const QVector<double> partly = meanPanelValues({1, NAN, NAN, 3, 4, NAN}, {0, 1}, 3);
    EXPECT_EQ(partly[0], 2.0);
    EXPECT_EQ(partly[1], 4.0);
    EXPECT_TRUE(std::isnan(partly[2]));
}

// ---- recognition on drawn codes ----------------------------------------------------------------

// A white 8-bit picture with a QR code of `module` px per module whose centre lies at `centre`,
// rotated by `angle` degrees.
cv::Mat drawnCode(const QByteArray& payload, cv::Size size, cv::Point2d centre, int module, double angle,
                  int background = 230) {
    reflsample::QrModules qr;
    EXPECT_TRUE(reflsample::encodeQr(payload, &qr));
    const int side = (qr.size + 8) * module;
    cv::Mat code(side, side, CV_8UC3, cv::Scalar(255, 255, 255));
    for (int y = 0; y < qr.size; ++y)
        for (int x = 0; x < qr.size; ++x)
            if (qr.dark[size_t(y) * qr.size + x])
                cv::rectangle(code, cv::Rect((x + 4) * module, (y + 4) * module, module, module), cv::Scalar(0, 0, 0),
                              cv::FILLED);
    cv::Mat image(size, CV_8UC3, cv::Scalar(background, background, background));
    cv::Mat rot = cv::getRotationMatrix2D(cv::Point2f(side / 2.0f, side / 2.0f), -angle, 1.0);
    rot.at<double>(0, 2) += centre.x - side / 2.0;
    rot.at<double>(1, 2) += centre.y - side / 2.0;
    cv::warpAffine(code, image, rot, size, cv::INTER_NEAREST, cv::BORDER_TRANSPARENT);
    return image;
}

class Recognition : public ::testing::Test {
protected:
    QString write(const cv::Mat& image, const char* name) {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(cv::imwrite(path.toStdString(), image));
        return path;
    }
    QString previews() const { return m_dir.filePath("temp_greyboard"); }
    QTemporaryDir m_dir;
    LogCapture log;
    GreyBoardResult result;
};

TEST_F(Recognition, UprightNewBoardLiesBelowTheCode) {
    const QString path = write(drawnCode("CA2104A0173,61,62", {800, 800}, {400, 250}, 6, 0), "IMG_0000_1_450nm.tif");
    ASSERT_TRUE(recognizeGreyBoard(path, result, previews()));
    EXPECT_EQ(result.orientation, 0);
    EXPECT_TRUE(result.code.isNew);
    // The panel centre lies 1.4 code sides below the code centre.
    const double d = cv::norm(result.code.corners[0] - result.code.corners[1]);
    EXPECT_NEAR(result.centre.x(), 400, 3);
    EXPECT_NEAR(result.centre.y(), 250 + 1.4 * d, 4);
    EXPECT_LT(result.area.vertices[0].x(), result.area.vertices[2].x());
    EXPECT_LT(result.area.vertices[0].y(), result.area.vertices[1].y());
    EXPECT_TRUE(log.contains("这是新灰板！二维码数据如下： "));
    EXPECT_TRUE(log.contains("SN：CA2104A0173"));
    EXPECT_TRUE(log.contains("反射率：61 62 "));
    EXPECT_TRUE(log.contains("缩小顶点3: ("));
    EXPECT_TRUE(QFile::exists(previews() + "/IMG_0000_1_450nm.tif.png"));
    EXPECT_TRUE(log.contains("灰板预览图已保存:"));
}

TEST_F(Recognition, OutOfRangePanelsAndForeignCodes) {
    // An old board (panel 1.55 d left of the code) with its code near the left edge.
    const QString edge = write(drawnCode("CA2104A0173", {800, 600}, {90, 300}, 5, 0), "edge.png");
    EXPECT_FALSE(recognizeGreyBoard(edge, result, previews()));
    EXPECT_TRUE(result.status == PanelRecognition::CentreOutOfRange ||
                result.status == PanelRecognition::VertexOutOfRange);
    // The panel centre inside, a vertex outside: a new board whose panel reaches the bottom edge.
    const QString bottom = write(drawnCode("CA2104A0173,60", {600, 420}, {300, 200}, 6, 0), "bottom.png");
    EXPECT_FALSE(recognizeGreyBoard(bottom, result, previews()));
    EXPECT_EQ(result.status, PanelRecognition::VertexOutOfRange);

    const QString foreign = write(drawnCode("RP05-2018008-OB", {600, 600}, {300, 200}, 6, 0), "foreign.png");
    EXPECT_FALSE(recognizeGreyBoard(foreign, result, previews()));
    EXPECT_EQ(result.status, PanelRecognition::NoCode);
    const QString blank = write(cv::Mat(400, 400, CV_8UC3, cv::Scalar(128, 128, 128)), "blank.png");
    EXPECT_FALSE(recognizeGreyBoard(blank, result, previews()));
    EXPECT_TRUE(log.contains("该图片未识别到二维码！"));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(recognizeGreyBoard(m_dir.filePath("none.png"), result, previews()));
    EXPECT_EQ(result.status, PanelRecognition::Unreadable);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: Unable to open the image file."), std::string::npos);
}

// ---- recognition on generated panel captures ---------------------------------------------------

struct BoardCase {
    const char* name;
    bool newBoard;
    double angle;
};

class GeneratedPanel : public ::testing::TestWithParam<BoardCase> {};

TEST_P(GeneratedPanel, CentreAndAreaMatchTheTruth) {
    QTemporaryDir dir;
    LogCapture log;
    reflsample::SampleOptions opt = reflsample::SampleOptions::small();
    opt.writeFlight = false;
    opt.writeJpg = false;
    opt.writeNewPanel = GetParam().newBoard;
    opt.writeOldPanel = !GetParam().newBoard;
    // The old board is drawn at -(angle + 100); choose the angle so that it lands on the wanted one.
    opt.panelAngleDeg = GetParam().newBoard ? GetParam().angle : -GetParam().angle - 100;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(dir.path(), opt, &truth)) << log.all().toStdString();
    const reflsample::PanelTruth& panel = GetParam().newBoard ? truth.newPanel : truth.oldPanel;
    ASSERT_TRUE(panel.present);
    const char* kind = GetParam().newBoard ? "panel-new" : "panel-old";
    const reflsample::CaptureTruth* capture = nullptr;
    for (const auto& c : truth.captures)
        if (c.kind == kind) capture = &c;
    ASSERT_NE(capture, nullptr);

    testing::internal::CaptureStdout();
    int recognised = 0;
    for (int b = 0; b < capture->files.size(); ++b) {
        GreyBoardResult r;
        if (!recognizeGreyBoard(dir.filePath(capture->files[b]), r, dir.filePath("previews"))) continue;
        ++recognised;
        EXPECT_EQ(r.code.isNew, GetParam().newBoard);
        const cv::Point2d grey = panel.greyCentre[b];
        EXPECT_NEAR(r.centre.x(), grey.x, 4.0) << "band " << b;
        EXPECT_NEAR(r.centre.y(), grey.y, 4.0) << "band " << b;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GE(recognised, capture->files.size() - 1) << "most bands must be recognised";
}

INSTANTIATE_TEST_SUITE_P(Angles, GeneratedPanel,
                         ::testing::Values(BoardCase{"New0", true, 0}, BoardCase{"New90", true, 90},
                                           BoardCase{"New180", true, 180}, BoardCase{"New270", true, 270},
                                           BoardCase{"New17", true, 17}, BoardCase{"New200", true, 200},
                                           BoardCase{"Old0", false, 0}, BoardCase{"Old123", false, 123}),
                         [](const ::testing::TestParamInfo<BoardCase>& i) { return i.param.name; });

// The whole panel step of one generated flight: automatic recognition, calibration, panel value.
TEST(GeneratedPanelValue, EqualsTheExpectedPanelRadiance) {
    QTemporaryDir dir;
    LogCapture log;
    reflsample::SampleOptions opt = reflsample::SampleOptions::small();  // keyed, type 6
    opt.writeFlight = false;
    opt.writeOldPanel = false;
    opt.noiseScale = 1.0;
    reflsample::FlightTruth truth;
    ASSERT_TRUE(reflsample::generateSampleFlight(dir.path(), opt, &truth));
    QStringList images;
    for (const auto& c : truth.captures)
        if (c.kind == "panel-new")
            for (const QString& f : c.files) images << dir.filePath(f);
    const int n = images.size();
    // One more group whose second band has no readable panel.
    const QStringList second = images;
    images << second;
    images[n + 1] = dir.filePath("missing.tif");
    testing::internal::CaptureStdout();
    const AutomaticPanelResult automatic = recognizePanelGroups(images, n, dir.filePath("previews"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(automatic.groupCount(), 2);
    EXPECT_EQ(automatic.codeValues.size(), 17);
    EXPECT_TRUE(automatic.geometry[n + 1].valid) << "borrowed from a neighbour";
    EXPECT_EQ(automatic.geometry[n + 1].vertices, automatic.geometry[n].vertices);

    const int w = truth.camera.width, h = truth.camera.height;
    QVector<RadiometricCalibration> records(n);
    QVector<double> values;
    std::vector<std::vector<uint16_t>> planes(n);
    for (int b = 0; b < n; ++b) {
        RawTiffLayout l;
        QByteArray xmp;
        ASSERT_TRUE(readTIF(RawTiffReader::Panel, images[b], {6, w, h, ""}, l, planes[b], xmp, records[b]));
        ASSERT_TRUE(readImageExifPanel(images[b], records[b]));
    }
    std::vector<VignettingMap> maps;
    ASSERT_TRUE(buildVignettingMaps(records, w, h, n, true, maps));
    for (int j = 0; j < 2 * n; ++j) {
        double v = 0;
        const int b = j % n;
        ASSERT_TRUE(getHawkAreaDNAndLValue(panelAreaFrom(automatic.geometry[j]), planes[b].data(), w, h, records[b],
                                           maps[b], v));
        values << v;
    }
    const QVector<double> means = meanPanelValues(values, automatic.recognisedGroups, n);
    for (int b = 0; b < n; ++b) EXPECT_NEAR(means[b] / truth.newPanel.radiance[b], 1.0, 0.01) << "band " << b;
}

}  // namespace
