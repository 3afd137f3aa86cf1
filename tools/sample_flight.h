// Sample-flight generator: raw band captures in the cameras' own byte layouts, panel captures with a
// real QR code, JPG captures, and the ground truth that produced them.
//
// Typical use in a test:
//
//     reflsample::SampleOptions opt = reflsample::SampleOptions::small();   // fast flight
//     reflsample::FlightTruth truth;
//     ASSERT_TRUE(reflsample::generateSampleFlight(dir.path(), opt, &truth));
//     // truth.bands[b].refFromBandCorrected, truth.captures[i].files[b], truth.checkPoints ...
//
// The same truth is written as truth.json beside the images (see tools/README.md for the layout).
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <opencv2/core.hpp>

#include "camera_setup.h"

namespace reflsample {

/// What to write and how. Defaults give the default flight of `reflectivity-sample OUTDIR`.
struct SampleOptions {
    int cameraType = 0;                  ///< 0, 3, 4 or 6 (selects serial prefix, model, band set, layout)
    RawLayout layout = RawLayout::VTwo;  ///< type 0: VOne or VTwo; types 3, 4, 6 always Keyed
    int captures = 8;                    ///< flight captures in all, shared out over the strips
    int width = 0;                       ///< 0 = the camera's own size; type 0 is always 1280 x 960
    int height = 0;
    quint32 seed = 1;             ///< everything (scene, lens, misalignment, noise) follows from it
    double altitude = 60.0;       ///< nominal relative altitude in metres
    double overlap = 0.75;        ///< forward overlap between consecutive captures (0.5 ... 0.9)
    int strips = 1;               ///< flight lines; each next one flies back, offset north by the side
                                  ///< step that gives `overlap` across the track as well
    double relief = 1.0;          ///< scale of the terrain heights (1 = about +-1.7 m), 0 ... 8
    /// Ground cover: "mixed" (fields, roads, buildings, trees, tarps), "canopy" (closed crop canopy
    /// with a few gaps) or "lawn" (mown grass): the last two have weak texture whose contrast flips
    /// between the visible and the near-infrared bands, and no buildings, trees or tarps.
    QString scene = QStringLiteral("mixed");
    double tiltDeg = 1.5;         ///< roll and pitch of each flight capture: uniform in +-tiltDeg
    double noiseScale = 1.0;      ///< 0 = noise-free pixels
    double maxRotationDeg = 1.5;  ///< band misalignment against the reference band
    double maxShiftPx = 25.0;     ///< at full size; scaled with the image width
    double maxScale = 0.015;
    double distortionScale = 1.0;  ///< 0 = no lens distortion
    double xmpLensError = 0.0;     ///< 0 = the XMP lens keys give the true lens; 1 = realistically off
    double xmpFocalErrorPct = 0.0;  ///< XMP focal length off by +PCT % (even bands), -PCT % (odd bands)
    QString make;                  ///< empty = "Quorvin"
    QString serial;                ///< empty = a serial with the type's prefix
    bool writeFlight = true;
    bool writeNewPanel = true;    ///< panel capture "IMG_0000_<n>_<label>.tif" in panel/
    bool writeOldPanel = true;    ///< old-board capture named with "greyboard" in panel/
    bool writeJpg = true;         ///< JPG copies of the flight captures in jpg/
    int jpgCaptures = -1;         ///< -1 = all flight captures
    double panelAngleDeg = 23.0;  ///< rotation of the new board; the old board uses -(angle + 100)
    int panelValueCount = 17;     ///< percentages in the new board's code: 17 or 20
    bool writeTruth = true;       ///< truth.json in OUTDIR

    /// A quick flight for unit tests: keyed layout (type 6), 640 x 480, 4 captures, both panels, no JPG.
    static SampleOptions small();
    /// Empty when the options make sense, else the reason.
    QString validate() const;
};

/// One check point: a flat, uniform target in the scene (a tarp, a roof, water), seen in one capture.
struct CheckPoint {
    QString name;
    QString captureKey;
    int captureIndex = 0;
    double radiusPx = 0;          ///< the target is uniform within this radius around `pixel`
    QVector<cv::Point2d> pixel;   ///< per band, raw (distorted) pixel coordinates, 0-based
    QVector<double> reflectance;  ///< per band
    QVector<double> radiance;     ///< per band, normalised radiance (what radiance mode outputs / 65535)
};

struct CaptureTruth {
    QString key;           ///< "0001"
    QString kind;          ///< "flight", "panel-new", "panel-old"
    QStringList files;     ///< per band, relative to OUTDIR
    QStringList jpgFiles;  ///< per band, relative to OUTDIR (flight captures with JPG only)
    double relativeAltitude = 0;
    double exposureTime = 0;         ///< seconds, as written (Camera:IrradianceExposureTime)
    double gain = 1;                 ///< as written (Camera:IrradianceGain)
    QVector<double> exposureAsRead;  ///< per band: the exposure the calibration readers derive
    QVector<double> gainAsRead;      ///< per band
    cv::Vec3d centre;                ///< camera centre, world metres (x east, y north, z up)
    cv::Matx33d camFromWorld;        ///< reference-band camera rotation
    double yawDeg = 0, pitchDeg = 0, rollDeg = 0;
    double latitude = 0, longitude = 0, gpsAltitude = 0;
};

struct PanelTruth {
    bool present = false;
    bool newBoard = true;
    QString captureKey;
    QString qrPayload;
    QString serial;
    double angleDeg = 0;              ///< rotation of the board in the image
    QVector<double> reflectance;      ///< per band
    QVector<double> radiance;         ///< per band: the panel value a correct panel step measures
    QVector<cv::Point2d> qrCentre;    ///< per band, raw pixels
    QVector<double> qrSidePx;         ///< per band, approximate side of the code in pixels
    QVector<cv::Point2d> greyCentre;  ///< per band, centre of the grey area in raw pixels
};

struct FlightTruth {
    SampleOptions options;
    CameraSpec camera;
    int referenceBand = 0;
    QVector<BandTruth> bands;
    QVector<CaptureTruth> captures;  ///< flight captures, then panel captures
    QVector<CheckPoint> checkPoints;
    PanelTruth newPanel, oldPanel;
    double generationSeconds = 0;
    qint64 bytesWritten = 0;

    int flightCaptureCount() const;
};

/// Writes the whole sample flight into outDir (created when missing): flight/, panel/, jpg/, truth.json.
/// Returns false (one log line) when the options are invalid or a file cannot be written.
bool generateSampleFlight(const QString& outDir, const SampleOptions& options, FlightTruth* truth);

/// Truth as JSON text (the content of truth.json).
QByteArray truthToJson(const FlightTruth& truth);

/// Reads truth.json text back. Options hold what the record states (camera type, layout, seed, number of
/// captures); false (one log line) for text that is not a complete truth record.
bool truthFromJson(const QByteArray& json, FlightTruth* truth);
bool loadTruth(const QString& path, FlightTruth* truth);

}  // namespace reflsample
