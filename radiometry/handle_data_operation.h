#pragma once

#include <QObject>
#include <QRunnable>
#include <QString>

#include "calib_params.h"
#include "radiometric_calibration.h"

// Converts one raw band image of a flight into normalised radiance or reflectance (a byte copy of
// the raw file with only its pixels replaced) and writes its lens-corrected "_Correct" twin. Runs
// once in the thread pool, which deletes it afterwards; emits getCommonCacheAreaData() once per
// image it was given, whatever happened to it.
class CHandleDataOperation : public QObject, public QRunnable {
    Q_OBJECT

public:
    explicit CHandleDataOperation(QObject* parent = nullptr);

    // Accepted self-calibration results by band key; bands found here are undistorted with them.
    void setSfMCalibResults(const CameraCalibParamsMap& results);
    void run() override;

    // Set by the run controller before the task starts.
    QString inputPath;
    QString outputDir;
    double panelValue = 0.0;
    double panelReflectance = 0.6;
    RadiometricCalibration calibration;   // the band's panel record; refreshed from the image
    const VignettingMap* vignettingMap = nullptr;  // shared by the band's tasks, read only
    quint8 layoutFlag = 0;                // 1: older six-band layout (per-item XMP, no lens correction)
    quint8 keyedFlag = 0;                 // 1: calibration from the "_NM" keys
    quint32 stripOffset = 0;              // found by the raw reader
    quint8 diagnosticFlag = 0;            // only logged
    quint8 skipLensCorrection = 0;
    quint8 reflectanceMode = 0;           // 1: reflectance against the panel, 0: normalised radiance
    CameraCalibParamsMap sfmParams;
    int cameraType = 0;
    int width = 0;
    int height = 0;
    double pixelSizeUm = 3.75;
    double focalMm = 5.2;

signals:
    // Once per image, just before getCommonCacheAreaData(): whether its output (and, unless lens
    // correction is skipped, its "_Correct" twin) now stands under its final name.
    void conversionEnded(const QString& inputPath, bool written);
    void getCommonCacheAreaData();

public slots:
    void slotReceiveEndCmd() {}

private:
    // Converts and writes the output file; false when nothing was written.
    bool convertAndWrite(const std::vector<uint16_t>& raw, uint64_t pixelOffset);
    // False when the "_Correct" twin could not be written.
    bool correctLens(const QString& converted);
    void finish(bool written);
};
