#include "image_registration_thread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <atomic>
#include <thread>

#include "exif_tags.h"
#include "merge_bands.h"

namespace refl {

namespace {

const QString kCancelled = QStringLiteral("已取消");

bool replaceWithPartial(const QString& partial, const QString& target) {
    const QByteArray from = QFile::encodeName(partial), to = QFile::encodeName(target);
    if (std::rename(from.constData(), to.constData()) == 0) return true;
    // Systems whose rename refuses an existing target.
    if (QFile::exists(target) && QFile::remove(target)) return std::rename(from.constData(), to.constData()) == 0;
    return false;
}

}  // namespace

CImageRegistrationThread::CImageRegistrationThread(const QStringList& folders, int bandCount, bool commonMode,
                                                   bool outputReflectance, QObject* parent)
    : QThread(parent),
      m_folders(folders),
      m_bandCount(bandCount),
      m_commonMode(commonMode),
      m_outputReflectance(outputReflectance),
      m_tempFolder(defaultTemporaryFolder()),
      m_pairMatrix([this](const QString& refPath, const QString& srcPath,
                          const RegistrationProgressCallback& progress, PairRegistrationSummary* summary) {
          return computeRegistrationMatrix(refPath, srcPath, progress, &m_referenceCache, summary);
      }),
      m_commonMatrix([this](const QStringList& refPaths, const QStringList& srcPaths,
                            const RegistrationProgressCallback& progress, PairRegistrationSummary* summary) {
          return computeCommonRegistrationMatrix(refPaths, srcPaths, progress, &m_referenceCache, summary);
      }) {}

CImageRegistrationThread::~CImageRegistrationThread() {
    // Never leave a running thread behind its object.
    if (isRunning()) {
        stop();
        wait();
    }
}

void CImageRegistrationThread::stop() { m_stopRequested.store(1); }

void CImageRegistrationThread::setMatrixFunctions(PairMatrixFunction pair, CommonMatrixFunction common) {
    // Stand-ins tell nothing about the attempt: the summaries stay unknown.
    if (pair)
        m_pairMatrix = [pair](const QString& ref, const QString& src, const RegistrationProgressCallback& cb,
                              PairRegistrationSummary*) { return pair(ref, src, cb); };
    if (common) {
        m_commonByGroup = false;
        m_commonMatrix = [common](const QStringList& refs, const QStringList& srcs,
                                  const RegistrationProgressCallback& cb,
                                  PairRegistrationSummary*) { return common(refs, srcs, cb); };
    }
}

bool CImageRegistrationThread::mergeBandsToTif(const QStringList& bandFiles, const QString& mergedPath,
                                               const QString& prefix, const QStringList& bandNames) {
    return refl::mergeBandsToTif(bandFiles, mergedPath, prefix, bandNames, m_outputReflectance,
                                 &m_stopRequested);
}

bool CImageRegistrationThread::writeExifTags(const QString& mergedPath, const QString& referencePath,
                                             const QString& prefix, const QStringList& bandNames,
                                             const QByteArray& extraXmp) {
    return refl::writeExifTags(mergedPath, referencePath, prefix, bandNames, extraXmp);
}

void CImageRegistrationThread::setCommonMatrices(int referenceIndex,
                                                 const QMap<int, QList<double>>& refFromBand) {
    m_commonPreset = true;
    m_commonReference = referenceIndex;
    m_commonRefFromBand = refFromBand;
}

RegistrationProgressCallback CImageRegistrationThread::noticeCallback() {
    return [this](int progress, const QString& info) { emit signalRegistrationProgress(progress, info); };
}

void CImageRegistrationThread::run() {
    prepareGdalForRegistration();
    // A folder of its own inside the scratch folder, so that two programs never share files.
    m_workFolder =
        QDir(m_tempFolder)
            .filePath(
                QString("run-%1-%2").arg(QCoreApplication::applicationPid()).arg(quintptr(this), 0, 16));
    if (m_commonMode) {
        runCommonMode();
    } else {
        runPerGroupMode();
    }
}

bool CImageRegistrationThread::scanAndGroup(QMap<QString, QStringList>& groups, bool listFiles) {
    QStringList files;
    for (const QString& folder : m_folders) scanTifFiles(folder, files);
    if (m_fileFilter)
        files.erase(std::remove_if(files.begin(), files.end(), [this](const QString& f) { return !m_fileFilter(f); }),
                    files.end());
    if (files.isEmpty()) {
        emit signalRegistrationFinished(false, "No TIF files found");
        return false;
    }
    if (listFiles) {
        qDebug() << "runCommonMode: scanned" << files.size() << "TIF files";
        for (int i = 0; i < files.size(); ++i)
            qDebug() << "  [" << i << "]" << QFileInfo(files[i]).fileName();
    } else {
        qDebug() << "CImageRegistrationThread: scanned" << files.size() << "TIF files";
    }
    groups = groupByGroupNumber(files);
    if (groups.isEmpty()) {
        emit signalRegistrationFinished(false, "Failed to group by group number");
        return false;
    }
    return true;
}

void CImageRegistrationThread::removeWorkFolder() {
    QDir(m_workFolder).removeRecursively();
    QDir().rmdir(m_tempFolder);  // only when no other run uses it
}

void CImageRegistrationThread::finishStopped() {
    removeWorkFolder();
    emit signalRegistrationFinished(false, kCancelled);
}

void CImageRegistrationThread::removeTemporaryEntries(const QStringList& registered, int keep) {
    for (int i = 0; i < registered.size(); ++i)
        if (i != keep && registered[i].startsWith(m_workFolder + "/")) QFile::remove(registered[i]);
}

void CImageRegistrationThread::deleteGroupFiles(const QStringList& groupFiles) {
    for (const QString& f : groupFiles) {
        QFile::remove(f);
        if (f.contains("_Correct", Qt::CaseInsensitive))
            QFile::remove(QString(f).remove("_Correct", Qt::CaseInsensitive));
    }
}

bool CImageRegistrationThread::mergeGroup(const QString& key, const QStringList& groupFiles,
                                          const QStringList& registered, const QString& referencePath,
                                          bool commonLog, const std::vector<BandRegistrationRecord>& records) {
    const QString prefix = regnames::prefixOf(referencePath);
    const QString merged =
        QString("%1/%2_%3_Multi.tif")
            .arg(QFileInfo(referencePath).absolutePath(), prefix, regnames::groupNumberOf(referencePath));
    QStringList bandNames;
    for (const QString& f : groupFiles) bandNames << regnames::bandNameOf(f);
    if (m_bandCount > 0 && groupFiles.size() < m_bandCount)
        qDebug() << "Group" << key << "has" << groupFiles.size() << "of" << m_bandCount
                 << "bands; merged with the bands it has, named in its description:" << bandNames.join(",");
    // Written and tagged under a hidden scratch name beside the result, then renamed over it: a
    // stopped, failed or killed merge never leaves a partial file under the result's name, nor
    // takes away the result of an earlier run.
    const QString partial = QString("%1/.%2.partial-%3")
                                .arg(QFileInfo(merged).absolutePath(), QFileInfo(merged).fileName())
                                .arg(QCoreApplication::applicationPid());
    if (!mergeBandsToTif(registered, partial, prefix, bandNames)) {
        QFile::remove(partial);
        if (!commonLog) qDebug() << "Group merge failed:" << key;
        return false;
    }
    const bool tagged = writeExifTags(partial, referencePath, prefix, bandNames, registrationQualityXmp(records));
    if (!replaceWithPartial(partial, merged)) {
        QFile::remove(partial);
        qDebug() << "Group merge failed: cannot move the merged file into place:" << merged;
        return false;
    }
    // The band files go only once the merged file is complete with its tags.
    if (m_deleteIntermediates) {
        if (tagged)
            deleteGroupFiles(groupFiles);
        else
            qDebug() << "Group tags failed, band files kept:" << key;
    }
    if (commonLog)
        qDebug() << "runCommonMode: group merge success" << key << "->" << merged;
    else
        qDebug() << "Group merge success:" << key << "->" << merged;
    return true;
}

}  // namespace refl
