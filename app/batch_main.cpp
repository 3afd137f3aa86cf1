// reflectivity-batch: the processing run of the window, without a display.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>

#include <QDebug>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <functional>
#include <opencv2/imgcodecs.hpp>

#include "batch_flight.h"
#include "batch_support.h"
#include "batch_view.h"
#include "logger.h"
#include "panel_recognition.h"
#include "panel_selection.h"
#include "panel_value.h"
#include "raw_scan.h"
#include "run_controller.h"

using namespace refl;

namespace {

void err(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// Standard reflectances carried by the first panel code found among the panel images.
std::optional<std::array<double, 6>> reflectanceFromPanelCode(const QStringList& panels, const QStringList& labels,
                                                             const std::array<double, 6>& fallback) {
    for (const QString& path : panels) {
        const cv::Mat image = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR);
        if (image.empty()) continue;
        const QVector<GreyBoardCode> codes = scanGreyBoardCodes(image);
        if (codes.isEmpty() || !isPanelCode(codes.first()) || codes.first().values.isEmpty()) continue;
        const auto values = standardReflectanceFromCode(codes.first().values, labels);
        std::array<double, 6> out = fallback;
        bool any = false;
        for (int i = 0; i < values.size(); ++i)
            if (values[i]) out[size_t(i)] = *values[i], any = true;
        if (any) return out;
    }
    return std::nullopt;
}

int countMerged(const QStringList& folders) {
    int n = 0;
    for (const QString& f : folders) {
        QDirIterator it(f, {"*_Multi.tif"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++n;
        }
    }
    return n;
}

bool registrationMode(const QString& text, RegistrationMode& mode) {
    if (text == "common") {
        mode = RegistrationMode::Common;
    } else if (text == "per-group") {
        mode = RegistrationMode::PerGroup;
    } else if (text == "none") {
        mode = RegistrationMode::None;
    } else {
        return false;
    }
    return true;
}

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int signal) { g_stopSignal = signal; }

// Ctrl-C or a termination request stops the run as the window's stop button does, so that the
// phase in progress removes its partial files; a second one ends the program at once.
void installStopSignals() {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

// Runs the controller until it reports its outcome.
RunOutcome runController(RunController& controller, const std::function<void()>& start) {
    RunOutcome outcome = RunOutcome::Failed;
    QObject::connect(&controller, &RunController::finished, [&](RunOutcome o) {
        outcome = o;
        QCoreApplication::exit(0);
    });
    QTimer stopWatch;
    bool stopAnnounced = false;
    QObject::connect(&stopWatch, &QTimer::timeout, [&] {
        if (!g_stopSignal) return;
        if (!stopAnnounced) {
            stopAnnounced = true;
            std::signal(SIGINT, SIG_DFL);
            std::signal(SIGTERM, SIG_DFL);
            err("reflectivity-batch: stop requested, finishing the file in progress");
            qDebug() << "reflectivity-batch: stop requested by signal" << int(g_stopSignal);
        }
        // Between two phases nothing may be running yet: asked again until the run ends.
        controller.stop();
    });
    stopWatch.start(100);
    QMetaObject::invokeMethod(&controller, start, Qt::QueuedConnection);
    QCoreApplication::exec();
    return outcome;
}

// Bands whose registration a person should look at: named on standard error; they fail the run.
bool reportBandsToCheck(const RunController& controller) {
    const QStringList& bands = controller.registrationBandsToCheck();
    if (bands.isEmpty()) return false;
    err(QString("reflectivity-batch: %1 bands need a look (registration residual above 1 px, not measurable "
                "after a weak registration, or not registered); see %2:")
            .arg(bands.size())
            .arg(controller.registrationQualityFiles().join(", ")));
    for (const QString& band : bands) err("  " + band);
    return true;
}

// --register-only DIR: the registration step alone, on band files that are the user's own.
int registerOnly(const QCommandLineParser& parser) {
    const QString dir = parser.value("register-only");
    if (!QDir(dir).exists()) {
        err("reflectivity-batch: folder does not exist: " + dir);
        return 2;
    }
    RegistrationMode mode = RegistrationMode::Common;
    if (!registrationMode(parser.value("registration"), mode) || mode == RegistrationMode::None) {
        err("reflectivity-batch: with --register-only, --registration must be common or per-group");
        return 2;
    }
    const QStringList folders{QDir(dir).absolutePath()};
    BatchRunView view;
    RunController controller(view);
    controller.setThreadCount(RunThreads::parse(parser.value("threads")));
    QElapsedTimer clock;
    clock.start();
    const RunOutcome outcome = runController(controller, [&] {
        controller.startRegistrationOnly(folders, mode, parser.isSet("float"));
    });
    const double seconds = clock.elapsed() / 1000.0;
    view.finishProgress();
    std::printf("Merged captures in %s: %d\n", folders.first().toLocal8Bit().constData(), countMerged(folders));
    std::printf("Registration time: %.1f s\n", seconds);
    if (!controller.reportPath().isEmpty())
        std::printf("Report: %s\n", controller.reportPath().toLocal8Bit().constData());
    std::printf("Log: %s\n", currentLogFilePath().toLocal8Bit().constData());
    if (outcome != RunOutcome::Completed) {
        err("reflectivity-batch: registration did not complete");
        return 1;
    }
    return reportBandsToCheck(controller) ? 1 : 0;
}

void addRunOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "Converts a flight of raw band images to reflectance (with reference panel images) or radiance, "
        "as the reflectivity window does.");
    parser.addHelpOption();
    parser.addOption({"raw", "Folder of raw band images (or of flight subfolders).", "DIR"});
    parser.addOption({"out", "Result folder.", "DIR"});
    parser.addOption({"panel",
                      "A reference panel image (repeat for every band and panel group), or a folder: every "
                      "panel image in it.",
                      "FILE|DIR"});
    parser.addOption({"radiance", "Convert to radiance (no panel needed)."});
    parser.addOption({"reflectance",
                      "Standard reflectance of the panel per band, six values (default: the values of the "
                      "panel code when it carries them, else 0.61).",
                      "V1,...,V6"});
    parser.addOption({"registration", "Band registration: common, per-group or none.", "MODE", "common"});
    parser.addOption({"register-only",
                      "Only register and merge the band TIFFs already in DIR (and its subfolders) into one "
                      "multi-band TIFF per capture; the files in DIR are kept.",
                      "DIR"});
    parser.addOption({"float", "With --register-only: the bands hold reflectance (merged as 32-bit float)."});
    parser.addOption({"no-self-calibration", "Skip the lens self-calibration (lens correction uses the XMP model)."});
    parser.addOption({"log-dir", "Folder of the dated log files (default ./log).", "DIR"});
    parser.addOption({"threads", "Threads of every pool and parallel loop of the run (default: all cores); the "
                      "results do not depend on it.", "N", QString::number(RunThreads::allCores())});
    addFlightOptions(parser);
}

