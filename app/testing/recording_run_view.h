#pragma once

// A run view for tests: records what a run shows instead of showing it.

#include <QCoreApplication>
#include <QMap>
#include <QTimer>
#include <QStringList>
#include <QVector>
#include <functional>

#include "operator_dialogs.h"
#include "run_controller.h"

class RecordingView : public RunView {
public:
    OperatorDialogs& dialogs() override { return recorded; }
    void setPhaseText(const QString& text) override {
        phases << text;
        if (onPhase) onPhase(text);
    }
    void setProgress(int percent) override { progress << percent; }
    void setProgressVisible(bool) override {}
    void setRunControlsEnabled(bool on) override { controlsEnabled = on; }
    void setPanelViewsEnabled(bool on) override { viewsEnabled = on; }
    void setStandardReflectance(int band, double value) override { codeReflectance[band] = value; }
    bool confirmPanelPreviews(const QString& folder, const QStringList& images) override {
        previewFolder = folder;
        previewImages = images;
        return acceptPreviews;
    }

    RecordingDialogs recorded;
    QStringList phases;
    QVector<int> progress;
    bool controlsEnabled = true;
    bool viewsEnabled = true;
    bool acceptPreviews = true;
    QMap<int, double> codeReflectance;
    QString previewFolder;
    QStringList previewImages;
    std::function<void(const QString&)> onPhase;
};


// The application object of a test program that drives runs.
inline QCoreApplication* app() {
    static int argc = 1;
    static char name[] = "run_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance = new QCoreApplication(argc, argv);
    return instance;
}

// Runs the controller until it reports its outcome (or a generous time-out).
inline RunOutcome runToEnd(RunController& controller, const RunRequest& request, std::function<void()> whileRunning = {}) {
    app();
    RunOutcome outcome = RunOutcome::Failed;
    bool done = false;
    QObject::connect(&controller, &RunController::finished, [&](RunOutcome o) {
        outcome = o;
        done = true;
        QCoreApplication::exit(0);
    });
    controller.start(request);
    if (!done) {
        if (whileRunning) QTimer::singleShot(0, whileRunning);
        // A guard that dies with this call, so that it never ends a later test's loop.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(300000);
        QCoreApplication::exec();
    }
    return outcome;
}
