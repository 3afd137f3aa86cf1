#include "mainwidget.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDebug>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "imagewidget.h"
#include "message_box_dialogs.h"

using namespace refl;

namespace {

const QString kCheckMark = QString(QChar(0x221A));
const QString kCrossMark = QString(QChar(0x00D7));

QPixmap markPixmap(const QString& mark) {
    return QPixmap(mark == kCheckMark ? QStringLiteral(":/img/public/dui2.png")
                                      : QStringLiteral(":/img/public/cuo2.png"));
}

}  // namespace

mainWidget::mainWidget(QWidget* parent, std::unique_ptr<OperatorDialogs> dialogs)
    : QWidget(parent),
      m_dialogs(dialogs ? std::move(dialogs) : std::make_unique<MessageBoxDialogs>(this)),
      m_standardReflectance(6, 0.61),
      m_workingReflectance(6, 0.6),
      m_regionDrawn(18, false),
      m_panelViews(18, nullptr) {
    ui.setupUi(this);

    // The calibration-result map travels in queued signals; its meta types are registered here
    // together with the record once the calibration subsystem provides it.
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
    setMouseTracking(true);

    connect(ui.toolButton, SIGNAL(clicked(bool)), this, SLOT(soltExitApp()));
    connect(ui.toolButton_2, SIGNAL(clicked(bool)), this, SLOT(slotOriginalFile()));
    connect(ui.toolButton_3, SIGNAL(clicked(bool)), this, SLOT(slotRegistrationFile()));
    connect(ui.toolButton_4, SIGNAL(clicked(bool)), this, SLOT(slotAddCalibration()));
    connect(ui.toolButton_5, SIGNAL(clicked(bool)), this, SLOT(slotDeleteCalibration()));
    connect(ui.toolButton_7, SIGNAL(clicked(bool)), this, SLOT(slotStartRegistration()));
    connect(ui.toolButton_8, SIGNAL(clicked(bool)), this, SLOT(slotStopRegistration()));
    connect(ui.toolButton_9, SIGNAL(clicked()), this, SLOT(soltMinimized()));
    connect(ui.doubleSpinBox_1, SIGNAL(valueChanged(double)), this, SLOT(slotOnSpinChanged1(double)));
    connect(ui.doubleSpinBox_2, SIGNAL(valueChanged(double)), this, SLOT(slotOnSpinChanged2(double)));
    connect(ui.doubleSpinBox_3, SIGNAL(valueChanged(double)), this, SLOT(slotOnSpinChanged3(double)));
    connect(ui.doubleSpinBox_4, SIGNAL(valueChanged(double)), this, SLOT(slotOnSpinChanged4(double)));
    connect(ui.doubleSpinBox_5, SIGNAL(valueChanged(double)), this, SLOT(slotOnSpinChanged5(double)));
    connect(ui.doubleSpinBox_6, SIGNAL(valueChanged(double)), this, SLOT(slotOnSpinChanged6(double)));
    connect(ui.tableWidget, SIGNAL(itemClicked(QTableWidgetItem*)), this,
            SLOT(slotOnItemClicked(QTableWidgetItem*)));

    for (int row = 0; row < 6; ++row) ui.tableWidget->setRowHeight(row, 35);
    ui.tableWidget->resize(535, 215);
    ui.tableWidget->setColumnWidth(0, 500);
    ui.progressBar->hide();

    new QVBoxLayout(ui.scrollAreaWidgetContents);

    m_bandLabels = {ui.label_31, ui.label_32, ui.label_33, ui.label_34, ui.label_35, ui.label_36};
    m_bandSpins = {ui.doubleSpinBox_1, ui.doubleSpinBox_2, ui.doubleSpinBox_3,
                   ui.doubleSpinBox_4, ui.doubleSpinBox_5, ui.doubleSpinBox_6};
    for (QDoubleSpinBox* spin : m_bandSpins) spin->setValue(0.61);

    QRadioButton* radios[] = {ui.radioButton_everyCorrectGroup, ui.radioButton_commonCorrectGroup,
                              ui.radioButton_rad, ui.radioButton_ref};
    for (QRadioButton* radio : radios) radio->setAutoExclusive(false);
    auto* registrationGroup = new QButtonGroup(this);
    registrationGroup->setExclusive(true);
    registrationGroup->addButton(ui.radioButton_everyCorrectGroup);
    registrationGroup->addButton(ui.radioButton_commonCorrectGroup);
    ui.radioButton_commonCorrectGroup->setChecked(true);
    auto* outputGroup = new QButtonGroup(this);
    outputGroup->setExclusive(true);
    outputGroup->addButton(ui.radioButton_rad);
    outputGroup->addButton(ui.radioButton_ref);
    ui.radioButton_ref->setChecked(true);

    ui.tableWidget->verticalScrollBar()->setRange(0, 100);
    m_run = std::make_unique<RunController>(*this);
    // Every run that started writes its report; the window offers to open it once the run is over.
    connect(
        m_run.get(), &RunController::finished, this,
        [this](RunOutcome outcome) {
            if (outcome != RunOutcome::Refused && !m_run->reportPath().isEmpty())
                m_dialogs->offerReport(m_run->reportPath());
        },
        Qt::QueuedConnection);
}

