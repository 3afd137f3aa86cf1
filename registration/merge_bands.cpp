#include "merge_bands.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "band_names.h"

namespace refl {

namespace {

bool stopRaised(const std::atomic<int>* stop) { return stop && stop->load(std::memory_order_relaxed) != 0; }

GDALDatasetH openReadOnly(const QString& path) {
    return GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
}

// Band 1 of `path` when it has exactly width x height pixels; empty otherwise (logged).
std::vector<uint16_t> readBand(const QString& path, int width, int height) {
    GDALDatasetH ds = openReadOnly(path);
    if (!ds || GDALGetRasterCount(ds) < 1) {
        if (ds) GDALClose(ds);
        qDebug() << "mergeBandsToTif: unable to open band file" << path;
        return {};
    }
    if (GDALGetRasterXSize(ds) != width || GDALGetRasterYSize(ds) != height) {
        qDebug() << "mergeBandsToTif: band size differs from the first band, left out" << path
                 << GDALGetRasterXSize(ds) << GDALGetRasterYSize(ds) << width << height;
        GDALClose(ds);
        return {};
    }
    std::vector<uint16_t> pixels(size_t(width) * size_t(height));
    const CPLErr e = GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, width, height, pixels.data(),
                                  width, height, GDT_UInt16, 0, 0);
    GDALClose(ds);
    if (e != CE_None) {
        qDebug() << "mergeBandsToTif: unable to open band file" << path << "(read failed)";
        return {};
    }
    return pixels;
}

// Band descriptions, wavelengths and the no-data value of the blanked border, as GDAL keeps them
// in its own metadata tags: GIS software shows named bands and a transparent border.
void labelMergedBands(GDALDatasetH ds, const QVector<BandDescription>& bands) {
    for (int i = 0; i < bands.size() && i < GDALGetRasterCount(ds); ++i) {
        GDALRasterBandH band = GDALGetRasterBand(ds, i + 1);
        const BandDescription& b = bands[i];
        GDALSetDescription(band, b.text().toUtf8().constData());
        GDALSetRasterNoDataValue(band, 0.0);
        if (b.wavelengthNm > 0) {
            const QByteArray nm = QByteArray::number(b.wavelengthNm, 'g', 10);
            GDALSetMetadataItem(band, "wavelength", nm.constData(), nullptr);
            GDALSetMetadataItem(band, "wavelength_units", "nm", nullptr);
            GDALSetMetadataItem(band, "CENTRAL_WAVELENGTH_UM",
                                QByteArray::number(b.wavelengthNm / 1000.0, 'g', 10).constData(), "IMAGERY");
        }
        if (b.fwhmNm > 0) {
            GDALSetMetadataItem(band, "fwhm", QByteArray::number(b.fwhmNm, 'g', 10).constData(), nullptr);
            GDALSetMetadataItem(band, "FWHM_UM", QByteArray::number(b.fwhmNm / 1000.0, 'g', 10).constData(),
                                "IMAGERY");
        }
    }
}

}  // namespace

void prepareGdalForRegistration() {
    GDALAllRegister();
    // Paths reach GDAL in the local 8-bit encoding; set for this thread only so that other GDAL
    // users keep their own setting.
    CPLSetThreadLocalConfigOption("GDAL_FILENAME_IS_UTF8", "NO");
    static thread_local bool quietPushed = false;
    if (!quietPushed) {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        quietPushed = true;
    }
}

