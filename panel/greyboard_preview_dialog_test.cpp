#include "greyboard_preview_dialog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

void writePng(const QString& path, int width = 200, int height = 150) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(90, 140, 60));
    ASSERT_TRUE(image.save(path, "PNG")) << path.toStdString();
}

// The file name shown in a cell of the grid.
QString cellName(QGridLayout* grid, int row, int column) {
    QLayoutItem* item = grid->itemAtPosition(row, column);
    if (!item || !item->widget()) return QString();
    const QList<QLabel*> labels = item->widget()->findChildren<QLabel*>();
    for (QLabel* label : labels)
        if (!label->text().isEmpty()) return label->text();
    return QString();
}

TEST(GreyBoardPreviewDialog, StartsEmptyWithItsTitleAndButtons) {
    GreyBoardPreviewDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), "灰板识别预览");
    EXPECT_EQ(dialog.minimumSize(), QSize(1390, 600));
    EXPECT_EQ(dialog.statusText(), "共加载0张灰板预览图");
    EXPECT_EQ(dialog.grid()->spacing(), 10);
    auto* go = dialog.findChild<QPushButton*>("continueButton");
    auto* stop = dialog.findChild<QPushButton*>("stopButton");
    ASSERT_TRUE(go && stop);
    EXPECT_EQ(go->text(), "继续");
    EXPECT_EQ(stop->text(), "停止");
    EXPECT_EQ(go->minimumWidth(), 100);
}

TEST(GreyBoardPreviewDialog, SevenPreviewsFillThreeRowsThreeThreeOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList panels;
    for (int b = 1; b <= 7; ++b) {
        const QString name = QString("IMG_0000_%1_450nm.tif").arg(b);
        panels << QString("/raw/panel/") + name;
        writePng(dir.filePath(name + ".png"));
    }
    // Not panel images of this selection: never shown.
    writePng(dir.filePath("IMG_0005_1_450nm.tif.png"));
    writePng(dir.filePath("notes.png"));
    QFile(dir.filePath("IMG_0000_1_450nm.tif.txt")).open(QIODevice::WriteOnly);

    GreyBoardPreviewDialog dialog;
    dialog.loadPreviews(dir.path(), panels);
    EXPECT_EQ(dialog.previewCount(), 7);
    EXPECT_EQ(dialog.statusText(), "共加载7张灰板预览图");
    QGridLayout* grid = dialog.grid();
    EXPECT_EQ(grid->rowCount(), 3);
    EXPECT_EQ(cellName(grid, 0, 0), "IMG_0000_1_450nm.tif.png");
    EXPECT_EQ(cellName(grid, 0, 2), "IMG_0000_3_450nm.tif.png");
    EXPECT_EQ(cellName(grid, 1, 0), "IMG_0000_4_450nm.tif.png");
    EXPECT_EQ(cellName(grid, 1, 2), "IMG_0000_6_450nm.tif.png");
    EXPECT_EQ(cellName(grid, 2, 0), "IMG_0000_7_450nm.tif.png");
    EXPECT_TRUE(cellName(grid, 2, 1).isEmpty());
    EXPECT_TRUE(cellName(grid, 2, 2).isEmpty());

    // Pictures are scaled to a width of 400.
    QLayoutItem* first = grid->itemAtPosition(0, 0);
    int pictures = 0;
    for (QLabel* label : first->widget()->findChildren<QLabel*>()) {
        const QPixmap pixmap = label->pixmap(Qt::ReturnByValue);
        if (pixmap.isNull()) continue;
        EXPECT_EQ(pixmap.width(), 400);
        EXPECT_EQ(pixmap.height(), 300);
        ++pictures;
    }
    EXPECT_EQ(pictures, 1);

    // Loading again replaces the cells instead of adding to them.
    dialog.loadPreviews(dir.path(), panels.mid(0, 2));
    EXPECT_EQ(dialog.previewCount(), 2);
    EXPECT_EQ(dialog.findChildren<QWidget*>("previewCell").size(), 2);
    EXPECT_EQ(dialog.statusText(), "共加载2张灰板预览图");
}

TEST(GreyBoardPreviewDialog, MatchesNamesWithoutRegardToCaseAndSkipsBrokenPictures) {
    QTemporaryDir dir;
    writePng(dir.filePath("img_0009_01_greyboard_450nm.tif.PNG"));
    QFile broken(dir.filePath("IMG_0009_02_greyboard_555nm.tif.png"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not a picture");
    broken.close();
    writePng(dir.filePath("IMG_0009_03_greyboard_660nm.tif.png"));

    GreyBoardPreviewDialog dialog;
    dialog.loadPreviews(dir.path(),
                        {"C:/x/IMG_0009_01_GREYBOARD_450nm.TIF", "/y/IMG_0009_02_greyboard_555nm.tif",
                         "/y/IMG_0009_03_greyboard_660nm.tif"});
    EXPECT_EQ(dialog.previewCount(), 2);
    // The broken one leaves no hole.
    EXPECT_FALSE(cellName(dialog.grid(), 0, 0).isEmpty());
    EXPECT_EQ(cellName(dialog.grid(), 0, 1), "IMG_0009_03_greyboard_660nm.tif.png");
}

TEST(GreyBoardPreviewDialog, MissingFolderAndNoPreviewsHaveTheirTexts) {
    GreyBoardPreviewDialog dialog;
    dialog.loadPreviews("/nonexistent/temp_greyboard", {"a.tif"});
    EXPECT_EQ(dialog.statusText(), "临时目录不存在: /nonexistent/temp_greyboard");
    EXPECT_EQ(dialog.previewCount(), 0);

    QTemporaryDir dir;
    writePng(dir.filePath("other.tif.png"));
    dialog.loadPreviews(dir.path(), {"a.tif"});
    EXPECT_EQ(dialog.statusText(), "未找到灰板预览图");
}

TEST(GreyBoardPreviewDialog, ContinueAcceptsAndStopRejects) {
    for (const char* button : {"continueButton", "stopButton"}) {
        GreyBoardPreviewDialog dialog;
        QTimer::singleShot(0, &dialog, [&dialog, button] {
            QTest::mouseClick(dialog.findChild<QPushButton*>(button), Qt::LeftButton);
        });
        const int answer = dialog.exec();
        EXPECT_EQ(answer, QString(button) == "continueButton" ? QDialog::Accepted : QDialog::Rejected);
    }
}

}  // namespace
