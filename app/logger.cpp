#include "logger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

// Shared between the logger and the message handler; the handler takes no lock (each line is
// written by a single call per stream, which the C library keeps whole).
QString g_logFilePath;
FILE* g_logFile = nullptr;
bool g_echo = true;

const char* formatFor(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "[%s][D]: %s \t\n";
    case QtWarningMsg:
        return "[%s][W]: %s \t(%s:%u, %s)\n";
    case QtCriticalMsg:
        return "[%s][E]: %s \t(%s:%u, %s)\n";
    case QtFatalMsg:
        return "[%s][F]: %s \t(%s:%u, %s)\n";
    case QtInfoMsg:
        return "[%s][I]: %s \t(%s:%u, %s)\n";
    }
    return nullptr;
}

// Formats one whole line so that it reaches each stream in one write.
QByteArray formatLine(const char* format, const QByteArray& stamp, const QByteArray& text,
                      const QMessageLogContext& context) {
    const char* file = context.file ? context.file : "";
    const char* function = context.function ? context.function : "";
    const unsigned line = context.line > 0 ? static_cast<unsigned>(context.line) : 0u;
    const int needed = std::snprintf(nullptr, 0, format, stamp.constData(), text.constData(), file, line,
                                     function);
    if (needed < 0) return QByteArray();
    QByteArray out(needed + 1, '\0');
    std::snprintf(out.data(), out.size(), format, stamp.constData(), text.constData(), file, line, function);
    out.chop(1);
    return out;
}

}  // namespace

Logger::Logger(const QString& path) : m_path(path) {}

Logger::~Logger() {
    if (g_logFile) {
        std::fclose(g_logFile);
        g_logFile = nullptr;
    }
}

void Logger::install(const QString& path) {
    if (path.isEmpty()) {
        openDefaultLogFile();
        m_path = g_logFilePath;
        qInstallMessageHandler(logMessageHandler);
        return;
    }
    m_path = path;
    g_logFilePath = path;
    if (!g_logFile) {
        g_logFile = std::fopen(QFile::encodeName(path).constData(), "a");
        if (!g_logFile) {
            std::fprintf(stderr, "cann't open log file: %s\n", QFile::encodeName(path).constData());
            return;
        }
    }
    qInstallMessageHandler(logMessageHandler);
}

void Logger::installUnder(const QString& logRoot) {
    openDefaultLogFile(logRoot);
    m_path = g_logFilePath;
    qInstallMessageHandler(logMessageHandler);
}

void openDefaultLogFile(const QString& logRoot) {
    QString dir = logRoot + "/" + QDateTime::currentDateTime().toString("yyyy-MM") + "/";
    if (!QDir(dir).exists() && !QDir().mkpath(dir)) {
        std::fprintf(stderr, "Failed to create log directory, using default path ./\n");
        dir = QStringLiteral("./");
    }
    g_logFilePath = dir + "log_" + QDateTime::currentDateTime().toString("yyyy-MM-dd_hh-mm-ss") + ".txt";
    if (g_logFile) {
        std::fclose(g_logFile);
        g_logFile = nullptr;
    }
    const QByteArray encoded = QFile::encodeName(g_logFilePath);
    g_logFile = std::fopen(encoded.constData(), "w");
    if (!g_logFile) std::fprintf(stderr, "cann't open log file: %s\n", encoded.constData());
}

QString currentLogFilePath() { return g_logFilePath; }

void setLogEcho(bool echo) { g_echo = echo; }

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    FILE* file = g_logFile;
    if (!file) {
        std::fputs("log file is NULL", stderr);
        return;
    }
    const char* format = formatFor(type);
    if (format) {
        const QByteArray stamp =
            QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toLocal8Bit();
        const QByteArray line = formatLine(format, stamp, message.toLocal8Bit(), context);
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), file);
        if (g_echo) std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    }
    std::fflush(file);
    if (g_echo) std::fflush(stdout);
}
