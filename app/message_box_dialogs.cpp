#include "message_box_dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

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
