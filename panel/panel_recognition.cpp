#include "panel_recognition.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cmath>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <zbar.h>

namespace {

constexpr int kMaxValues = 50;
constexpr int kMaxSnLength = 49;

// What the recognition found goes to the log only.
void say(const QString& line) { qDebug().noquote() << line; }

double codeAngle(const std::array<cv::Point2f, 4>& corners) {
    std::array<cv::Point, 4> rounded;
    for (int i = 0; i < 4; ++i) rounded[i] = cv::Point(cvRound(corners[i].x), cvRound(corners[i].y));
    std::stable_sort(rounded.begin(), rounded.end(), [](const cv::Point& a, const cv::Point& b) { return a.y < b.y; });
    cv::Point left = rounded[0], right = rounded[1];
    if (right.x < left.x) std::swap(left, right);
    return std::atan2(double(right.y - left.y), double(right.x - left.x)) * 180.0 / CV_PI;
}

QVector<GreyBoardCode> scanGrey(const cv::Mat& grey) {
    QVector<GreyBoardCode> codes;
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 1);
    const cv::Mat continuous = grey.isContinuous() ? grey : grey.clone();
    zbar::Image image(static_cast<unsigned>(continuous.cols), static_cast<unsigned>(continuous.rows), "Y800",
                      continuous.data, static_cast<unsigned long>(continuous.total()));
    scanner.scan(image);
    for (zbar::Image::SymbolIterator s = image.symbol_begin(); s != image.symbol_end(); ++s) {
        if (s->get_location_size() != 4) continue;
        const std::string data = s->get_data();
        GreyBoardCode code = parsePanelPayload(QByteArray(data.data(), static_cast<int>(data.size())));
        cv::Point2f sum(0, 0);
        for (int i = 0; i < 4; ++i) {
            code.corners[i] = cv::Point2f(float(s->get_location_x(i)), float(s->get_location_y(i)));
            sum += code.corners[i];
        }
        code.centre = sum * 0.25f;
        code.angle = codeAngle(code.corners);
        codes << code;
    }
    image.set_data(nullptr, 0);
    return codes;
}

// Lifts dark and pulls down bright grey values for a second scan.
cv::Mat remapExtremes(const cv::Mat& grey) {
    cv::Mat lut(1, 256, CV_8U);
    for (int p = 0; p < 256; ++p) {
        double v = p;
        if (p < 40) v = p + (40 - p) * 0.6;
        if (p > 200) v = p - (p - 200) * 0.6;
        lut.at<uchar>(p) = cv::saturate_cast<uchar>(std::lround(v));
    }
    cv::Mat out;
    cv::LUT(grey, lut, out);
    return out;
}

