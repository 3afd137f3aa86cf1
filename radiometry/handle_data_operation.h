#pragma once

#include <QObject>
#include <QRunnable>
#include <QString>

#include "camera_calib_params.h"
#include "radiometric_calibration.h"

namespace refl {

// What one conversion task is given before it starts (the run controller sets every field).
struct RadiometricTaskOptions {
    enum class Output { Radiance, Reflectance };
    enum class Layout { Standard, OlderSixBand };

    QString inputPath;                   // raw image to convert; empty: the task does nothing
    QString outputDir;                   // receives the converted copy and its "_Correct" twin
    Output output = Output::Radiance;    // normalised radiance, or reflectance against the panel
    double panelValue = 0.0;             // the panel's converted value in this band (divisor of reflectance)
    double panelReflectance = 0.6;       // the panel's known reflectance in this band
    RadiometricCalibration calibration;  // the band's panel record; refreshed from the image
    const VignettingMap* vignettingMap = nullptr;  // the band's map, width x height; shared, read only
    Layout layout = Layout::Standard;  // OlderSixBand: per-item XMP, fixed pixel offset, no lens correction
    bool keyedCalibration = false;     // calibration from the image's "_NM" keys
    bool diagnostic = false;           // only logged
    bool skipLensCorrection = false;   // no "_Correct" twin
    int cameraType = 0;                // selects the file layout and the lens-correction variant
    int width = 0;                     // image size, px
    int height = 0;
    double pixelSizeUm = 3.75;  // of the XMP lens model
    double focalMm = 5.2;       // of the XMP lens model

    // Empty when a task can convert with these options, else why not.
    QString validate() const;
};

// Converts one raw band image of a flight into normalised radiance or reflectance (a byte copy of
// the raw file with only its pixels replaced) and writes its lens-corrected "_Correct" twin. Runs
// once in the thread pool, which deletes it afterwards; emits getCommonCacheAreaData() once per
// image it was given, whatever happened to it.
class CHandleDataOperation : public QObject, public QRunnable {
    Q_OBJECT

public:
    explicit CHandleDataOperation(QObject* parent = nullptr);

    // Set by the run controller before the task starts.
    RadiometricTaskOptions options;

    // Accepted self-calibration results by band key; bands found here are undistorted with them.
    void setSfMCalibResults(const CameraCalibParamsMap& results);
    void run() override;

    // Where the raw reader found the pixel block (after run).
    quint32 stripOffset() const { return m_stripOffset; }

signals:
    // Once per image, just before getCommonCacheAreaData(): whether its output (and, unless lens
    // correction is skipped, its "_Correct" twin) now stands under its final name.
    void conversionEnded(const QString& inputPath, bool written);
    void getCommonCacheAreaData();

public slots:
    void slotReceiveEndCmd() {}

private:
    // Converts and writes the output file; false when nothing was written.
    bool convertAndWrite(const std::vector<uint16_t>& raw, const RadiometricCalibration& calibration,
                         uint64_t pixelOffset);
    // False when the "_Correct" twin could not be written.
    bool correctLens(const QString& converted);
    void finish(bool written);

    CameraCalibParamsMap m_sfmParams;
    quint32 m_stripOffset = 0;
};

}  // namespace refl
