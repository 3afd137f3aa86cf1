#include "run_controller.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cmath>

#include "handle_data_operation.h"
#include "handle_jpg_operation.h"
#include "image_registration_thread.h"
#include "logger.h"
#include "operator_dialogs.h"
#include "output_file.h"
#include "panel_automatic.h"
#include "panel_recognition.h"
#include "panel_value.h"
#include "sfm_calibration_thread.h"
#include "raw_tiff.h"

using namespace refl;

namespace {

const QString kNotice = QStringLiteral("提示");
const QString kReminder = QStringLiteral("提醒");
// Images named in the end message; the log names them all.
constexpr int kNamesShown = 20;

}  // namespace

RunController::RunController(RunView& view, QObject* parent) : QObject(parent), m_view(view) {
    qRegisterMetaType<RunOutcome>("RunOutcome");
    registerCalibrationMetaTypes();
}

RunController::~RunController() {
    m_pool.clear();
    m_pool.waitForDone();
    if (m_registration) {
        m_registration->stop();
        m_registration->wait();
    }
    if (m_calibrationThread) {
        m_calibrationThread->stop();
        m_calibrationThread->wait();
    }
}

bool RunController::refuse(bool warning, const QString& title, const QString& text, bool parented) {
    if (warning) {
        m_view.dialogs().warning(title, text, parented);
    } else {
        m_view.dialogs().information(title, text, false);
    }
    m_report.note(title + ": " + text);
    finishReport(RunOutcome::Refused);
    emit finished(RunOutcome::Refused);
    return false;
}

void RunController::end(RunOutcome outcome) {
    finishReport(outcome);
    emit finished(outcome);
}

void RunController::start(const RunRequest& request) {
    // A new run must not write into folders that are still being merged.
    if (m_running || m_registration || m_calibrationThread) {
        refuse(false, kReminder, QStringLiteral("正在处理中，请勿重复处理操作！"));
        return;
    }
    m_request = request;
    m_notConverted.clear();
    m_threads.applyToOpenCv();
    beginReport(request.scan.kind == ImageKind::Jpg ? "jpg" : request.reflectance ? "reflectance" : "radiance");
    if (m_request.previewDir.isEmpty()) m_request.previewDir = greyboardPreviewDir();
    if (request.scan.totalCount == 0) {
        // Nothing would ever be counted out, so the run could not end: refuse it.
        refuse(false, kNotice, QStringLiteral("文件夹内无待处理的文件！"));
        return;
    }
    m_reflectanceRun = request.reflectance;
    m_jpgRun = request.scan.kind == ImageKind::Jpg;
    if (!m_reflectanceRun && !m_jpgRun) {
        startRadianceRun();
        return;
    }
    m_outputFolders.clear();
    m_workingReflectance = request.standardReflectance;
    m_meanPanelValue = QVector<double>(6, 0.0);
    if (m_jpgRun) {
        qDebug() << "begin to handle jpg object,,,,,,";
        startJpgRun();
        return;
    }
    if (!checkReflectanceRequest()) return;
    if (!runPanelPhase()) return;
    startSelfCalibration(false);
}

bool RunController::checkFolders() {
    const RunRequest& r = m_request;
    if (r.rawDirectory.isEmpty())
        return refuse(true, kReminder, QStringLiteral("请确认原始影像目录已经选择！请勿黏贴路径！"));
    if (r.resultDirectory.isEmpty())
        return refuse(true, kReminder,
                      m_jpgRun ? QStringLiteral("请确认标定影像目录已经选择！请勿黏贴路径！")
                               : QStringLiteral("请确认标定影像目录已经选择！"));
    return true;
}

