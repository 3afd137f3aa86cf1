#include "panel_board.h"

#include <qrencode.h>

#include <QDebug>
#include <QStringList>
#include <cmath>
#include <cstdlib>

namespace reflsample {

bool encodeQr(const QByteArray& payload, QrModules* out) {
    QRcode* code = QRcode_encodeData(
        payload.size(), reinterpret_cast<const unsigned char*>(payload.constData()), 0, QR_ECLEVEL_L);
    if (!code) {
        qDebug() << "encodeQr: libqrencode failed for" << payload;
        return false;
    }
    out->size = code->width;
    out->dark.resize(size_t(code->width) * size_t(code->width));
    for (size_t i = 0; i < out->dark.size(); ++i) out->dark[i] = (code->data[i] & 1) ? 1 : 0;
    QRcode_free(code);
    return true;
}

QByteArray panelPayload(const QString& serial, const QVector<int>& percents) {
    QStringList parts{serial};
    for (int p : percents) parts << QString::number(p);
    return parts.join(',').toLatin1();
}

const QVector<int>& panelWavelengths17() {
    static const QVector<int> w{410, 450, 490, 530, 555, 570, 610, 650, 660,
                                680, 720, 750, 780, 800, 840, 900, 940};
    return w;
}

const QVector<int>& panelWavelengths20() {
    static const QVector<int> w = panelWavelengths17() + QVector<int>{1450, 1615, 1700};
    return w;
}

int nearestPercent(const QVector<int>& percents, int nm) {
    const QVector<int>& table = percents.size() == 20 ? panelWavelengths20() : panelWavelengths17();
    int best = 0;
    for (int i = 1; i < percents.size() && i < table.size(); ++i)
        if (std::abs(table[i] - nm) < std::abs(table[best] - nm)) best = i;
    return percents.isEmpty() ? 0 : percents[best];
}

PanelBoard::PanelBoard(bool newBoard, const QrModules& qr, double angleDeg, cv::Point2d codeCentre,
                       double side)
    : newBoard_(newBoard),
      qr_(qr),
      cos_(std::cos(angleDeg * CV_PI / 180.0)),
      sin_(std::sin(angleDeg * CV_PI / 180.0)),
      centre_(codeCentre),
      side_(side) {}

cv::Point2d PanelBoard::toCode(double u, double v) const {
    const double dx = u - centre_.x, dy = v - centre_.y;
    return cv::Point2d((dx * cos_ + dy * sin_) / side_, (-dx * sin_ + dy * cos_) / side_);
}

cv::Point2d PanelBoard::greyCentre() const {
    const cv::Point2d g = newBoard_ ? cv::Point2d(0.0, 1.4) : cv::Point2d(-1.55, 0.0);
    return centre_ + side_ * cv::Point2d(g.x * cos_ - g.y * sin_, g.x * sin_ + g.y * cos_);
}

cv::Point2d PanelBoard::boardCentroid(bool newBoard) {
    return newBoard ? cv::Point2d(0.0, 0.7) : cv::Point2d(-0.975, 0.0);
}

double PanelBoard::boardRadius(bool newBoard) { return newBoard ? 1.77 : 2.14; }

PanelBoard::Region PanelBoard::regionAt(double u, double v) const {
    const cv::Point2d q = toCode(u, v);
    if (newBoard_) {
        if (q.x < -0.85 || q.x > 0.85 || q.y < -0.85 || q.y > 2.25) return kOutside;
        if (std::fabs(q.x) <= 0.68 && std::fabs(q.y - 1.4) <= 0.68) return kGrey;
    } else {
        if (q.x < -2.75 || q.x > 0.8 || q.y < -1.2 || q.y > 1.2) return kOutside;
        if (std::fabs(q.x + 1.55) <= 0.96 && std::fabs(q.y) <= 0.96) return kGrey;
    }
    if (q.x >= -0.5 && q.x < 0.5 && q.y >= -0.5 && q.y < 0.5 && qr_.size > 0) {
        const int mx = std::min(qr_.size - 1, int((q.x + 0.5) * qr_.size));
        const int my = std::min(qr_.size - 1, int((q.y + 0.5) * qr_.size));
        return qr_.dark[size_t(my) * size_t(qr_.size) + size_t(mx)] ? kDark : kWhite;
    }
    return kWhite;
}

}  // namespace reflsample