// The panel images of --panel and what they say about the bands; an exit code when they do not fit
// the scanned flight, else -1.
int readPanelArguments(const QCommandLineParser& parser, BatchRunView& view, RunRequest& request) {
    QString panelProblem;
    request.panelImages = expandPanelArguments(parser.values("panel"), &panelProblem);
    if (!panelProblem.isEmpty()) {
        err("reflectivity-batch: " + panelProblem);
        return 2;
    }
    if (request.panelImages.isEmpty()) return -1;
    const QString problem = panelSelectionProblem(request.panelImages, request.scan.bandCount);
    if (!problem.isEmpty()) {
        view.dialogs().information(QStringLiteral("提示"), problem);
        if (request.scan.bandCount > 0 && request.panelImages.size() % request.scan.bandCount != 0)
            err(panelCountHint(request.panelImages.size(), request.scan.bandCount));
        return 1;
    }
    request.panelBandLabels = panelBandLabelsOf(request.panelImages);
    request.regionDrawn = QVector<bool>(request.panelImages.size(), false);
    return -1;
}

// The standard reflectances: --reflectance, else those of the panel code (reflectance runs); an
// exit code for a malformed list, else -1.
int readStandardReflectance(const QCommandLineParser& parser, RunRequest& request) {
    if (parser.isSet("reflectance")) {
        const QStringList values = parser.value("reflectance").split(',');
        if (values.size() != 6) {
            err("reflectivity-batch: --reflectance takes six comma-separated values");
            return 2;
        }
        for (int i = 0; i < 6; ++i) {
            bool ok = false;
            request.standardReflectance[size_t(i)] = values[i].toDouble(&ok);
            if (!ok) {
                err("reflectivity-batch: not a number in --reflectance: " + values[i]);
                return 2;
            }
        }
    } else if (request.reflectance) {
        const auto fromCode =
            reflectanceFromPanelCode(request.panelImages, request.scan.firstGroupLabels, request.standardReflectance);
        if (fromCode) request.standardReflectance = *fromCode;
    }
    return -1;
}