void RunController::startRadianceRun() {
    const RunRequest& r = m_request;
    if (!checkFolders()) return;
    if (r.scan.groups.isEmpty()) {
        refuse(true, kReminder, QStringLiteral("未找到任何分组信息，请确认原始影像目录已正确选择！"));
        return;
    }
    m_outputFolders.clear();
    m_workingReflectance = r.standardReflectance;
    m_panelGroupCount = 1;
    m_meanPanelValue = QVector<double>(6, 0.0);
    qDebug() << "getRadtoMultiObject" << r.scan.firstGroupFiles << r.scan.firstGroupLabels;
    if (!readRadianceCapture()) return;
    // A radiance run needs no panel values: the planes are not kept.
    m_planes.clear();
    m_planes.shrink_to_fit();
    qDebug() << "getRadtoMultiObject: cameraType=" << m_camera.cameraType;
    startSelfCalibration(true);
}

// Lens self-calibration between the panel phase and the pool; its end continues the run.
void RunController::startSelfCalibration(bool radiance) {
    m_calibration.clear();
    if (m_camera.cameraType == 6 || !m_selfCalibrationEnabled) {
        reportLenses(false, m_camera.cameraType == 6 ? QStringLiteral("this camera type is not self-calibrated")
                                                     : QStringLiteral("self-calibration switched off"));
        if (radiance)
            slotContinueAfterSfMCalibrationRad();
        else
            slotContinueAfterSfMCalibration();
        return;
    }
    m_calibrationRadiance = radiance;
    m_calibrationStopped = false;
    m_report.enterPhase(QStringLiteral("Self-calibration"));
    m_view.setPhaseText(QStringLiteral("SfM相机标定中.."));
    m_view.setProgressVisible(true);
    m_view.setProgress(0);
    m_calibrationThread =
        new CSfMCalibrationThread(m_request.rawDirectory, m_camera.pixelSizeUm, m_camera.focalMm, this);
    m_threads.applyTo(*m_calibrationThread);
    connect(m_calibrationThread, &CSfMCalibrationThread::signalCalibrationProgress, this,
            &RunController::slotSfMCalibrationProgress, Qt::QueuedConnection);
    connect(m_calibrationThread, &CSfMCalibrationThread::signalCalibrationFinished, this,
            &RunController::slotSfMCalibrationFinished, Qt::QueuedConnection);
    m_calibrationThread->start(QThread::InheritPriority);
}

void RunController::slotSfMCalibrationProgress(int progress, QString info) {
    if (m_calibrationStopped) return;
    if (progress < 0) {
        qDebug() << "SfM Calibration Notice:" << info;
        m_report.note(info);
        m_view.dialogs().warning(kReminder, info, false);
        return;
    }
    m_view.setProgress(progress);
    m_view.setPhaseText(info);
    qDebug() << "SfM Calibration Progress:" << progress << "%" << info;
}

void RunController::slotSfMCalibrationFinished(bool success, QString info, QMap<QString, CameraCalibParams> results) {
    // The finished signal is the last thing the thread's run() does.
    if (m_calibrationThread) {
        m_calibrationThread->wait();
        m_calibrationThread->deleteLater();
        m_calibrationThread = nullptr;
    }
    if (m_calibrationStopped) return;  // the run already ended with the stop
    qDebug() << "SfM Calibration finished:" << info;
    m_calibration = results;
    m_report.data().calibrationSummary = info;
    reportLenses(true, QString());
    if (!success) qDebug() << "SfM Calibration: all bands failed, will use XMP fallback for distortion correction";
    if (m_calibrationRadiance)
        slotContinueAfterSfMCalibrationRad();
    else
        slotContinueAfterSfMCalibration();
}

