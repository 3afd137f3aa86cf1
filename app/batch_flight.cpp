#include "batch_flight.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "batch_view.h"
#include "camera_info.h"
#include "image_registration_thread.h"
#include "run_report_shards.h"
#include "run_threads.h"

using namespace refl;

namespace {

void err(const QString& text) {
    std::fprintf(stderr, "reflectivity-batch: %s\n", text.toLocal8Bit().constData());
}
void out(const QString& text) { std::printf("%s\n", text.toLocal8Bit().constData()); }

QString shardQualityFileName(const CaptureShard& shard) {
    return QString("registration_quality_shard-%1-of-%2.csv").arg(shard.index).arg(shard.count);
}

QString numberList(const QVector<double>& values) {
    QStringList texts;
    for (double v : values) texts << QString::number(v, 'g', 6);
    return texts.join(' ');
}

void describeState(const FlightState& s) {
    out(QString("  camera: type %1, serial %2, %3x%4, bands %5")
            .arg(s.cameraType)
            .arg(s.serial)
            .arg(s.width)
            .arg(s.height)
            .arg(s.bandLabels.join(",")));
    if (s.reflectance)
        out(QString("  panel values: %1 (standard reflectances %2)")
                .arg(numberList(s.panelValues),
                     numberList(QVector<double>(
                         s.standardReflectance.begin(),
                         s.standardReflectance.begin() + std::min<int>(6, s.bandLabels.size())))));
    else
        out("  panel values: none (radiance)");
    QStringList lenses;
    for (const QString& key : s.lensBandKeys)
        lenses << QString("%1 %2").arg(key, s.lens.contains(key) ? "self-calibration" : "XMP");
    out("  lens per band: " + lenses.join(", "));
    if (s.hasCommonMatrices)
        out(QString("  common matrices: %1 bands against band %2, estimated at %3 m on captures %4")
                .arg(s.commonMatrices.size())
                .arg(s.commonReference)
                .arg(s.commonAltitude, 0, 'f', 1)
                .arg(s.commonCaptures.join(" ")));
    else
        out("  common matrices: none");
}

}  // namespace

void addFlightOptions(QCommandLineParser& parser) {
    parser.addOption(
        {"save-state",
         "Write the flight state (camera, bands, panel values, lenses, common matrices) to FILE once "
         "the once-per-flight phases are done.",
         "FILE"});
    parser.addOption(
        {"state",
         "Take the once-per-flight results from FILE (written by --save-state for this flight or "
         "another flight of the same camera) instead of computing them.",
         "FILE"});
    parser.addOption({"reuse-panel",
                      "With --state of another flight: use its panel values too (by default that flight's "
                      "panel images are measured, since the light changes)."});
    parser.addOption({"prepare-only",
                      "Run only the once-per-flight phases and write the state (--save-state); no image is "
                      "converted."});
    parser.addOption({"shard",
                      "Process only the captures whose position in the scan's capture order is I modulo N, "
                      "into the same result folder as the other shards.",
                      "I/N"});
    parser.addOption({"merge-reports",
                      "Combine the shard reports in the result folder DIR into one report.html for the "
                      "whole flight (nothing is processed again).",
                      "DIR"});
}

int BatchFlight::mergeReports() {
    for (const QString& other : m_parser.optionNames()) {
        if (other != "merge-reports" && other != "log-dir" && other != "threads") {
            err("--merge-reports takes no other options than --log-dir (not --" + other + ")");
            return 2;
        }
    }
    if (!m_parser.positionalArguments().isEmpty()) {
        err("--merge-reports takes no other arguments (not " + m_parser.positionalArguments().join(" ") +
            ")");
        return 2;
    }
    const MergedShardReport merged = mergeShardReports(m_parser.value("merge-reports"));
    if (merged.exitCode == 2) {
        err("--merge-reports: " + merged.problem);
        return 2;
    }
    const RunCounts counts = countRun(merged.data);
    out(QString("Shard reports merged: %1 of %2").arg(merged.data.shards.size()).arg(merged.data.shardCount));
    out(QString("Merged captures: %1 of %2").arg(counts.mergedCaptures).arg(merged.data.captureCount));
    out(QString("Converted images: %1").arg(counts.convertedImages));
    out(QString("Files not converted: %1").arg(counts.notConverted));
    if (merged.data.registrationMode != "none")
        out(counts.qualityMeasured ? QString("Bands to look at: %1").arg(counts.bandsToLook)
                                   : QStringLiteral("Bands to look at: not measured"));
    out("Report: " + QDir::toNativeSeparators(merged.path));
    if (!merged.problem.isEmpty()) err(merged.problem);
    if (counts.bandsToLook > 0) err(QString("%1 bands need a look; see the report").arg(counts.bandsToLook));
    return merged.exitCode != 0 || counts.bandsToLook > 0 || counts.notConverted > 0 ? 1 : 0;
}

