// Panel captures: zbar finds the QR code in an 8-bit copy of every band, and the panel geometry
// derived from the code (shift and half-side per board kind) lands on the uniform grey area.
#include "panel_board.h"

#include <gtest/gtest.h>
#include <zbar.h>

#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sample_flight.h"

using namespace reflsample;

namespace {

struct Decoded {
    std::string data;
    std::vector<cv::Point2f> corners;
};

/// Scans the way the panel recogniser does: 8-bit colour read, 4 x 4 box filter, grey, zbar on Y800.
std::vector<Decoded> scan(const QString& path) {
    cv::Mat colour = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR);
    std::vector<Decoded> out;
    if (colour.empty()) return out;
    cv::Mat blurred, grey;
    cv::blur(colour, blurred, cv::Size(4, 4));
    cv::cvtColor(blurred, grey, cv::COLOR_BGR2GRAY);
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image image(grey.cols, grey.rows, "Y800", grey.data, size_t(grey.cols) * grey.rows);
    scanner.scan(image);
    for (auto s = image.symbol_begin(); s != image.symbol_end(); ++s) {
        Decoded d;
        d.data = s->get_data();
        for (int i = 0; i < s->get_location_size(); ++i)
            d.corners.emplace_back(float(s->get_location_x(i)), float(s->get_location_y(i)));
        out.push_back(d);
    }
    return out;
}

/// Panel area (first column, first row, last column, last row) from the code corners.
cv::Rect2d panelArea(const std::vector<cv::Point2f>& corners, cv::Size size, bool newBoard) {
    std::vector<cv::Point> r;
    for (const auto& c : corners) r.emplace_back(cvRound(c.x), cvRound(c.y));
    std::sort(r.begin(), r.end(), [](const cv::Point& a, const cv::Point& b) { return a.y < b.y; });
    const cv::Point left = r[0].x < r[1].x ? r[0] : r[1], right = r[0].x < r[1].x ? r[1] : r[0];
    const double angle = std::atan2(right.y - left.y, right.x - left.x) * 180.0 / CV_PI;
    cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(size.width / 2.f, size.height / 2.f), angle, 1.0);
    const cv::Rect2f box = cv::RotatedRect(cv::Point2f(), size, float(angle)).boundingRect2f();
    m.at<double>(0, 2) += box.width / 2.0 - size.width / 2.0;
    m.at<double>(1, 2) += box.height / 2.0 - size.height / 2.0;
    std::vector<cv::Point2f> up;
    cv::transform(corners, up, m);
    cv::Point2d centre(0, 0);
    double d = 0;
    for (int i = 0; i < 4; ++i) {
        centre += cv::Point2d(up[i]) / 4.0;
        d = std::max(d, double(cv::norm(up[i] - up[(i + 1) % 4])));
    }
    const cv::Point2f a = up[0], c = up[2];
    int orient = 0;
    if (a.x > c.x && a.y < c.y) orient = 90;
    if (a.x > c.x && a.y > c.y) orient = 180;
    if (a.x < c.x && a.y > c.y) orient = 270;
    const cv::Point2d newDir[] = {{0, 1}, {-1, 0}, {0, -1}, {1, 0}};
    const cv::Point2d oldDir[] = {{-1, 0}, {0, -1}, {1, 0}, {0, 1}};
    const cv::Point2d dir = newBoard ? newDir[orient / 90] : oldDir[orient / 90];
    const cv::Point2d pc = centre + (newBoard ? 1.4 : 1.55) * d * dir;
    const double h = (newBoard ? 1.5 : 2.5) * d / std::sqrt(2.0) / 2.0;
    std::vector<cv::Point2f> square{cv::Point2f(pc.x - h, pc.y - h), cv::Point2f(pc.x + h, pc.y - h),
                                    cv::Point2f(pc.x + h, pc.y + h), cv::Point2f(pc.x - h, pc.y + h),
                                    cv::Point2f(pc)};
    cv::Mat inv;
    cv::invertAffineTransform(m, inv);
    std::vector<cv::Point2f> back;
    cv::transform(square, back, inv);
    std::vector<cv::Point> shrunk;
    for (int i = 0; i < 4; ++i)
        shrunk.emplace_back(int((back[4].x + int(back[i].x)) / 2), int((back[4].y + int(back[i].y)) / 2));
    // Vertex order handed on: 0, 3, 1, 2 (top-left, bottom-left, top-right, bottom-right).
    return cv::Rect2d(cv::Point2d(shrunk[0].x, shrunk[0].y), cv::Point2d(shrunk[1].x, shrunk[3].y));
}