bool RunController::createOutputFolders() {
    const RunRequest& r = m_request;
    m_outputFolders.clear();
    QStringList wanted;
    if (r.scan.layout == DirectoryLayout::MultiLevel) {
        for (const QString& sub : r.scan.subfolders) wanted << r.resultDirectory + "/" + QFileInfo(sub).fileName();
    } else {
        wanted << r.resultDirectory + "/" + QFileInfo(r.rawDirectory).fileName();
    }
    const QStringList inputs = r.scan.layout == DirectoryLayout::MultiLevel ? r.scan.subfolders
                                                                             : QStringList{r.rawDirectory};
    // An output folder that holds images of the scan (an earlier run's results inside the raw
    // folder) would have them converted again as raw images while this run writes over them. A
    // result folder above the raw folder is fine: its output folders lie beside the raw ones.
    QStringList outputPrefixes;
    for (const QString& folder : wanted)
        outputPrefixes << QFileInfo(folder).absoluteFilePath() + "/" << QFileInfo(folder).canonicalFilePath() + "/";
    for (int i = 0; i < r.scan.files.size(); ++i) {
        const QFileInfo input(inputPath(i));
        const QString canonical = input.canonicalFilePath();
        for (const QString& prefix : outputPrefixes) {
            if (prefix.size() > 1 && (input.absoluteFilePath().startsWith(prefix) ||
                                      (!canonical.isEmpty() && canonical.startsWith(prefix)))) {
                qDebug() << "createOutputFolders: an output folder holds raw images of this run, refused:"
                         << input.absoluteFilePath();
                refuse(true, kReminder, QStringLiteral("结果存储目录不能与原始影像目录相同！"));
                return false;
            }
        }
    }
    for (int i = 0; i < wanted.size(); ++i) {
        if (!QDir().mkpath(wanted[i]) || !QFileInfo(wanted[i]).isWritable()) {
            m_view.dialogs().warning(QStringLiteral("创建文件夹"),
                                     QStringLiteral("文件夹创建没有成功,请指定合理存放路径！"));
            if (r.scan.layout == DirectoryLayout::MultiLevel)
                m_view.dialogs().warning(kReminder, QStringLiteral("文件夹不能成功创建！"));
            end(RunOutcome::Refused);
            return false;
        }
        // Converted files keep their names: the output folder must never be the raw folder.
        if (sameFile(wanted[i], inputs.value(i))) {
            refuse(true, kReminder, QStringLiteral("结果存储目录不能与原始影像目录相同！"));
            return false;
        }
    }
    m_outputFolders = wanted;
    if (r.scan.layout == DirectoryLayout::MultiLevel) qDebug() << "进入第" << 0 << "文件夹" << m_outputFolders.value(0);
    return true;
}

void RunController::slotContinueAfterSfMCalibration() {
    if (m_stopBeforePool) {
        end(RunOutcome::Completed);
        return;
    }
    m_view.setPhaseText(QStringLiteral("预处理中.."));
    if (!createOutputFolders()) return;
    startPool(false);
}

void RunController::slotContinueAfterSfMCalibrationRad() { slotContinueAfterSfMCalibration(); }

void RunController::startJpgRun() {
    if (!checkFolders()) return;
    if (!createOutputFolders()) return;
    startPool(true);
}

QString RunController::inputPath(int index) const {
    const RawScanResult& s = m_request.scan;
    if (s.layout == DirectoryLayout::MultiLevel) return s.files.value(index);
    return m_request.rawDirectory + "/" + s.files.value(index);
}

