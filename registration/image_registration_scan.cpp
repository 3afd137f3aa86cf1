// The file side of the registration thread: finding band files, grouping them by capture, the
// reference band, altitudes, and warping one band.
#include <gdal.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryFile>
#include <algorithm>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <mutex>
#include <opencv2/core.hpp>
#include <vector>

#include "altitude_clusters.h"
#include "exif_xmp.h"
#include "image_registration_thread.h"

namespace refl {

namespace regnames {

QString prefixOf(const QString& path) { return QFileInfo(path).fileName().split('_').value(0); }

QString groupNumberOf(const QString& path) { return QFileInfo(path).fileName().split('_').value(1); }

QString bandNameOf(const QString& path) {
    return QFileInfo(path).fileName().split('_').value(2).section('.', 0, 0);
}

int wavelengthOf(const QString& path) {
    QString band = bandNameOf(path);
    band.remove("nm", Qt::CaseInsensitive);
    bool ok = false;
    const int value = band.toInt(&ok, 10);
    return ok ? value : 0;
}

}  // namespace regnames

QString CImageRegistrationThread::defaultTemporaryFolder() {
    const QString beside = QCoreApplication::applicationDirPath() + "/temp_reg";
    if (!QCoreApplication::applicationDirPath().isEmpty() && QDir().mkpath(beside)) {
        QTemporaryFile probe(beside + "/.probe-XXXXXX");
        if (probe.open()) return beside;
    }
    return QDir::tempPath() + "/reflectivity/temp_reg";
}

void CImageRegistrationThread::scanTifFiles(const QString& folder, QStringList& files) {
    QDir dir(folder);
    if (!dir.exists()) return;
    const QFileInfoList entries =
        dir.entryInfoList({"*.TIF", "*.tif"}, QDir::Files | QDir::Readable, QDir::Unsorted);
    QSet<QString> names;
    for (const QFileInfo& e : entries) names.insert(e.fileName().toLower());
    for (const QFileInfo& e : entries) {
        const QString name = e.fileName();
        if (name.contains("_Multi", Qt::CaseInsensitive) || name.contains("greyboard", Qt::CaseInsensitive) ||
            name.contains("_valid_mask", Qt::CaseInsensitive))
            continue;
        if (name.contains("_Correct", Qt::CaseInsensitive)) {
            files << e.absoluteFilePath();
            continue;
        }
        const QString twin = (e.completeBaseName() + "_Correct." + e.suffix()).toLower();
        if (!names.contains(twin)) files << e.absoluteFilePath();
    }
    for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        scanTifFiles(dir.filePath(sub), files);
}

QMap<QString, QStringList> CImageRegistrationThread::groupByGroupNumber(const QStringList& files) {
    QSet<QString> folders;
    for (const QString& f : files) folders.insert(QFileInfo(f).absolutePath());
    // Captures of different flights may share numbers; they must never be merged together.
    const bool qualify = folders.size() > 1;
    QMap<QString, QStringList> groups;
    for (const QString& f : files) {
        const QStringList fields = QFileInfo(f).fileName().split('_');
        if (fields.size() < 2) continue;
        const QString key = qualify ? QFileInfo(f).absolutePath() + "|" + fields[1] : fields[1];
        groups[key] << f;
    }
    for (QStringList& list : groups)
        std::stable_sort(list.begin(), list.end(), [](const QString& a, const QString& b) {
            return regnames::wavelengthOf(a) < regnames::wavelengthOf(b);
        });
    return groups;
}

int CImageRegistrationThread::referenceIndex(const QStringList& groupFiles) {
    for (int i = 0; i < groupFiles.size(); ++i)
        if (QFileInfo(groupFiles[i]).fileName().contains("660")) return i;
    return groupFiles.size() / 2;
}

double CImageRegistrationThread::readRelativeAltitude(const QString& path) {
    return refl::readRelativeAltitude(path, "readRelativeAltitude:");
}

QStringList CImageRegistrationThread::findComparableAltitudeGroups(const QMap<QString, QStringList>& groups,
                                                                   int maxGroups) {
    QVector<QPair<QString, double>> altitudes;
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        if (it.value().isEmpty()) continue;
        const double altitude = readRelativeAltitude(it.value().first());
        qDebug() << "findComparableAltitudeGroups: group" << it.key() << "altitude" << altitude;
        altitudes << qMakePair(it.key(), altitude);
    }
    double bucket = 0;
    const QStringList selected = largestAltitudeCluster(altitudes, maxGroups, &bucket);
    if (selected.isEmpty()) return selected;
    qDebug() << "findComparableAltitudeGroups: selected" << selected.size() << "groups at altitude" << bucket;
    for (const QString& key : selected) {
        QStringList names;
        for (const QString& f : groups.value(key)) names << QFileInfo(f).fileName();
        qDebug() << "findComparableAltitudeGroups: group" << key << "files:" << names.join(", ");
    }
    return selected;
}

