// What the run controller hands to its run report.
#include <QFileInfo>

#include "logger.h"
#include "run_controller.h"

using namespace refl;

void RunController::beginReport(const QString& kind) {
    m_report.begin(kind);
    RunReportData& d = m_report.data();
    const RunRequest& r = m_request;
    d.rawDirectory = r.rawDirectory;
    d.resultDirectory = r.resultDirectory;
    d.registrationMode = r.registration == RegistrationMode::Common     ? "common"
                         : r.registration == RegistrationMode::PerGroup ? "per-group"
                                                                        : "none";
    d.selfCalibrationEnabled = m_selfCalibrationEnabled;
    d.imageCount = r.scan.totalCount;
    d.captureCount = r.scan.groups.size();
    d.bandCount = r.scan.bandCount;
    d.bandLabels = r.scan.firstGroupLabels;
    if (m_reportSetup) m_reportSetup(d);
}

void RunController::reportPanels() {
    RunReportData& d = m_report.data();
    d.panels.clear();
    d.automaticRecognition = m_autoRecognition;
    for (int j = 0; j < m_panelImages.size(); ++j) {
        const PanelGeometry g = m_geometry.value(j);
        const bool havePlane = size_t(j) < m_planes.size() && !m_planes[size_t(j)].empty();
        d.panels << panelReportEntry(m_panelImages[j], m_panelBandLabels.value(j),
                                     havePlane ? m_planes[size_t(j)].data() : nullptr, m_camera.width,
                                     m_camera.height, g.valid, g.vertices, m_panelValues.value(j, std::nan("")));
    }
}

void RunController::reportLenses(bool ran, const QString& whyNot) {
    collectLensReport(m_report.data(), m_request.scan.firstGroupFiles, m_request.scan.firstGroupLabels, m_calibration,
                      m_camera.width, m_camera.height, m_camera.pixelSizeUm, m_camera.focalMm, ran, whyNot);
}

void RunController::finishReport(RunOutcome outcome) {
    if (!m_report.active()) return;
    if (outcome == RunOutcome::Refused) {  // its message box says all; an earlier report stays
        m_report.drop();
        return;
    }
    RunReportData& d = m_report.data();
    if (!m_outputFolders.isEmpty()) d.outputFolders = m_outputFolders;
    if (m_report.reached(QStringLiteral("Conversion"))) {  // else these are an earlier run's
        d.processedCount = m_processed;
        d.notConverted = m_notConverted;
    }
    d.cameraType = m_camera.cameraType;
    d.meanPanelValue = m_meanPanelValue;
    d.standardReflectance = m_workingReflectance;
    d.logPath = currentLogFilePath();
    m_report.finish(outcome == RunOutcome::Completed ? "completed"
                    : outcome == RunOutcome::Stopped ? "stopped"
                                                     : "failed");
}
