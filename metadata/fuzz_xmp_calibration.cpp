// libFuzzer entry over the three calibration readers: the compact and the per-item text layouts
// straight on the input, and the keyed layout through exiv2 on the input as a file. See
// scripts/fuzz.sh.
#include <cstdint>

#include "radiometric_calibration.h"
#include "testing/fuzz_input.h"

using namespace refl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceLogs();
    const QByteArray bytes = bytesOf(data, size);
    for (CalibrationReader copy : {CalibrationReader::Panel, CalibrationReader::Task}) {
        RadiometricCalibration record;
        bool keyed = false;
        readXmpNodeValueVerTwo(copy, bytes, record, &keyed);
        readXmpNodeValueVerTwo(copy, bytes, record);
        readXmpPerItem(copy, bytes, record);
    }
    // exiv2 only sees inputs that look like a TIFF or an XMP packet; the rest fails its type check.
    const QString path = writeScratch(bytes, ".tif");
    if (path.isEmpty()) return 0;
    RadiometricCalibration record;
    readImageExif(path, record);
    readImageExifPanel(path, record);
    return 0;
}
