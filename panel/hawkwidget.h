#pragma once

#include <QColor>
#include <QPoint>
#include <QVector>
#include <QWidget>
#include <memory>

class OperatorDialogs;

// Drawing overlay of a panel view: the operator clicks the four corners of the grey panel and
// closes the outline with a click near the first corner. The finished quadrilateral can be moved
// as a whole or corner by corner; the right button clears it.
class hawkWidget : public QWidget {
    Q_OBJECT

public:
    struct Quadrilateral {
        QVector<QPoint> points;
        bool selected = false;
    };

    // `dialogs` shows the refusal of outlines that are not quadrilaterals; null means a real
    // QMessageBox. It must outlive the overlay.
    explicit hawkWidget(QWidget* parent = nullptr, OperatorDialogs* dialogs = nullptr);
    ~hawkWidget() override;

    const QVector<Quadrilateral>& polygons() const { return m_polygons; }
    const QVector<QPoint>& collectedPoints() const { return m_points; }
    bool isLocked() const { return m_locked; }
    int selectedIndex() const { return m_selectedIndex; }
    QPoint cursorPosition() const { return m_cursor; }

signals:
    // True when a quadrilateral was completed, false when all were cleared.
    void signalMakePolygon(bool flag);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void clearAll();
    void closeOutline();
    static bool containsPoint(const QVector<QPoint>& polygon, const QPoint& p);

    bool m_locked = false;
    bool m_showHandles = true;
    int m_pointRadius = 5;
    int m_lineWidth = 2;
    QColor m_pointColour{255, 0, 0, 255};
    QColor m_lineColour{255, 0, 0, 255};
    QColor m_fillColour{0, 0, 255, 80};
    QColor m_selectedFillColour{0, 0, 255, 80};
    QPoint m_cursor{0, 0};
    QVector<QPoint> m_points;
    QVector<Quadrilateral> m_polygons;
    QVector<QPoint> m_pointsCopy;
    bool m_pressed = false;
    QPoint m_pressGlobal;
    QPoint m_dragStart;
    int m_dragVertex = -1;
    QVector<QPoint> m_selectedPoints;
    int m_selectedIndex = -1;

    std::unique_ptr<OperatorDialogs> m_ownDialogs;
    OperatorDialogs* m_dialogs = nullptr;
};
