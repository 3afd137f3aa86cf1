#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

namespace refl {

struct RadiometricCalibration;

// Where the pixels, the XMP packet and the dark level of one raw band TIFF lie, as found in its
// first image file directory.
struct RawTiffLayout {
    uint32_t stripOffset = 0;  // tag 273; 0 when absent
    uint32_t xmpOffset = 0;    // tag 700
    // Six-band camera only: 1 = older layout (pixels at 266, XMP at 2458247), 0 = newer layout
    // (maker bytes at 266, XMP at 308).
    uint8_t layoutFlag = 0;
    uint16_t darkLevel = 0;  // tag 50714
};

// The reader exists twice: the panel step reads the maker bytes and the XMP at its tagged offset
// and decides the layout; the per-file task takes the layout decided for the panel and reads the
// XMP where its camera keeps it.
enum class RawTiffReader { Panel, Task };

// What the caller knows about the camera before reading.
struct RawTiffCamera {
    int cameraType = 0;
    int width = 0;
    int height = 0;
    QString make;  // logged by the panel reader
};

// Fixed geometry of the six-band camera's files.
namespace sixband {
constexpr int kWidth = 1280;
constexpr int kHeight = 960;
constexpr uint32_t kPixelBytes = 2457600;
constexpr uint32_t kOldPixelOffset = 266;
constexpr uint32_t kOldMakerOffset = 2457866;
constexpr uint32_t kOldXmpOffset = 2458247;
constexpr uint32_t kNewMakerOffset = 266;
constexpr uint32_t kNewXmpOffset = 308;
constexpr uint32_t kUnusedBytesOffset = 2457873;
}  // namespace sixband

constexpr int kXmpBufferSize = 5000;
// Widths and heights beyond this are refused before anything is allocated.
constexpr int kMaxImageSide = 20000;

// True for a width and height that a band image can have.
bool plausibleImageSize(int width, int height);

// Reads one raw band TIFF: the pixel block into `pixels` (resized to width x height), up to 5000
// bytes of XMP text into `xmp` (zero-terminated at its end or at the end of the file) and the
// dark level into `calibration`. For the task reader `layout.layoutFlag` must hold the layout
// decided by the panel reader. Every offset is checked against the file size; on any failure one
// log line names the problem and false is returned.
bool readTIF(RawTiffReader reader, const QString& path, const RawTiffCamera& camera, RawTiffLayout& layout,
             std::vector<uint16_t>& pixels, QByteArray& xmp, RadiometricCalibration& calibration);

}  // namespace refl
