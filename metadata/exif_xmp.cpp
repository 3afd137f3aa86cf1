#include "exif_xmp.h"

#include <QDebug>
#include <QFile>

#include <cmath>
#include <cstdio>
#include <mutex>

namespace refl {

const char* const kUnknow = "Unknow";

namespace {

std::mutex g_xmpToolkitMutex;

void lockXmpToolkit(void* data, bool lock) {
    auto* mutex = static_cast<std::mutex*>(data);
    if (lock)
        mutex->lock();
    else
        mutex->unlock();
}

}  // namespace

void initialiseExiv2() {
    // The XMP toolkit keeps process-wide tables (namespaces): without a lock function, two threads
    // parsing packets at once corrupt them ("Unregistered schema namespace URI") and an image fails
    // to read at random.
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize(lockXmpToolkit, &g_xmpToolkitMutex);
        // Malformed packets in user files are reported by our own log lines; exiv2's warnings
        // would only flood standard error.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
    });
}

std::unique_lock<std::mutex> lockExiv2() {
    initialiseExiv2();
    static std::mutex mutex;
    return std::unique_lock<std::mutex>(mutex);
}

namespace {

void printExiv2Error(const char* what) { std::fprintf(stderr, "*** error exiv2 exception '%s' ***\n", what); }

template <typename Data, typename Key>
QString readValue(const Data& data, const QString& key) {
    try {
        const Key k(key.toStdString());
        const auto it = data.findKey(k);
        if (it == data.end()) return QString::fromLatin1(kUnknow);
        return QString::fromStdString(it->toString());
    } catch (const Exiv2::AnyError& e) {
        printExiv2Error(e.what());
    } catch (const std::exception& e) {
        printExiv2Error(e.what());
    }
    return QString::fromLatin1(kUnknow);
}

}  // namespace

QString readExifValue(const Exiv2::ExifData& exif, const QString& key) {
    return readValue<Exiv2::ExifData, Exiv2::ExifKey>(exif, key);
}

QString readXmpValue(const Exiv2::XmpData& xmp, const QString& key) {
    return readValue<Exiv2::XmpData, Exiv2::XmpKey>(xmp, key);
}

ImageMetadata readImageMetadata(const QString& path) {
    const auto exiv2Lock = lockExiv2();
    ImageMetadata out;
    try {
        auto image = Exiv2::ImageFactory::open(std::string(QFile::encodeName(path).constData()));
        if (!image.get()) return out;
        image->readMetadata();
        out.exif = image->exifData();
        out.xmp = image->xmpData();
        out.opened = true;
    } catch (const Exiv2::AnyError& e) {
        printExiv2Error(e.what());
    } catch (const std::exception& e) {
        printExiv2Error(e.what());
    }
    return out;
}

bool readCameraMetadata(const QString& path, ImageMetadata& meta, const QString& logPrefix) {
    meta = readImageMetadata(path);
    const char* problem = !meta.opened ? "Read Exif Error."
                          : meta.xmp.empty() ? "Not Find XmpInfo"
                          : meta.exif.empty() ? "Not Find ExifInfo"
                                              : nullptr;
    if (!problem) return true;
    qDebug().noquote() << logPrefix + QString::fromLatin1(problem);
    return false;
}

double parseNumber(const QString& text, bool* ok) {
    bool parsed = false;
    const double value = text.trimmed().toDouble(&parsed);
    const bool good = parsed && std::isfinite(value);
    if (ok) *ok = good;
    return parsed ? value : 0.0;
}

double readRelativeAltitude(const QString& path, const char* who) {
    const auto exiv2Lock = lockExiv2();
    try {
        auto image = Exiv2::ImageFactory::open(std::string(QFile::encodeName(path).constData()));
        if (!image.get()) return -9999.0;
        image->readMetadata();
        const Exiv2::XmpData& xmp = image->xmpData();
        // Compared by key text: a key object for a namespace the file never registered would throw.
        for (auto it = xmp.begin(); it != xmp.end(); ++it) {
            if (it->key() != "Xmp.Camera.RelativeAltitude") continue;
            bool ok = false;
            const double v = QString::fromStdString(it->toString()).trimmed().toDouble(&ok);
            return ok && std::isfinite(v) ? v : 0.0;
        }
    } catch (const Exiv2::AnyError& e) {
        qDebug() << who << "exiv2 exception" << int(e.code()) << e.what();
    } catch (const std::exception& e) {
        qDebug() << who << "exiv2 exception" << -1 << e.what();
    }
    return -9999.0;
}

}  // namespace refl