void RunController::startPool(bool jpg) {
    const RawScanResult& s = m_request.scan;
    m_processed = 0;
    m_cursor = 0;
    m_notConverted.clear();
    m_report.enterPhase(QStringLiteral("Conversion"));
    // Never hand out more files than the list holds.
    m_total = std::min(s.totalCount, static_cast<int>(s.files.size()));
    m_running = true;
    m_view.setProgress(0);
    m_view.setProgressVisible(true);
    if (!jpg) {
        m_view.setPanelViewsEnabled(false);
        m_view.setRunControlsEnabled(false);
    }
    m_threads.applyToTaskPool(m_pool, jpg);
    qDebug() << "the filenumber:" << m_total;
    if (m_total == 0) {
        end(RunOutcome::Completed);
        m_running = false;
        return;
    }

    // The panel images' labels; in a radiance run those of the capture the calibration came from.
    const QStringList& bandLabels = m_panelBandLabels;
    int folder = 0;
    for (int i = 0; i < m_total; ++i) {
        if (!m_running) return;  // stopped meanwhile
        if (s.layout == DirectoryLayout::MultiLevel) {
            while (folder + 1 < m_outputFolders.size() && i >= s.cumulativeCounts.value(folder)) {
                ++folder;
                qDebug() << "进入第" << folder << "文件夹" << m_outputFolders[folder];
            }
        }
        const QString path = inputPath(i);
        m_cursor = i + 1;
        qDebug() << "The number of handled file and name:" << i << path;
        const QString name = QFileInfo(path).fileName();
        if (isPanelImageName(path)) {
            slotReceiveCount();
            continue;
        }
        const QString outputDir = m_outputFolders.value(folder);
        if (jpg) {
            auto* task = new CHandleJpgDataOperation();
            task->inputPath = path;
            task->outputDir = outputDir;
            connect(task, &CHandleJpgDataOperation::conversionEnded, this, &RunController::noteConversion,
                    Qt::QueuedConnection);
            connect(task, &CHandleJpgDataOperation::getCommonJpgCacheAreaData, this, &RunController::slotReceiveCount,
                    Qt::QueuedConnection);
            m_pool.start(task);
            continue;
        }
        const int band = bandLabels.indexOf(bandLabelFromFileName(name));
        if (band < 0 || band >= int(m_maps.size()) || band >= m_records.size()) {
            bandMismatch();
            return;
        }
        qDebug() << "real compute the DN value:" << band << m_layoutFlag << m_keyedFlag << m_camera.height
                 << m_camera.width << m_camera.cameraType << path;
        auto* task = new CHandleDataOperation();
        RadiometricTaskOptions& o = task->options;
        o.inputPath = path;
        o.outputDir = outputDir;
        o.calibration = m_records[band];
        o.vignettingMap = &m_maps[size_t(band)];
        o.panelValue = m_meanPanelValue.value(band);
        o.panelReflectance = m_workingReflectance[size_t(std::min(band, 5))];
        o.layout = m_layoutFlag == 1 ? RadiometricTaskOptions::Layout::OlderSixBand
                                     : RadiometricTaskOptions::Layout::Standard;
        o.keyedCalibration = m_keyedFlag;
        o.height = m_camera.height;
        o.width = m_camera.width;
        o.cameraType = m_camera.cameraType;
        o.output = m_reflectanceRun ? RadiometricTaskOptions::Output::Reflectance
                                    : RadiometricTaskOptions::Output::Radiance;
        o.pixelSizeUm = m_camera.pixelSizeUm;
        o.focalMm = m_camera.focalMm;
        task->setSfMCalibResults(m_calibration);
        connect(task, &CHandleDataOperation::conversionEnded, this, &RunController::noteConversion,
                Qt::QueuedConnection);
        connect(task, &CHandleDataOperation::getCommonCacheAreaData, this, &RunController::slotReceiveCount,
                Qt::QueuedConnection);
        m_pool.start(task);
    }
}

void RunController::bandMismatch() {
    m_pool.clear();
    m_pool.waitForDone();
    freePanelData();
    m_view.dialogs().warning(kReminder,
                             QStringLiteral("原始影像目录中文件与标准板文件波段不一致，请确认后再进行后续处理！"));
    m_report.note(QStringLiteral("原始影像目录中文件与标准板文件波段不一致，请确认后再进行后续处理！"));
    m_view.setProgress(0);
    m_running = false;
    m_view.setPanelViewsEnabled(true);
    m_view.setRunControlsEnabled(true);
    end(RunOutcome::Failed);
}

void RunController::noteConversion(const QString& inputPath, bool written) {
    // Arrives just before the image is counted; ends of a stopped run are not recorded.
    if (m_running && !written) m_notConverted << inputPath;
}

