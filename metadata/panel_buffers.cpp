#include "panel_buffers.h"

#include <QDebug>

#include "raw_tiff.h"

bool PanelBuffers::allocate(int width, int height, int panelCount) {
    if (allocated) {
        qDebug() << "Heap Have Inited!" << panelCount;
        raw.clear();
        xmp.clear();
        maps.clear();
        allocated = false;
    }
    if (!plausibleImageSize(width, height)) {
        qDebug() << "PanelBuffers: refusing image size" << width << "x" << height;
        return false;
    }
    qDebug() << "Heap Have Inited!......" << panelCount;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    raw.assign(kPanelSlots, std::vector<uint16_t>(pixels, 0));
    xmp.assign(kPanelSlots, QByteArray(kXmpBufferSize + 1, '\0'));
    maps.assign(kBands, VignettingMap(pixels, 0.0));
    allocated = true;
    qDebug() << "Heap Inited One!";
    return true;
}
