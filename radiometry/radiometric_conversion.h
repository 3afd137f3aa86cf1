#pragma once

#include <cstddef>
#include <cstdint>

#include "radiometric_calibration.h"

namespace refl {

// How the converted value is scaled: normalised radiance, or reflectance against the panel.
struct ConversionMode {
    bool reflectance = false;
    double panelValue = 1.0;        // the panel's mean converted value in this band
    double panelReflectance = 0.6;  // the panel's known reflectance in this band
};

// The pixel model itself (radianceValue) lives with the record in radiometric_calibration.h.

// A model value in [0, 1] as output DN: clamped, scaled by 65535 and truncated. NaN gives 0 and
// +infinity 65535.
inline uint16_t toOutputDn(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 1.0) return 65535;
    return static_cast<uint16_t>(value * 65535.0);
}

// Converts `count` raw pixels with the band's record and vignetting map into output DNs.
void convertPixels(const uint16_t* raw, const RadiometricCalibration& calibration, const double* map, size_t count,
                   const ConversionMode& mode, uint16_t* out);

}  // namespace refl
