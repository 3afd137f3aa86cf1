// libFuzzer entry over the raw TIFF reader: the input is one band file, read as every camera type
// by the panel and the task copy of the reader. See scripts/fuzz.sh.
#include <cstdint>
#include <vector>

#include "radiometric_calibration.h"
#include "raw_tiff.h"
#include "testing/fuzz_input.h"

using namespace refl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceLogs();
    const QString path = writeScratch(bytesOf(data, size), ".tif");
    if (path.isEmpty()) return 0;
    const RawTiffCamera cameras[] = {{0, 1280, 960, "Quorvin"}, {3, 16, 8, ""}, {4, 32, 16, ""}, {6, 8, 8, ""}};
    RadiometricCalibration record;
    for (const RawTiffCamera& camera : cameras) {
        for (RawTiffReader reader : {RawTiffReader::Panel, RawTiffReader::Task}) {
            for (uint8_t flag : {uint8_t(0), uint8_t(1)}) {
                if (reader == RawTiffReader::Panel && flag == 1) continue;
                RawTiffLayout layout;
                layout.layoutFlag = flag;
                std::vector<uint16_t> pixels;
                QByteArray xmp;
                if (readTIF(reader, path, camera, layout, pixels, xmp, record) &&
                    pixels.size() != size_t(camera.width) * size_t(camera.height))
                    __builtin_trap();  // success must always hand back a whole image
            }
        }
    }
    return 0;
}
