#pragma once

// A run view for tests: records what a run shows instead of showing it.

#include <QMap>
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

