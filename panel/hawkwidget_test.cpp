#include "hawkwidget.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include "imagewidget.h"
#include "operator_dialogs.h"

namespace {

const QString kFourPointText = QStringLiteral("本软件现阶段仅支持绘制四边形轮廓区域选取！");

// A panel view shown on screen, with its overlay and recorded dialogs.
struct View {
    View() : view(nullptr, 1280, 960, &dialogs) {
        view.loadImage(QString(), 4);
        view.show();
        exposed = QTest::qWaitForWindowExposed(&view);
        overlay = view.overlay();
    }
    // Events go through the window, as the platform delivers them (routing, implicit grab).
    QWindow* window() const { return view.windowHandle(); }
    QPoint at(QPoint p) const { return overlay->mapTo(&view, p); }
    void click(QPoint p, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mouseClick(window(), button, {}, at(p));
    }
    void press(QPoint p) { QTest::mousePress(window(), Qt::LeftButton, {}, at(p)); }
    void release(QPoint p) { QTest::mouseRelease(window(), Qt::LeftButton, {}, at(p)); }
    void move(QPoint p) { QTest::mouseMove(window(), at(p)); }
    // Four corners and a closing click 3 px from the first corner.
    void drawQuad(const QVector<QPoint>& corners) {
        for (const QPoint& p : corners) click(p);
        click(corners.first() + QPoint(2, 2));
    }
    QVector<QPoint> vertices() const {
        return overlay->polygons().isEmpty() ? QVector<QPoint>() : overlay->polygons().first().points;
    }

    RecordingDialogs dialogs;
    imageWidget view;
    hawkWidget* overlay = nullptr;
    bool exposed = false;
};

const QVector<QPoint> kQuad = {{100, 100}, {100, 300}, {400, 300}, {400, 100}};

TEST(HawkWidget, OverlayLiesOverThePicture) {
    View v;
    EXPECT_EQ(v.view.objectName(), "imageWidget");
    EXPECT_EQ(v.view.size(), QSize(640, 510));
    EXPECT_EQ(v.overlay->objectName(), "hawkWidget");
    EXPECT_EQ(v.overlay->geometry(), QRect(0, 30, 640, 480));
    EXPECT_TRUE(v.overlay->hasMouseTracking());
    EXPECT_EQ(v.view.halfWidth(), 640);
    EXPECT_EQ(v.view.halfHeight(), 480);
}

TEST(HawkWidget, FourClicksAndAClosingClickMakeAQuadrilateral) {
    View v;
    QSignalSpy made(v.overlay, SIGNAL(signalMakePolygon(bool)));
    QSignalSpy rows(&v.view, SIGNAL(signalPolygon(int, bool)));
    for (const QPoint& p : kQuad) v.click(p);
    EXPECT_EQ(v.overlay->collectedPoints().size(), 4);
    EXPECT_TRUE(v.overlay->polygons().isEmpty());
    EXPECT_TRUE(v.view.polygonPoints().isEmpty());

    v.click({104, 107});  // within 10 px of the first corner: closes
    ASSERT_EQ(v.overlay->polygons().size(), 1);
    EXPECT_EQ(v.vertices(), kQuad);
    EXPECT_TRUE(v.overlay->collectedPoints().isEmpty());
    EXPECT_TRUE(v.overlay->isLocked());
    ASSERT_EQ(made.size(), 1);
    EXPECT_TRUE(made.at(0).at(0).toBool());
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.at(0).at(0).toInt(), 4);
    EXPECT_TRUE(rows.at(0).at(1).toBool());
    EXPECT_EQ(v.view.polygonPoints(), QStringList({"100,100", "100,300", "400,300", "400,100"}));
    EXPECT_TRUE(v.dialogs.messages.isEmpty());
}

TEST(HawkWidget, ClosingNeedsAClickWithinTenPixelsOfTheFirstPoint) {
    View v;
    for (const QPoint& p : kQuad) v.click(p);
    v.click({106, 108});  // exactly 10 px away: a fifth point, not a close
    EXPECT_EQ(v.overlay->collectedPoints().size(), 5);
    EXPECT_TRUE(v.overlay->polygons().isEmpty());
}

TEST(HawkWidget, AFifthPointThenClosingShowsTheFourPointMessage) {
    View v;
    QSignalSpy made(v.overlay, SIGNAL(signalMakePolygon(bool)));
    for (const QPoint& p : kQuad) v.click(p);
    v.click({250, 50});  // far from the first point
    EXPECT_EQ(v.overlay->collectedPoints().size(), 5);
    v.click({101, 101});
    ASSERT_EQ(v.dialogs.messages.size(), 1);
    EXPECT_EQ(v.dialogs.messages[0].title, "提醒");
    EXPECT_EQ(v.dialogs.messages[0].text, kFourPointText);
    EXPECT_EQ(v.dialogs.messages[0].kind, OperatorDialogs::Kind::Information);
    EXPECT_FALSE(v.dialogs.messages[0].parented);
    EXPECT_TRUE(v.overlay->collectedPoints().isEmpty());
    EXPECT_TRUE(v.overlay->polygons().isEmpty());
    EXPECT_FALSE(v.overlay->isLocked());
    EXPECT_EQ(made.size(), 0);

    // Three points closed are refused the same way; a new outline can be drawn afterwards.
    for (int i = 0; i < 3; ++i) v.click(kQuad[i]);
    v.click(kQuad[0]);
    EXPECT_EQ(v.dialogs.messages.size(), 2);
    v.drawQuad(kQuad);
    EXPECT_EQ(v.overlay->polygons().size(), 1);
}

