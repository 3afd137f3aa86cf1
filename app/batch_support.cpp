#include <algorithm>
#include "batch_support.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

#include "logger.h"
#include "run_controller.h"
#include "run_report.h"

using namespace refl;

namespace {

void out(const QString& text) { std::printf("%s\n", text.toLocal8Bit().constData()); }

}  // namespace

QStringList expandPanelArguments(const QStringList& values, QString* problem) {
    QStringList files;
    for (const QString& value : values) {
        const QFileInfo info(value);
        if (info.isDir()) {
            const QStringList names =
                QDir(value).entryList({"*.tif", "*.TIF", "*.tiff", "*.TIFF"}, QDir::Files, QDir::Name);
            if (names.isEmpty() && problem) *problem = "no TIFF image in panel folder " + value;
            for (const QString& name : names) files << QDir(value).absoluteFilePath(name);
        } else if (info.isFile()) {
            files << info.absoluteFilePath();
        } else if (problem) {
            *problem = "panel image not found: " + value;
        }
    }
    files.removeDuplicates();
    return files;
}

QString panelCountHint(int given, int bandCount) {
    return QString("reflectivity-batch: %1 panel image(s) given, but every band of a panel group is needed "
                   "(%2 per group): repeat --panel for each image, or give the folder of the panel images "
                   "with --panel DIR")
        .arg(given)
        .arg(bandCount);
}

void printRunSummary(const RunController& controller, const RunRequest& request, double seconds) {
    const RunReportData& data = controller.reportData();
    const RunCounts c = countRun(data);
    if (!controller.outputFolders().isEmpty())
        out("Results in: " + QDir::toNativeSeparators(controller.outputFolders().join(", ")));
    if (request.registration != RegistrationMode::None) out(QString("Merged captures: %1").arg(c.mergedCaptures));
    out(QString("Converted images: %1").arg(c.convertedImages));
    out(QString("Files not converted: %1").arg(c.notConverted));
    if (request.registration != RegistrationMode::None)
        out(c.qualityMeasured ? QString("Bands to look at: %1").arg(c.bandsToLook)
                              : QStringLiteral("Bands to look at: not measured"));
    // Panel values measured by this run, or taken from a flight state.
    const bool panelValues = std::any_of(controller.meanPanelValues().begin(), controller.meanPanelValues().end(),
                                         [](double v) { return v > 0; });
    if (request.reflectance && !request.scan.firstGroupLabels.isEmpty() && panelValues) {
        QString values;
        for (int b = 0; b < request.scan.bandCount && b < controller.meanPanelValues().size(); ++b)
            values += QString(" %1").arg(controller.meanPanelValues()[b], 0, 'g', 6);
        out("Panel value per band:" + values);
    }
    if (data.selfCalibrationRan && !data.lenses.isEmpty()) {
        int accepted = 0;
        for (const auto& l : data.lenses) accepted += l.selfCalibrated ? 1 : 0;
        out(QString("Self-calibrated bands: %1 of %2").arg(accepted).arg(data.lenses.size()));
    }
    out(QString("Run time: %1 s (%2 images/s)")
            .arg(seconds, 0, 'f', 1)
            .arg(seconds > 0 ? controller.processedCount() / seconds : 0.0, 0, 'f', 1));
    if (!controller.reportPath().isEmpty()) out("Report: " + QDir::toNativeSeparators(controller.reportPath()));
    out("Log: " + QDir::toNativeSeparators(currentLogFilePath()));
}
