#include "message_box_dialogs.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "greyboard_preview_dialog.h"

void MessageBoxDialogs::message(Kind kind, const QString& title, const QString& text, bool parented) {
    QWidget* parent = parented ? m_window : nullptr;
    if (kind == Kind::Warning) {
        QMessageBox::warning(parent, title, text);
    } else {
        QMessageBox::information(parent, title, text);
    }
}

QString MessageBoxDialogs::chooseDirectory(const QString& caption, const QString& startDirectory) {
    return QFileDialog::getExistingDirectory(m_window, caption, startDirectory, QFileDialog::ShowDirsOnly);
}

QStringList MessageBoxDialogs::chooseFiles(const QString& caption, const QString& startDirectory) {
    return QFileDialog::getOpenFileNames(m_window, caption, startDirectory);
}

bool MessageBoxDialogs::confirmPanelPreviews(const QString& folder, const QStringList& panelImages) {
    GreyBoardPreviewDialog dialog(m_window);
    dialog.loadPreviews(folder, panelImages);
    return dialog.exec() == QDialog::Accepted;
}

bool MessageBoxDialogs::offerReport(const QString& reportPath) {
    const QString text = QStringLiteral("本次运行的报告已生成：\n%1\n\n是否在浏览器中打开？")
                             .arg(QDir::toNativeSeparators(reportPath));
    if (QMessageBox::question(m_window, QStringLiteral("运行报告"), text, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::Yes) != QMessageBox::Yes)
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(reportPath));
}
