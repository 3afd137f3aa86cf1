#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

#include "radiometric_calibration.h"

// Buffers of the panel step: the raw pixels and XMP text of up to 18 panel images (three groups
// of six bands) and the six per-band vignetting maps. Reallocated for every panel selection.
struct PanelBuffers {
    static constexpr int kPanelSlots = 18;
    static constexpr int kBands = 6;

    std::vector<std::vector<uint16_t>> raw;
    std::vector<QByteArray> xmp;
    std::vector<VignettingMap> maps;
    bool allocated = false;

    // Frees what a previous selection held and allocates for width x height images. Refuses an
    // implausible size before allocating anything. `panelCount` only goes into the log lines.
    bool allocate(int width, int height, int panelCount);
};
