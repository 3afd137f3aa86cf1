#include "mainwidget.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

using namespace refl;

namespace {

// Builds a window whose dialogs are recorded; `dialogs` stays valid while the window lives.
struct Fixture {
    Fixture() {
        auto recording = std::make_unique<RecordingDialogs>();
        dialogs = recording.get();
        window = std::make_unique<mainWidget>(nullptr, std::move(recording));
    }
    template <typename T>
    T* child(const char* name) const {
        T* w = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    RecordingDialogs* dialogs = nullptr;
    std::unique_ptr<mainWidget> window;
};

void writeCapture(const QString& folder, const QString& key, int bands) {
    const char* labels[] = {"450nm", "555nm", "660nm", "720nm", "750nm", "840nm"};
    QDir().mkpath(folder);
    for (int b = 0; b < bands; ++b) {
        QFile f(folder + QString("/IMG_%1_%2_%3.tif").arg(key).arg(b + 1).arg(labels[b]));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
}

TEST(MainWidget, StartsWithTheDocumentedControls) {
    Fixture f;
    mainWidget& w = *f.window;
    EXPECT_EQ(w.objectName(), "mainWidget");
    EXPECT_EQ(w.windowTitle(), "相机波段配准");
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.minimumHeight(), 600);
    EXPECT_EQ(w.maximumHeight(), 600);
    EXPECT_EQ(w.height(), 600);

    EXPECT_EQ(f.child<QLabel>("label_5")->text(), "Quorvin Ref V4.0");
    EXPECT_FALSE(f.child<QLabel>("label")->pixmap(Qt::ReturnByValue).isNull()) << "logo resource missing";
    EXPECT_FALSE(f.child<QToolButton>("toolButton")->icon().isNull());
    EXPECT_EQ(f.child<QLabel>("label_2")->text(), "原始影像目录");
    EXPECT_EQ(f.child<QLabel>("label_3")->text(), "结果存储目录");
    EXPECT_EQ(f.child<QToolButton>("toolButton_4")->text(), "添加灰板影像");
    EXPECT_EQ(f.child<QToolButton>("toolButton_5")->text(), "删除灰板影像");
    EXPECT_EQ(f.child<QToolButton>("toolButton_7")->text(), "处理");
    EXPECT_EQ(f.child<QToolButton>("toolButton_8")->text(), "取消");
    EXPECT_EQ(f.child<QLabel>("label_4")->text(), "标准反射率：");

    EXPECT_TRUE(f.child<QRadioButton>("radioButton_commonCorrectGroup")->isChecked());
    EXPECT_FALSE(f.child<QRadioButton>("radioButton_everyCorrectGroup")->isChecked());
    EXPECT_TRUE(f.child<QRadioButton>("radioButton_ref")->isChecked());
    EXPECT_FALSE(f.child<QRadioButton>("radioButton_rad")->isChecked());
    // The two pairs are exclusive within themselves only.
    f.child<QRadioButton>("radioButton_rad")->click();
    EXPECT_TRUE(f.child<QRadioButton>("radioButton_rad")->isChecked());
    EXPECT_FALSE(f.child<QRadioButton>("radioButton_ref")->isChecked());
    EXPECT_TRUE(f.child<QRadioButton>("radioButton_commonCorrectGroup")->isChecked());

    const char* labels[] = {"label_31", "label_32", "label_33", "label_34", "label_35", "label_36"};
    const char* texts[] = {"450nm", "555nm", "660nm", "720nm", "750nm", "840nm"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(f.child<QLabel>(labels[i])->text(), texts[i]);
        auto* spin = f.child<QDoubleSpinBox>(QString("doubleSpinBox_%1").arg(i + 1).toLatin1().constData());
        EXPECT_DOUBLE_EQ(spin->value(), 0.61);
        EXPECT_EQ(spin->decimals(), 2);
        EXPECT_DOUBLE_EQ(spin->maximum(), 999999999.99);
        EXPECT_DOUBLE_EQ(w.standardReflectance(i), 0.61);
    }
    auto* table = f.child<QTableWidget>("tableWidget");
    EXPECT_EQ(table->columnCount(), 2);
    EXPECT_EQ(table->rowCount(), 18);
    EXPECT_EQ(table->columnWidth(0), 500);
    EXPECT_EQ(table->rowHeight(0), 35);
    EXPECT_TRUE(f.child<QProgressBar>("progressBar")->isHidden());
    EXPECT_FALSE(w.isRunInProgress());
}

TEST(MainWidget, SpinBoxesAcceptValuesAboveOne) {
    Fixture f;
    f.child<QDoubleSpinBox>("doubleSpinBox_4")->setValue(1.5);
    EXPECT_DOUBLE_EQ(f.window->standardReflectance(3), 1.5);
    EXPECT_DOUBLE_EQ(f.window->standardReflectance(2), 0.61);
}

TEST(MainWidget, ExitIsRefusedDuringARunAndQuitsWithZeroOtherwise) {
    Fixture f;
    f.window->setRunInProgress(true);
    f.child<QToolButton>("toolButton")->click();
    ASSERT_EQ(f.dialogs->messages.size(), 1);
    EXPECT_EQ(f.dialogs->messages[0].kind, OperatorDialogs::Kind::Warning);
    EXPECT_EQ(f.dialogs->messages[0].title, "!");
    EXPECT_EQ(f.dialogs->messages[0].text, "Do not close the app when the project is running!");

    f.window->setRunInProgress(false);
    QTimer::singleShot(0, f.child<QToolButton>("toolButton"), &QToolButton::click);
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(7); });
    watchdog.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(f.dialogs->messages.size(), 1);
}

