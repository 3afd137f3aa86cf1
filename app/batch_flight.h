// The batch command's flight state and capture shards: --save-state, --state, --prepare-only,
// --reuse-panel, --shard and --merge-reports.
#pragma once

#include <QCommandLineParser>
#include <QMap>
#include <QMutex>
#include <functional>
#include <memory>

#include "capture_shards.h"
#include "flight_state.h"
#include "run_controller.h"

class BatchRunView;
namespace refl {
class CImageRegistrationThread;
}

// Runs a controller until it reports its outcome (the batch command's event loop).
using ControllerRunner = std::function<RunOutcome(RunController&, const std::function<void()>&)>;

void addFlightOptions(QCommandLineParser& parser);

class BatchFlight {
public:
    BatchFlight(const QCommandLineParser& parser, ControllerRunner runner);

    // Checks of the options alone (the shard, the state file, the combinations): the exit code 2
    // with its message printed, or -1 to go on.
    int checkOptions();
    // --merge-reports DIR: the shard reports of a result folder combined into its report.html.
    int mergeReports();
    bool prepareOnly() const { return m_prepareOnly; }

    // With the run's request built: checks the state against the flight, runs the once-per-flight
    // phases the run still needs, writes the state, and narrows the request to the shard. Returns
    // -1 to go on with the run, else the exit code (--prepare-only ends here).
    int prepare(RunRequest& request, BatchRunView& view, bool selfCalibration);
    // The run's controller: its registration takes only the shard's captures and the state's matrices.
    void setUp(RunController& controller);
    void start(RunController& controller);
    // After the run: the shard's line, the state of a whole run. False when the state was asked
    // for and could not be written.
    bool finish(RunController& controller, RunOutcome outcome);

private:
    struct MatrixSink {
        QMutex mutex;
        bool got = false;
        int reference = -1;
        QMap<int, QList<double>> matrices;
    };
    static void collectMatrices(refl::CImageRegistrationThread& thread,
                                const std::shared_ptr<MatrixSink>& sink);
    // Steps of prepare(): each returns -1 to go on, else the exit code.
    // The given state against this flight: does it fit, are the panel values to be taken from it.
    int checkState(const RunRequest& request, bool& panelFromState);
    // The panel phase and self-calibration the state does not hold, and the common matrices a
    // shard or --prepare-only needs; `state` is the flight state to use.
    int runOncePerFlightPhases(const RunRequest& request, BatchRunView& view, bool selfCalibration,
                               bool panelFromState, FlightState& state);
    // The request narrowed to this shard's captures; a shard without captures writes its report.
    int narrowToShard(RunRequest& request);
    bool computeCommonMatrices(const RunRequest& request, BatchRunView& view, FlightState& state);
    void completeFlightFields(FlightState& state, const RunRequest& request) const;
    bool writeState(const FlightState& state);
    // What a run from a state (a shard) tells its report: the shard, the flight, the state.
    void describeReport(RunReportData& d) const;

    const QCommandLineParser& m_parser;
    ControllerRunner m_runner;
    CaptureShard m_shard;
    bool m_prepareOnly = false;
    bool m_reusePanel = false;
    QString m_statePath;
    QString m_savePath;
    FlightState m_state;
    bool m_useState = false;  // the run starts from m_state instead of its own once-per-flight phases
    bool m_panelFromState = false;
    QString m_stateChecksum;      // of the --state file as read
    RunReportData m_panelReport;  // the panel phase run before the run (panels measured on this flight)
    RunRequest m_request;
    FlightCaptures m_flight;
    QVector<int> m_shardCaptures;
    std::shared_ptr<MatrixSink> m_sink;  // common matrices of a whole run that writes its state
};
