// The panel-image list of the main window: adding and deleting panel images, one view per table
// row, the status mark that follows the drawn outline, and scrolling to the view of a clicked row.
#include <QDebug>
#include <QFileInfo>
#include <QLayout>
#include <QLineEdit>
#include <QMap>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "imagewidget.h"
#include "mainwidget.h"
#include "panel_selection.h"

using namespace refl;

namespace {

const QString kCheckMark = QString(QChar(0x221A));
const QString kCrossMark = QString(QChar(0x00D7));
constexpr int kPanelViewPitch = 520;  // height of one view in the scroll area

}  // namespace

imageWidget* mainWidget::panelView(int row) const {
    return qobject_cast<imageWidget*>(m_panelViews.value(row, nullptr));
}

void mainWidget::slotOnItemClicked(QTableWidgetItem* item) {
    if (!item || item->text().isEmpty()) return;
    ui.scrollArea->verticalScrollBar()->setValue(ui.tableWidget->currentRow() * kPanelViewPitch);
}

void mainWidget::slotPolygon(int index, bool flag) {
    if (index < 0 || index >= m_regionDrawn.size()) {
        qDebug() << "slotPolygon: no table row" << index;
        return;
    }
    m_regionDrawn[index] = flag;
    setTableCell(index, 1, flag ? kCheckMark : kCrossMark);
}

void mainWidget::createPanelView(int row) {
    if (row < 0 || row >= m_panelViews.size() || m_panelViews[row]) return;
    auto* view = new imageWidget(this, m_panelCamera.width, m_panelCamera.height, m_dialogs.get());
    connect(view, SIGNAL(signalPolygon(int, bool)), this, SLOT(slotPolygon(int, bool)));
    m_panelViews[row] = view;
    auto* layout = qobject_cast<QVBoxLayout*>(ui.scrollAreaWidgetContents->layout());
    if (layout) layout->insertWidget(std::min(row, layout->count()), view);
    const QTableWidgetItem* item = ui.tableWidget->item(row, 0);
    view->loadImage(item ? item->text() : QString(), row);
}

void mainWidget::deletePanelRows(const QList<int>& rows) {
    QLayout* layout = ui.scrollAreaWidgetContents->layout();
    for (int row : rows) {
        if (QTableWidgetItem* item = ui.tableWidget->item(row, 0)) item->setText(QString());
        ui.tableWidget->removeCellWidget(row, 1);
        QWidget* view = m_panelViews.value(row, nullptr);
        if (view) {
            if (layout) {
                layout->removeWidget(view);
                layout->update();
            }
            view->hide();
            view->deleteLater();
            m_panelViews[row] = nullptr;
        }
        // The outline went with the view; a run must not look for it any more.
        if (row >= 0 && row < m_regionDrawn.size()) m_regionDrawn[row] = false;
    }
}

void mainWidget::slotDeleteCalibration() {
    if (isRunInProgress()) {
        showBusyMessage();
        return;
    }
    QList<int> rows;
    for (const QTableWidgetItem* item : ui.tableWidget->selectedItems())
        if (!rows.contains(item->row())) rows.append(item->row());
    deletePanelRows(rows);
}

void mainWidget::slotAddCalibration() {
    m_panelGeometry.clear();
    if (isRunInProgress()) {
        showBusyMessage();
        return;
    }
    if (ui.lineEdit_2->text().isEmpty()) {
        m_dialogs->information(QStringLiteral("提示"), QStringLiteral("请选择原始影像路径！"), false);
        return;
    }
    const QStringList files = m_dialogs->chooseFiles(QStringLiteral("选择灰板影像"), m_rawDirectory);
    if (files.isEmpty()) return;
    if (m_bandCount <= 0) {
        // Without a band count from the raw directory no selection can be checked.
        qDebug() << "slotAddCalibration: the raw-image directory gave no band count";
        m_dialogs->information(QStringLiteral("提示"),
                               QStringLiteral("原始影像目录中未找到分组信息，无法添加灰板影像！"), false);
        return;
    }

    const int rowCount = ui.tableWidget->rowCount();
    const QString problem = panelSelectionProblem(files, m_bandCount, std::min(rowCount, int(m_regionDrawn.size())));
    if (!problem.isEmpty()) {
        qDebug() << "slotAddCalibration: refused" << files.size() << "panel images:" << problem;
        m_dialogs->information(QStringLiteral("提示"), problem, false);
        return;
    }

    ui.tableWidget->selectAll();
    QList<int> allRows;
    for (int row = 0; row < rowCount; ++row) allRows << row;
    deletePanelRows(allRows);
    ui.tableWidget->clearContents();
    m_panelBandLabels.clear();

    qDebug() << "The hawk board are included:" << files.size();
    QList<int> freeRows;
    for (int row = 0; row < files.size(); ++row) {
        const QTableWidgetItem* item = ui.tableWidget->item(row, 0);
        if (!item || item->text().isEmpty()) freeRows << row;
    }
    qDebug() << "free rows:" << freeRows;

    m_panelCamera = PanelCameraInfo();
    if (!freeRows.isEmpty() && freeRows.size() >= files.size()) {
        for (int i = 0; i < files.size(); ++i) {
            const QString& path = files.at(i);
            readImageKeyExif(path, m_panelCamera);
            setTableCell(freeRows.at(i), 0, path);
            createPanelView(freeRows.at(i));
            qDebug() << "The hawk board:" << path;
            const QString name = QFileInfo(path).fileName();
            const QString label = bandLabelFromFileName(name);
            if (name.contains(QLatin1String("greyboard"))) {
                qDebug() << "have contained greyboard" << name << label;
            } else {
                qDebug() << "have no contain greyboard" << name << label;
            }
            m_panelBandLabels << label;
        }
    } else {
        for (int i = 0; i < files.size(); ++i) {
            readImageKeyExif(files.at(i), m_panelCamera);
            setTableCell(i, 0, files.at(i));
            createPanelView(i);
        }
    }

    ui.tableWidget->selectRow(0);
    m_panelGroupCount = files.size() / m_bandCount;
    qDebug() << "slotAddCalibration" << m_panelGroupCount << m_bandCount << m_panelBandLabels << m_bandCount;

    // The run reads the panel images and builds the vignetting maps itself, when it starts.
    judgeCameraTypeChannelCount(m_panelCamera);
    m_panelImages = files;
}
