#include "bad_input_support.h"

#include <tiffio.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtEndian>
#include <vector>

namespace badinput {

BatchResult runBatch(const QStringList& args, const QString& logDir, int timeoutMs) {
    BatchResult r;
    QProcess p;
    p.setProgram(QStringLiteral(REFL_BATCH_EXE));
    p.setArguments(args + QStringList{"--log-dir", logDir});
    QElapsedTimer clock;
    clock.start();
    p.start();
    if (!p.waitForStarted(20000)) return r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(10000);
    }
    r.seconds = clock.elapsed() / 1000.0;
    r.status = p.exitStatus();
    r.code = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    QDirIterator it(logDir, {"log_*.txt"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) r.log += QString::fromUtf8(readAll(it.next()));
    return r;
}

QString sampleFlight(const QString& name, const QStringList& args) {
    const QFileInfo program(QStringLiteral(REFL_SAMPLE_EXE));
    const QString key = QString("%1-%2").arg(program.lastModified().toMSecsSinceEpoch()).arg(program.size());
    const QString cache = QDir::current().absoluteFilePath("flights");
    const QString target = cache + "/" + name + "-" + key;
    if (QFileInfo::exists(target + "/truth.json")) return target;
    QDir().mkpath(cache);
    // Generated aside and renamed into place, so that test processes running side by side never
    // see a half-made flight.
    const QString scratch =
        cache + QString("/.making-%1-%2").arg(name).arg(QCoreApplication::applicationPid());
    QDir(scratch).removeRecursively();
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program.absoluteFilePath(), QStringList{scratch} + args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QDir(scratch).removeRecursively();
        return QString();
    }
    if (!QDir().rename(scratch, target)) QDir(scratch).removeRecursively();
    // Flights of earlier generator builds are of no further use.
    for (const QString& old : QDir(cache).entryList({name + "-*"}, QDir::Dirs | QDir::NoDotAndDotDot))
        if (cache + "/" + old != target) QDir(cache + "/" + old).removeRecursively();
    return QFileInfo::exists(target + "/truth.json") ? target : QString();
}

bool copyTree(const QString& from, const QString& to) {
    if (!QDir().mkpath(to)) return false;
    const QFileInfoList entries = QDir(from).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot |
                                                           QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& e : entries) {
        const QString dest = to + "/" + e.fileName();
        if (e.isDir()) {
            if (!copyTree(e.absoluteFilePath(), dest)) return false;
        } else if (!QFile::copy(e.absoluteFilePath(), dest)) {
            return false;
        }
    }
    return true;
}

QMap<QString, QByteArray> checksums(const QString& root, const QString& skip) {
    QMap<QString, QByteArray> out;
    const QString skipPrefix = skip.isEmpty() ? QString() : QDir(skip).absolutePath() + "/";
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!skipPrefix.isEmpty() && QFileInfo(path).absoluteFilePath().startsWith(skipPrefix)) continue;
        QFile f(path);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (f.open(QIODevice::ReadOnly)) hash.addData(&f);
        out.insert(QDir(root).relativeFilePath(path), hash.result().toHex());
    }
    return out;
}

QString tiffProblem(const QString& path) {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tif) return "libtiff cannot open it";
    QString problem;
    if (TIFFIsTiled(tif)) {
        std::vector<unsigned char> buffer(static_cast<size_t>(TIFFTileSize(tif)));
        for (ttile_t t = 0; t < TIFFNumberOfTiles(tif) && problem.isEmpty(); ++t)
            if (TIFFReadEncodedTile(tif, t, buffer.data(), tmsize_t(buffer.size())) < 0)
                problem = QString("tile %1 does not read").arg(t);
    } else {
        std::vector<unsigned char> buffer(static_cast<size_t>(TIFFStripSize(tif)));
        const tstrip_t strips = TIFFNumberOfStrips(tif);
        if (strips == 0) problem = "no strips";
        for (tstrip_t s = 0; s < strips && problem.isEmpty(); ++s)
            if (TIFFReadEncodedStrip(tif, s, buffer.data(), tmsize_t(buffer.size())) < 0)
                problem = QString("strip %1 does not read").arg(s);
    }
    TIFFClose(tif);
    return problem;
}

QStringList outputProblems(const QString& root) {
    QStringList problems;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QFileInfo(path).fileName();
        // Beside the images: the run report and the registration's quality figures.
        if (name == "report.html" || name == "registration_quality.csv") continue;
        if (name.startsWith('.') || !name.endsWith(".tif")) {
            problems << path + ": not a final output name (left-over temporary file?)";
            continue;
        }
        const QString problem = tiffProblem(path);
        if (!problem.isEmpty()) problems << path + ": " + problem;
    }
    return problems;
}

quint32 le32At(const QByteArray& bytes, qint64 offset) {
    if (offset < 0 || offset + 4 > bytes.size()) return 0;
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(bytes.constData() + offset));
}

void putLe32(QByteArray& bytes, qint64 offset, quint32 value) {
    if (offset < 0 || offset + 4 > bytes.size()) return;
    qToLittleEndian<quint32>(value, reinterpret_cast<uchar*>(bytes.data() + offset));
}

qint64 ifdEntryOffset(const QByteArray& tiff, quint16 tag) {
    const qint64 ifd = le32At(tiff, 4);
    if (ifd + 2 > tiff.size()) return -1;
    const int count = qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(tiff.constData() + ifd));
    for (int i = 0; i < count; ++i) {
        const qint64 e = ifd + 2 + 12 * i;
        if (e + 12 > tiff.size()) return -1;
        if (qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(tiff.constData() + e)) == tag) return e;
    }
    return -1;
}

quint32 ifdValue(const QByteArray& tiff, quint16 tag) {
    const qint64 e = ifdEntryOffset(tiff, tag);
    return e < 0 ? 0 : le32At(tiff, e + 8);
}

bool setIfdValue(QByteArray& tiff, quint16 tag, quint32 value) {
    const qint64 e = ifdEntryOffset(tiff, tag);
    if (e < 0) return false;
    putLe32(tiff, e + 8, value);
    return true;
}

bool replaceSameLength(QByteArray& bytes, const QByteArray& from, const QByteArray& to) {
    const int at = bytes.indexOf(from);
    if (at < 0 || to.size() > from.size()) return false;
    bytes.replace(at, from.size(), to + QByteArray(from.size() - to.size(), ' '));
    return true;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool mountTmpfs(const QString& dir, int sizeKb, bool readOnly) {
    if (QStandardPaths::findExecutable("mount").isEmpty()) return false;
    QDir().mkpath(dir);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("mount", {"-t", "tmpfs", "-o", QString("%1size=%2k").arg(readOnly ? "ro," : "").arg(sizeKb),
                      "tmpfs", dir});
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

void unmount(const QString& dir) {
    QProcess p;
    p.start("umount", {"-l", dir});
    p.waitForFinished(20000);
}

}  // namespace badinput
