// Conversion of one 8-bit JPG band capture into a single-band unsigned 16-bit GeoTIFF.
//
// The JPG's image description holds the scale as a fraction ("94/100"); every DN becomes
// trunc(DN / 255 x factor x 65535), clamped to [0, 65535]. The JPG's EXIF and XMP are carried over
// with NewSubfileType and Orientation set to 1. The output is written under a temporary name in the
// output folder and renamed into place only once pixels and metadata are complete.
#pragma once

#include <gdal.h>

#include <QObject>
#include <QRunnable>
#include <QString>
#include <cstddef>
#include <exiv2/exiv2.hpp>

namespace refl {

// The factor held by an image description: exactly one '/', both sides numbers (read in single
// precision, as the cameras write them), the quotient finite. False for anything else.
bool jpgScaleFactor(const QString& description, double* factor);

// File name of the converted image: the part of the path after its last '/', with every "jpg"
// (lower case only) replaced by "tif".
QString jpgOutputFileName(const QString& inputPath);

// out[i] = trunc(in[i] / 255 x factor x 65535), computed in double precision and clamped to
// [0, 65535]. factor must be finite.
void scaleJpgPixels(const unsigned char* in, quint16* out, std::size_t count, double factor);

// Sets NewSubfileType (tag 254) of the first directory of a classic TIFF to `value`: in place when
// the tag is there, otherwise the directory is rewritten at the end of the file with the tag added.
// exiv2 treats the tag as part of the image structure and never writes it into a TIFF itself.
bool setTiffNewSubfileType(const QString& path, quint32 value);

class CHandleJpgDataOperation : public QObject, public QRunnable {
    Q_OBJECT

public:
    explicit CHandleJpgDataOperation(QObject* parent = nullptr);
    ~CHandleJpgDataOperation() override;

    // Converts inputPath into outputDir and emits getCommonJpgCacheAreaData() once, whatever the
    // outcome. An empty inputPath does nothing and emits nothing.
    void run() override;

    GDALDriverH tiffDriver = nullptr;
    QString inputPath;
    QString outputDir;
    Exiv2::ExifData exifData;
    Exiv2::XmpData xmpData;

signals:
    // Once per image, just before getCommonJpgCacheAreaData(): whether its TIFF now stands under
    // its final name.
    void conversionEnded(const QString& inputPath, bool written);
    void getCommonJpgCacheAreaData();

private:
    // True when the converted file now stands under its final name.
    bool convertJpgToTif();
    bool writePixels(const QString& tempPath);
    bool writeMetadata(const QString& tempPath);

    double m_factor = 0.0;
};

}  // namespace refl
