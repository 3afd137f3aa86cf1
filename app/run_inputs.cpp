// The images that stand for the camera in a run: the panel images of a reflectance run, the first
// readable capture of a radiance run. A damaged file among them is named and left out; the camera
// is blamed only when none of its files can be read.
#include <QDebug>
#include <QFileInfo>

#include "operator_dialogs.h"
#include "raw_tiff.h"
#include "run_controller.h"

using namespace refl;

namespace {

const QString kReminder = QStringLiteral("提醒");
// Captures a radiance run reads, one after the other, to find one whose files are all sound.
constexpr int kCapturesToTry = 10;

QString fileNames(const QStringList& paths) {
    QStringList names;
    for (const QString& path : paths) names << QFileInfo(path).fileName();
    return names.join("\n");
}

}  // namespace

QVector<RunController::ImageFault> RunController::readCalibration(const QStringList& images) {
    QVector<ImageFault> faults;
    const RawTiffCamera camera{m_camera.cameraType, m_camera.width, m_camera.height, m_camera.make};
    m_records = QVector<RadiometricCalibration>(images.size());
    m_planes.assign(static_cast<size_t>(images.size()), {});
    QVector<QByteArray> xmp(images.size());
    QVector<bool> readable(images.size(), false);
    for (int i = 0; i < images.size(); ++i) {
        RawTiffLayout layout;
        if (!readTIF(RawTiffReader::Panel, images[i], camera, layout, m_planes[size_t(i)], xmp[i], m_records[i])) {
            faults << ImageFault{i, ImageFault::Unreadable};
            continue;
        }
        readable[i] = true;
        m_layoutFlag = layout.layoutFlag;
    }
    if (faults.size() == images.size()) return faults;
    for (int i = 0; i < images.size(); ++i) {
        if (!readable[i]) continue;
        if (m_layoutFlag == 1) {
            if (!readXmpPerItem(CalibrationReader::Panel, xmp[i], m_records[i])) {
                faults << ImageFault{i, ImageFault::ItemCalibration};
                readable[i] = false;
                continue;
            }
            m_keyedFlag = false;
        } else if (readXmpNodeValueVerTwo(CalibrationReader::Panel, xmp[i], m_records[i], &m_keyedFlag) == -1) {
            faults << ImageFault{i, ImageFault::OldModel};
            readable[i] = false;
            continue;
        }
        qDebug() << "readXmpNodeValueVerTwo" << i;
    }
    if (m_keyedFlag) {
        qDebug() << "V2 data nm new";
        for (int i = 0; i < images.size(); ++i)
            if (readable[i] && !readImageExifPanel(images[i], m_records[i]))
                faults << ImageFault{i, ImageFault::GainOrExposure};
    }
    return faults;
}

bool RunController::noneReadable(const QVector<ImageFault>& faults, int imageCount) {
    if (faults.size() != imageCount) return false;
    for (const ImageFault& f : faults)
        if (f.kind != ImageFault::Unreadable) return false;
    return true;
}

QString RunController::faultText(const QVector<ImageFault>& faults, const QStringList& images) const {
    if (faults.isEmpty()) return QString();
    // Not one of the files could be read: they are another camera's.
    if (noneReadable(faults, images.size())) return QStringLiteral("本软件只处理Quorvin系列相机文件！");
    QStringList named;
    for (const ImageFault& f : faults)
        if (f.kind == faults.first().kind) named << images.value(f.image);
    switch (faults.first().kind) {
    case ImageFault::Unreadable:
        return QStringLiteral("以下影像文件无法读取（文件损坏或不完整）：\n") + fileNames(named);
    case ImageFault::OldModel: return QStringLiteral("该型号停止维护，软件不再兼容！");
    case ImageFault::ItemCalibration:
        return QStringLiteral("以下影像的辐射定标参数缺失或无效：\n") + fileNames(named);
    case ImageFault::GainOrExposure: return QStringLiteral("图像文件中的参数g或t信息不存在！");
    }
    return QString();
}

