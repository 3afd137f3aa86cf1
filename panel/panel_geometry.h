#pragma once

#include <QPoint>
#include <array>

// Where the grey area of one panel image lies, in image pixels. The vertices are ordered top-left,
// bottom-left, top-right, bottom-right; the measured area runs from x of vertex 0 to x of vertex 2
// and from y of vertex 0 to y of vertex 1, all inclusive.
struct PanelGeometry {
    bool valid = false;
    QPoint centre;
    std::array<QPoint, 4> vertices;
};