void RunController::slotReceiveCount() {
    // Ends of tasks that were still running when the run stopped are not counted any more.
    if (!m_running) return;
    ++m_processed;
    const int percent = m_total > 0 ? static_cast<int>(static_cast<double>(m_processed) / m_total * 100.0) : 100;
    m_view.setProgress(percent);
    if (percent < 100) return;
    if (m_jpgRun) {
        m_view.dialogs().information(kNotice, QStringLiteral("处理完毕！"), false);
    } else {
        m_view.setPhaseText(QStringLiteral("预处理完毕"));
        m_pool.clear();
        m_pool.waitForDone();
        freePanelData();
        if (m_reflectanceRun) m_view.setPanelViewsEnabled(true);
        m_view.setRunControlsEnabled(true);
    }
    m_cursor = 0;
    m_running = false;
    qDebug() << "End Handling.";
    if (!m_notConverted.isEmpty())
        qDebug() << "Images not converted:" << m_notConverted.size() << "of" << m_total << m_notConverted;
    if (!m_outputFolders.isEmpty() && m_request.registration != RegistrationMode::None) {
        startRegistration(m_outputFolders, m_request.registration == RegistrationMode::Common, m_reflectanceRun,
                          m_request.scan.bandCount, true, m_request.registrationTempDir);
        return;
    }
    if (!m_notConverted.isEmpty()) m_view.dialogs().warning(kReminder, notConvertedText(), false);
    end(RunOutcome::Completed);
}

QString RunController::notConvertedText() const {
    if (m_notConverted.isEmpty()) return QString();
    QStringList names;
    for (int i = 0; i < m_notConverted.size() && i < kNamesShown; ++i) names << QFileInfo(m_notConverted[i]).fileName();
    if (m_notConverted.size() > kNamesShown) names << QStringLiteral("……");
    QString text = QStringLiteral("以下%1个影像未能转换（共%2个影像，其余已处理）：\n").arg(m_notConverted.size()).arg(m_total) +
                   names.join("\n");
    const QString log = currentLogFilePath();
    if (!log.isEmpty())
        text += QStringLiteral("\n\n原因见日志：") + QDir::toNativeSeparators(QFileInfo(log).absoluteFilePath());
    return text;
}

void RunController::freePanelData() {
    m_planes.clear();
    m_planes.shrink_to_fit();
    m_maps.clear();
    m_maps.shrink_to_fit();
}

void RunController::startRegistrationOnly(const QStringList& folders, RegistrationMode mode, bool reflectance,
                                          int bandCount, const QString& tempDir) {
    if (m_running || m_registration) {
        refuse(false, kReminder, QStringLiteral("正在处理中，请勿重复处理操作！"));
        return;
    }
    if (folders.isEmpty() || mode == RegistrationMode::None) {
        end(RunOutcome::Refused);
        return;
    }
    m_reflectanceRun = reflectance;
    m_notConverted.clear();
    m_threads.applyToOpenCv();
    beginReport(QStringLiteral("registration only"));
    m_report.data().resultDirectory = folders.first();
    m_report.data().registrationMode = mode == RegistrationMode::Common ? "common" : "per-group";
    m_outputFolders = folders;
    startRegistration(folders, mode == RegistrationMode::Common, reflectance, bandCount, false, tempDir);
}

void RunController::startRegistration(const QStringList& folders, bool common, bool reflectance, int bandCount,
                                      bool deleteIntermediates, const QString& tempDir) {
    qDebug() << "End Handling.00000000001111111111111111" << !common << common;
    m_report.enterPhase(QStringLiteral("Registration"));
    m_registration = new CImageRegistrationThread(folders, bandCount, common, reflectance, this);
    m_registration->setDeleteIntermediates(deleteIntermediates);
    m_threads.applyTo(*m_registration);
    if (!tempDir.isEmpty()) m_registration->setTemporaryFolder(tempDir);
    if (m_registrationSetup) m_registrationSetup(*m_registration);
    m_registrationReflectance = reflectance;
    m_registrationStopped = false;
    connect(m_registration, &CImageRegistrationThread::signalRegistrationProgress, this,
            &RunController::slotRegistrationProgress, Qt::QueuedConnection);
    connect(m_registration, &CImageRegistrationThread::signalRegistrationFinished, this,
            &RunController::slotRegistrationFinished, Qt::QueuedConnection);
    m_bandsToCheck.clear();
    m_qualityFiles.clear();
    connect(
        m_registration, &CImageRegistrationThread::signalRegistrationQuality, this,
        [this](QStringList bands, QStringList files) {
            m_bandsToCheck = bands;
            m_qualityFiles = files;
        },
        Qt::QueuedConnection);
    m_registration->start(QThread::InheritPriority);
    m_view.setProgress(0);
    m_view.setProgressVisible(true);
    if (reflectance) m_view.setPanelViewsEnabled(false);
    m_view.setRunControlsEnabled(false);
    m_view.setPhaseText(QStringLiteral("结果生成中..."));
}

