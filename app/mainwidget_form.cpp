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

// The title bar: logo, window title, minimise and exit.
QHBoxLayout* buildTitleBar(MainWidgetForm& f, QWidget* window) {
    auto* titleBar = new QHBoxLayout();
    titleBar->setSpacing(6);
    titleBar->setContentsMargins(10, 0, 0, 0);
    f.label = make<QLabel>(window, "label");
    fixSize(f.label, 219, 22);
    f.label->setPixmap(QPixmap(QStringLiteral(":/img/login/logo-Login.png")));
    f.label->setScaledContents(true);
    f.label_5 = make<QLabel>(window, "label_5");
    fixHeight(f.label_5, 30);
    f.label_5->setText(QStringLiteral("Quorvin Ref V4.0"));
    QFont titleFont(QStringLiteral("宋体"), 11);
    titleFont.setBold(true);
    titleFont.setWeight(75);
    f.label_5->setFont(titleFont);
    f.label_5->setStyleSheet(QStringLiteral("color: rgb(102,101,101);"));
    f.label_5->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    f.toolButton_9 =
        iconButton(window, "toolButton_9", QStringLiteral(":/img/login/public_min_moren_white.png"));
    f.toolButton = iconButton(window, "toolButton", QStringLiteral(":/img/login/public_close_chufa_b.png"));
    titleBar->addWidget(f.label);
    titleBar->addItem(expandingSpacer());
    titleBar->addWidget(f.label_5);
    titleBar->addItem(expandingSpacer());
    titleBar->addWidget(f.toolButton_9);
    titleBar->addWidget(f.toolButton);
    return titleBar;
}

// One row of the directory pickers: caption, path field, "..." button.
struct DirectoryRow {
    QLabel* MainWidgetForm::*label;
    const char* labelName;
    const char* caption;
    QLineEdit* MainWidgetForm::*edit;
    const char* editName;
    QToolButton* MainWidgetForm::*button;
    const char* buttonName;
};

const DirectoryRow kDirectoryRows[] = {
    {&MainWidgetForm::label_2, "label_2", "原始影像目录", &MainWidgetForm::lineEdit_2, "lineEdit_2",
     &MainWidgetForm::toolButton_2, "toolButton_2"},
    {&MainWidgetForm::label_3, "label_3", "结果存储目录", &MainWidgetForm::lineEdit_3, "lineEdit_3",
     &MainWidgetForm::toolButton_3, "toolButton_3"},
};

QGridLayout* buildDirectoryPickers(MainWidgetForm& f, QWidget* window) {
    auto* dirs = new QGridLayout();
    dirs->setSpacing(6);
    dirs->setContentsMargins(10, 0, 0, 0);
    int row = 0;
    for (const DirectoryRow& r : kDirectoryRows) {
        QLabel* label = textLabel(window, r.labelName, QString::fromUtf8(r.caption), 100, 30);
        QLineEdit* edit = make<QLineEdit>(window, r.editName);
        fixHeight(edit, 30);
        edit->setFont(pointFont(10));
        QToolButton* button = textButton(window, r.buttonName, QStringLiteral("..."), 60, 30, false);
        dirs->addWidget(label, row, 0);
        dirs->addWidget(edit, row, 1);
        dirs->addWidget(button, row, 2);
        f.*r.label = label;
        f.*r.edit = edit;
        f.*r.button = button;
        ++row;
    }
    return dirs;
}

QRadioButton* radio(QWidget* parent, const char* name, const QString& text) {
    QRadioButton* r = make<QRadioButton>(parent, name);
    r->setText(text);
    return r;
}

