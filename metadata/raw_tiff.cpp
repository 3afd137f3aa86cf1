#include "raw_tiff.h"

#include <QDebug>
#include <QFile>

#include <cstdio>
#include <memory>

#include "radiometric_calibration.h"

namespace refl {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// A raw band file, opened read-only, with every read checked against its real size.
class RawFile {
public:
    bool open(const QString& path) {
        m_file.reset(std::fopen(QFile::encodeName(path).constData(), "rb"));
        if (!m_file) return false;
        if (std::fseek(m_file.get(), 0, SEEK_END) != 0) return false;
        const long end = std::ftell(m_file.get());
        if (end < 0) return false;
        m_size = static_cast<uint64_t>(end);
        return std::fseek(m_file.get(), 0, SEEK_SET) == 0;
    }
    uint64_t size() const { return m_size; }
    bool contains(uint64_t offset, uint64_t length) const { return offset <= m_size && length <= m_size - offset; }
    // Reads exactly `length` bytes at `offset`.
    bool readAt(uint64_t offset, void* out, size_t length) {
        if (!contains(offset, length)) return false;
        if (std::fseek(m_file.get(), static_cast<long>(offset), SEEK_SET) != 0) return false;
        return std::fread(out, 1, length, m_file.get()) == length;
    }

private:
    FilePtr m_file;
    uint64_t m_size = 0;
};

size_t tiffTypeSize(uint16_t type) {
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
    }
}

// The first value of a SHORT or LONG entry. When the values do not fit into the entry they lie
// at the offset it holds; a single inline value is the entry's own value field.
bool firstValue(RawFile& file, uint16_t type, uint32_t count, uint32_t field, uint32_t& out) {
    const size_t size = tiffTypeSize(type);
    if (count <= 1 || size == 0 || static_cast<uint64_t>(count) * size <= 4) {
        out = field;
        return true;
    }
    unsigned char bytes[4] = {0, 0, 0, 0};
    const size_t width = size == 2 ? 2 : 4;
    if (!file.readAt(field, bytes, width)) return false;
    out = width == 2 ? le16(bytes) : le32(bytes);
    return true;
}

// Reads up to 5000 bytes of XMP text at `offset`, zero-terminated.
bool readXmpBlock(RawFile& file, uint32_t offset, QByteArray& xmp) {
    xmp.fill('\0', kXmpBufferSize + 1);
    if (offset >= file.size()) {
        qDebug() << "readTIF: XMP offset" << offset << "lies beyond the end of the file (" << file.size() << "bytes)";
        return false;
    }
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kXmpBufferSize, file.size() - offset));
    if (!file.readAt(offset, xmp.data(), length)) {
        qDebug() << "readTIF: XMP block at" << offset << "could not be read";
        return false;
    }
    return true;
}

bool readPixels(RawFile& file, uint64_t offset, int width, int height, std::vector<uint16_t>& pixels) {
    const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 2u;
    if (!file.contains(offset, bytes)) {
        qDebug() << "readTIF: pixel block of" << bytes << "bytes at" << offset << "runs past the end of the file ("
                 << file.size() << "bytes)";
        return false;
    }
    pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    if (!file.readAt(offset, pixels.data(), static_cast<size_t>(bytes))) {
        qDebug() << "readTIF: pixel block at" << offset << "could not be read";
        return false;
    }
#if Q_BYTE_ORDER == Q_BIG_ENDIAN
    for (uint16_t& v : pixels) v = static_cast<uint16_t>((v >> 8) | (v << 8));
#endif
    return true;
}

// The 12-byte entries of the first image file directory of a little-endian TIFF. False (logged)
// for a file that is not one or whose directory cannot be read.
bool readDirectoryEntries(RawFile& file, std::vector<unsigned char>& entries) {
    unsigned char header[8];
    if (!file.readAt(0, header, sizeof header)) {
        qDebug() << "读TIF文件头失败";
        return false;
    }
    // A big-endian TIFF is a TIFF too: say so rather than calling it a foreign format.
    if (header[0] == 'M' && header[1] == 'M' && header[2] == 0 && header[3] == 42) {
        qDebug() << "该TIF文件不是IBMPC字节序，读文件失败";
        return false;
    }
    if (le16(header + 2) != 42) {
        qDebug() << "该文件不是TIF格式，读文件失败";
        return false;
    }
    if (le16(header) != 18761) {
        qDebug() << "该TIF文件不是IBMPC字节序，读文件失败";
        return false;
    }
    const uint32_t directory = le32(header + 4);
    unsigned char countBytes[2];
    if (!file.readAt(directory, countBytes, 2)) {
        qDebug() << "无法获得TIF文件目录入口数量";
        return false;
    }
    const uint16_t entryCount = le16(countBytes);
    entries.assign(static_cast<size_t>(entryCount) * 12u, 0);
    if (!entries.empty() && !file.readAt(static_cast<uint64_t>(directory) + 2u, entries.data(), entries.size())) {
        qDebug() << "读图象文件目录失败";
        return false;
    }
    return true;
}

