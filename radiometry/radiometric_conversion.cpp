#include "radiometric_conversion.h"

void convertPixels(const uint16_t* raw, const RadiometricCalibration& c, const double* map, size_t count,
                   const ConversionMode& mode, uint16_t* out) {
    const double scale = c.exposure * c.c1 * c.gain + c.c2;
    const double panelFactor = mode.reflectance ? mode.panelReflectance / mode.panelValue : 1.0;
    const int dark = c.darkLevel;
    for (size_t i = 0; i < count; ++i) {
        const double value = static_cast<double>(static_cast<int>(raw[i]) - dark) / (scale * map[i]);
        out[i] = toOutputDn(mode.reflectance ? value * panelFactor : value);
    }
}
