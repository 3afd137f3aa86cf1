#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <array>
#include <cstdint>
#include <optional>

#include "panel_geometry.h"
#include "radiometric_calibration.h"

// The inclusive pixel rectangle measured for a panel: columns from vertex 0's x to vertex 2's x,
// rows from vertex 0's y to vertex 1's y.
struct PanelArea {
    int firstColumn = 0;
    int firstRow = 0;
    int lastRow = -1;
    int lastColumn = -1;
};
PanelArea panelAreaFrom(const PanelGeometry& geometry);

// Mean radiance of the panel area (the conversion's value before scaling). False, with a log line,
// when the area is empty or reaches outside the width x height image.
bool getHawkAreaDNAndLValue(const PanelArea& area, const uint16_t* plane, int width, int height,
                            const refl::RadiometricCalibration& record, const refl::VignettingMap& map,
                            double& value);

// Orders the four "x,y" texts of a drawn outline as top-left, bottom-left, top-right, bottom-right:
// the two leftmost points form the left side, each side ordered by y. Empty for anything but four
// well-formed points.
std::optional<std::array<QPoint, 4>> orderDrawnOutline(const QStringList& polygonPoints);

// The axis-aligned rectangle inside a drawn outline (view coordinates, 640 x 480 view of the image),
// scaled to the image of `width` x `height` pixels of a camera type.
PanelGeometry normalizeDrawnOutline(const std::array<QPoint, 4>& drawn, int cameraType, int width, int height,
                                    int index);

// The wavelengths the reflectance values of a panel code refer to (17 or 20 values).
const QVector<int>& panelCodeWavelengths(int valueCount);

// Standard reflectance per band label ("555nm") from the values of a panel code: the value at the
// nearest table wavelength (the first on a tie) over 100. Empty entries for labels without a
// wavelength, and all empty when the code has neither 17 nor 20 values.
QVector<std::optional<double>> standardReflectanceFromCode(const QVector<int>& values, const QStringList& bandLabels);

// Mean panel value per band over the recognised groups: image j belongs to band j mod N. Values
// that are not finite (a panel that could not be measured) are left out; a band without any finite
// value gets NaN.
QVector<double> meanPanelValues(const QVector<double>& imageValues, const QVector<int>& recognisedGroups,
                                int bandCount);
