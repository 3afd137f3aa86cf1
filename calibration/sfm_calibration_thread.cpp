#include "sfm_calibration_thread.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "altitude_clusters.h"
#include "camera_info.h"
#include "exif_xmp.h"

namespace refl {

CSfMCalibrationThread::CSfMCalibrationThread(const QString& inputDir, double pixelSizeUm, double focalMm,
                                             QObject* parent)
    : QThread(parent), inputDir(inputDir), pixelSizeUm(pixelSizeUm), focalMm(focalMm) {
    registerCalibrationMetaTypes();
}

CSfMCalibrationThread::~CSfMCalibrationThread() {
    stop();
    wait();
}

QStringList CSfMCalibrationThread::scanTifFiles(const QString& dir) {
    QStringList out;
    QDir d(dir);
    if (dir.isEmpty() || !d.exists()) return out;
    const QFileInfoList files = d.entryInfoList(
        QStringList{"*.TIF", "*.tif"}, QDir::Files | QDir::Readable | QDir::CaseSensitive, QDir::NoSort);
    for (const QFileInfo& fi : files) {
        const QString name = fi.fileName();
        if (name.contains("_Multi", Qt::CaseInsensitive) || name.contains("greyboard", Qt::CaseInsensitive) ||
            name.contains("_Correct", Qt::CaseInsensitive))
            continue;
        out << fi.absoluteFilePath();
    }
    const QFileInfoList subs = d.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo& sub : subs)
        if (!sub.isSymLink()) out << scanTifFiles(sub.absoluteFilePath());
    return out;
}

QMap<QString, QStringList> CSfMCalibrationThread::groupFilesByCapture(const QStringList& files) {
    QMap<QString, QStringList> out;
    for (const QString& path : files) {
        const QStringList fields = QFileInfo(path).fileName().split('_');
        const QString key = fields.size() >= 2 ? fields[1] : QString();
        if (!key.isEmpty()) out[key] << path;
    }
    return out;
}

QMap<QString, QStringList> CSfMCalibrationThread::groupFilesByBand(const QStringList& files) {
    QMap<QString, QStringList> out;
    for (const QString& path : files) {
        const QString band = bandFromFileName(QFileInfo(path).fileName());
        if (!band.isEmpty()) out[band] << path;
    }
    return out;
}

double CSfMCalibrationThread::readRelativeAltitude(const QString& path) const {
    return refl::readRelativeAltitude(path, "SfM readRelativeAltitude:");
}

QStringList CSfMCalibrationThread::selectComparableGroups(const QMap<QString, QStringList>& captures,
                                                          int maxCount) const {
    QVector<QPair<QString, double>> altitudes;
    for (auto it = captures.begin(); it != captures.end(); ++it)
        if (!it.value().isEmpty()) altitudes << qMakePair(it.key(), readRelativeAltitude(it.value().first()));
    return largestAltitudeCluster(altitudes, maxCount);
}

bool CSfMCalibrationThread::calibrateWithRetries(const QStringList& files, const QString& band,
                                                 CameraCalibParams* record) {
    *record = CameraCalibParams();
    bool ok = calibrateBand(files, band, pixelSizeUm, focalMm, *record, defaultSfmParamGroup());
    const QVector<SfMParamGroup>& retries = retrySfmParamGroups();
    for (int g = 0; !ok && g < retries.size(); ++g) {
        if (isStopRequested()) break;
        const SfMParamGroup& grp = retries[g];
        qDebug() << "SfM Calibration: band" << band << "retry with param group" << g + 1
                 << "maxFeatures=" << grp.maxFeatures << "limit=" << grp.limit << "loweRatio=" << grp.loweRatio
                 << "magsacThreshold=" << grp.magsacThreshold << "maxIterations=" << grp.maxIterations;
        *record = CameraCalibParams();
        ok = calibrateBand(files, band, pixelSizeUm, focalMm, *record, grp);
    }
    return ok;
}

// The files of each band from the captures chosen for the calibration: those of the largest
// group of comparable altitudes (all captures when fewer than 3 are comparable). False, with the
// finished signal sent, when the folder holds no TIFF.
bool CSfMCalibrationThread::chooseBandFiles(QMap<QString, QStringList>& bands) {
    emit signalCalibrationProgress(0, QStringLiteral("扫描影像文件..."));
    const QStringList files = scanTifFiles(inputDir);
    if (files.isEmpty()) {
        emit signalCalibrationFinished(false, QStringLiteral("未找到TIF文件"), CameraCalibParamsMap());
        return false;
    }
    qDebug() << "SfM Calibration: scanned" << files.size() << "TIF files";
    const QMap<QString, QStringList> captures = groupFilesByCapture(files);
    qDebug() << "SfM Calibration: grouped into" << captures.size() << "groups";

    emit signalCalibrationProgress(5, QStringLiteral("选取海拔相近组..."));
    QStringList selected = selectComparableGroups(captures, 5);
    if (selected.size() < 5) {
        qDebug() << "SfM Calibration: only" << selected.size() << "comparable groups (<5), continuing";
        emit signalCalibrationProgress(
            -1, QStringLiteral("海拔相近的组仅%1组，不足5组，可能会影响配准精度！").arg(selected.size()));
    }
    if (selected.size() < 3) {
        qDebug() << "SfM Calibration: only" << selected.size() << "comparable groups, using all";
        selected = captures.keys();
    }
    QStringList chosen;
    for (const QString& key : selected) chosen << captures.value(key);
    qDebug() << "SfM Calibration: selected" << chosen.size() << "files from" << selected.size() << "groups";

    bands = groupFilesByBand(chosen);
    qDebug() << "SfM Calibration: bands found:" << bands.keys();
    return true;
}