QThread* RunController::registrationThread() const { return m_registration; }

void RunController::slotRegistrationProgress(int progress, QString info) {
    if (progress < 0) {
        // A notice: shown, and the registration goes on.
        qDebug() << "Registration Progress:" << progress << info;
        m_report.note(info);
        m_view.dialogs().warning(kReminder, info, false);
        return;
    }
    m_view.setProgress(progress);
    qDebug() << "Registration Progress:" << progress << info;
    if (progress == 100) {
        m_view.setRunControlsEnabled(true);
        if (m_registrationReflectance) m_view.setPanelViewsEnabled(true);
    }
}

void RunController::slotRegistrationFinished(bool success, QString info) {
    m_report.note(info);
    // Images the pool could not convert are named at the end, with the log that says why.
    const QString failures = notConvertedText();
    if (success && failures.isEmpty()) {
        m_view.setPhaseText(QStringLiteral("完成！"));
        m_view.dialogs().information(kNotice, info, false);
    } else if (success) {
        m_view.setPhaseText(QStringLiteral("完成，%1个影像未能转换！").arg(m_notConverted.size()));
        m_view.dialogs().warning(kReminder, info + "\n\n" + failures, false);
    } else {
        m_view.dialogs().warning(kReminder, info, false);
        if (!failures.isEmpty() && !m_registrationStopped) m_view.dialogs().warning(kReminder, failures, false);
    }
    // Bands whose registration measured poorly (or could not be registered) are named after the end box.
    if (success && !m_bandsToCheck.isEmpty()) {
        const int shown = std::min<int>(m_bandsToCheck.size(), 15);
        QString text = QStringLiteral("以下%1个波段配准需检查（残差大于1像素、无法测量或未配准）：\n")
                           .arg(m_bandsToCheck.size());
        text += QStringList(m_bandsToCheck.mid(0, shown)).join("\n");
        if (m_bandsToCheck.size() > shown) text += QStringLiteral("\n……");
        if (!m_qualityFiles.isEmpty()) text += QStringLiteral("\n详见：") + m_qualityFiles.join("\n");
        m_view.dialogs().warning(kReminder, text, false);
    }
    // A failed or stopped registration never reaches 100: the controls come back here too.
    m_view.setRunControlsEnabled(true);
    if (m_registrationReflectance) m_view.setPanelViewsEnabled(true);
    if (m_registration) {
        m_registration->deleteLater();
        m_registration = nullptr;
    }
    end(success ? RunOutcome::Completed : (m_registrationStopped ? RunOutcome::Stopped : RunOutcome::Failed));
}

void RunController::stop() {
    if (m_calibrationThread && !m_calibrationStopped) {
        m_calibrationThread->stop();
        m_calibrationThread->wait();
        m_calibrationStopped = true;
        m_view.setProgress(0);
        m_view.setPhaseText(QStringLiteral("已取消"));
        m_view.setPanelViewsEnabled(true);
        m_view.setRunControlsEnabled(true);
        end(RunOutcome::Stopped);
        return;
    }
    if (m_registration && m_registration->isRunning()) {
        m_registration->stop();
        m_registration->wait();
        m_registrationStopped = true;
        m_view.setProgress(0);
        m_view.setPhaseText(QStringLiteral("已取消"));
        return;
    }
    if (!m_running) return;
    m_pool.clear();
    m_pool.waitForDone();
    freePanelData();
    m_cursor = 0;
    m_request.scan.cumulativeCounts.clear();
    m_running = false;
    m_view.setProgress(0);
    if (!m_jpgRun) {
        m_view.setPanelViewsEnabled(true);
        m_view.setRunControlsEnabled(true);
    }
    end(RunOutcome::Stopped);
}
