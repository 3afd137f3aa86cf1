#include "radiometric_conversion.h"

namespace refl {

void convertPixels(const uint16_t* raw, const RadiometricCalibration& c, const double* map, size_t count,
                   const ConversionMode& mode, uint16_t* out) {
    // The record's scale once per image; radianceValue is the model of every pixel.
    const double scale = radianceScale(c);
    const double panelFactor = mode.reflectance ? mode.panelReflectance / mode.panelValue : 1.0;
    const int dark = c.darkLevel;
    for (size_t i = 0; i < count; ++i) {
        const double value = radianceValue(raw[i], dark, scale, map[i]);
        out[i] = toOutputDn(mode.reflectance ? value * panelFactor : value);
    }
}

}  // namespace refl
