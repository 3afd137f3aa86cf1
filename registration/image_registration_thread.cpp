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
                          const RegistrationProgressCallback& progress) {
          return computeRegistrationMatrix(refPath, srcPath, progress, &m_referenceCache);
      }),
      m_commonMatrix([this](const QStringList& refPaths, const QStringList& srcPaths,
                            const RegistrationProgressCallback& progress) {
          return computeCommonRegistrationMatrix(refPaths, srcPaths, progress, &m_referenceCache);
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
    if (pair) m_pairMatrix = std::move(pair);
    if (common) m_commonMatrix = std::move(common);
}

bool CImageRegistrationThread::mergeBandsToTif(const QStringList& bandFiles, const QString& mergedPath,
                                               const QString& prefix, const QStringList& bandNames) {
    return ::mergeBandsToTif(bandFiles, mergedPath, prefix, bandNames, m_outputReflectance, &m_stopRequested);
}

bool CImageRegistrationThread::writeExifTags(const QString& mergedPath, const QString& referencePath,
                                             const QString& prefix, const QStringList& bandNames) {
    return ::writeExifTags(mergedPath, referencePath, prefix, bandNames);
}

void CImageRegistrationThread::setCommonMatrices(int referenceIndex, const QMap<int, QList<double>>& matrices) {
    m_commonPreset = true;
    m_commonReference = referenceIndex;
    m_common = matrices;
}

RegistrationProgressCallback CImageRegistrationThread::noticeCallback() {
    return [this](int progress, const QString& info) { emit signalRegistrationProgress(progress, info); };
}

std::vector<CImageRegistrationThread::BandMatrix> CImageRegistrationThread::groupMatrices(const QStringList& files,
                                                                                          int r) {
    const int n = files.size();
    std::vector<BandMatrix> out(size_t(std::max(n, 0)));
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i = next++; i < n; i = next++) {
            if (i == r) continue;
            // A stop leaves the remaining bands uncomputed; the caller stops at the first of them.
            if (stopRequested()) return;
            BandMatrix& band = out[size_t(i)];
            band.matrix = m_pairMatrix(files[r], files[i], [&band](int progress, const QString& info) {
                band.notices.append(qMakePair(progress, info));
            });
            band.computed = true;
        }
    };
    const int helpers = std::min(m_bandWorkers, n - 1) - 1;
    std::vector<std::thread> threads;
    for (int h = 0; h < helpers; ++h) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    return out;
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
                                          bool commonLog) {
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
    const bool tagged = writeExifTags(partial, referencePath, prefix, bandNames);
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

void CImageRegistrationThread::runPerGroupMode() {
    QMap<QString, QStringList> groups;
    if (!scanAndGroup(groups, false)) return;
    if (!QDir().mkpath(m_workFolder)) qDebug() << "CImageRegistrationThread: cannot create" << m_workFolder;
    const int G = groups.size();
    int done = 0, merged = 0, acc = 0;
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        if (stopRequested()) return finishStopped();
        const QString& key = it.key();
        const QStringList& files = it.value();
        const int n = files.size();
        QStringList registered;
        int r = 0;
        QString referencePath = files.first();
        if (n >= 2) {
            r = referenceIndex(files);
            referencePath = files[r];
            qDebug() << "Processing group:" << key << "ref index:" << r << "file:" << referencePath;
            const QString prefix = regnames::prefixOf(referencePath);
            const std::vector<BandMatrix> matrices = groupMatrices(files, r);
            for (int i = 0; i < n; ++i) {
                if (i == r) {
                    registered << referencePath;
                    continue;
                }
                if (stopRequested() || !matrices[size_t(i)].computed) {
                    removeTemporaryEntries(registered, -1);
                    return finishStopped();
                }
                for (const auto& notice : matrices[size_t(i)].notices)
                    emit signalRegistrationProgress(notice.first, notice.second);
                const QList<double>& matrix = matrices[size_t(i)].matrix;
                if (matrix.size() < 9) {
                    qDebug() << "Registration failed, using original:" << files[i];
                    registered << files[i];
                    continue;
                }
                const QString warped = QString("%1/%2_reg_%3.tif").arg(m_workFolder, prefix).arg(i);
                if (registrationConversion(files[i], warped, matrix)) {
                    registered << warped;
                } else {
                    qDebug() << "Registration conversion failed, using original:" << files[i];
                    registered << files[i];
                }
                emit signalRegistrationProgress(50 * (i + 1) / (n * G) + acc / G,
                                                QString("Group %1: registering band %2/%3")
                                                    .arg(key, QString::number(i + 1), QString::number(n)));
            }
        } else {
            registered << referencePath;
        }
        if (mergeGroup(key, files, registered, referencePath, false)) ++merged;
        if (n >= 2) {
            removeTemporaryEntries(registered, r);
            if (stopRequested()) return finishStopped();
        }
        ++done;
        acc += 100;
        emit signalRegistrationProgress(acc / G, QString("Processed %1/%2 groups").arg(done).arg(G));
    }
    removeWorkFolder();
    const QString message = QStringLiteral("结果文件生成完成: 共%1组, 成功%2组").arg(G).arg(merged);
    qDebug() << message;
    emit signalRegistrationFinished(true, message);
}

