#include "altitude_clusters.h"

#include <QMap>
#include <cmath>

namespace refl {

QStringList largestAltitudeCluster(const QVector<QPair<QString, double>>& altitudes, int maxCount,
                                   double* clusterAltitude) {
    QMap<double, QStringList> clusters;  // first altitude -> keys, ascending
    for (const auto& entry : altitudes) {
        if (!(entry.second >= -9000.0)) continue;
        bool joined = false;
        for (auto c = clusters.begin(); c != clusters.end(); ++c) {
            if (std::fabs(c.key() - entry.second) < 1.0) {
                c.value() << entry.first;
                joined = true;
                break;
            }
        }
        if (!joined) clusters[entry.second] << entry.first;
    }
    if (clusters.isEmpty()) return {};
    auto best = clusters.begin();
    for (auto c = clusters.begin(); c != clusters.end(); ++c)
        if (c.value().size() > best.value().size()) best = c;  // ascending: the lower wins a tie
    if (clusterAltitude) *clusterAltitude = best.key();
    QStringList selected = best.value();
    if (maxCount >= 0 && selected.size() > maxCount) selected = selected.mid(0, maxCount);
    return selected;
}

}  // namespace refl
