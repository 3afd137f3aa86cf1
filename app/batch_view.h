#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <cstdio>

#include "operator_dialogs.h"
#include "run_controller.h"

// The one updating progress line of a run on a terminal: phase, percentage, a bar, elapsed time
// and an estimate of what remains. Other output clears it first and it is drawn again after.
class TerminalProgressLine {
public:
    explicit TerminalProgressLine(FILE* stream) : m_stream(stream) {}
    void update(const QString& phase, int percent);
    void redraw();
    // Removes the line (before other output); the next update draws it again.
    void clear();
    // Leaves the last state on its own line.
    void finish();
    // The line as drawn, without the terminal controls (for tests).
    QString text(int width) const;

private:
    FILE* m_stream;
    QString m_phase;
    int m_percent = -1;
    bool m_drawn = false;
    QElapsedTimer m_run;
    QElapsedTimer m_phaseClock;  // since the phase's progress last started from a low value
    int m_phaseStartPercent = 0;
};

// Message boxes of a run without a display: "TITLE: TEXT" lines on standard error.
class StderrDialogs : public OperatorDialogs {
public:
    void message(Kind kind, const QString& title, const QString& text, bool parented) override;
    QString chooseDirectory(const QString&, const QString&) override { return QString(); }
    QStringList chooseFiles(const QString&, const QString&) override { return QStringList(); }
    bool confirmPanelPreviews(const QString&, const QStringList&) override { return true; }

    int warnings = 0;
    TerminalProgressLine* progressLine = nullptr;  // cleared before each message when set
};

// Progress of a run on standard error: one updating line when it is a terminal, else one
// "progress: N% PHASE" line per change.
class BatchRunView : public RunView {
public:
    BatchRunView();
    OperatorDialogs& dialogs() override { return m_dialogs; }
    void setPhaseText(const QString& text) override;
    void setProgress(int percent) override;
    void setProgressVisible(bool) override {}
    void setRunControlsEnabled(bool) override {}
    void setPanelViewsEnabled(bool) override {}
    void setStandardReflectance(int band, double value) override;
    bool confirmPanelPreviews(const QString& folder, const QStringList& panelImages) override;

    StderrDialogs& stderrDialogs() { return m_dialogs; }
    // Writes a line of its own on standard error (clearing the progress line first).
    void say(const QString& text);
    // Ends the progress line (the terminal keeps its last state).
    void finishProgress();
    bool onTerminal() const { return m_terminal; }

private:
    StderrDialogs m_dialogs;
    QString m_phase;
    int m_percent = -1;
    bool m_terminal = false;
    TerminalProgressLine m_line{stderr};
    QTimer m_tick;  // redraws the elapsed time while a long step runs
};
