#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "hawkwidget.h"
#include "imagewidget.h"
#include "mainwidget.h"
#include "sample_flight.h"

using namespace refl;

namespace {

const QString kCheckMark = QString(QChar(0x221A));

// Generated panel captures for the whole suite: panel/ holds a new-board capture and an old-board
// capture with "greyboard" names; flight/ four captures of six bands as empty files.
class PanelList : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new QTemporaryDir();
        reflsample::SampleOptions options = reflsample::SampleOptions::small();
        options.writeFlight = false;  // the raw directory scan only looks at names
        reflsample::FlightTruth truth;
        s_ok = s_dir->isValid() && reflsample::generateSampleFlight(s_dir->path(), options, &truth);
        for (const reflsample::CaptureTruth& c : truth.captures) {
            QStringList files;
            for (const QString& f : c.files) files << s_dir->filePath(f);
            if (c.kind == "panel-new") s_newPanel = files;
            if (c.kind == "panel-old") s_oldPanel = files;
        }
        const char* labels[] = {"450nm", "555nm", "660nm", "720nm", "750nm", "840nm"};
        QDir().mkpath(s_dir->filePath("flight"));
        for (int c = 1; c <= 4; ++c) {
            for (int b = 0; b < 6; ++b) {
                const QString path = s_dir->filePath(
                    QString("flight/IMG_%1_%2_%3.tif").arg(c, 4, 10, QChar('0')).arg(b + 1).arg(labels[b]));
                QFile file(path);
                s_ok = s_ok && file.open(QIODevice::WriteOnly);
                s_flight << path;
            }
        }
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(s_ok) << "sample flight not generated";
        ASSERT_EQ(s_newPanel.size(), 6);
        ASSERT_EQ(s_oldPanel.size(), 6);
        auto recording = std::make_unique<RecordingDialogs>();
        dialogs = recording.get();
        window = std::make_unique<mainWidget>(nullptr, std::move(recording));
        window->openRawDirectory(s_dir->filePath("flight"));
        ASSERT_EQ(window->bandCount(), 6);
        dialogs->messages.clear();
        table = window->findChild<QTableWidget*>("tableWidget");
        contents = window->findChild<QWidget*>("scrollAreaWidgetContents");
        ASSERT_TRUE(table && contents);
    }

    template <typename T>
    T* child(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    // Presses "添加灰板影像" and answers the file chooser with `files`.
    void add(const QStringList& files) {
        dialogs->fileAnswers << files;
        QTest::mouseClick(child<QToolButton>("toolButton_4"), Qt::LeftButton);
    }
    void selectRows(const QList<int>& rows) {
        table->clearSelection();
        for (int row : rows)
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QString cellText(int row) const {
        const QTableWidgetItem* item = table->item(row, 0);
        return item ? item->text() : QString();
    }
    QString lastMessage() const {
        return dialogs->messages.isEmpty() ? QString() : dialogs->messages.last().text;
    }
    static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    static QTemporaryDir* s_dir;
    static bool s_ok;
    static QStringList s_newPanel, s_oldPanel, s_flight;

    RecordingDialogs* dialogs = nullptr;
    std::unique_ptr<mainWidget> window;
    QTableWidget* table = nullptr;
    QWidget* contents = nullptr;
};

QTemporaryDir* PanelList::s_dir = nullptr;
bool PanelList::s_ok = false;
QStringList PanelList::s_newPanel, PanelList::s_oldPanel, PanelList::s_flight;

QStringList fakeGroups(const QString& pattern, const QList<QPair<QString, int>>& groups) {
    QStringList files;
    for (const auto& g : groups)
        for (int b = 1; b <= g.second; ++b) files << pattern.arg(g.first).arg(b);
    return files;
}

TEST_F(PanelList, AddsTwoGroupsWithViewsLabelsAndCamera) {
    const QStringList files = s_newPanel + s_oldPanel;
    add(files);
    EXPECT_TRUE(dialogs->messages.isEmpty()) << lastMessage().toStdString();
    EXPECT_EQ(dialogs->chooserCaptions.last(), "选择灰板影像");
    EXPECT_EQ(dialogs->chooserStarts.last(), s_dir->filePath("flight"));

    EXPECT_EQ(window->panelImages(), files);
    EXPECT_EQ(window->panelGroupCount(), 2);
    const QStringList labels = {"450nm", "555nm", "660nm", "720nm", "750nm", "840nm"};
    EXPECT_EQ(window->panelBandLabels(), labels + labels);
    EXPECT_TRUE(window->panelGeometry().isEmpty());
    ASSERT_EQ(contents->layout()->count(), 12);
    for (int row = 0; row < 18; ++row) {
        imageWidget* view = window->panelView(row);
        if (row >= 12) {
            EXPECT_EQ(view, nullptr) << row;
            EXPECT_TRUE(cellText(row).isEmpty()) << row;
            continue;
        }
        EXPECT_EQ(cellText(row), files[row]);
        ASSERT_NE(view, nullptr) << row;
        EXPECT_EQ(view->index(), row);
        EXPECT_EQ(contents->layout()->indexOf(view), row);
        EXPECT_EQ(view->findChild<QLabel*>("label_2")->text(), QFileInfo(files[row]).fileName());
        EXPECT_EQ(view->findChild<QLabel*>("label")->pixmap(Qt::ReturnByValue).size(), QSize(640, 480))
            << "panel TIFF not shown";
        EXPECT_EQ(view->halfWidth(), 320);
        EXPECT_EQ(view->halfHeight(), 240);
    }
    EXPECT_EQ(table->selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(table->currentRow(), 0);

    const PanelCameraInfo& camera = window->panelCamera();
    EXPECT_EQ(camera.width, 640);
    EXPECT_EQ(camera.height, 480);
    EXPECT_EQ(camera.serials.size(), 12);
    EXPECT_EQ(camera.cameraType, 6);
}

TEST_F(PanelList, ThreeGroupsFillEveryRowAndAFourthIsRefused) {
    // Empty files: the list takes them, their views stay blank.
    ASSERT_GE(s_flight.size(), 24);
    add(s_flight.mid(0, 18));
    EXPECT_TRUE(dialogs->messages.isEmpty()) << lastMessage().toStdString();
    EXPECT_EQ(window->panelGroupCount(), 3);
    EXPECT_EQ(contents->layout()->count(), 18);
    EXPECT_EQ(cellText(17), s_flight[17]);

    add(s_flight.mid(0, 24));
    EXPECT_EQ(lastMessage(), "普通影像数量应为6的整数倍（最多18个）！");
    EXPECT_EQ(dialogs->messages.last().title, "提示");
    EXPECT_EQ(window->panelImages(), s_flight.mid(0, 18)) << "a refusal keeps the previous list";
    EXPECT_EQ(contents->layout()->count(), 18);
}

TEST_F(PanelList, CountsMustBeMultiplesOfTheBandCount) {
    add(s_newPanel.mid(0, 5));
    EXPECT_EQ(lastMessage(), "普通影像数量应为6的整数倍（最多18个）！");
    add(s_oldPanel.mid(0, 5));
    EXPECT_EQ(lastMessage(), "灰板影像数量应为6的整数倍（最多18个）！");
    // Each kind is checked on its own: a good panel group does not excuse a short board group.
    add(s_newPanel + s_oldPanel.mid(0, 4));
    EXPECT_EQ(lastMessage(), "灰板影像数量应为6的整数倍（最多18个）！");
    EXPECT_EQ(dialogs->messages.size(), 3);
    EXPECT_TRUE(window->panelImages().isEmpty());
    EXPECT_EQ(contents->layout()->count(), 0);
}

TEST_F(PanelList, EveryGroupMustBeComplete) {
    add(fakeGroups("/x/IMG_%1_%2_450nm.tif", {{"0001", 6}, {"0002", 5}, {"0003", 1}}));
    EXPECT_EQ(lastMessage(), "以下组别的普通标定板文件不全（每组需6个）：0002,0003");
    add(fakeGroups("/x/IMG_%1_0%2_greyboard_450nm.tif", {{"0007", 4}, {"0009", 8}}));
    EXPECT_EQ(lastMessage(), "以下组别的灰板标定板文件不全（每组需6个）：0007,0009");
    EXPECT_TRUE(window->panelImages().isEmpty());
}

TEST_F(PanelList, BothKindsTogetherMustStillFitTheTable) {
    const QStringList plain = fakeGroups("/x/IMG_%1_%2_450nm.tif", {{"0001", 6}, {"0002", 6}, {"0003", 6}});
    const QStringList boards = fakeGroups("/x/IMG_%1_0%2_greyboard_450nm.tif", {{"0007", 6}});
    add(plain + boards);
    EXPECT_EQ(lastMessage(), "灰板影像数量应为6的整数倍（最多18个）！");
    EXPECT_TRUE(window->panelImages().isEmpty());
}

TEST_F(PanelList, RefusedWithoutRawDirectoryAndWhileRunning) {
    window->findChild<QLineEdit*>("lineEdit_2")->clear();
    add(s_newPanel);
    EXPECT_EQ(lastMessage(), "请选择原始影像路径！");
    EXPECT_EQ(dialogs->messages.last().title, "提示");
    EXPECT_TRUE(dialogs->chooserCaptions.isEmpty()) << "no chooser without a raw directory";

    window->findChild<QLineEdit*>("lineEdit_2")->setText(s_dir->filePath("flight"));
    add(s_newPanel);
    ASSERT_EQ(window->panelImages(), s_newPanel);
    window->setRunInProgress(true);
    dialogs->fileAnswers.clear();
    add(s_oldPanel);
    EXPECT_EQ(lastMessage(), "正在处理中，请勿进行其它操作！");
    selectRows({0, 1});
    QTest::mouseClick(child<QToolButton>("toolButton_5"), Qt::LeftButton);
    EXPECT_EQ(lastMessage(), "正在处理中，请勿进行其它操作！");
    EXPECT_EQ(dialogs->messages.size(), 3);
    EXPECT_EQ(window->panelImages(), s_newPanel);
    EXPECT_NE(window->panelView(0), nullptr);
    EXPECT_EQ(contents->layout()->count(), 6);
}

TEST_F(PanelList, DeleteRemovesTheSelectedRowsAndTheirViews) {
    add(s_newPanel + s_oldPanel);
    QPointer<imageWidget> second = window->panelView(2);
    QPointer<imageWidget> kept = window->panelView(4);
    selectRows({2, 3});
    QTest::mouseClick(child<QToolButton>("toolButton_5"), Qt::LeftButton);
    flushDeletes();
    EXPECT_TRUE(second.isNull());
    EXPECT_EQ(window->panelView(2), nullptr);
    EXPECT_EQ(window->panelView(3), nullptr);
    EXPECT_TRUE(cellText(2).isEmpty());
    EXPECT_TRUE(cellText(3).isEmpty());
    EXPECT_EQ(cellText(4), s_newPanel[4]);
    EXPECT_FALSE(kept.isNull());
    EXPECT_EQ(contents->layout()->count(), 10);
    EXPECT_EQ(window->panelImages().size(), 12) << "deleting rows keeps the chosen list";

    // A new selection replaces every view.
    add(s_oldPanel);
    flushDeletes();
    EXPECT_TRUE(kept.isNull());
    EXPECT_EQ(contents->layout()->count(), 6);
    EXPECT_EQ(cellText(0), s_oldPanel[0]);
    EXPECT_TRUE(cellText(6).isEmpty());
    EXPECT_EQ(window->panelGroupCount(), 1);
}

TEST_F(PanelList, DrawnOutlineSetsTheStatusMark) {
    add(s_newPanel);
    imageWidget* view = window->panelView(1);
    ASSERT_NE(view, nullptr);
    hawkWidget* overlay = view->overlay();
    for (QPoint p : {QPoint(100, 100), QPoint(100, 300), QPoint(400, 300), QPoint(400, 100), QPoint(102, 98)})
        QTest::mouseClick(overlay, Qt::LeftButton, {}, p);
    EXPECT_TRUE(window->regionDrawn(1));
    EXPECT_FALSE(window->regionDrawn(0));
    auto* mark = qobject_cast<QLabel*>(table->cellWidget(1, 1));
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->property("mark").toString(), kCheckMark);
    EXPECT_EQ(view->polygonPoints().size(), 4);

    QTest::mouseClick(overlay, Qt::RightButton, {}, QPoint(200, 200));
    EXPECT_FALSE(window->regionDrawn(1));
    ASSERT_NE(table->item(1, 1), nullptr);
    EXPECT_FALSE(table->item(1, 1)->icon().isNull()) << "the existing mark gets the cross icon";
    ASSERT_EQ(table->cellWidget(1, 1), mark);
    EXPECT_EQ(mark->property("mark").toString(), QString(QChar(0x00D7))) << "the shown mark follows";
    EXPECT_EQ(mark->pixmap(Qt::ReturnByValue).toImage(),
              QPixmap(":/img/public/cuo2.png")
                  .toImage()
                  .convertToFormat(mark->pixmap(Qt::ReturnByValue).toImage().format()));

    // The views report through the window's dialogs: an outline of three points is refused there.
    hawkWidget* other = window->panelView(2)->overlay();
    for (QPoint p : {QPoint(100, 100), QPoint(100, 300), QPoint(400, 300), QPoint(101, 101)})
        QTest::mouseClick(other, Qt::LeftButton, {}, p);
    EXPECT_EQ(lastMessage(), "本软件现阶段仅支持绘制四边形轮廓区域选取！");
    EXPECT_FALSE(window->regionDrawn(2));

    // Out-of-range rows are ignored.
    window->slotPolygon(18, true);
    window->slotPolygon(-1, true);

    // Deleting a row forgets its outline.
    for (QPoint p : {QPoint(100, 100), QPoint(100, 300), QPoint(400, 300), QPoint(400, 100), QPoint(102, 98)})
        QTest::mouseClick(overlay, Qt::LeftButton, {}, p);
    ASSERT_TRUE(window->regionDrawn(1));
    selectRows({1});
    window->slotDeleteCalibration();
    EXPECT_FALSE(window->regionDrawn(1));
    EXPECT_EQ(table->cellWidget(1, 1), nullptr);
}

TEST_F(PanelList, ClickingARowScrollsItsViewToTheTop) {
    add(s_newPanel + s_oldPanel);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QScrollBar* bar = window->findChild<QScrollArea*>("scrollArea")->verticalScrollBar();
    ASSERT_GE(bar->maximum(), 5 * 520);
    const QRect rowRect = table->visualRect(table->model()->index(2, 0));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, rowRect.center());
    EXPECT_EQ(table->currentRow(), 2);
    EXPECT_EQ(bar->value(), 2 * 520);

    // An empty cell (the status column) does not scroll.
    const QRect markRect = table->visualRect(table->model()->index(4, 1));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, markRect.center());
    EXPECT_EQ(bar->value(), 2 * 520);
}

}  // namespace
