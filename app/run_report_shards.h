// Shard reports: what the report of a capture shard was built from, kept beside it as
// report_shard-I-of-N.json, and --merge-reports, which combines the shard reports of a result
// folder into one report.html for the whole flight without running anything again.
#pragma once

#include <QString>
#include <QStringList>

#include "run_report.h"

// Writes <resultDirectory>/report_shard-I-of-N.json (replaced whole); false (logged) when it
// could not be written.
bool writeShardReportData(const RunReportData& data, const RunCounts& counts, const QStringList& mergedFiles);

// Reads one shard report of the result folder `dir` (its paths are taken relative to `dir`, so
// the folder may be mounted elsewhere than where the shard ran). False with the reason.
bool readShardReportData(const QString& path, const QString& dir, RunReportData& data, QString& problem);

struct MergedShardReport {
    // 0: every shard's report was there and every shard completed; 1: the report was written but
    // shards are missing or did not complete; 2: nothing written (no shard reports, reports of
    // different runs or flights, a report not readable).
    int exitCode = 2;
    QString problem;  // why the exit code is not 0
    QString path;     // the report written
    RunReportData data;
};
MergedShardReport mergeShardReports(const QString& dir);