// Add/delete panel images, then the registration mode and output kind choices.
QHBoxLayout* buildRunOptions(MainWidgetForm& f, QGroupBox* box) {
    auto* buttons = new QHBoxLayout();
    buttons->setSpacing(5);
    f.toolButton_4 = textButton(box, "toolButton_4", QStringLiteral("添加灰板影像"), 130, 30, true);
    f.toolButton_5 = textButton(box, "toolButton_5", QStringLiteral("删除灰板影像"), 130, 30, true);
    f.radioButton_commonCorrectGroup =
        radio(box, "radioButton_commonCorrectGroup", QStringLiteral("通用配准"));
    f.radioButton_everyCorrectGroup = radio(box, "radioButton_everyCorrectGroup", QStringLiteral("独立配准"));
    f.frame_correctRadSeparator = make<QFrame>(box, "frame_correctRadSeparator");
    fixSize(f.frame_correctRadSeparator, 2, 20);
    f.frame_correctRadSeparator->setStyleSheet(QStringLiteral("background-color: #B8B8B8;"));
    f.frame_correctRadSeparator->setFrameShape(QFrame::NoFrame);
    f.radioButton_rad = radio(box, "radioButton_rad", QStringLiteral("辐亮度"));
    f.radioButton_ref = radio(box, "radioButton_ref", QStringLiteral("反射率"));
    buttons->addWidget(f.toolButton_4);
    buttons->addWidget(f.toolButton_5);
    buttons->addItem(expandingSpacer());
    buttons->addWidget(f.radioButton_commonCorrectGroup);
    buttons->addWidget(f.radioButton_everyCorrectGroup);
    buttons->addWidget(f.frame_correctRadSeparator);
    buttons->addWidget(f.radioButton_rad);
    buttons->addWidget(f.radioButton_ref);
    return buttons;
}

// The list of panel images: path column and a narrow status column, no headers.
QTableWidget* buildPanelTable(QGroupBox* box) {
    QTableWidget* table = make<QTableWidget>(box, "tableWidget");
    fixHeight(table, 225);
    table->setMaximumWidth(560);
    table->setColumnCount(2);
    table->setRowCount(18);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->horizontalHeader()->setVisible(false);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setMinimumSectionSize(5);
    table->horizontalHeader()->setDefaultSectionSize(5);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->setMinimumSectionSize(30);
    table->verticalHeader()->setDefaultSectionSize(35);
    table->setColumnWidth(0, 500);
    return table;
}

// One band of the standard-reflectance grid: its caption and its spin box.
struct BandCell {
    QLabel* MainWidgetForm::*label;
    const char* labelName;
    const char* caption;
    QDoubleSpinBox* MainWidgetForm::*spin;
    const char* spinName;
};

const BandCell kBandCells[] = {
    {&MainWidgetForm::label_31, "label_31", "450nm", &MainWidgetForm::doubleSpinBox_1, "doubleSpinBox_1"},
    {&MainWidgetForm::label_32, "label_32", "555nm", &MainWidgetForm::doubleSpinBox_2, "doubleSpinBox_2"},
    {&MainWidgetForm::label_33, "label_33", "660nm", &MainWidgetForm::doubleSpinBox_3, "doubleSpinBox_3"},
    {&MainWidgetForm::label_34, "label_34", "720nm", &MainWidgetForm::doubleSpinBox_4, "doubleSpinBox_4"},
    {&MainWidgetForm::label_35, "label_35", "750nm", &MainWidgetForm::doubleSpinBox_5, "doubleSpinBox_5"},
    {&MainWidgetForm::label_36, "label_36", "840nm", &MainWidgetForm::doubleSpinBox_6, "doubleSpinBox_6"},
};

// The standard reflectances: two grid rows (0 and 2) of three bands each, after a caption column.
QHBoxLayout* buildReflectanceGrid(MainWidgetForm& f, QGroupBox* box) {
    auto* gridRow = new QHBoxLayout();
    f.widget = make<QWidget>(box, "widget");
    fixSize(f.widget, 500, 70);
    f.widget->setMaximumWidth(560);
    auto* grid = new QGridLayout(f.widget);
    grid->setHorizontalSpacing(7);
    grid->setVerticalSpacing(0);
    grid->setContentsMargins(0, 0, 0, 0);
    f.label_4 = textLabel(f.widget, "label_4", QStringLiteral("标准反射率："), 75, 30);
    f.label_7 = textLabel(f.widget, "label_7", QString(), 75, 30);
    grid->addWidget(f.label_4, 0, 0);
    grid->addWidget(f.label_7, 2, 0);
    for (const BandCell& c : kBandCells) f.*c.label = bandLabel(f.widget, c.labelName, c.caption);
    for (const BandCell& c : kBandCells) f.*c.spin = reflectanceSpin(f.widget, c.spinName);
    for (int i = 0; i < 6; ++i) {
        const int row = i < 3 ? 0 : 2;
        const int column = 1 + 2 * (i % 3);
        grid->addWidget(f.*kBandCells[i].label, row, column);
        grid->addWidget(f.*kBandCells[i].spin, row, column + 1);
    }
    gridRow->addWidget(f.widget);
    gridRow->addItem(expandingSpacer());
    return gridRow;
}