TEST(MainWidget, ChoosingARawDirectoryLabelsTheBandRow) {
    QTemporaryDir dir;
    for (const char* key : {"0000", "0001", "0002"}) writeCapture(dir.path(), key, 5);
    Fixture f;
    f.dialogs->directoryAnswers << dir.path();
    f.child<QToolButton>("toolButton_2")->click();
    EXPECT_EQ(f.dialogs->chooserCaptions, QStringList({"原始影像目录"}));
#ifndef Q_OS_WIN
    EXPECT_EQ(f.dialogs->chooserStarts, QStringList({QDir::homePath()}));
#endif
    EXPECT_EQ(f.child<QLineEdit>("lineEdit_2")->text(), dir.path());
    EXPECT_EQ(f.window->bandCount(), 5);
    EXPECT_EQ(f.window->rawScan().totalCount, 15);
    EXPECT_EQ(f.child<QLabel>("label_35")->text(), "750nm");
    EXPECT_FALSE(f.child<QLabel>("label_35")->isHidden());
    EXPECT_TRUE(f.child<QLabel>("label_36")->isHidden());
    EXPECT_TRUE(f.child<QDoubleSpinBox>("doubleSpinBox_6")->isHidden());
    EXPECT_TRUE(f.child<QToolButton>("toolButton_4")->isEnabled());
    EXPECT_TRUE(f.dialogs->messages.isEmpty());
}

