#include <QDebug>

#include <cmath>

#include "radiometric_calibration.h"
#include "raw_tiff.h"

namespace refl {

namespace {

// Fills one band's map. `sevenTerms`: P(r) = k0 + k1 r + ... + k6 r^6; otherwise
// P(r) = 1 + k0 r + ... + k5 r^6. Pixel coordinates are 1-based, like the vignetting centre.
void fillMap(const RadiometricCalibration& c, int width, int height, bool sevenTerms, VignettingMap& map) {
    map.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    // Coefficients of r^0 ... r^6.
    double coef[7];
    if (sevenTerms) {
        const double k[7] = {c.k0, c.k1, c.k2, c.k3, c.k4, c.k5, c.k6};
        std::copy(k, k + 7, coef);
    } else {
        const double k[7] = {1.0, c.k0, c.k1, c.k2, c.k3, c.k4, c.k5};
        std::copy(k, k + 7, coef);
    }
    double* out = map.data();
    for (int y = 1; y <= height; ++y) {
        const double dy = y - c.centreY;
        const double dy2 = dy * dy;
        for (int x = 1; x <= width; ++x) {
            const double dx = x - c.centreX;
            const double r = std::sqrt(dx * dx + dy2);
            const double poly =
                coef[0] + r * (coef[1] + r * (coef[2] + r * (coef[3] + r * (coef[4] + r * (coef[5] + r * coef[6])))));
            *out++ = c.a0 / poly;
        }
    }
}

}  // namespace

bool buildVignettingMaps(const QVector<RadiometricCalibration>& records, int width, int height, int bandCount,
                         bool keyedFlag, std::vector<VignettingMap>& maps) {
    if (!plausibleImageSize(width, height)) {
        maps.clear();
        qDebug() << "buildVignettingMaps: refusing image size" << width << "x" << height;
        return false;
    }
    // Six-coefficient maps belong to the six-band camera; seven-coefficient maps follow the capture.
    const int bands = keyedFlag ? bandCount : 6;
    // Maps of the right size are refilled in place (the panel step allocates them up front).
    maps.resize(static_cast<size_t>(std::max(bands, 0)));
    for (int b = 0; b < bands; ++b) {
        if (b < records.size()) {
            fillMap(records[b], width, height, keyedFlag, maps[b]);
        } else {
            maps[b].clear();
        }
    }
    return true;
}

}  // namespace refl
