#include "panel_value.h"

#include <QDebug>

#include <cmath>

using namespace refl;

PanelArea panelAreaFrom(const PanelGeometry& g) {
    PanelArea a;
    a.firstColumn = g.vertices[0].x();
    a.firstRow = g.vertices[0].y();
    a.lastRow = g.vertices[1].y();
    a.lastColumn = g.vertices[2].x();
    return a;
}

bool getHawkAreaDNAndLValue(const PanelArea& area, const uint16_t* plane, int width, int height,
                            const RadiometricCalibration& c, const VignettingMap& map, double& value) {
    value = std::nan("");
    if (area.firstRow > area.lastRow || area.firstColumn > area.lastColumn) {
        qDebug() << "getHawkAreaDNAndLValue: empty panel area, rows" << area.firstRow << "-" << area.lastRow
                 << "columns" << area.firstColumn << "-" << area.lastColumn;
        return false;
    }
    if (area.firstRow < 0 || area.firstColumn < 0 || area.lastRow >= height || area.lastColumn >= width) {
        qDebug() << "getHawkAreaDNAndLValue: panel area rows" << area.firstRow << "-" << area.lastRow << "columns"
                 << area.firstColumn << "-" << area.lastColumn << "lies outside the" << width << "x" << height
                 << "image";
        return false;
    }
    if (!plane || map.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) {
        qDebug() << "getHawkAreaDNAndLValue: no image plane or vignetting map of" << width << "x" << height;
        return false;
    }
    const double scale = radianceScale(c);
    const int dark = c.darkLevel;
    double sum = 0;
    long long count = 0;
    for (int y = area.firstRow; y <= area.lastRow; ++y) {
        for (int x = area.firstColumn; x <= area.lastColumn; ++x) {
            const size_t i = static_cast<size_t>(y) * width + x;
            sum += radianceValue(plane[i], dark, scale, map[i]);
            ++count;
        }
    }
    value = sum / static_cast<double>(count);
    return true;
}

std::optional<std::array<QPoint, 4>> orderDrawnOutline(const QStringList& polygonPoints) {
    if (polygonPoints.size() != 4) return std::nullopt;
    std::array<QPoint, 4> p;
    for (int i = 0; i < 4; ++i) {
        bool okX = false, okY = false;
        const int x = polygonPoints[i].section(',', 0, 0).trimmed().toInt(&okX);
        const int y = polygonPoints[i].section(',', -1).trimmed().toInt(&okY);
        if (!okX || !okY) return std::nullopt;
        p[i] = QPoint(x, y);
    }
    std::stable_sort(p.begin(), p.end(), [](const QPoint& a, const QPoint& b) { return a.x() < b.x(); });
    auto byY = [](const QPoint& a, const QPoint& b) { return a.y() < b.y(); };
    if (byY(p[1], p[0])) std::swap(p[0], p[1]);
    if (byY(p[3], p[2])) std::swap(p[2], p[3]);
    // left side top, left side bottom, right side top, right side bottom
    return std::array<QPoint, 4>{p[0], p[1], p[2], p[3]};
}

PanelGeometry normalizeDrawnOutline(const std::array<QPoint, 4>& p, int cameraType, int width, int height,
                                    int index) {
    const int left = std::max(p[0].x(), p[1].x());
    const int right = std::min(p[2].x(), p[3].x());
    const int top = std::max(p[0].y(), p[2].y());
    const int bottom = std::min(p[1].y(), p[3].y());
    qDebug() << left << top << left << bottom << right << top << right << bottom;

    // The view shows the image at 640 x 480. Each camera's factors map that view onto its sensor;
    // an image of another size is scaled by its own ratio instead.
    double sx = 2, sy = 2;
    int nativeW = 1280, nativeH = 960;
    switch (cameraType) {
    case 4: sx = sy = 2 * 1.6; nativeW = 2048; nativeH = 1536; break;
    case 3: sx = 2 * 0.84375; sy = 2 * 1.33333; nativeW = 1080; nativeH = 1280; break;
    case 6: sx = 2 * 3.2125; sy = 2 * 3.13333; nativeW = 4112; nativeH = 3008; break;
    default: break;
    }
    if (width > 0 && height > 0 && (width != nativeW || height != nativeH)) {
        sx = width / 640.0;
        sy = height / 480.0;
        qDebug() << "normalizeDrawnOutline: image of" << width << "x" << height << "scaled by" << sx << sy;
    }
    PanelGeometry g;
    const int l = int(left * sx), r = int(right * sx), t = int(top * sy), b = int(bottom * sy);
    g.vertices = {QPoint(l, t), QPoint(l, b), QPoint(r, t), QPoint(r, b)};
    g.centre = QPoint((l + r) / 2, (t + b) / 2);
    g.valid = l <= r && t <= b;
    qDebug() << l << t << l << b << r << t << r << b;
    qDebug() << "The selected rectangle area node:";
    qDebug() << "the len rectangle" << index << (r - l + 1) * (b - t + 1);
    return g;
}

const QVector<int>& panelCodeWavelengths(int valueCount) {
    static const QVector<int> w17 = {410, 450, 490, 530, 555, 570, 610, 650, 660, 680, 720, 750, 780, 800, 840, 900, 940};
    static const QVector<int> w20 = w17 + QVector<int>{1450, 1615, 1700};
    static const QVector<int> none;
    return valueCount == 17 ? w17 : valueCount == 20 ? w20 : none;
}

QVector<std::optional<double>> standardReflectanceFromCode(const QVector<int>& values, const QStringList& labels) {
    QVector<std::optional<double>> out(std::min<int>(labels.size(), 6));
    const QVector<int>& table = panelCodeWavelengths(values.size());
    if (table.isEmpty()) return out;
    for (int i = 0; i < out.size(); ++i) {
        const int w = labels[i].section('.', 0, 0).remove("nm").toInt();
        if (w <= 0) continue;
        int best = 0;
        for (int k = 1; k < table.size(); ++k)
            if (std::abs(table[k] - w) < std::abs(table[best] - w)) best = k;
        out[i] = values[best] / 100.0;
        qDebug() << QString("波长%1nm匹配灰板%2nm反射率%3").arg(w).arg(table[best]).arg(*out[i]);
    }
    return out;
}

QVector<double> meanPanelValues(const QVector<double>& imageValues, const QVector<int>& recognisedGroups,
                                int bandCount) {
    QVector<double> means(std::max(bandCount, 0), 0.0);
    if (recognisedGroups.isEmpty() || bandCount <= 0) return means;
    for (int b = 0; b < bandCount; ++b) {
        double sum = 0;
        int groups = 0;
        for (int g : recognisedGroups) {
            const double v = imageValues.value(g * bandCount + b, std::nan(""));
            if (std::isfinite(v)) {
                sum += v;
                ++groups;
            }
        }
        means[b] = groups > 0 ? sum / groups : std::nan("");
    }
    return means;
}
