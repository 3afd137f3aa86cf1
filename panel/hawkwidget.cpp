#include "hawkwidget.h"

#include <QDebug>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

#include "operator_dialogs.h"

namespace {

// The overlay only ever shows messages; it never asks for files.
class OverlayMessageBoxes : public OperatorDialogs {
public:
    explicit OverlayMessageBoxes(QWidget* owner) : m_owner(owner) {}
    void message(Kind kind, const QString& title, const QString& text, bool parented) override {
        QWidget* parent = parented ? m_owner : nullptr;
        if (kind == Kind::Warning) {
            QMessageBox::warning(parent, title, text);
        } else {
            QMessageBox::information(parent, title, text);
        }
    }
    QString chooseDirectory(const QString&, const QString&) override { return QString(); }
    QStringList chooseFiles(const QString&, const QString&) override { return QStringList(); }
    bool confirmPanelPreviews(const QString&, const QStringList&) override { return true; }

private:
    QWidget* m_owner;
};

constexpr int kVertexGrabSquared = 36;  // a press within 6 px takes a vertex
constexpr int kCloseSquared = 100;      // a click within 10 px of the first point closes

int squaredDistance(const QPoint& a, const QPoint& b) {
    const QPoint d = a - b;
    return d.x() * d.x() + d.y() * d.y();
}

}  // namespace

hawkWidget::hawkWidget(QWidget* parent, OperatorDialogs* dialogs) : QWidget(parent) {
    setObjectName(QStringLiteral("hawkWidget"));
    setWindowTitle(QStringLiteral("Form"));
    resize(800, 450);
    setStyleSheet(QString());
    setMouseTracking(true);
    if (dialogs) {
        m_dialogs = dialogs;
    } else {
        m_ownDialogs = std::make_unique<OverlayMessageBoxes>(this);
        m_dialogs = m_ownDialogs.get();
    }
}

hawkWidget::~hawkWidget() = default;

// Even-odd ray crossing with integer coordinates; fewer than three vertices never contain anything.
bool hawkWidget::containsPoint(const QVector<QPoint>& polygon, const QPoint& p) {
    const int n = polygon.size();
    if (n < 3) return false;
    bool inside = false;
    for (int i = 0, j = n - 1; i < n; j = i++) {
        const QPoint& a = polygon[i];
        const QPoint& b = polygon[j];
        if ((a.y() > p.y()) != (b.y() > p.y())) {
            // x of the edge at height p.y(), compared without division: (p.x - a.x) * dy < (b.x - a.x) * (p.y
            // - a.y)
            const long long dy = static_cast<long long>(b.y()) - a.y();
            const long long lhs = (static_cast<long long>(p.x()) - a.x()) * dy;
            const long long rhs =
                (static_cast<long long>(b.x()) - a.x()) * (static_cast<long long>(p.y()) - a.y());
            if (dy > 0 ? lhs < rhs : lhs > rhs) inside = !inside;
        }
    }
    return inside;
}

void hawkWidget::mousePressEvent(QMouseEvent* event) {
    m_pressed = true;
    m_pressGlobal = event->globalPos();
    if (!m_points.isEmpty()) return;

    m_dragVertex = -1;
    if (m_selectedIndex >= 0 && m_selectedIndex < m_polygons.size()) {
        const QVector<QPoint>& vertices = m_polygons[m_selectedIndex].points;
        for (int i = vertices.size() - 1; i >= 0; --i) {
            if (squaredDistance(vertices[i], event->pos()) <= kVertexGrabSquared) {
                m_dragVertex = i;
                m_dragStart = vertices[i];
                update();
                return;
            }
        }
    }
    m_selectedIndex = -1;
    for (int i = m_polygons.size() - 1; i >= 0; --i) {
        if (containsPoint(m_polygons[i].points, event->pos())) {
            m_selectedIndex = i;
            m_selectedPoints = m_polygons[i].points;
            break;
        }
    }
    // A press outside every quadrilateral deselects them all, so that no handles stay drawn on a
    // shape that no longer follows the mouse.
    for (int i = 0; i < m_polygons.size(); ++i) m_polygons[i].selected = (i == m_selectedIndex);
    update();
}

void hawkWidget::mouseMoveEvent(QMouseEvent* event) {
    m_cursor = event->pos();
    if (m_pressed && m_selectedIndex >= 0 && m_selectedIndex < m_polygons.size()) {
        const QPoint delta = event->globalPos() - m_pressGlobal;
        QVector<QPoint>& vertices = m_polygons[m_selectedIndex].points;
        if (m_dragVertex >= 0 && m_dragVertex < vertices.size()) {
            vertices[m_dragVertex] = m_dragStart + delta;
        } else {
            for (int i = 0; i < vertices.size() && i < m_selectedPoints.size(); ++i)
                vertices[i] = m_selectedPoints[i] + delta;
        }
    }
    update();
}

void hawkWidget::clearAll() {
    m_points.clear();
    m_pointsCopy.clear();
    m_polygons.clear();
    emit signalMakePolygon(false);
    update();
    m_locked = false;
    m_selectedIndex = -1;
    m_dragVertex = -1;
    qDebug() << "selectedIndex>>>" << m_selectedIndex;
}

void hawkWidget::closeOutline() {
    if (m_points.size() != 4) {
        m_dialogs->information(QStringLiteral("提醒"),
                               QStringLiteral("本软件现阶段仅支持绘制四边形轮廓区域选取！"), false);
        m_points.clear();
        m_pointsCopy.clear();
        update();
        return;
    }
    m_locked = true;
    m_polygons.append(Quadrilateral{m_points, false});
    emit signalMakePolygon(true);
    qDebug() << "rect ok,,,,,,";
    m_points.clear();
    m_pointsCopy.clear();
    update();
}

void hawkWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        m_pressed = false;
        clearAll();
        return;
    }
    m_pressed = false;
    if (m_selectedIndex >= 0) return;
    const QPoint pos = event->pos();
    if (m_points.isEmpty()) {
        if (!m_locked) {
            m_points.append(pos);
            m_pointsCopy.append(pos);
        }
        update();
        return;
    }
    if (squaredDistance(pos, m_points.first()) >= kCloseSquared) {
        if (!m_locked) {
            m_points.append(pos);
            m_pointsCopy.append(pos);
        }
        update();
        return;
    }
    closeOutline();
}

void hawkWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    for (const Quadrilateral& quad : m_polygons) {
        painter.setPen(QPen(m_lineColour, m_lineWidth));
        painter.setBrush(quad.selected ? m_selectedFillColour : m_fillColour);
        painter.drawPolygon(quad.points.constData(), quad.points.size());
        if (m_showHandles && quad.selected) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(m_pointColour);
            for (const QPoint& p : quad.points) painter.drawEllipse(p, m_pointRadius, m_pointRadius);
        }
    }

    if (m_points.isEmpty()) return;
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_pointColour);
    for (const QPoint& p : m_points) painter.drawEllipse(p, m_pointRadius, m_pointRadius);
    painter.setPen(QPen(m_lineColour, m_lineWidth));
    painter.setBrush(Qt::NoBrush);
    for (int i = 1; i < m_points.size(); ++i) painter.drawLine(m_points[i - 1], m_points[i]);
    painter.drawLine(m_points.last(), m_cursor);
}
