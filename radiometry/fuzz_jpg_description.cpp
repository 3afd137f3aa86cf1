// libFuzzer entry over the JPG image-description fraction ("94/100") and the pixel scaling that
// uses the factor it yields. See scripts/fuzz.sh.
#include <QString>
#include <cmath>
#include <cstdint>

#include "handle_jpg_operation.h"
#include "testing/fuzz_input.h"

using namespace refl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceLogs();
    const QByteArray bytes = bytesOf(data, size);
    unsigned char dn[256];
    for (int i = 0; i < 256; ++i) dn[i] = static_cast<unsigned char>(i);
    quint16 out[256];
    for (const QString& description : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
        double factor = 0.0;
        if (!jpgScaleFactor(description, &factor)) continue;
        if (!std::isfinite(factor)) __builtin_trap();
        scaleJpgPixels(dn, out, 256, factor);
    }
    jpgOutputFileName(QString::fromUtf8(bytes));
    return 0;
}
