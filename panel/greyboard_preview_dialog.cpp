#include "greyboard_preview_dialog.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QVBoxLayout>

namespace {
constexpr int kColumns = 3;
constexpr int kPreviewWidth = 400;
}  // namespace

GreyBoardPreviewDialog::GreyBoardPreviewDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("灰板识别预览"));
    setMinimumSize(1390, 600);

    auto* layout = new QVBoxLayout(this);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("previewScrollArea"));
    scroll->setWidgetResizable(true);
    auto* content = new QWidget(scroll);
    content->setObjectName(QStringLiteral("previewContent"));
    m_grid = new QGridLayout(content);
    m_grid->setSpacing(10);
    scroll->setWidget(content);
    layout->addWidget(scroll);

    auto* row = new QHBoxLayout();
    m_status = new QLabel(QStringLiteral("共加载0张灰板预览图"), this);
    m_status->setObjectName(QStringLiteral("previewStatus"));
    auto* continueButton = new QPushButton(QStringLiteral("继续"), this);
    continueButton->setObjectName(QStringLiteral("continueButton"));
    continueButton->setMinimumWidth(100);
    auto* stopButton = new QPushButton(QStringLiteral("停止"), this);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    stopButton->setMinimumWidth(100);
    row->addWidget(m_status);
    row->addStretch();
    row->addWidget(continueButton);
    row->addWidget(stopButton);
    layout->addLayout(row);

    connect(continueButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(stopButton, &QPushButton::clicked, this, &QDialog::reject);
}

QString GreyBoardPreviewDialog::statusText() const { return m_status->text(); }

void GreyBoardPreviewDialog::clearCells() {
    for (QWidget* cell : m_cells) {
        m_grid->removeWidget(cell);
        delete cell;
    }
    m_cells.clear();
}

void GreyBoardPreviewDialog::loadPreviews(const QString& folder, const QStringList& panelImages) {
    clearCells();
    const QDir dir(folder);
    if (folder.isEmpty() || !dir.exists()) {
        m_status->setText(QStringLiteral("临时目录不存在: %1").arg(folder));
        return;
    }

    QSet<QString> panelNames;
    for (const QString& path : panelImages) panelNames.insert(QFileInfo(path).fileName().toLower());

    // The name filters ignore letter case, so a preview matching both patterns is listed once.
    const QFileInfoList entries =
        dir.entryInfoList({QStringLiteral("*.PNG"), QStringLiteral("*.png")}, QDir::Files | QDir::Readable);
    for (const QFileInfo& entry : entries) {
        if (!panelNames.contains(entry.completeBaseName().toLower())) continue;
        const QPixmap picture(entry.absoluteFilePath());
        if (picture.isNull()) {
            qDebug() << "Failed to load image:" << entry.absoluteFilePath();
            continue;
        }
        // Cells are numbered among the pictures shown, so a skipped file leaves no hole in the grid.
        const int i = m_cells.size();
        auto* cell = new QWidget();
        cell->setObjectName(QStringLiteral("previewCell"));
        auto* box = new QVBoxLayout(cell);
        box->setSpacing(2);
        box->setContentsMargins(0, 0, 0, 0);
        auto* name = new QLabel(entry.fileName(), cell);
        name->setAlignment(Qt::AlignCenter);
        name->setFixedHeight(30);
        name->setWordWrap(true);
        auto* image = new QLabel(cell);
        image->setAlignment(Qt::AlignCenter);
        image->setPixmap(picture.scaledToWidth(kPreviewWidth, Qt::SmoothTransformation));
        box->addWidget(name);
        box->addWidget(image);
        m_grid->addWidget(cell, i / kColumns, i % kColumns);
        m_cells.append(cell);
    }
    m_status->setText(m_cells.isEmpty() ? QStringLiteral("未找到灰板预览图")
                                        : QStringLiteral("共加载%1张灰板预览图").arg(m_cells.size()));
}