bool CImageRegistrationThread::registrationConversion(const QString& bandPath, const QString& outputPath,
                                                      const QList<double>& refFromBand) {
    if (refFromBand.size() < 9) return false;
    if (QFile::exists(outputPath)) QFile::remove(outputPath);
    cv::Matx33d refFromBandMatx;
    for (int i = 0; i < 9; ++i) refFromBandMatx.val[i] = refFromBand[i];
    cv::Mat inverse;
    if (cv::invert(cv::Mat(refFromBandMatx), inverse, cv::DECOMP_LU) == 0.0) {
        qDebug() << "registrationConversion: singular matrix" << bandPath;
        return false;
    }
    const cv::Matx33d bandFromRef(inverse);

    GDALAllRegister();
    GDALDatasetH src = GDALOpen(QFile::encodeName(bandPath).constData(), GA_ReadOnly);
    if (!src || GDALGetRasterCount(src) < 1) {
        if (src) GDALClose(src);
        qDebug() << "registrationConversion: unable to open source image" << bandPath;
        return false;
    }
    const int width = GDALGetRasterXSize(src), height = GDALGetRasterYSize(src);
    std::vector<uint16_t> in(size_t(width) * size_t(height));
    const CPLErr readError = GDALRasterIO(GDALGetRasterBand(src, 1), GF_Read, 0, 0, width, height, in.data(),
                                          width, height, GDT_UInt16, 0, 0);
    GDALClose(src);
    if (readError != CE_None) {
        qDebug() << "registrationConversion: failed to read pixel data" << bandPath;
        return false;
    }

    std::vector<uint16_t> out(in.size(), 0);
    for (int y = 0; y < height; ++y) {
        uint16_t* row = out.data() + size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x) {
            const double w = bandFromRef(2, 0) * x + bandFromRef(2, 1) * y + bandFromRef(2, 2);
            if (std::fabs(w) < 1e-10) continue;
            const double sx = (bandFromRef(0, 0) * x + bandFromRef(0, 1) * y + bandFromRef(0, 2)) / w;
            const double sy = (bandFromRef(1, 0) * x + bandFromRef(1, 1) * y + bandFromRef(1, 2)) / w;
            if (!(sx >= 0.0 && sy >= 0.0 && sx < width - 1 && sy < height - 1)) continue;  // also NaN
            const int x0 = int(std::floor(sx)), y0 = int(std::floor(sy));
            if (x0 < 0 || x0 >= width - 1 || y0 < 0 || y0 >= height - 1) continue;
            const double fx = sx - x0, fy = sy - y0;
            const uint16_t* p = in.data() + size_t(y0) * size_t(width) + size_t(x0);
            const double v = (1 - fx) * (1 - fy) * p[0] + fx * (1 - fy) * p[1] + (1 - fx) * fy * p[width] +
                             fx * fy * p[width + 1];
            row[x] = uint16_t(v);
        }
    }

    GDALDriverH driver = GDALGetDriverByName("GTiff");
    GDALDatasetH dst = driver ? GDALCreate(driver, QFile::encodeName(outputPath).constData(), width, height,
                                           1, GDT_UInt16, nullptr)
                              : nullptr;
    if (!dst) {
        qDebug() << "registrationConversion: unable to create output file" << outputPath;
        return false;
    }
    const CPLErr writeError = GDALRasterIO(GDALGetRasterBand(dst, 1), GF_Write, 0, 0, width, height,
                                           out.data(), width, height, GDT_UInt16, 0, 0);
    GDALClose(dst);
    if (writeError != CE_None) {
        qDebug() << "registrationConversion: unable to create output file" << outputPath << "(write failed)";
        QFile::remove(outputPath);
        return false;
    }
    return true;
}

}  // namespace refl
