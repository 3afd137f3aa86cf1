#include "handle_jpg_operation.h"

#include <cpl_conv.h>
#include <cpl_error.h>

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <vector>

#include "exif_xmp.h"

namespace refl {

namespace {

// GDAL reports through its own handler, which would print to standard error from the worker
// thread; inside a conversion the failures are logged by our own lines instead.
class QuietGdalErrors {
public:
    QuietGdalErrors() { CPLPushErrorHandler(CPLQuietErrorHandler); }
    ~QuietGdalErrors() { CPLPopErrorHandler(); }
    QuietGdalErrors(const QuietGdalErrors&) = delete;
    QuietGdalErrors& operator=(const QuietGdalErrors&) = delete;
};

// A dataset closed on every path out of a scope.
class Dataset {
public:
    explicit Dataset(GDALDatasetH h) : m_h(h) {}
    ~Dataset() { close(); }
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;
    GDALDatasetH get() const { return m_h; }
    // True when GDAL reported no failure while closing (buffered blocks are written here).
    bool close() {
        if (!m_h) return true;
        CPLErrorReset();
        GDALClose(m_h);
        m_h = nullptr;
        return CPLGetLastErrorType() < CE_Failure;
    }

private:
    GDALDatasetH m_h;
};

// The temporary output, removed unless it was renamed into place.
class TempFile {
public:
    explicit TempFile(QString path) : m_path(std::move(path)) {}
    ~TempFile() {
        if (!m_path.isEmpty()) QFile::remove(m_path);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const QString& path() const { return m_path; }
    void release() { m_path.clear(); }

private:
    QString m_path;
};

QString gdalMessage() { return QString::fromUtf8(CPLGetLastErrorMsg()); }

// A name in the output folder that no other task uses: hidden, with the final name in it so that a
// leftover after a crash can be told apart.
QString temporaryPathFor(const QString& dir, const QString& fileName) {
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("%1/.%2.%3-%4.part")
        .arg(dir, fileName)
        .arg(QCoreApplication::applicationPid())
        .arg(counter.fetch_add(1));
}

// Replaces an existing file of that name in one step where the system allows it.
bool renameIntoPlace(const QString& from, const QString& to) {
    const QByteArray src = QFile::encodeName(from);
    const QByteArray dst = QFile::encodeName(to);
    if (std::rename(src.constData(), dst.constData()) == 0) return true;
    // Systems whose rename refuses an existing target.
    if (QFileInfo(to).isFile() && QFile::remove(to))
        return std::rename(src.constData(), dst.constData()) == 0;
    return false;
}

// Reads and writes the integers of one TIFF in its own byte order.
struct TiffOrder {
    bool little = true;
    quint16 u16(const char* p) const {
        return little ? qFromLittleEndian<quint16>(p) : qFromBigEndian<quint16>(p);
    }
    quint32 u32(const char* p) const {
        return little ? qFromLittleEndian<quint32>(p) : qFromBigEndian<quint32>(p);
    }
    void put16(char* p, quint16 v) const { little ? qToLittleEndian(v, p) : qToBigEndian(v, p); }
    void put32(char* p, quint32 v) const { little ? qToLittleEndian(v, p) : qToBigEndian(v, p); }
};

}  // namespace

bool setTiffNewSubfileType(const QString& path, quint32 value) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadWrite)) return false;
    QByteArray header = file.read(8);
    if (header.size() != 8 || (header.left(2) != "II" && header.left(2) != "MM")) return false;
    const TiffOrder order{header.startsWith("II")};
    if (order.u16(header.constData() + 2) != 42) return false;  // BigTIFF and others are not handled
    const quint32 ifdOffset = order.u32(header.constData() + 4);
    if (!file.seek(ifdOffset)) return false;
    const QByteArray countBytes = file.read(2);
    if (countBytes.size() != 2) return false;
    const quint16 count = order.u16(countBytes.constData());
    QByteArray entries = file.read(qint64(count) * 12 + 4);  // the entries and the next-directory offset
    if (entries.size() != int(count) * 12 + 4 || count == 0xffff) return false;

    QByteArray entry(12, '\0');
    order.put16(entry.data(), 254);
    order.put16(entry.data() + 2, 4);  // LONG
    order.put32(entry.data() + 4, 1);
    order.put32(entry.data() + 8, value);
    int insertAt = count;
    for (int i = 0; i < count; ++i) {
        const quint16 tag = order.u16(entries.constData() + i * 12);
        if (tag == 254) {  // rewrite the entry where it stands
            return file.seek(qint64(ifdOffset) + 2 + i * 12) && file.write(entry) == 12 && file.flush();
        }
        if (tag > 254) {
            insertAt = i;
            break;
        }
    }
    // A new directory after the end of the file, entries still in ascending tag order; the old one is
    // left behind unreferenced. Value offsets of the other entries stay valid.
    entries.insert(insertAt * 12, entry);
    QByteArray directory(2, '\0');
    order.put16(directory.data(), quint16(count + 1));
    directory += entries;
    qint64 newOffset = file.size();
    if (newOffset % 2) {  // directories start on a word boundary
        directory.prepend('\0');
        ++newOffset;
    }
    if (newOffset > 0xffffffffLL - directory.size()) return false;
    if (!file.seek(file.size()) || file.write(directory) != directory.size()) return false;
    order.put32(header.data() + 4, quint32(newOffset));
    return file.seek(4) && file.write(header.constData() + 4, 4) == 4 && file.flush();
}