mainWidget::~mainWidget() { stopWorkerThreads(); }

void mainWidget::setTableCell(int row, int column, const QString& text) {
    if (row < 0 || row >= ui.tableWidget->rowCount()) return;
    if (column == 0) {
        QTableWidgetItem* item = ui.tableWidget->item(row, 0);
        if (!item) {
            item = new QTableWidgetItem();
            item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            item->setFont(QFont(QStringLiteral("Arial"), 9));
            item->setFlags(item->flags() & ~Qt::ItemIsEditable);
            ui.tableWidget->setItem(row, 0, item);
        }
        item->setText(text);
        return;
    }
    if (column != 1) return;
    QTableWidgetItem* item = ui.tableWidget->item(row, 1);
    if (item) {
        // An existing mark only changes its icon, and the label drawn over the cell follows it (else
        // a cleared outline would go on showing "√").
        if (text == kCheckMark || text == kCrossMark) {
            item->setIcon(QIcon(markPixmap(text)));
            if (auto* mark = qobject_cast<QLabel*>(ui.tableWidget->cellWidget(row, 1))) {
                mark->setPixmap(markPixmap(text));
                mark->setProperty("mark", text);
            }
        }
        return;
    }
    item = new QTableWidgetItem(QString());
    item->setTextAlignment(Qt::AlignCenter);
    QFont font(QStringLiteral("Arial"), 18);
    font.setBold(true);
    item->setFont(font);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    ui.tableWidget->setItem(row, 1, item);
    auto* mark = new QLabel();
    mark->setObjectName(QStringLiteral("statusMark"));
    mark->setAlignment(Qt::AlignCenter);
    mark->setPixmap(markPixmap(text));
    mark->setProperty("mark", text == kCheckMark ? kCheckMark : kCrossMark);
    ui.tableWidget->setCellWidget(row, 1, mark);
}

void mainWidget::setRunControlsEnabled(bool on) {
    for (QDoubleSpinBox* spin : m_bandSpins) spin->setEnabled(on);
    ui.toolButton_4->setEnabled(on);
    ui.toolButton_5->setEnabled(on);
    ui.radioButton_everyCorrectGroup->setEnabled(on);
    ui.radioButton_commonCorrectGroup->setEnabled(on);
    ui.radioButton_rad->setEnabled(on);
    ui.radioButton_ref->setEnabled(on);
}

void mainWidget::showBusyMessage() {
    m_dialogs->information(QStringLiteral("提示"), QStringLiteral("正在处理中，请勿进行其它操作！"), false);
}

void mainWidget::slotOriginalFile() {
    if (isRunInProgress()) {
        showBusyMessage();
        return;
    }
    m_rawDirectory.clear();
    ui.lineEdit_2->clear();
    const QString chosen = m_dialogs->chooseDirectory(QStringLiteral("原始影像目录"), defaultChooserDirectory());
    if (chosen.isEmpty()) return;
    ui.lineEdit_2->setText(chosen);
    if (!QDir(chosen).exists()) return;
    openRawDirectory(chosen);
}

void mainWidget::openRawDirectory(const QString& directory) {
    ui.lineEdit_2->setText(directory);
    m_rawDirectory = directory;
    RawScanResult scan = scanRawDirectory(directory, *m_dialogs);
    const int previousBandCount = m_bandCount;
    m_scan = scan;
    m_fileCursor = 0;

    const bool tifRun = m_scan.kind == ImageKind::Tif;
    ui.toolButton_4->setEnabled(tifRun);
    ui.toolButton_5->setEnabled(tifRun);
    ui.tableWidget->setEnabled(tifRun);
    setRunControlsEnabled(tifRun);

    if (m_scan.groups.isEmpty()) {
        m_bandCount = previousBandCount;
        return;
    }
    m_bandCount = m_scan.bandCount;
    applyScanToBandRow();
    noticeIfTooFewImages(m_scan, *m_dialogs);
}

