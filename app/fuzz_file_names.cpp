// libFuzzer entry over the file-name field parsers: capture key, band key and band label of the raw
// scan and the panel choice, the registration's group number, band name and wavelength, and the
// self-calibration's capture and band grouping. Input: one signed byte for the band count, then
// file names separated by newlines. See scripts/fuzz.sh.
#include <QStringList>
#include <cstdint>

#include "camera_info.h"
#include "image_registration_thread.h"
#include "panel_selection.h"
#include "raw_scan.h"
#include "sfm_calibration_thread.h"
#include "testing/fuzz_input.h"

using namespace refl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceLogs();
    if (size < 1) return 0;
    const int bandCount = static_cast<int8_t>(data[0]);
    const QStringList names = QString::fromUtf8(bytesOf(data + 1, size - 1)).split('\n').mid(0, 64);

    QMap<QString, QStringList> groups;
    for (const QString& name : names) {
        isPanelImageName(name);
        isTifName(name);
        isJpgName(name);
        bandLabelFromFileName(name);
        bandFromFileName(name);
        const QStringList fields = fileNameFields(name);
        if (fields.size() >= 3) groups[fields.at(1)].append(fields.at(2).section('.', 0, 0));
        regnames::prefixOf(name);
        regnames::groupNumberOf(name);
        regnames::bandNameOf(name);
        regnames::wavelengthOf(name);
    }
    majorityGroupSize(groups);
    panelSelectionProblem(names, bandCount);
    panelBandLabelsOf(names);
    for (const QStringList& group : CImageRegistrationThread::groupByGroupNumber(names)) {
        const int reference = CImageRegistrationThread::referenceIndex(group);
        if (reference < 0 || reference >= group.size()) __builtin_trap();
    }
    CSfMCalibrationThread::groupFilesByCapture(names);
    CSfMCalibrationThread::groupFilesByBand(names);
    return 0;
}
