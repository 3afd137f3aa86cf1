#include "raw_scan.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include "operator_dialogs.h"

namespace {

const QStringList kImageFilters = {QStringLiteral("*.tif"), QStringLiteral("*.jpg")};

QStringList filesMatching(const QString& folder, const QStringList& filters, bool absolute) {
    const QFileInfoList infos =
        QDir(folder).entryInfoList(filters, QDir::Files | QDir::Readable, QDir::Name);
    QStringList out;
    for (const QFileInfo& info : infos) out << (absolute ? info.absoluteFilePath() : info.fileName());
    return out;
}

QString canonicalFolder(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(folder).absoluteFilePath() : canonical;
}

// Subfolders of `folder` that do not lead back into `chain` (the canonical paths of the folders
// walked down so far) through a link; such loops would list the same images again at every level.
QStringList subfoldersOutsideChain(const QString& folder, const QStringList& chain) {
    QStringList out;
    for (const QString& sub : immediateSubfolders(folder)) {
        if (chain.contains(canonicalFolder(sub))) {
            qDebug() << "raw scan: folder skipped, a link leads back into a folder above it:" << sub;
            continue;
        }
        out << sub;
    }
    return out;
}

void collectImagesBelow(const QString& folder, QStringList& out, QStringList& chain) {
    out << filesMatching(folder, kImageFilters, true);
    for (const QString& sub : subfoldersOutsideChain(folder, chain)) {
        chain << canonicalFolder(sub);
        collectImagesBelow(sub, out, chain);
        chain.removeLast();
    }
}

int countImagesBelow(const QString& folder, bool withJpg, QStringList& chain) {
    int count = imagesIn(folder, withJpg).size();
    for (const QString& sub : subfoldersOutsideChain(folder, chain)) {
        chain << canonicalFolder(sub);
        count += countImagesBelow(sub, withJpg, chain);
        chain.removeLast();
    }
    return count;
}

}  // namespace

QStringList fileNameFields(const QString& fileName) { return fileName.split('_'); }

bool isPanelImageName(const QString& fileName) {
    return fileName.contains(QLatin1String("greyboard"), Qt::CaseInsensitive);
}

QString bandLabelFromFileName(const QString& fileName) {
    const int start = fileName.contains(QLatin1String("greyboard")) ? 22 : 11;
    return fileName.mid(start, 9).section('.', 0, 0);
}

int majorityGroupSize(const QMap<QString, QStringList>& groups) {
    QMap<int, int> sizeCounts;
    for (const QStringList& bands : groups) ++sizeCounts[bands.size()];
    int best = 0;
    int bestCount = 0;
    for (auto it = sizeCounts.cbegin(); it != sizeCounts.cend(); ++it) {
        // Sizes come in ascending order, so ">=" lets the larger size win a tie.
        if (it.value() >= bestCount) {
            best = it.key();
            bestCount = it.value();
        }
    }
    return best;
}

QStringList immediateSubfolders(const QString& directory) {
    const QFileInfoList infos =
        QDir(directory).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    QStringList out;
    for (const QFileInfo& info : infos) out << info.absoluteFilePath();
    return out;
}

QStringList imagesIn(const QString& folder, bool withJpg) {
    return filesMatching(folder, withJpg ? kImageFilters : QStringList{QStringLiteral("*.tif")}, false);
}

QStringList imagesBelow(const QString& folder) {
    QStringList out;
    QStringList chain{canonicalFolder(folder)};
    collectImagesBelow(folder, out, chain);
    return out;
}

bool isTifName(const QString& name) { return QFileInfo(name).suffix().compare("tif", Qt::CaseInsensitive) == 0; }
bool isJpgName(const QString& name) { return QFileInfo(name).suffix().compare("jpg", Qt::CaseInsensitive) == 0; }

