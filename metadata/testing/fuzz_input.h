// Shared pieces of the libFuzzer entries: silence the readers' log lines and hand the input to
// readers that take a path.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

inline void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// Installs the silent message handler once; every entry calls it first.
inline void silenceLogs() {
    static const bool installed = (qInstallMessageHandler(quiet), true);
    Q_UNUSED(installed);
}

inline QByteArray bytesOf(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

inline std::vector<std::string>& scratchPaths() {
    static std::vector<std::string> paths;
    return paths;
}

inline void removeScratchFiles() {
    for (const std::string& path : scratchPaths()) std::remove(path.c_str());
}

// One scratch file per process and suffix, rewritten for every input and removed when the fuzzer
// exits normally; empty string when it cannot be written.
inline QString writeScratch(const QByteArray& bytes, const char* suffix) {
    const QString path = QDir::tempPath() + QString("/refl-fuzz-%1%2").arg(getpid()).arg(QLatin1String(suffix));
    const std::string local = QFile::encodeName(path).toStdString();
    if (std::find(scratchPaths().begin(), scratchPaths().end(), local) == scratchPaths().end()) {
        if (scratchPaths().empty()) std::atexit(removeScratchFiles);
        scratchPaths().push_back(local);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return QString();
    if (file.write(bytes) != bytes.size()) return QString();
    file.close();
    return path;
}

}  // namespace