BatchFlight::BatchFlight(const QCommandLineParser& parser, ControllerRunner runner)
    : m_parser(parser), m_runner(std::move(runner)) {}

int BatchFlight::checkOptions() {
    if (m_parser.isSet("merge-reports")) return mergeReports();
    m_prepareOnly = m_parser.isSet("prepare-only");
    m_reusePanel = m_parser.isSet("reuse-panel");
    m_statePath = m_parser.value("state");
    m_savePath = m_parser.value("save-state");
    const bool any = m_prepareOnly || m_reusePanel || m_parser.isSet("state") ||
                     m_parser.isSet("save-state") || m_parser.isSet("shard");
    if (!any) return -1;
    if (m_parser.isSet("register-only")) {
        err("--state, --save-state, --prepare-only and --shard do not go with --register-only");
        return 2;
    }
    if (m_parser.isSet("shard")) {
        QString problem;
        if (!parseCaptureShard(m_parser.value("shard"), m_shard, problem)) {
            err(problem);
            return 2;
        }
    }
    if (m_prepareOnly && m_savePath.isEmpty()) {
        err("--prepare-only writes the flight state: give --save-state FILE");
        return 2;
    }
    if (m_prepareOnly && m_shard.active()) {
        err("--prepare-only is the flight's one preparation; it takes no --shard");
        return 2;
    }
    if (m_reusePanel && m_statePath.isEmpty()) {
        err("--reuse-panel takes the panel values of a flight state: give --state FILE");
        return 2;
    }
    if (m_parser.isSet("state") && m_statePath.isEmpty()) {
        err("--state needs a file name");
        return 2;
    }
    if (m_parser.isSet("save-state")) {
        const QFileInfo target(m_savePath);
        const QFileInfo folder(target.absolutePath());
        if (m_savePath.isEmpty() || target.isDir() || !folder.isDir() || !folder.isWritable()) {
            err("cannot write the flight state to " + m_savePath +
                " (its folder must exist and be writable)");
            return 2;
        }
        if (!m_statePath.isEmpty() &&
            QFileInfo(m_statePath).absoluteFilePath() == target.absoluteFilePath()) {
            err("--save-state must not overwrite the --state file it reads");
            return 2;
        }
    }
    if (!m_statePath.isEmpty()) {
        QString problem;
        if (!loadFlightState(m_statePath, m_state, problem)) {
            err(QString("flight state %1: %2").arg(m_statePath, problem));
            return 2;
        }
        QFile file(m_statePath);
        if (file.open(QIODevice::ReadOnly))
            m_stateChecksum = QString::fromLatin1(
                QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
    }
    return -1;
}

void BatchFlight::collectMatrices(CImageRegistrationThread& thread, const std::shared_ptr<MatrixSink>& sink) {
    // Connected before the controller's own connections, so the copy is made before the run's end
    // is reported to the main thread.
    CImageRegistrationThread* t = &thread;
    QObject::connect(
        t, &CImageRegistrationThread::signalRegistrationFinished, t,
        [t, sink](bool, QString) {
            QMutexLocker lock(&sink->mutex);
            sink->got = true;
            sink->reference = t->commonReferenceIndex();
            sink->matrices = t->commonMatrices();
        },
        Qt::DirectConnection);
}

void BatchFlight::completeFlightFields(FlightState& state, const RunRequest& request) const {
    state.program = QString("reflectivity-batch %1").arg(QStringLiteral(REFLECTIVITY_VERSION));
    state.created = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    state.rawDirectory = request.rawDirectory;
    state.flightFingerprint = flightFingerprint(m_flight, request.rawDirectory);
    state.imageCount = m_flight.paths.size();
    state.captureCount = m_flight.captures.size();
}

bool BatchFlight::writeState(const FlightState& state) {
    QString problem;
    if (!saveFlightState(m_savePath, state, problem)) {
        err(QString("cannot write the flight state %1: %2").arg(m_savePath, problem));
        return false;
    }
    qDebug() << "Flight state written:" << m_savePath;
    out("Flight state written: " + QFileInfo(m_savePath).absoluteFilePath());
    describeState(state);
    return true;
}

bool BatchFlight::computeCommonMatrices(const RunRequest& request, BatchRunView& view, FlightState& state) {
    const CommonMatrixCaptures selection = commonMatrixCaptures(m_flight);
    state.hasCommonMatrices = true;
    state.commonReference = -1;
    state.commonMatrices.clear();
    state.commonCaptures = selection.keys;
    state.commonBandNames = selection.bandNames;
    state.commonAltitude = selection.altitude;
    // Without an altitude no capture is chosen: every capture is merged unregistered, as a whole run does.
    if (selection.captures.isEmpty()) return true;
    // The chosen captures are converted into a scratch folder and their matrices computed there,
    // from the same converted images a whole run computes them from.
    QTemporaryDir scratch(QDir::temp().filePath("reflectivity-prepare-XXXXXX"));
    if (!scratch.isValid()) {
        err("cannot create a scratch folder under " + QDir::tempPath());
        return false;
    }
    RunRequest r = request;
    r.scan = restrictScan(request.scan, m_flight, selection.captures, false);
    r.resultDirectory = scratch.path();
    r.registrationTempDir = scratch.filePath("temp_reg");
    r.registration = RegistrationMode::Common;
    qDebug() << "BatchFlight: common matrices from captures" << selection.keys << "at" << selection.altitude
             << "m";
    RunController controller(view);
    controller.setThreadCount(RunThreads::parse(m_parser.value("threads")));
    controller.setReportSetup([](RunReportData& d) { d.reportName.clear(); });
    auto sink = std::make_shared<MatrixSink>();
    controller.setRegistrationSetup([sink](CImageRegistrationThread& t) { collectMatrices(t, sink); });
    const RunOutcome outcome = m_runner(controller, [&] { controller.startWithFlightState(r, state); });
    QMutexLocker lock(&sink->mutex);
    if (outcome != RunOutcome::Completed || !sink->got) {
        err("the common registration matrices could not be computed (see the log)");
        return false;
    }
    state.commonReference = sink->reference;
    state.commonMatrices = sink->matrices;
    return true;
}

int BatchFlight::prepare(RunRequest& request, BatchRunView& view, bool selfCalibration) {
    m_request = request;
    const bool planned = m_shard.active() || m_prepareOnly || !m_statePath.isEmpty();
    if (!planned && m_savePath.isEmpty()) return -1;
    if (request.scan.kind == ImageKind::Jpg) {
        err("flight states and shards are for flights of raw band TIFFs, not JPG captures");
        return 2;
    }
    m_flight = capturesOf(request.scan, request.rawDirectory);
    if (!planned) {
        // A whole run that writes its state at the end, with the matrices its registration computed.
        if (request.registration == RegistrationMode::Common) m_sink = std::make_shared<MatrixSink>();
        return -1;
    }

    bool panelFromState = false;
    if (!m_statePath.isEmpty()) {
        const int code = checkState(request, panelFromState);
        if (code >= 0) return code;
    }
    FlightState state;
    const int code = runOncePerFlightPhases(request, view, selfCalibration, panelFromState, state);
    if (code >= 0) return code;
    if (!m_savePath.isEmpty()) {
        FlightState saved = state;
        completeFlightFields(saved, request);
        if (!writeState(saved)) return 1;
        state = saved;
    }
    if (m_prepareOnly) return 0;

    m_state = state;
    m_useState = true;
    m_panelFromState = panelFromState;
    if (m_shard.active()) {
        const int shardCode = narrowToShard(request);
        if (shardCode >= 0) return shardCode;
    }
    m_request = request;
    return -1;
}

int BatchFlight::checkState(const RunRequest& request, bool& panelFromState) {
    PanelCameraInfo camera;
    for (const QString& file : request.scan.firstGroupFiles) readImageKeyExif(file, camera);
    judgeCameraTypeChannelCount(camera);
    const QString mismatch = flightStateMismatch(m_state, camera.cameraType, camera.serials.value(0),
                                                 camera.width, camera.height, request.scan.firstGroupLabels);
    if (!mismatch.isEmpty()) {
        err(QString("the flight state %1 does not fit this flight: %2").arg(m_statePath, mismatch));
        return 2;
    }
    const bool sameFlight = m_state.sameFlightAs(flightFingerprint(m_flight, request.rawDirectory));
    if (request.reflectance) {
        if (m_reusePanel && !m_state.reflectance) {
            err(QString("the flight state %1 holds no panel values (it was written by a radiance run)")
                    .arg(m_statePath));
            return 2;
        }
        panelFromState = m_state.reflectance && (sameFlight || m_reusePanel);
        if (!panelFromState && request.panelImages.isEmpty()) {
            err(QString("the flight state %1 %2: give this flight's panel images with --panel, or "
                        "--reuse-panel to use the state's panel values")
                    .arg(m_statePath,
                         m_state.reflectance ? "was written for another flight" : "holds no panel values"));
            return 2;
        }
    }
    qDebug() << "BatchFlight: state" << m_statePath << "same flight:" << sameFlight
             << "panel values from the state:" << panelFromState;
    out(QString("Flight state %1 (%2 flight%3)")
            .arg(m_statePath, sameFlight ? "this" : "another",
                 request.reflectance ? (panelFromState ? ", panel values from the state"
                                                       : ", panel values from this flight's panel images")
                                     : ""));
    if (!sameFlight && m_state.hasCommonMatrices && request.registration == RegistrationMode::Common) {
        const CommonMatrixCaptures here = commonMatrixCaptures(m_flight);
        if (!here.captures.isEmpty())
            out(QString("  common matrices estimated at %1 m, this flight flown at %2 m")
                    .arg(m_state.commonAltitude, 0, 'f', 1)
                    .arg(here.altitude, 0, 'f', 1));
    }
    return -1;
}

int BatchFlight::runOncePerFlightPhases(const RunRequest& request, BatchRunView& view, bool selfCalibration,
                                        bool panelFromState, FlightState& state) {
    if (m_statePath.isEmpty() || (request.reflectance && !panelFromState)) {
        // The panel phase (and, without a state, the self-calibration) of a run that stops before its pool.
        RunController phases(view);
        phases.setThreadCount(RunThreads::parse(m_parser.value("threads")));
        phases.setSelfCalibrationEnabled(selfCalibration && m_statePath.isEmpty());
        phases.setStopBeforePool(true);
        // Its panels go into the report of the run that follows (a shard's own report), not into
        // a report.html of their own in the result folder.
        phases.setReportSetup([](RunReportData& d) { d.reportName.clear(); });
        RunRequest r = request;
        // No pool, so nothing goes there; a folder of its own all the same, removed afterwards.
        QTemporaryDir unused(QDir::temp().filePath("reflectivity-prepare-XXXXXX"));
        if (r.resultDirectory.isEmpty()) r.resultDirectory = unused.path();
        const RunOutcome outcome = m_runner(phases, [&] { phases.start(r); });
        if (outcome != RunOutcome::Completed) {
            err("the once-per-flight phases did not complete");
            return 1;
        }
        state = phases.flightState();
        m_panelReport = phases.reportData();
        if (!m_statePath.isEmpty()) {
            state.selfCalibrationRan = m_state.selfCalibrationRan;
            state.lens = m_state.lens;
            state.lensBandKeys = m_state.lensBandKeys;
            state.hasCommonMatrices = m_state.hasCommonMatrices;
            state.commonReference = m_state.commonReference;
            state.commonMatrices = m_state.commonMatrices;
            state.commonBandNames = m_state.commonBandNames;
            state.commonAltitude = m_state.commonAltitude;
            state.commonCaptures = m_state.commonCaptures;
        }
    } else {
        state = m_state;
        if (!request.reflectance) {
            state.reflectance = false;
            state.panelValues.clear();
        }
    }
    if (request.registration == RegistrationMode::Common && !state.hasCommonMatrices &&
        (m_prepareOnly || m_shard.active())) {
        if (!computeCommonMatrices(request, view, state)) return 1;
    }
    return -1;
}

int BatchFlight::narrowToShard(RunRequest& request) {
    m_shardCaptures = shardCaptures(m_flight, m_shard);
    // Images without a capture key go with shard 0, so that the shards together see every image.
    request.scan = restrictScan(request.scan, m_flight, m_shardCaptures, m_shard.index == 0);
    // The scratch folder of the registration on this machine's own disk.
    request.registrationTempDir =
        QDir::temp().filePath(QString("reflectivity/temp_reg-%1").arg(QSysInfo::machineHostName()));
    qDebug() << "BatchFlight: shard" << m_shard.text() << "captures" << m_shardCaptures.size() << "of"
             << m_flight.captures.size() << "images" << request.scan.totalCount;
    if (request.scan.totalCount > 0) return -1;
    out(QString("Shard %1: no captures (the flight has %2)")
            .arg(m_shard.text())
            .arg(m_flight.captures.size()));
    // Its report all the same, so that --merge-reports knows the shard ran.
    RunReportData d;
    d.kind = request.reflectance ? "reflectance" : "radiance";
    d.rawDirectory = request.rawDirectory;
    d.resultDirectory = request.resultDirectory;
    d.registrationMode = request.registration == RegistrationMode::Common     ? "common"
                         : request.registration == RegistrationMode::PerGroup ? "per-group"
                                                                              : "none";
    d.bandCount = request.scan.bandCount;
    d.bandLabels = request.scan.firstGroupLabels;
    d.cameraType = m_state.cameraType;
    d.startedAt = d.endedAt = QDateTime::currentDateTime();
    d.outcome = "completed";
    describeReport(d);
    if (writeRunReport(d).isEmpty()) {
        err("cannot write the shard's report into " + request.resultDirectory);
        return 1;
    }
    return 0;
}

void BatchFlight::describeReport(RunReportData& d) const {
    d.flightCaptureCount = m_flight.captures.size();
    d.flightFingerprint = flightFingerprint(m_flight, m_request.rawDirectory);
    if (!m_statePath.isEmpty()) {
        d.stateFile = QFileInfo(m_statePath).absoluteFilePath();
        d.stateChecksum = m_stateChecksum;
    }
    if (m_panelFromState) d.panelSource = "the flight state " + QFileInfo(m_statePath).fileName();
    if (!m_panelReport.panels.isEmpty()) {  // measured before the run, on this flight's panel images
        d.panels = m_panelReport.panels;
        d.codeValues = m_panelReport.codeValues;
        d.automaticRecognition = m_panelReport.automaticRecognition;
    }
    if (m_shard.active()) {
        d.shardIndex = m_shard.index;
        d.shardCount = m_shard.count;
        d.shardCaptureKeys.clear();
        for (int c : m_shardCaptures) d.shardCaptureKeys << m_flight.captures[c].key;
        const QSet<QString> ids = captureIds(m_flight, m_shardCaptures);
        d.shardCaptureIds = QStringList(ids.begin(), ids.end());
        std::sort(d.shardCaptureIds.begin(), d.shardCaptureIds.end());
        d.qualityFileNames = QStringList{shardQualityFileName(m_shard)};
    }
}

void BatchFlight::setUp(RunController& controller) {
    if (m_useState) controller.setReportSetup([this](RunReportData& d) { describeReport(d); });
    const bool filter = m_shard.active();
    const QSet<QString> ids = filter ? captureIds(m_flight, m_shardCaptures) : QSet<QString>();
    const bool matrices = m_useState && m_state.hasCommonMatrices;
    const std::shared_ptr<MatrixSink> sink = m_sink;
    if (!filter && !matrices && !sink) return;
    const int reference = m_state.commonReference;
    const CaptureShard shard = m_shard;
    const QMap<int, QList<double>> common = m_state.commonMatrices;
    controller.setRegistrationSetup([=](CImageRegistrationThread& t) {
        if (filter) {
            t.setFileFilter([ids](const QString& path) { return ids.contains(captureIdOfFile(path)); });
            t.setQualityFileName(shardQualityFileName(shard));
        }
        if (matrices) t.setCommonMatrices(reference, common);
        if (sink) collectMatrices(t, sink);
    });
}

void BatchFlight::start(RunController& controller) {
    if (m_useState)
        controller.startWithFlightState(m_request, m_state);
    else
        controller.start(m_request);
}

bool BatchFlight::finish(RunController& controller, RunOutcome outcome) {
    if (m_shard.active()) {
        QStringList keys;
        const QSet<QString> ids = captureIds(m_flight, m_shardCaptures);
        int merged = 0;
        for (const QString& folder : controller.outputFolders()) {
            QDirIterator it(folder, {"*_Multi.tif"}, QDir::Files);
            while (it.hasNext()) merged += ids.contains(captureIdOfFile(it.next())) ? 1 : 0;
        }
        for (int c : m_shardCaptures) keys << m_flight.captures[c].key;
        if (keys.size() > 12) keys = keys.mid(0, 12) << "...";
        out(QString("Shard %1: %2 of %3 captures (%4), %5 merged")
                .arg(m_shard.text())
                .arg(m_shardCaptures.size())
                .arg(m_flight.captures.size())
                .arg(keys.join(" "))
                .arg(merged));
    }
    if (m_useState || m_savePath.isEmpty()) return true;
    if (outcome != RunOutcome::Completed) {
        err("flight state not written: the run did not complete");
        return true;
    }
    FlightState state = controller.flightState();
    if (m_sink) {
        QMutexLocker lock(&m_sink->mutex);
        if (m_sink->got) {
            const CommonMatrixCaptures selection = commonMatrixCaptures(m_flight);
            state.hasCommonMatrices = true;
            state.commonReference = m_sink->reference;
            state.commonMatrices = m_sink->matrices;
            state.commonCaptures = selection.keys;
            state.commonBandNames = selection.bandNames;
            state.commonAltitude = selection.altitude;
        }
    }
    completeFlightFields(state, m_request);
    return writeState(state);
}