TEST(HawkWidget, ClicksWhileLockedAddNothing) {
    View v;
    v.drawQuad(kQuad);
    ASSERT_TRUE(v.overlay->isLocked());
    v.click({500, 400});
    v.click({550, 420});
    v.click({20, 20});
    EXPECT_TRUE(v.overlay->collectedPoints().isEmpty());
    EXPECT_EQ(v.overlay->polygons().size(), 1);
    EXPECT_EQ(v.vertices(), kQuad);
    EXPECT_EQ(v.view.polygonPoints().size(), 4);
}

TEST(HawkWidget, DragInsideMovesTheWholeShape) {
    View v;
    ASSERT_TRUE(v.exposed);
    v.drawQuad(kQuad);
    v.press({250, 200});
    EXPECT_EQ(v.overlay->selectedIndex(), 0);
    v.move({270, 215});
    EXPECT_EQ(v.overlay->cursorPosition(), QPoint(270, 215)) << "mouse move not delivered";
    v.move({280, 230});
    v.release({280, 230});
    const QVector<QPoint> expected = {{130, 130}, {130, 330}, {430, 330}, {430, 130}};
    EXPECT_EQ(v.vertices(), expected);
    EXPECT_EQ(v.view.polygonPoints(), QStringList({"130,130", "130,330", "430,330", "430,130"}));
    // Moving without a button afterwards changes nothing.
    v.move({300, 260});
    EXPECT_EQ(v.vertices(), expected);
}

TEST(HawkWidget, APressNearAVertexMovesOnlyThatVertex) {
    View v;
    ASSERT_TRUE(v.exposed);
    v.drawQuad(kQuad);
    v.click({250, 200});  // select
    ASSERT_EQ(v.overlay->selectedIndex(), 0);
    v.press({406, 300});  // exactly 6 px from (400, 300), outside the shape
    v.move({416, 310});
    v.move({426, 320});
    v.release({426, 320});
    const QVector<QPoint> expected = {{100, 100}, {100, 300}, {420, 320}, {400, 100}};
    EXPECT_EQ(v.vertices(), expected);

    // 7 px away from a vertex and outside the shape: nothing is grabbed and the selection ends.
    v.press({93, 100});
    v.move({60, 60});
    v.release({60, 60});
    EXPECT_EQ(v.vertices(), expected);
    EXPECT_EQ(v.overlay->selectedIndex(), -1);
    EXPECT_FALSE(v.overlay->polygons().first().selected);
}

TEST(HawkWidget, RightButtonClearsEverything) {
    View v;
    QSignalSpy rows(&v.view, SIGNAL(signalPolygon(int, bool)));
    v.drawQuad(kQuad);
    v.click({300, 200}, Qt::RightButton);
    EXPECT_TRUE(v.overlay->polygons().isEmpty());
    EXPECT_FALSE(v.overlay->isLocked());
    EXPECT_EQ(v.overlay->selectedIndex(), -1);
    EXPECT_TRUE(v.view.polygonPoints().isEmpty());
    ASSERT_EQ(rows.size(), 2);
    EXPECT_FALSE(rows.at(1).at(1).toBool());
    EXPECT_EQ(rows.at(1).at(0).toInt(), 4);

    // Half-collected points go too, and drawing starts afresh.
    v.click({10, 10});
    v.click({60, 10});
    v.click({0, 0}, Qt::RightButton);
    EXPECT_TRUE(v.overlay->collectedPoints().isEmpty());
    v.drawQuad({{200, 200}, {200, 260}, {260, 260}, {260, 200}});
    EXPECT_EQ(v.overlay->polygons().size(), 1);
}

TEST(HawkWidget, PaintsTheOutlineFilledAndTheHandlesOfTheSelection) {
    View v;
    v.drawQuad(kQuad);
    QImage plain = v.overlay->grab().toImage();
    const QColor inside = plain.pixelColor(250, 200);
    EXPECT_GT(inside.blue(), inside.red() + 40) << "translucent blue fill";
    const QColor edge = plain.pixelColor(250, 100);
    EXPECT_GT(edge.red(), 200);
    EXPECT_LT(edge.green(), 80);
    const QColor outside = plain.pixelColor(500, 400);
    EXPECT_LT(std::abs(outside.blue() - outside.red()), 10) << "nothing drawn outside";
    // No handles until the shape is selected.
    const QColor nearCorner = plain.pixelColor(97, 103);
    EXPECT_GT(nearCorner.green(), 150) << "background, not a red dot";

    v.click({250, 200});
    QImage selected = v.overlay->grab().toImage();
    const QColor handle = selected.pixelColor(97, 103);
    EXPECT_GT(handle.red(), 200);
    EXPECT_LT(handle.green(), 80);
}

}  // namespace
