// Camera types, band sets and the per-band truth (lens, misalignment, radiometric constants).
#pragma once

#include <QString>
#include <QVector>
#include <opencv2/core.hpp>

namespace reflsample {

/// Raw file layouts. VOne / VTwo exist for camera type 0 only; Keyed is the "_NM" layout of types 3, 4, 6.
enum class RawLayout { VOne, VTwo, Keyed };

QString layoutName(RawLayout layout);  ///< "V_One", "V_Two", "keyed"
bool layoutFromName(const QString& name, RawLayout* layout);

struct CameraSpec {
    int cameraType = 0;
    QString serial;                     ///< e.g. "CA2104A0173"; its first two characters give the type
    QString make;                       ///< EXIF Make
    QString model;                      ///< EXIF Model ("PV760", "ZN4150", "TR310", "GL520")
    int fullWidth = 0, fullHeight = 0;  ///< the sensor's own size
    int width = 0, height = 0;          ///< size of the written images
    double pixelSizeUm = 3.75;          ///< sensor pitch of the type
    double xmpPixelSizeUm = 3.75;       ///< pitch used to write the millimetre lens keys
    double focalMm = 5.2;               ///< nominal focal length of the type
    QVector<int> wavelengths;           ///< band centre wavelengths in nm, band order
};

/// The camera of a type at a size (0 = full size; type 0 ignores the size, its sensor is fixed).
CameraSpec cameraSpecFor(int cameraType, int width = 0, int height = 0);

/// True when the exposure readers keep the exposure in milliseconds for this model (text layouts
/// always do; keyed files only for these models).
bool modelUsesMilliseconds(const QString& model);

struct BandTruth {
    int index = 0;
    int wavelengthNm = 0;
    QString label;  ///< "555nm"
    // Lens: OpenCV pinhole + Brown-Conrady, 0-based pixel coordinates.
    cv::Matx33d K;            ///< fx = fy
    cv::Vec<double, 5> D;     ///< k1, k2, p1, p2, k3
    cv::Matx33d bandFromRef;  ///< rotation of this band's camera against the reference band's
    // Misalignment onto the reference band (band pixel -> reference pixel), row-major:
    cv::Matx33d refFromBand;           ///< between ideal undistorted images (K frames), exact
    cv::Matx33d refFromBandCorrected;  ///< between the "_Correct" twins the XMP lens model yields, exact
    cv::Matx33d refFromBandRaw;        ///< least-squares fit between the raw (distorted) images
    double rawFitRmsPx = 0;            ///< residual of that fit
    // Lens keys as written into XMP (millimetres) and the camera matrix they give back.
    double xmpFocalMm = 0, xmpPrincipalXMm = 0, xmpPrincipalYMm = 0;
    // The lens model the XMP describes (read back with the XMP pitch): the true K and D unless the
    // flight was generated with an XMP lens error.
    cv::Matx33d xmpK;
    cv::Vec<double, 5> xmpD;  ///< k1, k2, p1, p2, k3 as written
    bool xmpLensDiffers() const { return xmpK != K || xmpD != D; }
    // Radiometry (values exactly as written into the file, i.e. after text formatting).
    double a0 = 1, c1 = 1, c2 = 0;
    double vignettingCentreX = 0, vignettingCentreY = 0;  ///< 1-based pixel coordinates
    double k[6] = {0, 0, 0, 0, 0, 0};                     ///< P(r) = 1 + k0 r + ... + k5 r^6
    int darkLevel = 0;
    double irradiance = 1;  ///< scene illumination in normalised radiance per unit reflectance
    double noiseReadDn = 0, noiseShotFactor = 0;  ///< sigma^2 = read^2 + shot * (DN - dark)
    double jpgFactorNum = 1, jpgFactorDen = 1;    ///< JPG ImageDescription fraction
};

/// Draws the per-band truth of a camera from the seed. The reference band is the one at 660 nm (else
/// the middle band); it gets an identity misalignment.
QVector<BandTruth> makeBands(const CameraSpec& cam, quint32 seed, double maxRotationDeg, double maxShiftPx,
                             double maxScale, double distortionScale, int* referenceBand);

/// Makes the XMP lens model of every band differ from the lens the images are taken with, by amounts a
/// factory calibration can be off (at scale 1): focal length 0.5 ... 1.5 %, principal point 0.8 ... 1.5 %
/// of the width in a random direction, k1 0.02 ... 0.04, k2 0.01 ... 0.03 and p1, p2 up to 3e-4, each
/// with a random sign; k3 stays as it is. Scale 0 leaves the bands untouched. Draws from its own generator,
/// so the rest of the flight is the same as without the error.
void applyXmpLensError(QVector<BandTruth>& bands, const CameraSpec& cam, quint32 seed, double scale);
/// XMP focal length of band i off the true one by +pct % (i even) or -pct % (i odd); the rest of the
/// XMP lens stays as it is. 0 changes nothing.
void applyXmpFocalError(QVector<BandTruth>& bands, const CameraSpec& cam, double pct);

/// Vignetting polynomial P(r) at 1-based pixel (x, y).
double vignettingP(const BandTruth& band, double x1, double y1);

/// Text of a double as written into XMP (shortest round-trip form); parse back to get the exact value.
QString numberText(double value);
double roundTripped(double value);

}  // namespace reflsample