bool mergeBandsToTif(const QStringList& bandFiles, const QString& mergedPath, const QString& /*prefix*/,
                     const QStringList& bandNames, bool reflectance, const std::atomic<int>* stop) {
    if (bandFiles.isEmpty()) return false;
    if (QFile::exists(mergedPath)) QFile::remove(mergedPath);
    qDebug() << "mergeBandsToTif: bandCount=" << bandFiles.size();
    for (int i = 0; i < bandFiles.size(); ++i)
        qDebug() << "  band[" << i << "]" << QFileInfo(bandFiles[i]).fileName();

    GDALAllRegister();
    GDALDatasetH first = openReadOnly(bandFiles.first());
    if (!first) {
        qDebug() << "mergeBandsToTif: unable to open first band" << bandFiles.first();
        return false;
    }
    const int width = GDALGetRasterXSize(first);
    const int height = GDALGetRasterYSize(first);
    GDALClose(first);
    if (width <= 0 || height <= 0) {
        qDebug() << "mergeBandsToTif: unable to open first band" << bandFiles.first() << "(empty)";
        return false;
    }

    GDALDriverH driver = GDALGetDriverByName("GTiff");
    char** options = nullptr;
    options = CSLSetNameValue(options, "TILED", "YES");
    options = CSLSetNameValue(options, "BLOCKXSIZE", "128");
    options = CSLSetNameValue(options, "BLOCKYSIZE", "128");
    const QByteArray out = QFile::encodeName(mergedPath);
    GDALDatasetH ds = driver ? GDALCreate(driver, out.constData(), width, height, bandFiles.size(),
                                          reflectance ? GDT_Float32 : GDT_UInt16, options)
                             : nullptr;
    CSLDestroy(options);
    if (!ds) {
        qDebug() << "mergeBandsToTif: unable to create output file" << mergedPath;
        return false;
    }
    auto abandon = [&] {
        GDALClose(ds);
        QFile::remove(mergedPath);
        qDebug() << "mergeBandsToTif: stopped, partial file removed" << mergedPath;
        return false;
    };

    // Each band is read once; the mask needs all of them before the first one is written.
    const size_t count = size_t(width) * size_t(height);
    std::vector<uint8_t> valid(count, 1);
    std::vector<std::vector<uint16_t>> bands(size_t(bandFiles.size()));
    for (int i = 0; i < bandFiles.size(); ++i) {
        if (stopRaised(stop)) return abandon();
        bands[size_t(i)] = readBand(bandFiles[i], width, height);
        const std::vector<uint16_t>& b = bands[size_t(i)];
        if (b.empty()) continue;
        for (size_t p = 0; p < count; ++p)
            if (b[p] == 0) valid[p] = 0;
    }

    bool written = true;
    std::vector<float> floats(reflectance ? count : 0);
    for (int i = 0; i < bandFiles.size(); ++i) {
        if (stopRaised(stop)) return abandon();
        std::vector<uint16_t>& b = bands[size_t(i)];
        if (b.empty()) continue;  // unreadable: its output band stays unwritten
        GDALRasterBandH outBand = GDALGetRasterBand(ds, i + 1);
        CPLErr e;
        if (reflectance) {
            for (size_t p = 0; p < count; ++p) floats[p] = valid[p] ? float(b[p] / 65535.0) : 0.0f;
            e = GDALRasterIO(outBand, GF_Write, 0, 0, width, height, floats.data(), width, height,
                             GDT_Float32, 0, 0);
        } else {
            for (size_t p = 0; p < count; ++p)
                if (!valid[p]) b[p] = 0;
            e = GDALRasterIO(outBand, GF_Write, 0, 0, width, height, b.data(), width, height, GDT_UInt16, 0,
                             0);
        }
        std::vector<uint16_t>().swap(b);
        if (e != CE_None) written = false;
    }
    if (bandNames.size() == bandFiles.size()) labelMergedBands(ds, describeMergedBands(mergedPath, bandNames));
    CPLErrorReset();
    GDALClose(ds);
    if (CPLGetLastErrorType() >= CE_Failure) written = false;
    if (!written) {
        // A disk that filled up mid-way leaves a file that must not pass for a result.
        qDebug() << "mergeBandsToTif: writing failed" << mergedPath;
        QFile::remove(mergedPath);
        return false;
    }
    return true;
}

std::vector<cv::Mat> readMergedBands(const QString& path) {
    GDALAllRegister();
    std::vector<cv::Mat> out;
    GDALDatasetH ds = openReadOnly(path);
    if (!ds) {
        qDebug() << "readMergedBands: unable to open" << path;
        return out;
    }
    const int w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds);
    for (int b = 1; b <= GDALGetRasterCount(ds); ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds, b);
        const bool isFloat =
            GDALGetRasterDataType(band) == GDT_Float32 || GDALGetRasterDataType(band) == GDT_Float64;
        cv::Mat m(h, w, isFloat ? CV_32F : CV_16U);
        if (GDALRasterIO(band, GF_Read, 0, 0, w, h, m.data, w, h, isFloat ? GDT_Float32 : GDT_UInt16, 0, 0) !=
            CE_None) {
            qDebug() << "readMergedBands: unable to read band" << b << path;
            out.clear();
            break;
        }
        out.push_back(m);
    }
    GDALClose(ds);
    return out;
}

}  // namespace refl