// The run request from the arguments and the scan of the raw folder; an exit code when the
// arguments or the folder do not allow a run, else -1.
int buildRequest(const QCommandLineParser& parser, bool prepareOnly, BatchRunView& view, RunRequest& request) {
    const QString raw = parser.value("raw");
    const QString out = parser.value("out");
    if (raw.isEmpty() || (out.isEmpty() && !prepareOnly)) {
        err("reflectivity-batch: --raw and --out are required (see --help)");
        return 2;
    }
    if (!QDir(raw).exists()) {
        err("reflectivity-batch: raw folder does not exist: " + raw);
        return 2;
    }
    if (!registrationMode(parser.value("registration"), request.registration)) {
        err("reflectivity-batch: --registration must be common, per-group or none");
        return 2;
    }
    request.scan = scanRawDirectory(QDir(raw).absolutePath(), view.dialogs());
    if (request.scan.groups.isEmpty()) return 1;
    noticeIfTooFewImages(request.scan, view.dialogs());
    request.rawDirectory = QDir(raw).absolutePath();
    request.resultDirectory = out.isEmpty() ? QString() : QDir(out).absolutePath();
    request.reflectance = !parser.isSet("radiance");
    if (const int code = readPanelArguments(parser, view, request); code >= 0) return code;
    return readStandardReflectance(parser, request);
}

// Images not converted and a run that did not complete, on standard error; the exit code of a run
// that did not complete, else -1.
int reportFailures(const RunController& controller, RunOutcome outcome) {
    // Images the pool could not convert make the run a failure, though every other image is written.
    const QStringList& notConverted = controller.notConverted();
    if (!notConverted.isEmpty()) {
        QStringList names;
        for (int i = 0; i < notConverted.size() && i < 20; ++i) names << QFileInfo(notConverted[i]).fileName();
        if (notConverted.size() > 20) names << "...";
        err(QString("reflectivity-batch: %1 of %2 images not converted (see the log): %3")
                .arg(notConverted.size())
                .arg(controller.totalCount())
                .arg(names.join(", ")));
    }
    if (outcome == RunOutcome::Completed) return -1;
    err(outcome == RunOutcome::Stopped   ? "reflectivity-batch: run stopped"
        : outcome == RunOutcome::Refused ? "reflectivity-batch: run refused"
                                         : "reflectivity-batch: run failed");
    if (!controller.reportPath().isEmpty()) err("reflectivity-batch: report: " + controller.reportPath());
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("reflectivity-batch");
    installStopSignals();
    QCommandLineParser parser;
    addRunOptions(parser);
    parser.process(app);
    if (!RunThreads::parse(parser.value("threads"))) {
        err("reflectivity-batch: --threads takes a whole number from 1 to 1024");
        return 2;
    }

    Logger logger{QString()};
    if (parser.isSet("log-dir")) {
        logger.installUnder(parser.value("log-dir"));
    } else {
        logger.install(QString());
    }
    // Standard output carries the summary only; every log line goes to the log file.
    setLogEcho(false);

    BatchFlight flight(parser, runController);
    if (const int code = flight.checkOptions(); code >= 0) return code;
    if (parser.isSet("register-only")) return registerOnly(parser);

    BatchRunView view;
    RunRequest request;
    if (const int code = buildRequest(parser, flight.prepareOnly(), view, request); code >= 0) return code;

    if (const int code = flight.prepare(request, view, !parser.isSet("no-self-calibration")); code >= 0) return code;
    RunController controller(view);
    controller.setSelfCalibrationEnabled(!parser.isSet("no-self-calibration"));
    controller.setThreadCount(RunThreads::parse(parser.value("threads")));
    flight.setUp(controller);
    QElapsedTimer clock;
    clock.start();
    const RunOutcome outcome = runController(controller, [&] { flight.start(controller); });
    const double seconds = clock.elapsed() / 1000.0;
    const bool stateWritten = flight.finish(controller, outcome);
    view.finishProgress();

    if (const int code = reportFailures(controller, outcome); code >= 0) return code;
    printRunSummary(controller, request, seconds);
    const bool bandsToCheck = reportBandsToCheck(controller);
    return controller.notConverted().isEmpty() && stateWritten && !bandsToCheck ? 0 : 1;
}
