#pragma once

#include "operator_dialogs.h"

class QWidget;

// Real modal dialogs: QMessageBox with one OK button and QFileDialog for directories.
class MessageBoxDialogs : public OperatorDialogs {
public:
    explicit MessageBoxDialogs(QWidget* window) : m_window(window) {}

    void message(Kind kind, const QString& title, const QString& text, bool parented) override;
    QString chooseDirectory(const QString& caption, const QString& startDirectory) override;
    QStringList chooseFiles(const QString& caption, const QString& startDirectory) override;
    bool confirmPanelPreviews(const QString& folder, const QStringList& panelImages) override;
    bool offerReport(const QString& reportPath) override;

private:
    QWidget* m_window;
};
