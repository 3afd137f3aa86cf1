#pragma once

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

namespace refl {

// Captures flown at about the same altitude. Each (key, altitude) joins the first cluster whose
// first altitude lies within 1 m of its own, else starts one; altitudes below -9000 (unknown) and
// NaN are left out. Returns the keys of the most populated cluster in input order (a tie keeps the
// lower altitude), at most `maxCount` of them (negative: all); `clusterAltitude` gets that
// cluster's first altitude. Empty when no altitude is known.
QStringList largestAltitudeCluster(const QVector<QPair<QString, double>>& altitudes, int maxCount,
                                   double* clusterAltitude = nullptr);

}  // namespace refl