cv::Mat readColour(const QString& path) {
    try {
        return cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

QString previewPath(const QString& previewDir, const QString& imagePath) {
    QDir().mkpath(previewDir);
    return previewDir + "/" + QFileInfo(imagePath).fileName() + ".png";
}

bool writePreview(const QString& path, const cv::Mat& picture) {
    try {
        return cv::imwrite(QFile::encodeName(path).toStdString(), picture);
    } catch (const cv::Exception& e) {
        qDebug() << "preview could not be written:" << path << e.what();
        return false;
    }
}

QString pointText(const QPoint& p) { return QString("(%1, %2)").arg(p.x()).arg(p.y()); }

}  // namespace

bool isPanelCode(const GreyBoardCode& code) { return code.snLength == 11 && code.sn.startsWith("CA"); }

GreyBoardCode parsePanelPayload(const QByteArray& payload) {
    GreyBoardCode code;
    const QList<QByteArray> fields = payload.split(',');
    const QByteArray sn = fields.value(0);
    code.snLength = sn.size();
    // A first field this long is never a serial; keep it out of the record.
    code.sn = sn.size() > kMaxSnLength ? QString() : QString::fromLatin1(sn);
    for (int i = 1; i < fields.size() && code.values.size() < kMaxValues; ++i) {
        bool ok = false;
        const int v = fields[i].trimmed().toInt(&ok, 10);
        if (!ok) break;
        code.values << v;
    }
    code.isNew = !code.values.isEmpty();
    return code;
}

QVector<GreyBoardCode> scanGreyBoardCodes(const cv::Mat& bgr) {
    cv::Mat blurred, grey;
    cv::blur(bgr, blurred, cv::Size(4, 4));
    cv::cvtColor(blurred, grey, cv::COLOR_BGR2GRAY);
    QVector<GreyBoardCode> codes = scanGrey(grey);
    if (codes.isEmpty()) {
        // A second chance for under- or overexposed panel pictures.
        const double mean = cv::mean(grey)[0];
        if (mean < 40 || mean > 200) codes = scanGrey(remapExtremes(grey));
    }
    return codes;
}

QString greyboardPreviewDir() {
    const QString beside = QCoreApplication::applicationDirPath() + "/temp_greyboard";
    if (QDir().mkpath(beside)) {
        QTemporaryFile probe(beside + "/.probe-XXXXXX");
        if (probe.open()) return beside;
    }
    return QDir::tempPath() + "/reflectivity/temp_greyboard";
}

namespace {

// The code stood upright: a rotation about the image centre onto a canvas holding the whole rotated
// image. Only coordinates are needed, so the image itself is not warped.
struct UprightCode {
    cv::Mat rotation;            // 2x3, image -> upright canvas
    cv::Point2f centre{0, 0};    // of the code, on the canvas
    double side = 0;             // longest side of the code, pixels
    int orientation = 0;         // 0, 90, 180 or 270: where the code's first corner lies
};

UprightCode standCodeUpright(const GreyBoardCode& code, int w, int h) {
    UprightCode u;
    u.rotation = cv::getRotationMatrix2D(cv::Point2f(w / 2.0f, h / 2.0f), code.angle, 1.0);
    const double c = std::abs(u.rotation.at<double>(0, 0)), s = std::abs(u.rotation.at<double>(0, 1));
    const int uprightW = int(h * s + w * c), uprightH = int(h * c + w * s);
    u.rotation.at<double>(0, 2) += uprightW / 2.0 - w / 2.0;
    u.rotation.at<double>(1, 2) += uprightH / 2.0 - h / 2.0;
    std::vector<cv::Point2f> corners(code.corners.begin(), code.corners.end()), upright;
    cv::transform(corners, upright, u.rotation);
    for (const auto& p : upright) u.centre += p * 0.25f;
    for (int i = 0; i < 4; ++i) u.side = std::max(u.side, double(cv::norm(upright[i] - upright[(i + 1) % 4])));
    const cv::Point2f p1 = upright[0], p3 = upright[2];
    if (p1.x < p3.x && p1.y < p3.y) u.orientation = 0;
    else if (p1.x > p3.x && p1.y < p3.y) u.orientation = 90;
    else if (p1.x > p3.x && p1.y > p3.y) u.orientation = 180;
    else if (p1.x < p3.x && p1.y > p3.y) u.orientation = 270;
    return u;
}

// The panel square beside the code (below it on the new board, left of it on the old one, in the
// upright frame), mapped back into the image: result.centre and result.fullVertices.
void locatePanel(const UprightCode& u, bool newBoard, GreyBoardResult& result) {
    const double d = u.side;
    const double shift = (newBoard ? 1.4 : 1.55) * d;
    cv::Point2d direction;
    switch (u.orientation) {
    case 0: direction = newBoard ? cv::Point2d(0, 1) : cv::Point2d(-1, 0); break;
    case 90: direction = newBoard ? cv::Point2d(-1, 0) : cv::Point2d(0, -1); break;
    case 180: direction = newBoard ? cv::Point2d(0, -1) : cv::Point2d(1, 0); break;
    default: direction = newBoard ? cv::Point2d(1, 0) : cv::Point2d(0, 1); break;
    }
    const cv::Point2d panelCentre = cv::Point2d(u.centre) + direction * shift;
    const double half = (newBoard ? 1.5 : 2.5) * d / std::sqrt(2.0) / 2.0;
    const std::vector<cv::Point2d> square = {{panelCentre.x - half, panelCentre.y - half},
                                             {panelCentre.x + half, panelCentre.y - half},
                                             {panelCentre.x + half, panelCentre.y + half},
                                             {panelCentre.x - half, panelCentre.y + half}};
    cv::Mat inverse;
    cv::invertAffineTransform(u.rotation, inverse);
    std::vector<cv::Point2d> back;
    std::vector<cv::Point2d> toMap = square;
    toMap.push_back(panelCentre);
    cv::transform(toMap, back, inverse);
    result.centre = QPoint(int(back[4].x), int(back[4].y));
    for (int i = 0; i < 4; ++i) result.fullVertices[i] = QPoint(int(back[i].x), int(back[i].y));
}

// False (with the status) when the panel's centre or a corner lies outside the w x h image.
bool panelInsideImage(GreyBoardResult& result, int w, int h) {
    if (result.centre.x() < 0 || result.centre.x() > w || result.centre.y() < 0 || result.centre.y() > h) {
        say("图片中灰板中心超出范围！");
        result.status = PanelRecognition::CentreOutOfRange;
        return false;
    }
    for (const QPoint& v : result.fullVertices) {
        if (v.x() < 0 || v.x() >= w || v.y() < 0 || v.y() >= h) {
            say("图片中灰板顶点超出范围！");
            result.status = PanelRecognition::VertexOutOfRange;
            return false;
        }
    }
    return true;
}

// The measured area: the panel square shrunk halfway towards its centre (corners returned in the
// order of fullVertices), logged with the code's data.
std::array<QPoint, 4> shrinkPanelArea(const GreyBoardCode& code, GreyBoardResult& result) {
    say(code.isNew ? "这是新灰板！二维码数据如下： " : "这是旧灰板！二维码数据如下： ");
    say("灰板中心点坐标为：" + pointText(result.centre));
    say("SN：" + code.sn);
    QString values;
    for (int v : code.values) values += QString::number(v) + " ";
    say("反射率：" + values);
    say(QString("该灰板偏转角度为： %1度 ").arg(code.angle));
    std::array<QPoint, 4> shrunk;
    for (int i = 0; i < 4; ++i) {
        const QPoint& v = result.fullVertices[i];
        shrunk[i] = QPoint(int((result.centre.x() + v.x()) / 2.0), int((result.centre.y() + v.y()) / 2.0));
        say(QString("原始顶点%1: %2").arg(i).arg(pointText(v)));
        say(QString("缩小顶点%1: %2").arg(i).arg(pointText(shrunk[i])));
    }
    result.area.valid = true;
    result.area.centre = result.centre;
    result.area.vertices = {shrunk[0], shrunk[3], shrunk[1], shrunk[2]};
    return shrunk;
}

// The picture a person confirms: centres and corners in green, the measured area in red.
void savePanelPreview(const cv::Mat& image, const GreyBoardCode& code, const GreyBoardResult& result,
                      const std::array<QPoint, 4>& shrunk, const QString& previewDir, const QString& path) {
    cv::Mat preview = image.clone();
    const cv::Scalar green(0, 255, 0), red(0, 0, 255);
    cv::circle(preview, cv::Point(result.centre.x(), result.centre.y()), 5, green, cv::FILLED);
    cv::circle(preview, cv::Point(int(code.centre.x), int(code.centre.y)), 5, green, cv::FILLED);
    for (const QPoint& v : result.fullVertices) cv::circle(preview, cv::Point(v.x(), v.y()), 5, green, cv::FILLED);
    for (int i = 0; i < 4; ++i) {
        cv::circle(preview, cv::Point(shrunk[i].x(), shrunk[i].y()), 5, red, cv::FILLED);
        const QPoint& next = shrunk[(i + 1) % 4];
        cv::line(preview, cv::Point(shrunk[i].x(), shrunk[i].y()), cv::Point(next.x(), next.y()), red, 2);
    }
    const QString out = previewPath(previewDir, path);
    if (writePreview(out, preview)) qDebug() << "灰板预览图已保存:" << out;
}

}  // namespace

bool recognizeGreyBoard(const QString& path, GreyBoardResult& result, const QString& previewDir) {
    result = GreyBoardResult();
    say("/////////////////");
    say(path);
    const cv::Mat image = readColour(path);
    if (image.empty()) {
        std::fputs("Error: Unable to open the image file.\n", stderr);
        result.status = PanelRecognition::Unreadable;
        return false;
    }
    const QVector<GreyBoardCode> codes = scanGreyBoardCodes(image);
    // Only the first symbol counts; a code that is no panel code means no panel.
    if (codes.isEmpty() || !isPanelCode(codes.first())) {
        say("该图片未识别到二维码！");
        result.status = PanelRecognition::NoCode;
        return false;
    }
    const GreyBoardCode& code = codes.first();
    result.code = code;
    const UprightCode upright = standCodeUpright(code, image.cols, image.rows);
    result.orientation = upright.orientation;
    locatePanel(upright, code.isNew, result);
    if (!panelInsideImage(result, image.cols, image.rows)) return false;
    const std::array<QPoint, 4> shrunk = shrinkPanelArea(code, result);
    result.status = PanelRecognition::Recognised;
    savePanelPreview(image, code, result, shrunk, previewDir, path);
    return true;
}

void drawAndSaveGreyBoardPreview(const QString& path, const std::array<QPoint, 4>& vertices,
                                 const QString& previewDir) {
    cv::Mat image = readColour(path);
    if (image.empty()) {
        std::fprintf(stderr, "drawAndSaveGreyBoardPreview: Unable to open image: %s\n",
                     QFile::encodeName(path).constData());
        return;
    }
    // The vertices come as top-left, bottom-left, top-right, bottom-right; the outline runs round.
    const cv::Scalar red(0, 0, 255);
    const int round[4] = {0, 1, 3, 2};
    for (int i = 0; i < 4; ++i) {
        const QPoint& a = vertices[round[i]];
        const QPoint& b = vertices[round[(i + 1) % 4]];
        cv::circle(image, cv::Point(a.x(), a.y()), 5, red, cv::FILLED);
        cv::line(image, cv::Point(a.x(), a.y()), cv::Point(b.x(), b.y()), red, 2);
    }
    const QString out = previewPath(previewDir, path);
    if (writePreview(out, image)) qDebug() << "同组灰板预览图已保存:" << out;
}
