#include "imagewidget.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "hawkwidget.h"

namespace {

constexpr int kViewWidth = 640;
constexpr int kViewHeight = 480;

// Panel images are 16-bit single-band TIFFs, which Qt's own readers may not handle (or show nearly
// black): read them with OpenCV and stretch deeper values to 8 bits for display. Other pictures go
// through Qt.
QImage readForDisplay(const QString& path) {
    if (path.isEmpty()) return QImage();
    const cv::Mat raw =
        cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_ANYDEPTH | cv::IMREAD_GRAYSCALE);
    if (raw.empty()) return QImage(path);
    cv::Mat grey;
    if (raw.depth() == CV_8U) {
        grey = raw;
    } else {
        double lo = 0, hi = 0;
        cv::minMaxLoc(raw, &lo, &hi);
        const double scale = hi > lo ? 255.0 / (hi - lo) : 1.0;
        raw.convertTo(grey, CV_8U, scale, -lo * scale);
    }
    QImage out(grey.cols, grey.rows, QImage::Format_Grayscale8);
    for (int y = 0; y < grey.rows; ++y) memcpy(out.scanLine(y), grey.ptr(y), static_cast<size_t>(grey.cols));
    return out;
}

}  // namespace

imageWidget::imageWidget(QWidget* parent, int width, int height, OperatorDialogs* dialogs)
    : QWidget(parent), m_halfWidth(width / 2), m_halfHeight(height / 2) {
    setObjectName(QStringLiteral("imageWidget"));
    setWindowTitle(QStringLiteral("Form"));
    setFixedSize(kViewWidth, 510);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    label_2 = new QLabel(this);
    label_2->setObjectName(QStringLiteral("label_2"));
    label_2->setFixedHeight(30);
    label_2->setAlignment(Qt::AlignCenter);
    label = new QLabel(this);
    label->setObjectName(QStringLiteral("label"));
    label->setScaledContents(true);
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(label_2);
    layout->addWidget(label);

    m_overlay = new hawkWidget(this, dialogs);
    m_overlay->setGeometry(0, 30, kViewWidth, kViewHeight);
    connect(m_overlay, SIGNAL(signalMakePolygon(bool)), this, SLOT(slotOnMakePolygon(bool)));
    m_overlay->show();
    m_overlay->raise();
    qDebug() << "the width and height are:" << m_halfWidth << m_halfHeight;
}

void imageWidget::loadImage(const QString& path, int index) {
    m_index = index;
    label_2->setText(QFileInfo(path).fileName());
    const QImage image = readForDisplay(path);
    if (image.isNull()) {
        qDebug() << "imageWidget::loadImage: cannot read" << path;
        label->clear();
        return;
    }
    label->setPixmap(QPixmap::fromImage(
        image.scaled(kViewWidth, kViewHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
}

void imageWidget::slotOnMakePolygon(bool flag) { emit signalPolygon(m_index, flag); }

QStringList imageWidget::polygonPoints() const {
    QStringList texts;
    const auto& polygons = m_overlay->polygons();
    if (polygons.isEmpty()) return texts;
    for (const QPoint& p : polygons.first().points) texts << QStringLiteral("%1,%2").arg(p.x()).arg(p.y());
    return texts;
}
