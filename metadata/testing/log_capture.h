#pragma once

// Collects the program's log messages while it lives, so tests can check the lines they expect.

#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture {
public:
    LogCapture() {
        lines().clear();
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

    const QStringList& messages() const { return lines(); }
    bool contains(const QString& fragment) const {
        for (const QString& line : lines())
            if (line.contains(fragment)) return true;
        return false;
    }
    QString all() const { return lines().join('\n'); }

private:
    static QStringList& lines() {
        static QStringList store;
        return store;
    }
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message) { lines().append(message); }

    QtMessageHandler m_previous = nullptr;
};
