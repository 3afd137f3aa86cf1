// The run controller's once-per-flight results: handed out as a flight state, and taken back in
// place of the panel phase and the self-calibration.
#include <QDebug>
#include <QFileInfo>

#include "camera_info.h"
#include "flight_state.h"
#include "run_controller.h"

using namespace refl;

FlightState RunController::flightState() const {
    FlightState s;
    s.cameraType = m_camera.cameraType;
    s.serial = m_camera.serials.value(0);
    s.make = m_camera.make;
    s.model = m_camera.model;
    s.width = m_camera.width;
    s.height = m_camera.height;
    s.pixelSizeUm = m_camera.pixelSizeUm;
    s.focalMm = m_camera.focalMm;
    s.layoutFlag = m_layoutFlag;
    s.keyedFlag = m_keyedFlag;
    // The records of the first panel group, one per band, as the pool hands them to its tasks.
    const int n = m_request.scan.bandCount;
    s.bandLabels = m_panelBandLabels.mid(0, n);
    s.calibration = m_records.mid(0, n);
    s.reflectance = m_reflectanceRun;
    if (m_reflectanceRun) {
        s.panelValues = m_meanPanelValue.mid(0, n);
        s.standardReflectance = m_workingReflectance;
    }
    s.selfCalibrationRan = m_selfCalibrationEnabled && m_camera.cameraType != 6;
    s.lens = m_calibration;
    for (const QString& file : m_request.scan.firstGroupFiles) {
        const QString key = bandFromFileName(QFileInfo(file).fileName());
        if (!key.isEmpty() && !s.lensBandKeys.contains(key)) s.lensBandKeys << key;
    }
    for (const QString& key : m_calibration.keys())
        if (!s.lensBandKeys.contains(key)) s.lensBandKeys << key;
    return s;
}

void RunController::startWithFlightState(const RunRequest& request, const FlightState& state) {
    if (m_running || m_registration || m_calibrationThread) {
        refuse(false, QStringLiteral("提醒"), QStringLiteral("正在处理中，请勿重复处理操作！"));
        return;
    }
    m_request = request;
    // A run from a flight state writes its report and summary figures like any other run.
    beginReport(request.reflectance ? "reflectance" : "radiance");
    m_notConverted.clear();
    m_threads.applyToOpenCv();
    m_reflectanceRun = request.reflectance;
    m_jpgRun = false;
    m_outputFolders.clear();
    m_workingReflectance = state.reflectance ? state.standardReflectance : request.standardReflectance;
    m_meanPanelValue = QVector<double>(6, 0.0);
    for (int b = 0; b < state.panelValues.size(); ++b) {
        if (b >= m_meanPanelValue.size()) m_meanPanelValue << 0.0;
        m_meanPanelValue[b] = state.panelValues[b];
    }

    m_camera = PanelCameraInfo();
    m_camera.serials << state.serial;
    m_camera.cameraType = state.cameraType;
    m_camera.width = state.width;
    m_camera.height = state.height;
    m_camera.pixelSizeUm = state.pixelSizeUm;
    m_camera.focalMm = state.focalMm;
    m_camera.make = state.make;
    m_camera.model = state.model;
    m_layoutFlag = quint8(state.layoutFlag);
    m_keyedFlag = state.keyedFlag;

    // A reflectance run finds each image's band among the panel labels, a radiance run among the
    // first capture's labels: the records follow that order.
    m_panelImages.clear();
    m_panelGroupCount = 1;
    m_panelBandLabels = m_reflectanceRun ? state.bandLabels : request.scan.firstGroupLabels;
    m_records.clear();
    for (const QString& label : m_panelBandLabels)
        m_records << state.calibration.value(state.bandLabels.indexOf(label));
    m_calibration = state.lens;
    // The report's lens table: the state's lenses, not calibrated again by this run.
    reportLenses(false, state.lens.isEmpty()
                            ? QStringLiteral("the flight state holds no self-calibrated lens")
                            : QStringLiteral("the lenses come from the flight state"));
    m_report.data().calibrationSummary =
        QString("Lenses taken from the flight state: %1 of %2 bands self-calibrated when it was written.")
            .arg(state.lens.size())
            .arg(state.bandLabels.size());
    qDebug() << "startWithFlightState: camera type" << m_camera.cameraType << "serial" << state.serial
             << "bands" << m_panelBandLabels << "panel values" << m_meanPanelValue << "self-calibrated bands"
             << m_calibration.keys();
    if (!buildVignettingMaps(m_records, m_camera.width, m_camera.height, request.scan.bandCount, m_keyedFlag,
                             m_maps)) {
        refuse(true, QStringLiteral("提醒"), QStringLiteral("本软件只处理Quorvin系列相机文件！"));
        return;
    }
    slotContinueAfterSfMCalibration();
}