TEST(MainWidget, JpgDirectoryGreysOutThePanelControls) {
    QTemporaryDir dir;
    for (int i = 0; i < 5; ++i) {
        QFile f(dir.path() + QString("/DJI_%1_1.jpg").arg(i, 4, 10, QChar('0')));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    Fixture f;
    f.window->openRawDirectory(dir.path());
    EXPECT_FALSE(f.child<QToolButton>("toolButton_4")->isEnabled());
    EXPECT_FALSE(f.child<QTableWidget>("tableWidget")->isEnabled());
    EXPECT_FALSE(f.child<QRadioButton>("radioButton_ref")->isEnabled());
    EXPECT_FALSE(f.child<QDoubleSpinBox>("doubleSpinBox_1")->isEnabled());
    EXPECT_TRUE(f.child<QToolButton>("toolButton_7")->isEnabled());
}

TEST(MainWidget, DirectoryChoicesAreRefusedWhileARunIsInProgress) {
    Fixture f;
    f.child<QLineEdit>("lineEdit_3")->setText("/kept");
    f.window->setRunInProgress(true);
    f.dialogs->directoryAnswers << "/tmp" << "/tmp";
    f.child<QToolButton>("toolButton_2")->click();
    f.child<QToolButton>("toolButton_3")->click();
    ASSERT_EQ(f.dialogs->messages.size(), 2);
    for (const auto& m : f.dialogs->messages) {
        EXPECT_EQ(m.title, "提示");
        EXPECT_EQ(m.text, "正在处理中，请勿进行其它操作！");
        EXPECT_FALSE(m.parented);
    }
    EXPECT_TRUE(f.dialogs->chooserCaptions.isEmpty());
    EXPECT_EQ(f.child<QLineEdit>("lineEdit_3")->text(), "/kept");
}

TEST(MainWidget, ResultDirectoryChoice) {
    Fixture f;
    f.dialogs->directoryAnswers << "/data/out";
    f.child<QToolButton>("toolButton_3")->click();
    EXPECT_EQ(f.dialogs->chooserCaptions, QStringList({"结果存储目录"}));
    EXPECT_EQ(f.window->resultDirectory(), "/data/out");
    EXPECT_EQ(f.child<QLineEdit>("lineEdit_3")->text(), "/data/out");
    // Cancelling the chooser clears the previous choice.
    f.child<QToolButton>("toolButton_3")->click();
    EXPECT_EQ(f.window->resultDirectory(), "");
}

TEST(MainWidget, TableCellsHoldPathsAndStatusMarks) {
    Fixture f;
    auto* table = f.child<QTableWidget>("tableWidget");
    f.window->setTableCell(0, 0, "/flight/IMG_0000_1_450nm.tif");
    ASSERT_NE(table->item(0, 0), nullptr);
    EXPECT_EQ(table->item(0, 0)->text(), "/flight/IMG_0000_1_450nm.tif");
    EXPECT_FALSE(table->item(0, 0)->flags() & Qt::ItemIsEditable);
    f.window->setTableCell(0, 0, "/other.tif");
    EXPECT_EQ(table->item(0, 0)->text(), "/other.tif");

    f.window->setTableCell(0, 1, QString(QChar(0x221A)));
    auto* mark = qobject_cast<QLabel*>(table->cellWidget(0, 1));
    ASSERT_NE(mark, nullptr);
    EXPECT_FALSE(mark->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(table->item(0, 1)->text(), "");
    f.window->setTableCell(0, 1, QString(QChar(0x00D7)));
    EXPECT_FALSE(table->item(0, 1)->icon().isNull());
    // Out-of-range rows are ignored.
    f.window->setTableCell(40, 0, "x");
}

TEST(MainWidget, RunControlsAreGreyedOutTogether) {
    Fixture f;
    f.window->setRunControlsEnabled(false);
    for (const char* name : {"toolButton_4", "toolButton_5"}) EXPECT_FALSE(f.child<QToolButton>(name)->isEnabled());
    for (const char* name : {"radioButton_commonCorrectGroup", "radioButton_everyCorrectGroup", "radioButton_rad",
                             "radioButton_ref"})
        EXPECT_FALSE(f.child<QRadioButton>(name)->isEnabled());
    EXPECT_FALSE(f.child<QDoubleSpinBox>("doubleSpinBox_6")->isEnabled());
    EXPECT_TRUE(f.child<QToolButton>("toolButton_7")->isEnabled());
    EXPECT_TRUE(f.child<QToolButton>("toolButton_8")->isEnabled());
    EXPECT_TRUE(f.child<QToolButton>("toolButton_2")->isEnabled());
    f.window->setRunControlsEnabled(true);
    EXPECT_TRUE(f.child<QRadioButton>("radioButton_ref")->isEnabled());
}

}  // namespace
