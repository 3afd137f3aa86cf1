#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>
#include <vector>

namespace refl {

// Factory calibration of one band, read from the XMP packet and EXIF tags of its images.
struct RadiometricCalibration {
    double a0 = 0.0;       // radiometric coefficient; scale of the vignetting map
    double centreX = 0.0;  // vignetting centre, column (1-based pixels)
    double centreY = 0.0;  // vignetting centre, row
    double c1 = 0.0;       // multiplies exposure x gain
    double c2 = 0.0;       // offset
    double k0 = 0.0, k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0, k5 = 0.0;  // vignetting polynomial
    double k6 = 0.0;       // seventh coefficient (keyed layout only)
    uint16_t darkLevel = 0;
    double exposure = 0.0;  // milliseconds, or a ratio to the reference exposure (keyed layout)
    double gain = 0.0;
    double irradiance = 0.0;  // read and logged only
    double stdExposure = 0.0;
    double stdGain = 0.0;
};

// The radiometric model of one pixel before scaling and clamping:
// (DN - dark) / ((exposure * c1 * gain + c2) * map), map = a0 / P(r).
inline double radianceScale(const RadiometricCalibration& c) { return c.exposure * c.c1 * c.gain + c.c2; }
inline double radianceValue(uint16_t dn, int darkLevel, double scale, double mapValue) {
    const int d = static_cast<int>(dn) - darkLevel;
    return d / (scale * mapValue);
}
inline double radianceValue(uint16_t dn, const RadiometricCalibration& c, double mapValue) {
    return radianceValue(dn, static_cast<int>(c.darkLevel), radianceScale(c), mapValue);
}

// Which copy of a reader runs: the panel step's or the per-file task's. They differ in what they
// read, what they log and whether they update the keyed-layout flag.
enum class CalibrationReader { Panel, Task };

// Keyed layout ("_NM" keys through exiv2), strict: the record is written only when every value is
// present and well formed (true); otherwise one log line, false, and the record stays as it was.
bool readImageExif(const QString& path, RadiometricCalibration& record);

// Keyed layout, lenient twin of the panel step: missing list items read as 0. False when a key is
// missing or a value is not finite.
bool readImageExifPanel(const QString& path, RadiometricCalibration& record);

// Compact text layout (comma-separated numbers in one rdf:li). 0 on success, -1 on bad data. The
// panel copy may raise or clear `keyedFlag`; the task copy never touches it.
int readXmpNodeValueVerTwo(CalibrationReader copy, const QByteArray& xmp, RadiometricCalibration& record,
                           bool* keyedFlag = nullptr);

// Per-item text layout of the older six-band files (one number per rdf:li). The panel copy fills
// the coefficients, centre, polynomial, exposure, gain and irradiance; the task copy only exposure,
// gain and irradiance and keeps the rest of the record it was given. False when a value the copy
// needs is missing or not finite.
bool readXmpPerItem(CalibrationReader copy, const QByteArray& xmp, RadiometricCalibration& record);

// Per-band map of a0 / P(r) over the image, row-major.
using VignettingMap = std::vector<double>;

// Builds one map per band from the records of the first panel group. Seven-coefficient maps
// (keyed layout): P(r) = k0 + k1 r + ... + k6 r^6; six-coefficient maps: P(r) = 1 + k0 r + ... +
// k5 r^6. Bands without a record get an empty map. False (maps cleared) for an implausible size.
bool buildVignettingMaps(const QVector<RadiometricCalibration>& records, int width, int height, int bandCount,
                         bool keyedFlag, std::vector<VignettingMap>& maps);

}  // namespace refl
