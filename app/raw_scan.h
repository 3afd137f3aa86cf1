#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

class OperatorDialogs;

enum class DirectoryLayout { SingleLevel, MultiLevel };
enum class ImageKind { Tif, Jpg };

// What choosing a raw-image directory found. Single-level: the images lie directly in the
// directory and `files` holds their names. Multi-level: the directory holds no image itself, its
// subfolders do, and `files` holds absolute paths.
struct RawScanResult {
    QString directory;
    DirectoryLayout layout = DirectoryLayout::SingleLevel;
    ImageKind kind = ImageKind::Tif;
    QStringList files;
    QStringList subfolders;
    int subfolderCount = 0;
    // Running image total after each subfolder (multi-level), used to switch output folders.
    QVector<int> cumulativeCounts;
    int totalCount = 0;
    // Capture key -> band keys, ordered by key as text.
    QMap<QString, QStringList> groups;
    // Most frequent group size; 0 when no group was found.
    int bandCount = 0;
    QString firstGroupKey;
    QStringList firstGroupFiles;
    QStringList firstGroupLabels;
};

// File-name rules of raw band images: fields separated by "_", capture key second, band key the
// third field up to its first ".".
QStringList fileNameFields(const QString& fileName);
bool isPanelImageName(const QString& fileName);

// The band label shown to the operator: nine characters from position 11 (22 for panel images),
// cut at the first "."; empty for names too short to hold one.
QString bandLabelFromFileName(const QString& fileName);

// The most frequent group size; on a tie the larger size wins. 0 for no groups.
int majorityGroupSize(const QMap<QString, QStringList>& groups);

// Directory walker.
QStringList immediateSubfolders(const QString& directory);
// Images directly inside one folder: "*.tif", plus "*.jpg" when `withJpg`; sorted by name.
QStringList imagesIn(const QString& folder, bool withJpg);
// "*.tif" and "*.jpg" at any depth as absolute paths, each folder's own files before its subfolders'.
QStringList imagesBelow(const QString& folder);

bool isTifName(const QString& name);
bool isJpgName(const QString& name);

// Scans `directory` (which must exist), logs what it finds and warns the operator when no capture
// group was found.
RawScanResult scanRawDirectory(const QString& directory, OperatorDialogs& dialogs);

// The notice shown when the directory holds fewer than five images (the scan stays usable).
void noticeIfTooFewImages(const RawScanResult& scan, OperatorDialogs& dialogs);
