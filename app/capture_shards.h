// Captures of a scanned flight in the scan's order, and shares of them: a capture shard I/N holds
// the captures whose position in that order is I modulo N. Several programs (the tasks of a
// cluster job array) each process one shard into the same result folder.
#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include "raw_scan.h"

struct CaptureShard {
    int index = 0;
    int count = 1;
    bool active() const { return count > 1 || index != 0; }
    QString text() const { return QString("%1/%2").arg(index).arg(count); }
};

// "I/N" with 0 <= I < N; false with a message otherwise.
bool parseCaptureShard(const QString& text, CaptureShard& shard, QString& problem);

// One capture: the output folder it is written to (by name), its capture key, and the indices of
// its images in the scan's file list.
struct ScanCapture {
    QString folderName;
    QString key;
    QVector<int> files;
    QString id() const { return folderName + "|" + key; }
};

struct FlightCaptures {
    QVector<ScanCapture> captures;  // in order of first appearance in the scan
    QVector<int> loose;             // images of no capture (names without a capture key)
    QStringList paths;              // absolute path of every image the run hands out, by scan index
};

FlightCaptures capturesOf(const RawScanResult& scan, const QString& rawDirectory);

// Indices of the captures of one shard.
QVector<int> shardCaptures(const FlightCaptures& flight, const CaptureShard& shard);

// The scan reduced to the given captures (and to the loose images when `withLoose`): every kept
// image keeps its output folder; the capture groups and first-capture labels stay those of the
// whole flight.
RawScanResult restrictScan(const RawScanResult& scan, const FlightCaptures& flight,
                           const QVector<int>& captures, bool withLoose);

// "<output folder name>|<capture key>" of a band file (raw, converted or corrected).
QString captureIdOfFile(const QString& path);
QSet<QString> captureIds(const FlightCaptures& flight, const QVector<int>& captures);

// Names (relative to the raw folder) and sizes of the flight's images, hashed: equal for the same
// flight wherever it is mounted.
QString flightFingerprint(const FlightCaptures& flight, const QString& rawDirectory);

// The captures common mode estimates its matrices on (as the registration picks them among the
// converted images, which keep the raw images' altitude), the relative altitude they were flown at,
// and the band names by band index of the first of them.
struct CommonMatrixCaptures {
    QVector<int> captures;
    QStringList keys;
    QStringList bandNames;
    double altitude = 0.0;
};
CommonMatrixCaptures commonMatrixCaptures(const FlightCaptures& flight);
