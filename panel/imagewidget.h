#pragma once

#include <QStringList>
#include <QWidget>

class QLabel;
class OperatorDialogs;
class hawkWidget;

// One panel image of the panel list: the file name above the picture (scaled to 640 x 480) with a
// drawing overlay on top, on which the operator can outline the grey panel.
class imageWidget : public QWidget {
    Q_OBJECT

public:
    // `width` and `height` are the panel image size in pixels. `dialogs` goes to the overlay
    // (null: real message boxes).
    imageWidget(QWidget* parent, int width, int height, OperatorDialogs* dialogs = nullptr);

    // Shows the file name and the picture; `index` is the row of the panel table.
    void loadImage(const QString& path, int index);

    // The overlay's first quadrilateral as four texts "x,y" (overlay coordinates, drawing order);
    // empty when none was drawn.
    QStringList polygonPoints() const;

    int index() const { return m_index; }
    int halfWidth() const { return m_halfWidth; }
    int halfHeight() const { return m_halfHeight; }
    hawkWidget* overlay() const { return m_overlay; }

signals:
    void signalPolygon(int index, bool flag);

public slots:
    void slotOnMakePolygon(bool flag);

private:
    QLabel* label = nullptr;    // picture
    QLabel* label_2 = nullptr;  // file name
    hawkWidget* m_overlay = nullptr;
    int m_index = -1;
    int m_halfWidth = 0;
    int m_halfHeight = 0;
};
