// The panel phase of a reflectance run: the request's panel checks, the panels recognised from
// their codes (or the outlines drawn by hand), and the mean panel value of every band.
#include <QDebug>
#include <QFileInfo>

#include <cmath>
#include <numeric>

#include "panel_automatic.h"
#include "panel_recognition.h"
#include "panel_value.h"
#include "run_controller.h"

using namespace refl;

namespace {

const QString kReminder = QStringLiteral("提醒");

}  // namespace

bool RunController::checkReflectanceRequest() {
    const RunRequest& r = m_request;
    if (!checkFolders()) return false;
    if (r.panelImages.isEmpty())
        return refuse(true, kReminder, QStringLiteral("请确认标定板影像文件已经添加完成！"));
    QString badLabels;
    for (int i = 0; i < 6; ++i) {
        const double v = m_workingReflectance[i];
        if (!(v > 0.0 && v < 1.0)) badLabels += r.panelBandLabels.value(i).section('.', 0, 0) + "\n";
    }
    if (!badLabels.isEmpty())
        return refuse(false, kReminder, QStringLiteral("请检查一下标定板的标准反射率的值：\n\n") + badLabels);
    int withoutOutline = 0;
    for (int i = 0; i < r.panelImages.size(); ++i) withoutOutline += r.regionDrawn.value(i, false) ? 0 : 1;
    if (withoutOutline == r.panelImages.size()) {
        m_autoRecognition = true;
    } else if (withoutOutline == 0) {
        m_autoRecognition = false;
    } else {
        return refuse(false, kReminder, QStringLiteral("请框选每一块灰板的范围\n\n"));
    }
    qDebug() << "slotStartRegistration and to bAutoRecognizationOrNot:" << m_autoRecognition << withoutOutline;
    qDebug() << "Begin to calibation" + QString(67, ',') << r.panelImages.size() << r.outlines.size();
    return true;
}

bool RunController::runPanelPhase() {
    const int n = m_request.scan.bandCount;
    m_report.enterPhase(QStringLiteral("Panel"));
    m_panelImages = m_request.panelImages;
    m_panelBandLabels = m_request.panelBandLabels;
    m_panelGroupCount = n > 0 ? m_panelImages.size() / n : 0;
    if (n <= 0 || m_panelGroupCount == 0)
        return refuse(true, kReminder, QStringLiteral("请确认标定板影像文件已经添加完成！"));

    // The camera, from the panel images' metadata.
    m_camera = PanelCameraInfo();
    for (const QString& path : m_panelImages) readImageKeyExif(path, m_camera);
    judgeCameraTypeChannelCount(m_camera);

    if (m_autoRecognition) {
        if (!recognisePanels()) return false;
    } else {
        m_geometry.clear();
        for (int i = 0; i < m_panelImages.size(); ++i) {
            const auto ordered = orderDrawnOutline(m_request.outlines.value(i));
            if (!ordered)
                return refuse(false, kReminder, QStringLiteral("本软件现阶段仅支持绘制四边形轮廓区域选取！"));
            m_geometry << normalizeDrawnOutline(*ordered, m_camera.cameraType, m_camera.width, m_camera.height, i);
        }
    }
    qDebug() << "loadGreyBoardName" << n << m_panelBandLabels.size() << m_panelImages << m_panelBandLabels;
    if (!readPanelCalibration()) return false;
    const bool measured = computePanelValues();
    // The planes served the panel values only.
    m_planes.clear();
    m_planes.shrink_to_fit();
    return measured;
}

bool RunController::recognisePanels() {
    const int n = m_request.scan.bandCount;
    const AutomaticPanelResult result = recognizePanelGroups(m_panelImages, n, m_request.previewDir);
    if (result.groupCount() == 0)
        return refuse(true, kReminder, QStringLiteral("所有灰板组均未能正确识别，请人工绘制！"));
    qDebug() << QString("成功识别%1组灰板").arg(result.groupCount());
    // The code's reflectances go to the spin boxes; this run keeps the values it started with.
    m_report.data().codeValues = result.codeValues;
    const auto fromCode = standardReflectanceFromCode(result.codeValues, m_request.scan.firstGroupLabels);
    for (int i = 0; i < fromCode.size(); ++i)
        if (fromCode[i]) m_view.setStandardReflectance(i, *fromCode[i]);

    QStringList images, labels;
    m_geometry.clear();
    for (int g : result.recognisedGroups) {
        for (int b = 0; b < n; ++b) {
            const int j = g * n + b;
            images << m_panelImages[j];
            labels << m_request.panelBandLabels.value(j, bandLabelFromFileName(QFileInfo(m_panelImages[j]).fileName()));
            m_geometry << result.geometry[j];
        }
    }
    if (!m_view.confirmPanelPreviews(m_request.previewDir, images)) {
        m_view.setPhaseText(QStringLiteral("已停止"));
        end(RunOutcome::Stopped);
        return false;
    }
    m_panelImages = images;
    m_panelBandLabels = labels;
    m_panelGroupCount = result.groupCount();
    return true;
}

bool RunController::computePanelValues() {
    qDebug() << "begin to greyboard getHawkAreaDNAndLValue!";
    const int n = m_request.scan.bandCount;
    m_panelValues = QVector<double>(m_panelImages.size(), std::nan(""));
    for (int j = 0; j < m_panelImages.size(); ++j) {
        const int b = j % n;
        double value = std::nan("");
        if (b < int(m_maps.size()))
            getHawkAreaDNAndLValue(panelAreaFrom(m_geometry.value(j)), m_planes[size_t(j)].data(), m_camera.width,
                                   m_camera.height, m_records[j], m_maps[size_t(b)], value);
        m_panelValues[j] = value;
        qDebug() << (m_autoRecognition ? "getHawkAreaDNAndLValue bAutoRecognizationOrNot true"
                                       : "getHawkAreaDNAndLValue bAutoRecognizationOrNot ")
                 << j << value << b;
    }
    // A band without a measurable panel cannot be converted to reflectance.
    QVector<int> groups(m_panelGroupCount);
    std::iota(groups.begin(), groups.end(), 0);
    const QVector<double> means = ::meanPanelValues(m_panelValues, groups, n);
    m_meanPanelValue = QVector<double>(std::max(n, 6), 0.0);
    for (int b = 0; b < n; ++b) {
        if (!(means[b] > 0)) return refuse(true, kReminder, QStringLiteral("灰板区域无效，请重新框选灰板范围！"));
        m_meanPanelValue[b] = means[b];
        qDebug() << "cccccc" << b << m_meanPanelValue[b] << m_panelGroupCount;
    }
    reportPanels();
    return true;
}
