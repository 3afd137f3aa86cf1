#pragma once

#include <mutex>

#include <QString>

#include <exiv2/exiv2.hpp>

namespace refl {

// The text returned for a key that is missing or could not be read.
extern const char* const kUnknow;

// One EXIF or XMP value as text; "Unknow" when the key is missing or exiv2 fails (the failure is
// printed to standard error).
// Sets up exiv2 once. Its XMP toolkit keeps process-wide namespace tables that concurrent packet
// parsing and writing corrupt (even with the toolkit's own lock function), so every opening,
// reading and writing of an image's metadata holds the lock this returns.
void initialiseExiv2();
std::unique_lock<std::mutex> lockExiv2();

QString readExifValue(const Exiv2::ExifData& exif, const QString& key);
QString readXmpValue(const Exiv2::XmpData& xmp, const QString& key);

// The metadata of one image file, read with exiv2. `opened` is false when exiv2 could not open or
// parse the file.
struct ImageMetadata {
    bool opened = false;
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
};
ImageMetadata readImageMetadata(const QString& path);

// Reads the metadata of a camera file that must carry both XMP and EXIF. On failure logs
// "Read Exif Error.", "Not Find XmpInfo" or "Not Find ExifInfo" (after `logPrefix`) and returns false.
bool readCameraMetadata(const QString& path, ImageMetadata& meta, const QString& logPrefix = QString());

// A number from a metadata text; `ok` tells whether the whole text (blanks aside) was one finite
// number.
// "Xmp.Camera.RelativeAltitude" of an image in metres: -9999 when the file or the key cannot be read,
// 0 when its text is not a finite number. Library errors are logged with `who` in front.
double readRelativeAltitude(const QString& path, const char* who);

double parseNumber(const QString& text, bool* ok = nullptr);

}  // namespace refl
