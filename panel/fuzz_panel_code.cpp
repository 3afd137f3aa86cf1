// libFuzzer entry over the panel-code payload parser (the text a QR symbol decodes to) and the
// reflectance lookup that uses its values. Input: the payload, optionally followed by a newline
// and ";"-separated band labels. See scripts/fuzz.sh.
#include <QStringList>
#include <cstdint>

#include "panel_recognition.h"
#include "panel_value.h"
#include "testing/fuzz_input.h"

using namespace refl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceLogs();
    const QByteArray bytes = bytesOf(data, size);
    const int newline = bytes.indexOf('\n');
    const QByteArray payload = newline < 0 ? bytes : bytes.left(newline);
    QStringList labels = {"450nm", "555nm", "660nm", "720nm", "750nm", "840nm"};
    if (newline >= 0) labels = QString::fromUtf8(bytes.mid(newline + 1)).split(';');

    const GreyBoardCode code = parsePanelPayload(payload);
    if (code.values.size() > 50 || code.sn.size() > code.snLength) __builtin_trap();
    isPanelCode(code);
    const QVector<std::optional<double>> reflectance = standardReflectanceFromCode(code.values, labels);
    if (reflectance.size() > labels.size()) __builtin_trap();
    return 0;
}
