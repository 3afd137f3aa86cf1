#pragma once

#include <QString>
#include <cstdio>

#include "operator_dialogs.h"
#include "run_controller.h"

// Message boxes of a run without a display: "TITLE: TEXT" lines on standard error.
class StderrDialogs : public OperatorDialogs {
public:
    void message(Kind kind, const QString& title, const QString& text, bool parented) override;
    QString chooseDirectory(const QString&, const QString&) override { return QString(); }
    QStringList chooseFiles(const QString&, const QString&) override { return QStringList(); }
    bool confirmPanelPreviews(const QString&, const QStringList&) override { return true; }

    int warnings = 0;
};

// Progress of a run as lines on standard error, one per change.
class BatchRunView : public RunView {
public:
    OperatorDialogs& dialogs() override { return m_dialogs; }
    void setPhaseText(const QString& text) override;
    void setProgress(int percent) override;
    void setProgressVisible(bool) override {}
    void setRunControlsEnabled(bool) override {}
    void setPanelViewsEnabled(bool) override {}
    void setStandardReflectance(int band, double value) override;
    bool confirmPanelPreviews(const QString& folder, const QStringList& panelImages) override;

    StderrDialogs& stderrDialogs() { return m_dialogs; }

private:
    StderrDialogs m_dialogs;
    QString m_phase;
    int m_percent = -1;
};