bool RunController::buildMaps() {
    const int n = m_request.scan.bandCount;
    if (buildVignettingMaps(m_records, m_camera.width, m_camera.height, n, m_keyedFlag, m_maps)) return true;
    qDebug() << "buildVignettingMaps: no vignetting maps for an image size of" << m_camera.width << "x"
             << m_camera.height;
    return refuse(true, kReminder,
                  QStringLiteral("无法生成渐晕校正图：影像尺寸%1×%2无效！").arg(m_camera.width).arg(m_camera.height));
}

bool RunController::readPanelCalibration() {
    const QVector<ImageFault> faults = readCalibration(m_panelImages);
    if (!faults.isEmpty()) {
        const QString text = faultText(faults, m_panelImages);
        const int n = m_request.scan.bandCount;
        // A panel group with an image that cannot be read gives no panel value for its band: the
        // group is left out, and the run goes on with the others. A camera the program does not
        // know stops the run.
        QVector<bool> dropped(m_panelGroupCount, false);
        QStringList bad;
        for (const ImageFault& f : faults) {
            if (f.kind == ImageFault::OldModel || noneReadable(faults, m_panelImages.size()))
                return refuse(true, kReminder, text);
            dropped[f.image / n] = true;
            bad << m_panelImages[f.image];
            qDebug() << "readPanelCalibration: panel image could not be read, its group is left out:"
                     << m_panelImages[f.image];
        }
        QStringList images, labels;
        QVector<PanelGeometry> geometry;
        QVector<RadiometricCalibration> records;
        std::vector<std::vector<uint16_t>> planes;
        for (int j = 0; j < m_panelImages.size(); ++j) {
            if (dropped[j / n]) continue;
            images << m_panelImages[j];
            labels << m_panelBandLabels.value(j);
            geometry << m_geometry.value(j);
            records << m_records[j];
            planes.push_back(std::move(m_planes[size_t(j)]));
        }
        if (images.isEmpty()) return refuse(true, kReminder, text);
        m_view.dialogs().warning(kReminder,
                                 QStringLiteral("以下灰板影像无法读取，已跳过所在的灰板组：\n") + fileNames(bad),
                                 false);
        m_panelImages = images;
        m_panelBandLabels = labels;
        m_geometry = geometry;
        m_records = records;
        m_planes = std::move(planes);
        m_panelGroupCount = images.size() / n;
    }
    return buildMaps();
}

bool RunController::readRadianceCapture() {
    const RawScanResult& s = m_request.scan;
    const bool keyedBefore = m_keyedFlag;
    QString firstText;
    int tried = 0;
    // Candidates: the first capture as the scan found it, then every capture of N bands in key order.
    for (auto group = s.groups.constBegin(); group != s.groups.constEnd(); ++group) {
        QStringList images;
        if (group.key() == s.firstGroupKey) {
            images = s.firstGroupFiles;
        } else {
            if (group.value().size() != s.bandCount) continue;
            for (int i = 0; i < s.files.size(); ++i) {
                const QString name = QFileInfo(s.files[i]).fileName();
                const QStringList fields = fileNameFields(name);
                if (!isPanelImageName(name) && fields.size() >= 3 && fields.at(1) == group.key())
                    images << inputPath(i);
            }
        }
        QStringList labels;
        for (const QString& path : images) labels << bandLabelFromFileName(QFileInfo(path).fileName());
        m_camera = PanelCameraInfo();
        for (const QString& path : images) readImageKeyExif(path, m_camera);
        judgeCameraTypeChannelCount(m_camera);
        m_keyedFlag = keyedBefore;
        const QVector<ImageFault> faults = readCalibration(images);
        if (faults.isEmpty()) {
            m_panelImages = images;
            m_panelBandLabels = labels;
            if (group.key() != s.firstGroupKey)
                qDebug() << "getRadtoMultiObject: the camera and its calibration are taken from capture" << group.key();
            return buildMaps();
        }
        const QString text = faultText(faults, images);
        if (firstText.isEmpty()) firstText = text;
        for (const ImageFault& f : faults)
            qDebug() << "getRadtoMultiObject: capture" << group.key() << "left out, image could not be read:"
                     << images.value(f.image);
        // A camera the program does not support is the flight's, not one capture's; so are faults
        // that go on capture after capture.
        if (faults.first().kind == ImageFault::OldModel || ++tried == kCapturesToTry) break;
    }
    m_keyedFlag = keyedBefore;
    return refuse(true, kReminder, firstText);
}