// The progress bar and the line naming the current step.
QWidget* buildProgressRow(MainWidgetForm& f, QGroupBox* box) {
    f.widget_2 = make<QWidget>(box, "widget_2");
    fixHeight(f.widget_2, 30);
    auto* progressRow = new QHBoxLayout(f.widget_2);
    progressRow->setSpacing(0);
    progressRow->setContentsMargins(0, 0, 0, 0);
    f.progressBar = make<QProgressBar>(f.widget_2, "progressBar");
    fixHeight(f.progressBar, 20);
    f.progressBar->setRange(0, 100);
    f.progressBar->setValue(0);
    f.progressBar->setEnabled(false);
    f.label_currentProcessContent = textLabel(f.widget_2, "label_currentProcessContent", QString(), 160, 25);
    progressRow->addWidget(f.progressBar);
    progressRow->addWidget(f.label_currentProcessContent);
    return f.widget_2;
}

QHBoxLayout* buildRunButtons(MainWidgetForm& f, QGroupBox* box) {
    auto* runRow = new QHBoxLayout();
    runRow->setSpacing(6);
    f.toolButton_7 = textButton(box, "toolButton_7", QStringLiteral("处理"), 120, 30, true);
    f.toolButton_8 = textButton(box, "toolButton_8", QStringLiteral("取消"), 120, 30, true);
    runRow->addWidget(f.toolButton_7);
    runRow->addWidget(f.toolButton_8);
    return runRow;
}

// The right-hand area where the panel images are shown.
QScrollArea* buildPanelViews(MainWidgetForm& f, QWidget* window) {
    f.scrollArea = make<QScrollArea>(window, "scrollArea");
    f.scrollArea->setMinimumWidth(690);
    f.scrollArea->setMaximumWidth(690);
    f.scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    f.scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    f.scrollArea->setWidgetResizable(true);
    f.scrollAreaWidgetContents = make<QWidget>(nullptr, "scrollAreaWidgetContents");
    f.scrollAreaWidgetContents->setGeometry(0, 0, 688, 539);
    f.scrollArea->setWidget(f.scrollAreaWidgetContents);
    return f.scrollArea;
}

void setUpWindow(QWidget* window) {
    window->setObjectName(QStringLiteral("mainWidget"));
    window->setWindowTitle(QStringLiteral("相机波段配准"));
    window->setWindowModality(Qt::NonModal);
    window->resize(1296, 600);
    window->setMinimumSize(0, 600);
    window->setMaximumSize(16777215, 600);
    window->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

}  // namespace

void MainWidgetForm::setupUi(QWidget* window) {
    setUpWindow(window);
    auto* outer = new QVBoxLayout(window);
    outer->setSpacing(15);
    outer->setContentsMargins(5, 5, 5, 5);
    outer->addLayout(buildTitleBar(*this, window));

    auto* body = new QHBoxLayout();
    body->setSpacing(6);
    auto* left = new QVBoxLayout();
    left->setSpacing(6);
    left->addLayout(buildDirectoryPickers(*this, window));

    // The run controls, framed.
    groupBox = make<QGroupBox>(window, "groupBox");
    groupBox->setTitle(QString());
    groupBox->setCheckable(false);
    auto* box = new QVBoxLayout(groupBox);
    box->setSpacing(10);
    box->setContentsMargins(10, 10, 10, 10);
    box->addLayout(buildRunOptions(*this, groupBox));
    tableWidget = buildPanelTable(groupBox);
    box->addWidget(tableWidget);
    box->addLayout(buildReflectanceGrid(*this, groupBox));
    box->addWidget(buildProgressRow(*this, groupBox));
    box->addLayout(buildRunButtons(*this, groupBox));
    left->addWidget(groupBox);
    body->addLayout(left);

    body->addWidget(buildPanelViews(*this, window));
    outer->addLayout(body);
}