void CImageRegistrationThread::runCommonMode() {
    QMap<QString, QStringList> groups;
    if (!scanAndGroup(groups, true)) return;
    if (m_commonPreset) {
        qDebug() << "runCommonMode: matrices given for" << m_common.size() << "bands, reference band"
                 << m_commonReference;
        emit signalRegistrationProgress(30, QString("Common matrices given for %1 bands").arg(m_common.size()));
    }
    const QStringList selected = m_commonPreset ? QStringList() : findComparableAltitudeGroups(groups, 5);
    qDebug() << "runCommonMode: selected" << selected.size() << "groups for matrix computation" << selected;

    // Reference index and band count come from the first selected capture; without one no matrix
    // is computed and every capture is merged unregistered.
    int r = -1, n = 0;
    if (!selected.isEmpty()) {
        const QStringList& first = groups[selected.first()];
        r = referenceIndex(first);
        n = first.size();
    }
    if (m_commonPreset) r = m_commonReference;
    QMap<int, QList<double>> matrices = m_commonPreset ? m_common : QMap<int, QList<double>>();
    int p = 0;
    for (int b = 0; b < n; ++b) {
        if (b == r) continue;
        if (stopRequested()) {
            emit signalRegistrationFinished(false, kCancelled);
            return;
        }
        QStringList refs, srcs;
        for (const QString& key : selected) {
            const QStringList& files = groups[key];
            if (files.size() > b && files.size() > r) {
                refs << files[r];
                srcs << files[b];
            }
        }
        qDebug() << "runCommonMode: computing matrix for band" << b << "with" << refs.size() << "groups";
        const QList<double> matrix = m_commonMatrix(refs, srcs, noticeCallback());
        if (matrix.size() < 9) {
            qDebug() << "runCommonMode: matrix computation failed for band" << b;
        } else {
            matrices[b] = matrix;
            qDebug() << "runCommonMode: matrix for band" << b << "computed successfully" << matrix;
        }
        ++p;
        const int steps = std::max(n - 1, 1);
        emit signalRegistrationProgress(30 * p / steps,
                                        QString("Computing common matrix for band %1/%2").arg(p).arg(steps));
    }

    m_common = matrices;
    m_commonReference = r;
    if (!QDir().mkpath(m_workFolder)) qDebug() << "runCommonMode: cannot create" << m_workFolder;
    const int G = groups.size();
    int done = 0, merged = 0;
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        if (stopRequested()) return finishStopped();
        const QString& key = it.key();
        const QStringList& files = it.value();
        const int count = files.size();
        QStringList registered;
        // A capture without the reference band (or without a common reference) is merged as it is.
        const bool registers = count >= 2 && r >= 0 && count > r;
        const int ref = registers ? r : (count >= 2 ? referenceIndex(files) : 0);
        const QString referencePath = files[ref];
        if (registers) {
            const QString prefix = regnames::prefixOf(referencePath);
            for (int b = 0; b < count; ++b) {
                if (b == r || !matrices.contains(b)) {
                    registered << files[b];
                    continue;
                }
                if (stopRequested()) {
                    removeTemporaryEntries(registered, -1);
                    return finishStopped();
                }
                const QString warped = QString("%1/%2_reg_%3_%4.tif")
                                           .arg(m_workFolder, prefix, regnames::groupNumberOf(referencePath))
                                           .arg(b);
                if (registrationConversion(files[b], warped, matrices[b])) {
                    registered << warped;
                } else {
                    qDebug() << "can not correct" << b << "channel";
                    registered << files[b];
                }
            }
        } else {
            if (count >= 2)
                qDebug() << "runCommonMode: group" << key << "has no reference band" << r
                         << ", merged unregistered";
            registered = files;
        }
        if (mergeGroup(key, files, registered, referencePath, true)) ++merged;
        if (count >= 2) {
            removeTemporaryEntries(registered, registers ? r : -2);
            if (stopRequested()) return finishStopped();
        }
        ++done;
        emit signalRegistrationProgress(30 + 70 * done / G,
                                        QString("Processed %1/%2 groups").arg(done).arg(G));
    }
    removeWorkFolder();
    const QString message = QStringLiteral("结果文件生成完成: 共%1组, 成功%2组").arg(G).arg(merged);
    qDebug() << message;
    emit signalRegistrationFinished(true, message);
}