// The bands are calibrated in parallel by up to m_bandThreads workers; each band's attempts
// depend only on its own files, so the records do not depend on the number of workers. Progress,
// notices and results are reported in band order, as a one-worker run reports them. True when at
// least one band succeeded.
bool CSfMCalibrationThread::calibrateBands(const QMap<QString, QStringList>& bands, int& succeeded) {
    const QStringList bandNames = bands.keys();
    const int n = bandNames.size();
    std::vector<BandOutcome> outcomes(static_cast<size_t>(n));
    std::mutex mutex;
    std::condition_variable doneChanged;
    int nextBand = 0;
    // Claims the next band and calibrates it; false when none is left.
    auto calibrateNext = [&] {
        int i;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (nextBand >= n) return false;
            i = nextBand++;
        }
        BandOutcome o;
        if (!isStopRequested()) {
            o.started = true;
            o.ok = calibrateWithRetries(bands.value(bandNames[i]), bandNames[i], &o.record);
        }
        std::lock_guard<std::mutex> lock(mutex);
        o.done = true;
        outcomes[size_t(i)] = o;
        doneChanged.notify_all();
        return true;
    };
    const int workers = std::max(1, std::min(m_bandThreads, n));
    m_adjustmentThreads = std::max(1, m_threads / workers);
    std::vector<std::thread> pool;
    if (workers > 1)
        for (int w = 0; w < workers; ++w)
            pool.emplace_back([&] {
                while (calibrateNext()) {
                }
            });

    bool anySuccess = false;
    succeeded = 0;
    m_bandReports.clear();
    for (int i = 0; i < n; ++i) {
        if (isStopRequested()) break;
        const int p = 10 + int(80.0 * i / n);
        emit signalCalibrationProgress(p, QStringLiteral("数据分析中..."));
        if (workers == 1) calibrateNext();  // this thread calibrates band i itself
        BandOutcome o;
        {
            std::unique_lock<std::mutex> lock(mutex);
            doneChanged.wait(lock, [&] { return outcomes[size_t(i)].done; });
            o = outcomes[size_t(i)];
        }
        if (!o.started) break;  // stopped before it began
        if (o.ok) ++succeeded;
        if (takeBandOutcome(bandNames[i], o, p)) anySuccess = true;
        emit signalCalibrationProgress(p + int(80.0 / n), QStringLiteral("波段 %1 完成").arg(bandNames[i]));
    }
    if (workers > 1) {
        // Bands not yet begun are skipped after a stop; the running ones end at their next poll.
        for (std::thread& t : pool) t.join();
    }
    return anySuccess;
}

// Records one band's outcome (its report; its lens when one was adopted) and says so. True when
// the band succeeded, whether it adopted a lens or kept the XMP one.
bool CSfMCalibrationThread::takeBandOutcome(const QString& band, const BandOutcome& o, int progress) {
    const CameraCalibParams& record = o.record;
    m_bandReports[band] = record;
    if (o.ok && record.xmpLensKept) {
        qDebug() << "SfM Calibration: band" << band
                 << "keeps the XMP lens, adjusted fx=" << record.adjustedFxPx << "sigma=" << record.fxSigmaPx
                 << ":" << record.lensDecision;
        return true;
    }
    if (o.ok) {
        results[band] = record;
        qDebug() << "SfM Calibration: band" << band << "success, fx=" << record.fx << "k1=" << record.k1
                 << "fx sigma=" << record.fxSigmaPx << ":" << record.lensDecision;
        return true;
    }
    qDebug() << "SfM Calibration: band" << band << "failed with default and all 10 retry param groups";
    emit signalCalibrationProgress(
        progress,
        QStringLiteral("波段 %1 使用默认参数及10组重试参数标定均失败，将使用XMP回退参数").arg(band));
    return false;
}

// Bands that keep the XMP lens succeeded too: the data did not support another lens. Per band: the
// adjusted focal length with its standard deviation and which lens is used.
QString CSfMCalibrationThread::summary(int succeeded, int bandCount) const {
    QString text = QStringLiteral("SfM标定完成: %1/%2 波段成功").arg(succeeded).arg(bandCount);
    for (auto it = m_bandReports.begin(); it != m_bandReports.end(); ++it) {
        const CameraCalibParams& c = it.value();
        if (c.adjustedFxPx <= 0.0) continue;
        text += QStringLiteral("；%1 fx %2±%3 px %4")
                    .arg(it.key())
                    .arg(c.adjustedFxPx, 0, 'f', 1)
                    .arg(c.fxSigmaPx, 0, 'f', 1)
                    .arg(results.contains(it.key()) ? QStringLiteral("采用") : QStringLiteral("保留XMP镜头"));
    }
    return text;
}

void CSfMCalibrationThread::run() {
    QMap<QString, QStringList> bands;
    if (!chooseBandFiles(bands)) return;
    int succeeded = 0;
    const bool anySuccess = calibrateBands(bands, succeeded);
    emit signalCalibrationProgress(95, QStringLiteral("汇总结果..."));
    const QString text = summary(succeeded, bands.size());
    emit signalCalibrationProgress(100, text);
    emit signalCalibrationFinished(anySuccess, text, results);
}

}  // namespace refl