/// Every panel band: one code with the truth payload, and uniform grey of the truth radiance under the
/// panel area derived from it. Returns the number of band images checked.
int checkPanelCaptures(const QTemporaryDir& dir, const FlightTruth& t) {
    int checked = 0;
    for (const CaptureTruth& c : t.captures) {
        if (c.kind == "flight") continue;
        const bool newBoard = c.kind == "panel-new";
        const PanelTruth& p = newBoard ? t.newPanel : t.oldPanel;
        for (int b = 0; b < c.files.size(); ++b) {
            const QString path = dir.filePath(c.files[b]);
            const std::vector<Decoded> codes = scan(path);
            EXPECT_EQ(codes.size(), 1u) << qPrintable(path);
            if (codes.size() != 1 || codes[0].corners.size() != 4) continue;
            EXPECT_EQ(QString::fromStdString(codes[0].data), p.qrPayload);
            EXPECT_EQ(codes[0].corners.size(), 4u);

            // Uniform grey under the panel area: radiance from the truth constants.
            const BandTruth& band = t.bands[b];
            cv::Mat dn = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_UNCHANGED);
            if (dn.type() != CV_16U) continue;
            const cv::Rect2d area = panelArea(codes[0].corners, dn.size(), newBoard);
            EXPECT_GT(area.width, 10);
            EXPECT_GT(area.height, 10);
            if (area.width <= 10 || area.height <= 10) continue;
            double sum = 0, sum2 = 0;
            int n = 0;
            for (int y = int(area.y); y <= int(area.br().y); ++y) {
                for (int x = int(area.x); x <= int(area.br().x); ++x) {
                    const double l = (dn.at<quint16>(y, x) - band.darkLevel) *
                                     vignettingP(band, x + 1, y + 1) /
                                     (band.a0 * (band.c1 * c.exposureAsRead[b] * c.gainAsRead[b] + band.c2));
                    sum += l;
                    sum2 += l * l;
                    ++n;
                }
            }
            const double mean = sum / n, sd = std::sqrt(std::max(0.0, sum2 / n - mean * mean));
            EXPECT_NEAR(mean, p.radiance[b], 0.005 * p.radiance[b]) << qPrintable(path);
            EXPECT_LT(sd, 0.02 * p.radiance[b]) << qPrintable(path);
            ++checked;
        }
    }
    return checked;
}

}  // namespace

TEST(PanelBoard, QrPayloadHoldsTheSerialAndSeventeenPercentages) {
    QrModules qr;
    const QVector<int> pc(17, 61);
    const QByteArray payload = panelPayload("CA230715007", pc);
    EXPECT_EQ(payload.count(','), 17);
    ASSERT_TRUE(encodeQr(payload, &qr));
    EXPECT_GE(qr.size, 21);
    EXPECT_EQ(nearestPercent(QVector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}, 555),
              5);
    EXPECT_EQ(nearestPercent(QVector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}, 700),
              10);
}

TEST(PanelBoard, ZbarDecodesEveryBandAndThePanelAreaIsUniformGrey) {
    QTemporaryDir dir;
    SampleOptions o;  // camera type 0 at its own size
    o.captures = 1;
    o.writeFlight = false;
    o.writeJpg = false;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
    EXPECT_EQ(checkPanelCaptures(dir, t), 12);
}

TEST(PanelBoard, SmallKeyedPanelsDecodeAfterTheBoxFilterToo) {
    QTemporaryDir dir;
    SampleOptions o = SampleOptions::small();
    o.captures = 1;
    o.writeFlight = false;
    FlightTruth t;
    ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
    EXPECT_EQ(checkPanelCaptures(dir, t), 12);
}

TEST(PanelBoard, EveryQuarterTurnOfTheBoardsStillLandsOnTheGrey) {
    // New board at 100, 190, 280 degrees; the old board then sits at -200, -290, -380 degrees.
    for (double angle : {100.0, 190.0, 280.0}) {
        QTemporaryDir dir;
        SampleOptions o = SampleOptions::small();
        o.captures = 1;
        o.writeFlight = false;
        o.panelAngleDeg = angle;
        o.panelValueCount = angle > 200 ? 20 : 17;  // a 20-value code too
        FlightTruth t;
        ASSERT_TRUE(generateSampleFlight(dir.path(), o, &t));
        EXPECT_EQ(checkPanelCaptures(dir, t), 12) << "angle " << angle;
        EXPECT_EQ(t.newPanel.qrPayload.count(','), o.panelValueCount);
    }
}
