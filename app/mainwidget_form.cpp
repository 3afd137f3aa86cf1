#include "mainwidget_form.h"

#include <QDoubleSpinBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpacerItem>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QFont pointFont(int points) {
    QFont font;
    font.setPointSize(points);
    return font;
}

template <typename W>
W* make(QWidget* parent, const char* name) {
    W* w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

void fixSize(QWidget* w, int width, int height) {
    w->setMinimumSize(width, height);
    w->setMaximumSize(width, height);
}

void fixHeight(QWidget* w, int height) {
    w->setMinimumHeight(height);
    w->setMaximumHeight(height);
}

QSpacerItem* expandingSpacer() { return new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum); }

QLabel* textLabel(QWidget* parent, const char* name, const QString& text, int width, int height) {
    QLabel* l = make<QLabel>(parent, name);
    l->setText(text);
    fixSize(l, width, height);
    l->setFont(pointFont(10));
    return l;
}

QToolButton* textButton(QWidget* parent, const char* name, const QString& text, int width, int height,
                        bool tenPoint) {
    QToolButton* b = make<QToolButton>(parent, name);
    b->setText(text);
    fixSize(b, width, height);
    if (tenPoint) b->setFont(pointFont(10));
    return b;
}

QToolButton* iconButton(QWidget* parent, const char* name, const QString& icon) {
    QToolButton* b = make<QToolButton>(parent, name);
    fixSize(b, 30, 30);
    b->setIcon(QIcon(icon));
    b->setIconSize(QSize(30, 30));
    b->setAutoRaise(true);
    return b;
}

QDoubleSpinBox* reflectanceSpin(QWidget* parent, const char* name) {
    QDoubleSpinBox* s = make<QDoubleSpinBox>(parent, name);
    fixSize(s, 90, 30);
    s->setFont(pointFont(10));
    s->setMinimum(0.0);
    s->setMaximum(999999999.99);
    s->setDecimals(2);
    s->setSingleStep(0.01);
    s->setValue(0.61);
    return s;
}

QLabel* bandLabel(QWidget* parent, const char* name, const char* text) {
    QLabel* l = textLabel(parent, name, QString::fromLatin1(text), 39, 30);
    // Fonts on Linux desktops are wider than the Windows ones the sizes were chosen for: let the
    // labels grow a little rather than clip "450nm".
    l->setMaximumWidth(52);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return l;
}

}  // namespace

