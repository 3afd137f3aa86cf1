#include "capture_shards.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include "image_registration_thread.h"

using namespace refl;

bool parseCaptureShard(const QString& text, CaptureShard& shard, QString& problem) {
    const QRegularExpressionMatch m =
        QRegularExpression("^\\s*(\\d{1,9})\\s*/\\s*(\\d{1,9})\\s*$").match(text);
    if (!m.hasMatch()) {
        problem = QString("--shard takes I/N (shard I of N, counted from 0), not \"%1\"").arg(text);
        return false;
    }
    const int i = m.captured(1).toInt(), n = m.captured(2).toInt();
    if (n < 1 || i >= n) {
        problem = QString("--shard %1: the shard index must be 0 ... N-1 (here 0 ... %2) and N at least 1")
                      .arg(text)
                      .arg(n - 1);
        return false;
    }
    shard.index = i;
    shard.count = n;
    return true;
}

FlightCaptures capturesOf(const RawScanResult& scan, const QString& rawDirectory) {
    FlightCaptures out;
    const bool multi = scan.layout == DirectoryLayout::MultiLevel;
    // The files the run hands out, each to the output folder the pool would give it.
    const int total = std::min(scan.totalCount, int(scan.files.size()));
    QHash<QString, int> byId;
    int folder = 0;
    for (int i = 0; i < total; ++i) {
        if (multi) {
            while (folder + 1 < scan.subfolders.size() && i >= scan.cumulativeCounts.value(folder)) ++folder;
        }
        const QString path = multi ? scan.files[i] : rawDirectory + "/" + scan.files[i];
        out.paths << path;
        const QString name = QFileInfo(path).fileName();
        if (isPanelImageName(path)) continue;  // never converted
        const QStringList fields = fileNameFields(name);
        if (fields.size() < 3) {
            out.loose << i;
            continue;
        }
        ScanCapture capture;
        capture.folderName = QFileInfo(multi ? scan.subfolders.value(folder) : rawDirectory).fileName();
        capture.key = fields[1];
        const auto it = byId.constFind(capture.id());
        if (it != byId.constEnd()) {
            out.captures[*it].files << i;
            continue;
        }
        capture.files << i;
        byId.insert(capture.id(), out.captures.size());
        out.captures << capture;
    }
    return out;
}

QVector<int> shardCaptures(const FlightCaptures& flight, const CaptureShard& shard) {
    QVector<int> out;
    for (int c = shard.index; c < flight.captures.size(); c += shard.count) out << c;
    return out;
}

RawScanResult restrictScan(const RawScanResult& scan, const FlightCaptures& flight,
                           const QVector<int>& captures, bool withLoose) {
    QVector<bool> keep(flight.paths.size(), false);
    for (int c : captures)
        for (int i : flight.captures[c].files) keep[i] = true;
    if (withLoose)
        for (int i : flight.loose) keep[i] = true;
    RawScanResult out = scan;
    out.files.clear();
    const bool multi = scan.layout == DirectoryLayout::MultiLevel;
    QVector<int> perFolder(std::max(1, int(scan.subfolders.size())), 0);
    int folder = 0;
    for (int i = 0; i < flight.paths.size(); ++i) {
        if (multi) {
            while (folder + 1 < scan.subfolders.size() && i >= scan.cumulativeCounts.value(folder)) ++folder;
        }
        if (!keep[i]) continue;
        out.files << scan.files[i];
        ++perFolder[folder];
    }
    out.totalCount = out.files.size();
    if (multi) {
        out.cumulativeCounts.clear();
        int running = 0;
        for (int k = 0; k < scan.subfolders.size(); ++k) out.cumulativeCounts << (running += perFolder[k]);
    }
    return out;
}

QString captureIdOfFile(const QString& path) {
    const QFileInfo info(path);
    return info.dir().dirName() + "|" + regnames::groupNumberOf(path);
}

QSet<QString> captureIds(const FlightCaptures& flight, const QVector<int>& captures) {
    QSet<QString> out;
    for (int c : captures) out.insert(flight.captures[c].id());
    return out;
}

QString flightFingerprint(const FlightCaptures& flight, const QString& rawDirectory) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QDir raw(rawDirectory);
    for (const QString& path : flight.paths) {
        const QFileInfo info(path);
        hash.addData(raw.relativeFilePath(info.absoluteFilePath()).toUtf8());
        hash.addData(QByteArray("\n") + QByteArray::number(info.size()) + "\n");
    }
    return QString::fromLatin1(hash.result().toHex());
}

CommonMatrixCaptures commonMatrixCaptures(const FlightCaptures& flight) {
    CommonMatrixCaptures out;
    QStringList files;
    for (const ScanCapture& c : flight.captures)
        for (int i : c.files) files << flight.paths[i];
    const QMap<QString, QStringList> groups = CImageRegistrationThread::groupByGroupNumber(files);
    const QStringList selected = CImageRegistrationThread::findComparableAltitudeGroups(groups, 5);
    QHash<QString, int> byId;
    for (int c = 0; c < flight.captures.size(); ++c) byId.insert(flight.captures[c].id(), c);
    for (const QString& key : selected) {
        const QStringList& group = groups[key];
        const int c = byId.value(captureIdOfFile(group.first()), -1);
        if (c < 0) continue;
        out.captures << c;
        out.keys << flight.captures[c].key;
        if (out.captures.size() == 1) {
            out.altitude = CImageRegistrationThread::readRelativeAltitude(group.first());
            for (const QString& f : group) out.bandNames << regnames::bandNameOf(f);
        }
    }
    return out;
}
