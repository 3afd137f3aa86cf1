#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// Everything the program asks of the operator through modal dialogs. The window implements it
// with QMessageBox and QFileDialog; tests and the batch command put their own in its place so
// that no dialog ever blocks them.
class OperatorDialogs {
public:
    enum class Kind { Information, Warning };

    virtual ~OperatorDialogs() = default;

    // A modal box with one OK button. `parented` tells whether the box belongs to the main
    // window or stands alone (the window keeps both kinds of boxes apart).
    virtual void message(Kind kind, const QString& title, const QString& text, bool parented) = 0;

    // A directories-only chooser; returns the empty text when nothing was chosen.
    virtual QString chooseDirectory(const QString& caption, const QString& startDirectory) = 0;

    // A chooser of several existing files (no filter); empty when nothing was chosen.
    virtual QStringList chooseFiles(const QString& caption, const QString& startDirectory) = 0;

    // Shows the previews of automatically recognised panels; false when the operator stops the run.
    virtual bool confirmPanelPreviews(const QString& folder, const QStringList& panelImages) = 0;

    // At the end of a run: offers to open its report (report.html) in the browser. True when it was
    // opened. Without a display nothing is offered.
    virtual bool offerReport(const QString& reportPath) {
        (void)reportPath;
        return false;
    }

    void information(const QString& title, const QString& text, bool parented = false) {
        message(Kind::Information, title, text, parented);
    }
    void warning(const QString& title, const QString& text, bool parented = true) {
        message(Kind::Warning, title, text, parented);
    }
};

// Records every message instead of showing it and answers directory choosers from a queue.
class RecordingDialogs : public OperatorDialogs {
public:
    struct Message {
        Kind kind;
        QString title;
        QString text;
        bool parented;
    };

    void message(Kind kind, const QString& title, const QString& text, bool parented) override {
        messages.push_back({kind, title, text, parented});
    }
    QString chooseDirectory(const QString& caption, const QString& startDirectory) override {
        chooserCaptions.push_back(caption);
        chooserStarts.push_back(startDirectory);
        return directoryAnswers.isEmpty() ? QString() : directoryAnswers.takeFirst();
    }
    bool confirmPanelPreviews(const QString& folder, const QStringList& panelImages) override {
        previewFolders.push_back(folder);
        previewImages = panelImages;
        return acceptPreviews;
    }
    QStringList chooseFiles(const QString& caption, const QString& startDirectory) override {
        chooserCaptions.push_back(caption);
        chooserStarts.push_back(startDirectory);
        return fileAnswers.isEmpty() ? QStringList() : fileAnswers.takeFirst();
    }

    bool offerReport(const QString& reportPath) override {
        offeredReports.push_back(reportPath);
        return false;
    }

    QVector<Message> messages;
    QStringList offeredReports;
    QStringList directoryAnswers;
    QList<QStringList> fileAnswers;
    bool acceptPreviews = true;
    QStringList previewFolders;
    QStringList previewImages;
    QStringList chooserCaptions;
    QStringList chooserStarts;
};

// The start folder of every directory chooser: the root of drive C on Windows, home elsewhere.
QString defaultChooserDirectory();