bool jpgScaleFactor(const QString& description, double* factor) {
    const QStringList parts = description.split(QLatin1Char('/'));
    if (parts.size() != 2) return false;
    bool okNum = false, okDen = false;
    const float num = parts[0].trimmed().toFloat(&okNum);
    const float den = parts[1].trimmed().toFloat(&okDen);
    if (!okNum || !okDen) return false;
    const float value = num / den;
    if (!std::isfinite(value)) return false;
    if (factor) *factor = double(value);
    return true;
}

QString jpgOutputFileName(const QString& inputPath) {
    QString name = inputPath.mid(inputPath.lastIndexOf(QLatin1Char('/')) + 1);
    return name.replace(QStringLiteral("jpg"), QStringLiteral("tif"), Qt::CaseSensitive);
}

void scaleJpgPixels(const unsigned char* in, quint16* out, std::size_t count, double factor) {
    // 256 possible inputs: the same arithmetic once per DN value.
    quint16 table[256];
    for (int dn = 0; dn < 256; ++dn) {
        const double v = std::trunc(double(dn) / 255.0 * factor * 65535.0);
        table[dn] = v >= 65535.0 ? quint16(65535) : v > 0.0 ? quint16(v) : quint16(0);
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = table[in[i]];
}

CHandleJpgDataOperation::CHandleJpgDataOperation(QObject* parent) : QObject(parent) {
    GDALAllRegister();
    // Empty counts as "yes" for GDAL: every path handed to it below is UTF-8.
    CPLSetConfigOption("GDAL_FILENAME_IS_UTF8", "");
    tiffDriver = GDALGetDriverByName("GTiff");
}

CHandleJpgDataOperation::~CHandleJpgDataOperation() = default;

void CHandleJpgDataOperation::run() {
    if (inputPath.isEmpty()) return;
    bool written = false;
    try {
        written = convertJpgToTif();
    } catch (const std::exception& e) {
        qDebug() << "convertJpgToTif: failed:" << e.what();
    } catch (...) {
        qDebug() << "convertJpgToTif: failed with an unknown error";
    }
    emit conversionEnded(inputPath, written);
    emit getCommonJpgCacheAreaData();
}

bool CHandleJpgDataOperation::convertJpgToTif() {
    const ImageMetadata meta = readImageMetadata(inputPath);
    if (!meta.opened) {
        qDebug() << "Read Exif Error.";
        return false;
    }
    exifData.clear();
    xmpData.clear();
    exifData = meta.exif;
    if (exifData.empty()) qDebug() << "Not Find ExifInfo";

    const QString description = readExifValue(exifData, QStringLiteral("Exif.Image.ImageDescription"));
    if (!jpgScaleFactor(description, &m_factor)) {
        qDebug() << "convertJpgToTif: image description is not a scale fraction, not converted:" << inputPath
                 << description;
        return false;
    }

    xmpData = meta.xmp;
    if (xmpData.empty()) qDebug() << "Not Find XmpInfo";

    try {
        exifData["Exif.Image.NewSubfileType"] = uint32_t(1);
        exifData["Exif.Image.Orientation"] = uint16_t(1);
    } catch (const Exiv2::AnyError& e) {
        qDebug() << "convertJpgToTif: Exiv2 error:" << e.what();
        return false;
    }

    const QString fileName = jpgOutputFileName(inputPath);
    const QString outputPath = outputDir + QLatin1Char('/') + fileName;
    const QString canonicalInput = QFileInfo(inputPath).canonicalFilePath();
    const QString canonicalDir = QFileInfo(outputDir).canonicalFilePath();
    if (!canonicalDir.isEmpty() && canonicalDir + QLatin1Char('/') + fileName == canonicalInput) {
        qDebug() << "convertJpgToTif: output path is the input, refused:" << inputPath;
        return false;
    }
    if (!tiffDriver) {
        qDebug() << "convertJpgToTif: GDAL has no GTiff driver";
        return false;
    }

    TempFile temp(temporaryPathFor(outputDir, fileName));
    if (!writePixels(temp.path()) || !writeMetadata(temp.path())) return false;
    if (!setTiffNewSubfileType(temp.path(), 1)) {
        qDebug() << "convertJpgToTif: cannot set NewSubfileType in" << temp.path();
        return false;
    }
    if (!renameIntoPlace(temp.path(), outputPath)) {
        qDebug() << "convertJpgToTif: cannot rename into place:" << outputPath;
        return false;
    }
    temp.release();
    return true;
}

bool CHandleJpgDataOperation::writePixels(const QString& tempPath) {
    QuietGdalErrors quiet;
    Dataset in(GDALOpen(inputPath.toUtf8().constData(), GA_ReadOnly));
    if (!in.get() || GDALGetRasterCount(in.get()) < 1) {
        qDebug() << "convertJpgToTif: GDAL cannot open" << inputPath << gdalMessage();
        return false;
    }
    const int width = GDALGetRasterXSize(in.get());
    const int height = GDALGetRasterYSize(in.get());
    GDALRasterBandH inBand = GDALGetRasterBand(in.get(), 1);
    // A JPG band is 8 bits; other depths would not fit the DN / 255 scale.
    if (width <= 0 || height <= 0 || GDALGetRasterDataType(inBand) != GDT_Byte) {
        qDebug() << "convertJpgToTif: not an 8-bit image:" << inputPath << width << height
                 << GDALGetDataTypeName(GDALGetRasterDataType(inBand));
        return false;
    }

    Dataset out(GDALCreate(tiffDriver, tempPath.toUtf8().constData(), width, height, 1, GDT_UInt16, nullptr));
    if (!out.get()) {
        qDebug() << "convertJpgToTif: cannot create" << tempPath << gdalMessage();
        return false;
    }

    const std::size_t count = std::size_t(width) * std::size_t(height);
    std::vector<unsigned char> dn(count);
    std::vector<quint16> value(count);
    if (GDALRasterIO(inBand, GF_Read, 0, 0, width, height, dn.data(), width, height, GDT_Byte, 0, 0) !=
        CE_None) {
        qDebug() << "convertJpgToTif: cannot read the pixels of" << inputPath << gdalMessage();
        return false;
    }
    scaleJpgPixels(dn.data(), value.data(), count, m_factor);

    GDALRasterBandH outBand = GDALGetRasterBand(out.get(), 1);
    if (GDALRasterIO(outBand, GF_Write, 0, 0, width, height, value.data(), width, height, GDT_UInt16, 2,
                     width * 2) != CE_None ||
        GDALFlushRasterCache(outBand) != CE_None || !out.close()) {
        qDebug() << "convertJpgToTif: cannot write" << tempPath << gdalMessage();
        return false;
    }
    return true;
}

bool CHandleJpgDataOperation::writeMetadata(const QString& tempPath) {
    const auto exiv2Lock = lockExiv2();
    try {
        auto image = Exiv2::ImageFactory::open(std::string(QFile::encodeName(tempPath).constData()));
        if (!image.get()) {
            qDebug() << "convertJpgToTif: exiv2 cannot open" << tempPath;
            return false;
        }
        image->setExifData(exifData);
        image->setXmpData(xmpData);
        image->writeMetadata();
        return true;
    } catch (const Exiv2::AnyError& e) {
        qDebug() << "convertJpgToTif: Exiv2 error:" << e.what();
    }
    return false;
}

}  // namespace refl
