// Stacking the registered bands of one capture into one tiled multi-band TIFF.
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <opencv2/core.hpp>
#include <vector>

namespace refl {

// Writes `bandFiles` (band 1 of each, unsigned 16-bit) as the bands of `mergedPath`, in order:
// 32-bit float in [0, 1] when `reflectance` is set, else unsigned 16-bit; tiled 128 x 128. A pixel
// that is 0 in any readable band is 0 in every band. `prefix` and `bandNames` are not used for the
// pixels. Returns false (one log line) when nothing complete could be written; a raised `stop`
// removes the partial file.
bool mergeBandsToTif(const QStringList& bandFiles, const QString& mergedPath, const QString& prefix,
                     const QStringList& bandNames, bool reflectance, const std::atomic<int>* stop = nullptr);

// Sets up GDAL for the calling thread the way the registration expects it: all drivers, file names
// in the local 8-bit encoding, and the quiet error handler (pushed once per thread).
void prepareGdalForRegistration();

// Every band of a (merged) TIFF as a single-channel image of its own sample type (CV_16U or
// CV_32F); empty when the file cannot be read.
std::vector<cv::Mat> readMergedBands(const QString& path);

}  // namespace refl
