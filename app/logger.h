#pragma once

#include <QString>
#include <QtGlobal>

// File logger for the whole program. Every Qt message (the program itself only emits debug
// messages) goes to a dated log file under ./log/<yyyy-MM>/ and to standard output, one line per
// message, flushed at once so that the log survives a crash of the processing code.
class Logger {
public:
    explicit Logger(const QString& path = QString());
    ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Empty path: open a fresh default log file. Otherwise append to the given file.
    void install(const QString& path);
    // A fresh dated log file under another log folder than ./log.
    void installUnder(const QString& logRoot);

    QString path() const { return m_path; }

private:
    QString m_path;
};

// Creates <logRoot>/<yyyy-MM>/ (./log by default) if needed and opens a new
// log_<yyyy-MM-dd_hh-mm-ss>.txt in it.
void openDefaultLogFile(const QString& logRoot = QStringLiteral("./log"));

// Whether log lines are also echoed on standard output (on by default). The batch command turns it
// off: its standard output carries only its own summary.
void setLogEcho(bool echo);

// Path of the log file currently in use (empty before the first install).
QString currentLogFilePath();

// The function handed to qInstallMessageHandler.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);
