// libFuzzer entry over the XMP value lookup of the merged-file tags: the input is the reference
// band's XMP packet. See scripts/fuzz.sh.
#include <QString>
#include <QXmlStreamReader>
#include <cstdint>

#include "exif_tags.h"
#include "testing/fuzz_input.h"

using namespace refl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceLogs();
    const QString packet = QString::fromUtf8(bytesOf(data, size));
    for (const char* name : {"DLS:Pitch", "Camera:RelativeAltitude", "Camera:STD", "", "<", "\""}) {
        const QString value = xmpElementValue(packet, QString::fromLatin1(name));
        if (value.size() > packet.size()) __builtin_trap();
    }
    const QByteArray merged = buildMergedXmpPacket(packet);
    // Whatever the reference holds, the packet written into the merged file must be well-formed.
    if (!merged.isEmpty()) {
        QXmlStreamReader reader(merged);
        reader.setNamespaceProcessing(false);
        while (!reader.atEnd()) reader.readNext();
        if (reader.hasError()) __builtin_trap();
    }
    return 0;
}