// The tags a raw band needs: image size, pixel block, black level and XMP offset. The panel reader
// also decides the six-band camera's layout from the XMP offset.
bool readDirectoryTags(RawFile& file, const std::vector<unsigned char>& entries, bool panel,
                       const RawTiffCamera& camera, RawTiffLayout& layout, RadiometricCalibration& calibration,
                       uint32_t& fileWidth, uint32_t& fileHeight) {
    if (panel) layout.layoutFlag = 0;
    layout.stripOffset = 0;
    for (size_t i = 0; i < entries.size() / 12u; ++i) {
        const unsigned char* e = entries.data() + i * 12u;
        const uint16_t tag = le16(e);
        const uint16_t type = le16(e + 2);
        const uint32_t count = le32(e + 4);
        const uint32_t value = le32(e + 8);
        if (tag == 256 || tag == 257) {
            (tag == 256 ? fileWidth : fileHeight) = type == 3 ? le16(e + 8) : value;
        } else if (tag == 273) {
            uint32_t offset = 0;
            if (!firstValue(file, type, count, value, offset)) {
                qDebug() << "readTIF: strip offsets at" << value << "lie beyond the end of the file";
                return false;
            }
            layout.stripOffset = offset;
            if (panel) qDebug() << "enter into readTIF iPicAddr,,,,,,=============================>" << offset;
        } else if (tag == 50714) {
            uint32_t dark = 0;
            if (!firstValue(file, type, count, value, dark)) {
                qDebug() << "readTIF: black level at" << value << "lies beyond the end of the file";
                return false;
            }
            layout.darkLevel = static_cast<uint16_t>(dark & 0xFFFFu);
            calibration.darkLevel = layout.darkLevel;
            if (!panel) qDebug() << "DN_dark:" << layout.darkLevel;
        } else if (tag == 700) {
            layout.xmpOffset = value;
            if (!panel) {
                qDebug() << "xmp addr:" << value;
            } else if (value == sixband::kNewXmpOffset) {
                layout.layoutFlag = 0;
                qDebug() << "vTwo============================> " << camera.cameraType;
            } else if (value == sixband::kOldXmpOffset) {
                layout.layoutFlag = 1;
                qDebug() << "VOne==============================> " << camera.cameraType;
            } else {
                qDebug() << "TR310 xmp==============================>and other " << value;
            }
        }
    }
    return true;
}

// The pixel block is read with the camera's size: a file that says it holds another size (another
// camera, a damaged directory) would be converted into nonsense.
bool fileSizeMatches(const RawTiffCamera& camera, uint32_t fileWidth, uint32_t fileHeight, const QString& path) {
    const uint32_t expectedWidth = camera.cameraType == 0 ? uint32_t(sixband::kWidth) : uint32_t(camera.width);
    const uint32_t expectedHeight = camera.cameraType == 0 ? uint32_t(sixband::kHeight) : uint32_t(camera.height);
    if ((fileWidth != 0 && fileWidth != expectedWidth) || (fileHeight != 0 && fileHeight != expectedHeight)) {
        qDebug() << "readTIF: the file holds a" << fileWidth << "x" << fileHeight << "image, expected"
                 << expectedWidth << "x" << expectedHeight << "; not read:" << path;
        return false;
    }
    return true;
}