void MainWidgetForm::setupUi(QWidget* window) {
    window->setObjectName(QStringLiteral("mainWidget"));
    window->setWindowTitle(QStringLiteral("相机波段配准"));
    window->setWindowModality(Qt::NonModal);
    window->resize(1296, 600);
    window->setMinimumSize(0, 600);
    window->setMaximumSize(16777215, 600);
    window->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);

    auto* outer = new QVBoxLayout(window);
    outer->setSpacing(15);
    outer->setContentsMargins(5, 5, 5, 5);

    // Title bar.
    auto* titleBar = new QHBoxLayout();
    titleBar->setSpacing(6);
    titleBar->setContentsMargins(10, 0, 0, 0);
    label = make<QLabel>(window, "label");
    fixSize(label, 219, 22);
    label->setPixmap(QPixmap(QStringLiteral(":/img/login/logo-Login.png")));
    label->setScaledContents(true);
    label_5 = make<QLabel>(window, "label_5");
    fixHeight(label_5, 30);
    label_5->setText(QStringLiteral("Quorvin Ref V4.0"));
    QFont titleFont(QStringLiteral("宋体"), 11);
    titleFont.setBold(true);
    titleFont.setWeight(75);
    label_5->setFont(titleFont);
    label_5->setStyleSheet(QStringLiteral("color: rgb(102,101,101);"));
    label_5->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    toolButton_9 = iconButton(window, "toolButton_9", QStringLiteral(":/img/login/public_min_moren_white.png"));
    toolButton = iconButton(window, "toolButton", QStringLiteral(":/img/login/public_close_chufa_b.png"));
    titleBar->addWidget(label);
    titleBar->addItem(expandingSpacer());
    titleBar->addWidget(label_5);
    titleBar->addItem(expandingSpacer());
    titleBar->addWidget(toolButton_9);
    titleBar->addWidget(toolButton);
    outer->addLayout(titleBar);

    auto* body = new QHBoxLayout();
    body->setSpacing(6);
    auto* left = new QVBoxLayout();
    left->setSpacing(6);

    // Directory pickers.
    auto* dirs = new QGridLayout();
    dirs->setSpacing(6);
    dirs->setContentsMargins(10, 0, 0, 0);
    label_2 = textLabel(window, "label_2", QStringLiteral("原始影像目录"), 100, 30);
    lineEdit_2 = make<QLineEdit>(window, "lineEdit_2");
    fixHeight(lineEdit_2, 30);
    lineEdit_2->setFont(pointFont(10));
    toolButton_2 = textButton(window, "toolButton_2", QStringLiteral("..."), 60, 30, false);
    label_3 = textLabel(window, "label_3", QStringLiteral("结果存储目录"), 100, 30);
    lineEdit_3 = make<QLineEdit>(window, "lineEdit_3");
    fixHeight(lineEdit_3, 30);
    lineEdit_3->setFont(pointFont(10));
    toolButton_3 = textButton(window, "toolButton_3", QStringLiteral("..."), 60, 30, false);
    dirs->addWidget(label_2, 0, 0);
    dirs->addWidget(lineEdit_2, 0, 1);
    dirs->addWidget(toolButton_2, 0, 2);
    dirs->addWidget(label_3, 1, 0);
    dirs->addWidget(lineEdit_3, 1, 1);
    dirs->addWidget(toolButton_3, 1, 2);
    left->addLayout(dirs);

    // Run controls.
    groupBox = make<QGroupBox>(window, "groupBox");
    groupBox->setTitle(QString());
    groupBox->setCheckable(false);
    auto* box = new QVBoxLayout(groupBox);
    box->setSpacing(10);
    box->setContentsMargins(10, 10, 10, 10);

    auto* buttons = new QHBoxLayout();
    buttons->setSpacing(5);
    toolButton_4 = textButton(groupBox, "toolButton_4", QStringLiteral("添加灰板影像"), 130, 30, true);
    toolButton_5 = textButton(groupBox, "toolButton_5", QStringLiteral("删除灰板影像"), 130, 30, true);
    radioButton_commonCorrectGroup = make<QRadioButton>(groupBox, "radioButton_commonCorrectGroup");
    radioButton_commonCorrectGroup->setText(QStringLiteral("通用配准"));
    radioButton_everyCorrectGroup = make<QRadioButton>(groupBox, "radioButton_everyCorrectGroup");
    radioButton_everyCorrectGroup->setText(QStringLiteral("独立配准"));
    frame_correctRadSeparator = make<QFrame>(groupBox, "frame_correctRadSeparator");
    fixSize(frame_correctRadSeparator, 2, 20);
    frame_correctRadSeparator->setStyleSheet(QStringLiteral("background-color: #B8B8B8;"));
    frame_correctRadSeparator->setFrameShape(QFrame::NoFrame);
    radioButton_rad = make<QRadioButton>(groupBox, "radioButton_rad");
    radioButton_rad->setText(QStringLiteral("辐亮度"));
    radioButton_ref = make<QRadioButton>(groupBox, "radioButton_ref");
    radioButton_ref->setText(QStringLiteral("反射率"));
    buttons->addWidget(toolButton_4);
    buttons->addWidget(toolButton_5);
    buttons->addItem(expandingSpacer());
    buttons->addWidget(radioButton_commonCorrectGroup);
    buttons->addWidget(radioButton_everyCorrectGroup);
    buttons->addWidget(frame_correctRadSeparator);
    buttons->addWidget(radioButton_rad);
    buttons->addWidget(radioButton_ref);
    box->addLayout(buttons);

    tableWidget = make<QTableWidget>(groupBox, "tableWidget");
    fixHeight(tableWidget, 225);
    tableWidget->setMaximumWidth(560);
    tableWidget->setColumnCount(2);
    tableWidget->setRowCount(18);
    tableWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableWidget->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableWidget->horizontalHeader()->setVisible(false);
    tableWidget->verticalHeader()->setVisible(false);
    tableWidget->horizontalHeader()->setMinimumSectionSize(5);
    tableWidget->horizontalHeader()->setDefaultSectionSize(5);
    tableWidget->horizontalHeader()->setStretchLastSection(true);
    tableWidget->verticalHeader()->setMinimumSectionSize(30);
    tableWidget->verticalHeader()->setDefaultSectionSize(35);
    tableWidget->setColumnWidth(0, 500);
    box->addWidget(tableWidget);

    auto* gridRow = new QHBoxLayout();
    widget = make<QWidget>(groupBox, "widget");
    fixSize(widget, 500, 70);
    widget->setMaximumWidth(560);
    auto* grid = new QGridLayout(widget);
    grid->setHorizontalSpacing(7);
    grid->setVerticalSpacing(0);
    grid->setContentsMargins(0, 0, 0, 0);
    label_4 = textLabel(widget, "label_4", QStringLiteral("标准反射率："), 75, 30);
    label_7 = textLabel(widget, "label_7", QString(), 75, 30);
    label_31 = bandLabel(widget, "label_31", "450nm");
    label_32 = bandLabel(widget, "label_32", "555nm");
    label_33 = bandLabel(widget, "label_33", "660nm");
    label_34 = bandLabel(widget, "label_34", "720nm");
    label_35 = bandLabel(widget, "label_35", "750nm");
    label_36 = bandLabel(widget, "label_36", "840nm");
    doubleSpinBox_1 = reflectanceSpin(widget, "doubleSpinBox_1");
    doubleSpinBox_2 = reflectanceSpin(widget, "doubleSpinBox_2");
    doubleSpinBox_3 = reflectanceSpin(widget, "doubleSpinBox_3");
    doubleSpinBox_4 = reflectanceSpin(widget, "doubleSpinBox_4");
    doubleSpinBox_5 = reflectanceSpin(widget, "doubleSpinBox_5");
    doubleSpinBox_6 = reflectanceSpin(widget, "doubleSpinBox_6");
    QWidget* row0[] = {label_4, label_31, doubleSpinBox_1, label_32, doubleSpinBox_2, label_33, doubleSpinBox_3};
    QWidget* row2[] = {label_7, label_34, doubleSpinBox_4, label_35, doubleSpinBox_5, label_36, doubleSpinBox_6};
    for (int c = 0; c < 7; ++c) {
        grid->addWidget(row0[c], 0, c);
        grid->addWidget(row2[c], 2, c);
    }
    gridRow->addWidget(widget);
    gridRow->addItem(expandingSpacer());
    box->addLayout(gridRow);

    widget_2 = make<QWidget>(groupBox, "widget_2");
    fixHeight(widget_2, 30);
    auto* progressRow = new QHBoxLayout(widget_2);
    progressRow->setSpacing(0);
    progressRow->setContentsMargins(0, 0, 0, 0);
    progressBar = make<QProgressBar>(widget_2, "progressBar");
    fixHeight(progressBar, 20);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setEnabled(false);
    label_currentProcessContent = textLabel(widget_2, "label_currentProcessContent", QString(), 160, 25);
    progressRow->addWidget(progressBar);
    progressRow->addWidget(label_currentProcessContent);
    box->addWidget(widget_2);

    auto* runRow = new QHBoxLayout();
    runRow->setSpacing(6);
    toolButton_7 = textButton(groupBox, "toolButton_7", QStringLiteral("处理"), 120, 30, true);
    toolButton_8 = textButton(groupBox, "toolButton_8", QStringLiteral("取消"), 120, 30, true);
    runRow->addWidget(toolButton_7);
    runRow->addWidget(toolButton_8);
    box->addLayout(runRow);

    left->addWidget(groupBox);
    body->addLayout(left);

    // Panel-image views.
    scrollArea = make<QScrollArea>(window, "scrollArea");
    scrollArea->setMinimumWidth(690);
    scrollArea->setMaximumWidth(690);
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->setWidgetResizable(true);
    scrollAreaWidgetContents = make<QWidget>(nullptr, "scrollAreaWidgetContents");
    scrollAreaWidgetContents->setGeometry(0, 0, 688, 539);
    scrollArea->setWidget(scrollAreaWidgetContents);
    body->addWidget(scrollArea);

    outer->addLayout(body);
}