void mainWidget::applyScanToBandRow() {
    for (int i = 0; i < 6; ++i) {
        const bool shown = i < m_bandCount && i < m_scan.firstGroupLabels.size();
        if (shown) m_bandLabels[i]->setText(m_scan.firstGroupLabels.at(i));
        m_bandLabels[i]->setVisible(shown);
        m_bandSpins[i]->setVisible(shown);
    }
}

void mainWidget::slotRegistrationFile() {
    if (isRunInProgress()) {
        showBusyMessage();
        return;
    }
    m_resultDirectory.clear();
    ui.lineEdit_3->clear();
    const QString chosen = m_dialogs->chooseDirectory(QStringLiteral("结果存储目录"), defaultChooserDirectory());
    if (chosen.isEmpty()) return;
    ui.lineEdit_3->setText(chosen);
    m_resultDirectory = chosen;
    qDebug() << "The handled file output path:" << chosen;
}

void mainWidget::slotOnSpinChanged1(double value) { m_standardReflectance[0] = value; }
void mainWidget::slotOnSpinChanged2(double value) { m_standardReflectance[1] = value; }
void mainWidget::slotOnSpinChanged3(double value) { m_standardReflectance[2] = value; }
void mainWidget::slotOnSpinChanged4(double value) { m_standardReflectance[3] = value; }
void mainWidget::slotOnSpinChanged5(double value) { m_standardReflectance[4] = value; }
void mainWidget::slotOnSpinChanged6(double value) { m_standardReflectance[5] = value; }

void mainWidget::stopWorkerThreads() {
    // The self-calibration and registration threads belong to the run; stopping the run stops
    // them and waits for them.
    if (m_run && (m_run->isCalibrating() || m_run->isRegistering())) m_run->stop();
}

void mainWidget::soltExitApp() {
    stopWorkerThreads();
    if (!isRunInProgress()) {
        QCoreApplication::exit(0);
        return;
    }
    m_dialogs->warning(QStringLiteral("!"), QStringLiteral("Do not close the app when the project is running!"),
                       true);
}

void mainWidget::soltMinimized() { showMinimized(); }

void mainWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_pressPosition = event->pos();
        m_dragging = true;
    }
    QWidget::mousePressEvent(event);
}

void mainWidget::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging) move(pos() - m_pressPosition + event->pos());
    QWidget::mouseMoveEvent(event);
}

void mainWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) m_dragging = false;
    QWidget::mouseReleaseEvent(event);
}

void mainWidget::slotStartRegistration() {
    RunRequest request;
    request.scan = m_scan;
    request.rawDirectory = ui.lineEdit_2->text();
    request.resultDirectory = ui.lineEdit_3->text();
    request.reflectance = ui.radioButton_ref->isChecked();
    request.registration = ui.radioButton_everyCorrectGroup->isChecked() ? RegistrationMode::PerGroup
                                                                         : RegistrationMode::Common;
    for (int i = 0; i < 6; ++i) request.standardReflectance[size_t(i)] = m_standardReflectance.value(i);
    // The panel images are the table's rows in order; an empty first row means none.
    const QTableWidgetItem* first = ui.tableWidget->item(0, 0);
    if (first && !first->text().isEmpty()) {
        request.panelImages = m_panelImages;
        request.panelBandLabels = m_panelBandLabels;
        for (int i = 0; i < m_panelImages.size(); ++i) {
            request.regionDrawn << m_regionDrawn.value(i, false);
            imageWidget* view = panelView(i);
            request.outlines << (view ? view->polygonPoints() : QStringList());
        }
    }
    m_run->start(request);
}

void mainWidget::slotStopRegistration() { m_run->stop(); }

void mainWidget::slotReceiveCount() { m_run->slotReceiveCount(); }

void mainWidget::setPhaseText(const QString& text) { ui.label_currentProcessContent->setText(text); }

void mainWidget::setProgress(int percent) { ui.progressBar->setValue(percent); }

void mainWidget::setProgressVisible(bool visible) { ui.progressBar->setVisible(visible); }

void mainWidget::setPanelViewsEnabled(bool enabled) {
    for (QWidget* view : m_panelViews)
        if (view) view->setEnabled(enabled);
}

void mainWidget::setStandardReflectance(int band, double value) {
    if (band >= 0 && band < m_bandSpins.size()) m_bandSpins[band]->setValue(value);
}

bool mainWidget::confirmPanelPreviews(const QString& folder, const QStringList& panelImages) {
    return m_dialogs->confirmPanelPreviews(folder, panelImages);
}