// The six-band camera: fixed sensor size; the older layout keeps pixels and XMP at fixed offsets,
// the panel reader checks the maker bytes.
bool readSixBandImage(RawFile& file, bool panel, const RawTiffCamera& camera, const RawTiffLayout& layout,
                      std::vector<uint16_t>& pixels, QByteArray& xmp) {
    if (camera.width != sixband::kWidth || camera.height != sixband::kHeight) {
        qDebug() << "readTIF: image size" << camera.width << "x" << camera.height
                 << "does not match the 1280 x 960 sensor of this camera";
        return false;
    }
    const bool oldLayout = layout.layoutFlag == 1;
    if (panel) {
        char maker[7];
        char unused[5];
        const uint32_t makerOffset = oldLayout ? sixband::kOldMakerOffset : sixband::kNewMakerOffset;
        if (!file.readAt(makerOffset, maker, sizeof maker) ||
            !file.readAt(sixband::kUnusedBytesOffset, unused, sizeof unused)) {
            qDebug() << "readTIF: maker bytes at" << makerOffset << "lie beyond the end of the file";
            return false;
        }
        if (maker[0] != 'Q' && maker[1] != 'u') {
            qDebug() << "not owner factory camera and on to=============================>";
            return false;
        }
    }
    if (!oldLayout && layout.stripOffset == 0) {
        qDebug() << "readTIF: no pixel block (StripOffsets tag missing)";
        return false;
    }
    const uint32_t pixelOffset = oldLayout ? sixband::kOldPixelOffset : layout.stripOffset;
    if (!readPixels(file, pixelOffset, sixband::kWidth, sixband::kHeight, pixels)) return false;
    const uint32_t xmpOffset = oldLayout ? sixband::kOldXmpOffset : (panel ? layout.xmpOffset : sixband::kNewXmpOffset);
    if (!readXmpBlock(file, xmpOffset, xmp)) return false;
    qDebug() << (oldLayout ? "600 xmp==============================>and other V_One"
                           : "600 xmp==============================>and other V_Two")
             << xmpOffset;
    return true;
}

// The log line of the keyed cameras (types 3, 4, 6); false for an unknown type.
bool logKeyedCamera(bool panel, const RawTiffCamera& camera, const RawTiffLayout& layout) {
    switch (camera.cameraType) {
    case 4:
        if (panel) {
            qDebug() << "iCameraType==three";
            qDebug() << "TR310 xmp==============================>and other" << camera.make << camera.width
                     << camera.height;
        } else {
            qDebug() << "iCameraType=====" << layout.stripOffset;
            qDebug() << "TR310 xmp==============================>and other" << camera.width << camera.height;
        }
        return true;
    case 3:
        if (panel) {
            qDebug() << "ZN4150 xmp==============================>and other" << camera.make << camera.width
                     << camera.height;
        } else {
            qDebug() << "ZN4150 xmp==============================>and other" << camera.width << camera.height;
        }
        return true;
    case 6:
        qDebug() << "iCameraType==GL520";
        if (panel) {
            qDebug() << "GL520 xmp==============================>and other" << camera.make << camera.width
                     << camera.height;
        } else {
            qDebug() << "GL520 xmp==============================>and other" << camera.width << camera.height;
        }
        return true;
    default:
        qDebug() << "readTIF: unknown camera type" << camera.cameraType;
        return false;
    }
}

// The keyed cameras: the camera's own size, pixels at the strip offset, XMP at its tag (panel) or
// from the start of the file (task).
bool readKeyedImage(RawFile& file, bool panel, const RawTiffCamera& camera, const RawTiffLayout& layout,
                    std::vector<uint16_t>& pixels, QByteArray& xmp) {
    if (!plausibleImageSize(camera.width, camera.height)) {
        qDebug() << "readTIF: refusing image size" << camera.width << "x" << camera.height;
        return false;
    }
    if (!logKeyedCamera(panel, camera, layout)) return false;
    if (layout.stripOffset == 0) {
        qDebug() << "readTIF: no pixel block (StripOffsets tag missing)";
        return false;
    }
    if (!readPixels(file, layout.stripOffset, camera.width, camera.height, pixels)) return false;
    return readXmpBlock(file, panel ? layout.xmpOffset : 0u, xmp);
}

}  // namespace

bool plausibleImageSize(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide;
}

bool readTIF(RawTiffReader reader, const QString& path, const RawTiffCamera& camera, RawTiffLayout& layout,
             std::vector<uint16_t>& pixels, QByteArray& xmp, RadiometricCalibration& calibration) {
    const bool panel = reader == RawTiffReader::Panel;
    RawFile file;
    if (!file.open(path)) {
        qDebug() << "open file error" << path;
        return false;
    }
    std::vector<unsigned char> entries;
    if (!readDirectoryEntries(file, entries)) return false;
    uint32_t fileWidth = 0, fileHeight = 0;
    if (!readDirectoryTags(file, entries, panel, camera, layout, calibration, fileWidth, fileHeight)) return false;
    if (!fileSizeMatches(camera, fileWidth, fileHeight, path)) return false;
    if (camera.cameraType == 0) return readSixBandImage(file, panel, camera, layout, pixels, xmp);
    return readKeyedImage(file, panel, camera, layout, pixels, xmp);
}

}  // namespace refl