RawScanResult scanRawDirectory(const QString& directory, OperatorDialogs& dialogs) {
    RawScanResult scan;
    scan.directory = directory;
    qDebug() << "The handling file path:" << directory;

    scan.files = imagesIn(directory, true);
    scan.totalCount = scan.files.size();
    scan.layout = DirectoryLayout::SingleLevel;

    if (scan.files.isEmpty()) {
        qDebug() << "存在多级目录";
        scan.layout = DirectoryLayout::MultiLevel;
        scan.files = imagesBelow(directory);
        const QString root = canonicalFolder(directory);
        scan.subfolders = subfoldersOutsideChain(directory, {root});
        scan.subfolderCount = scan.subfolders.size();
        scan.kind = (scan.files.isEmpty() || isTifName(scan.files.first())) ? ImageKind::Tif : ImageKind::Jpg;
        const bool withJpg = scan.kind == ImageKind::Jpg;
        // Each subfolder's count covers everything below it, so the running totals line up with
        // the recursive list, which holds one subfolder's images after the other.
        for (const QString& sub : scan.subfolders) {
            QStringList chain{root, canonicalFolder(sub)};
            scan.totalCount += countImagesBelow(sub, withJpg, chain);
            scan.cumulativeCounts << scan.totalCount;
        }
        if (scan.kind == ImageKind::Tif) {
            scan.files.erase(std::remove_if(scan.files.begin(), scan.files.end(), isJpgName), scan.files.end());
        }
    } else {
        scan.kind = isTifName(scan.files.first()) ? ImageKind::Tif : ImageKind::Jpg;
        if (scan.kind == ImageKind::Tif) {
            const int before = scan.files.size();
            scan.files.erase(std::remove_if(scan.files.begin(), scan.files.end(), isJpgName), scan.files.end());
            scan.totalCount -= before - scan.files.size();
        }
    }
    qDebug() << (scan.kind == ImageKind::Jpg ? "jpg handing begin,,,,,," : "ti handing begin,,,,,,");

    for (const QString& entry : scan.files) {
        const QString name = QFileInfo(entry).fileName();
        if (isPanelImageName(name)) continue;
        const QStringList fields = fileNameFields(name);
        if (fields.size() < 3) {
            qDebug() << "文件名格式不符合命名规则:" << name;
            continue;
        }
        scan.groups[fields.at(1)].append(fields.at(2).section('.', 0, 0));
    }

    if (scan.groups.isEmpty()) {
        dialogs.warning(QStringLiteral("提醒"), QStringLiteral("未找到任何分组信息，请确认原始影像目录已正确选择！"));
        return scan;
    }
    scan.bandCount = majorityGroupSize(scan.groups);
    qDebug() << "每组波长文件数(多数组共有值):" << scan.bandCount;

    scan.firstGroupKey = scan.groups.firstKey();
    qDebug() << "First group number:" << scan.firstGroupKey;
    for (const QString& entry : scan.files) {
        const QString name = QFileInfo(entry).fileName();
        if (isPanelImageName(name)) continue;
        const QStringList fields = fileNameFields(name);
        if (fields.size() < 3 || fields.at(1) != scan.firstGroupKey) continue;
        scan.firstGroupFiles << (scan.layout == DirectoryLayout::SingleLevel ? directory + "/" + name : entry);
    }
    qDebug() << "First group file count:" << scan.firstGroupFiles.size();
    qDebug() << "files:" << scan.firstGroupFiles;

    for (const QString& path : scan.firstGroupFiles) {
        const QString name = QFileInfo(path).fileName();
        const QString label = bandLabelFromFileName(name);
        qDebug() << (name.contains(QLatin1String("greyboard")) ? "have contained greyboard"
                                                                : "have no contain greyboard")
                 << name << label;
        scan.firstGroupLabels << label;
    }
    return scan;
}

void noticeIfTooFewImages(const RawScanResult& scan, OperatorDialogs& dialogs) {
    if (scan.totalCount < 5) {
        dialogs.information(QStringLiteral("提示"), QStringLiteral("请确保原始的影像目录至少5组图像！"), false);
    }
}
