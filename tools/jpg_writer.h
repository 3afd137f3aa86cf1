// 8-bit JPG band captures with an EXIF APP1 segment (ImageDescription holding the scale fraction,
// Make, Model, EXIF and GPS directories) and an XMP APP1 segment.
#pragma once

#include <QByteArray>
#include <opencv2/core.hpp>

#include "raw_tiff_writer.h"

namespace reflsample {

/// The EXIF block (starting with "II*\0") of a JPG capture.
QByteArray buildExifTiffBlock(const ExifInfo& exif);

/// A greyscale JPG (quality 95) with the EXIF and XMP segments right after the start marker.
/// Empty (and one log line) when encoding fails or a segment is too large.
QByteArray buildJpgWithMetadata(const cv::Mat& grey8, const ExifInfo& exif, const QByteArray& xmp);

}  // namespace reflsample
