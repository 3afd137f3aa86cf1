#include "calib_params.h"

namespace refl {

bool SfMParamGroup::operator==(const SfMParamGroup& o) const {
    return maxFeatures == o.maxFeatures && limit == o.limit && loweRatio == o.loweRatio &&
           magsacThreshold == o.magsacThreshold && maxIterations == o.maxIterations;
}

SfMParamGroup defaultSfmParamGroup() { return SfMParamGroup{}; }

const QVector<SfMParamGroup>& retrySfmParamGroups() {
    static const QVector<SfMParamGroup> groups = {
        {6000, 700, 0.68, 1.5, 240},   {7500, 700, 0.70, 1.75, 360},  {9000, 900, 0.72, 2.0, 450},
        {7500, 1000, 0.76, 2.5, 540},  {8000, 1100, 0.80, 3.0, 600},  {8500, 1200, 0.84, 3.5, 720},
        {9000, 1300, 0.88, 4.0, 780},  {9000, 1400, 0.92, 5.0, 840},  {9000, 1400, 0.94, 6.0, 870},
        {9000, 1400, 0.96, 7.0, 900},
    };
    return groups;
}

}  // namespace refl
