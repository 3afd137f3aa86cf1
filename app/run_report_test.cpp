// The run report's reading of registration_quality.csv and what the report makes of it.
#include "run_report.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "run_report_shards.h"

using namespace refl;

namespace {

const QString kCsv = QStringLiteral(REFL_APP_TESTDATA "/registration_quality.csv");

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

}  // namespace

TEST(RunReport, ReadsTheRegistrationQualityFile) {
    QVector<RegistrationQualityRow> rows;
    QString why;
    ASSERT_TRUE(readRegistrationQuality(kCsv, rows, &why)) << why.toStdString();
    ASSERT_EQ(rows.size(), 8);
    EXPECT_EQ(rows[1].capture, "0001");
    EXPECT_EQ(rows[1].band, "555nm");
    EXPECT_EQ(rows[1].verdict, "poor");
    EXPECT_DOUBLE_EQ(rows[1].residualMedianPx, 1.804);
    EXPECT_DOUBLE_EQ(rows[1].residualP90Px, 3.12);
    EXPECT_EQ(rows[1].windows, 8);
    EXPECT_TRUE(std::isnan(rows[2].residualMedianPx));  // the reference band: not measurable
    EXPECT_EQ(rows[4].ecc, "not run, too few inliers");  // a quoted field with a comma
    EXPECT_TRUE(rows[3].needsLook());
    EXPECT_FALSE(rows[4].needsLook());

    // A file of another shape is refused, not half read.
    QTemporaryDir dir;
    QFile bad(dir.filePath("registration_quality.csv"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("capture,band,verdict\n0001,450nm,good\n");
    bad.close();
    rows.clear();
    EXPECT_FALSE(readRegistrationQuality(bad.fileName(), rows, &why));
    EXPECT_TRUE(rows.isEmpty());
    EXPECT_FALSE(readRegistrationQuality(dir.filePath("missing.csv"), rows));
}

TEST(RunReport, ListsTheBandsToLookAtFirstAndSaysWhatWasNotMeasured) {
    QTemporaryDir dir;
    const QString outputs = dir.filePath("results/flight");
    ASSERT_TRUE(QDir().mkpath(outputs));
    RunReportData d;
    d.kind = "reflectance";
    d.resultDirectory = dir.filePath("results");
    d.outputFolders = QStringList{outputs};
    d.processedCount = 12;
    d.notConverted = QStringList{"/raw/IMG_0002_840nm.tif"};
    d.outcome = "stopped";
    d.phaseSeconds = {{"Panel", 1.5}, {"Conversion", 12.25}};

    // Without the quality file: "not measured", and the stop is said.
    QString path = writeRunReport(d);
    ASSERT_EQ(path, dir.filePath("results/report.html"));
    QString html = readAll(path);
    EXPECT_TRUE(html.contains("id=\"registration-not-measured\"")) << html.toStdString();
    EXPECT_TRUE(html.contains("data-outcome=\"stopped\""));
    EXPECT_TRUE(html.contains("IMG_0002_840nm.tif"));
    EXPECT_EQ(countRun(d).convertedImages, 11);
    EXPECT_FALSE(countRun(d).qualityMeasured);

    ASSERT_TRUE(QFile::copy(kCsv, outputs + "/registration_quality.csv"));
    const RunCounts counts = countRun(d);
    EXPECT_TRUE(counts.qualityMeasured);
    EXPECT_EQ(counts.bandsToLook, 2);
    EXPECT_EQ(counts.bandsUnmeasured, 1);
    html = readAll(writeRunReport(d));
    const int look = html.indexOf("id=\"look\"");
    const int every = html.indexOf("id=\"quality\"");
    ASSERT_GT(look, 0);
    ASSERT_GT(every, look);
    // Unregistered before poor in the list to look at; nothing good in it.
    const QString lookTable = html.mid(look, every - look);
    EXPECT_LT(lookTable.indexOf("q-unregistered"), lookTable.indexOf("q-poor"));
    EXPECT_FALSE(lookTable.contains("q-good"));
    EXPECT_EQ(html.mid(every).count("<tr class=\"q-"), 8);
}

TEST(RunReport, MergesShardReportsOfOneFlightOnly) {
    QTemporaryDir dir;
    auto shard = [&](int index, const QString& flight) {
        RunReportData d;
        d.kind = "radiance";
        d.resultDirectory = dir.path();
        d.registrationMode = "common";
        d.shardIndex = index;
        d.shardCount = 3;
        d.flightFingerprint = flight;
        d.flightCaptureCount = 5;
        d.shardCaptureKeys = QStringList{QString("000%1").arg(index + 1)};
        d.processedCount = 6;
        d.phaseSeconds = {{"Conversion", 2.0}};
        d.outcome = "completed";
        return d;
    };
    EXPECT_EQ(mergeShardReports(dir.path()).exitCode, 2);  // no shard reports
    for (int i : {0, 2}) ASSERT_FALSE(writeRunReport(shard(i, "f1")).isEmpty());
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("report_shard-2-of-3.html")));

    // Shard 1 is missing: the report is written and says so.
    MergedShardReport merged = mergeShardReports(dir.path());
    EXPECT_EQ(merged.exitCode, 1);
    EXPECT_EQ(merged.data.missingShards, QVector<int>{1});
    const QString html = readAll(dir.filePath("report.html"));
    EXPECT_TRUE(html.contains("data-outcome=\"incomplete\""));
    EXPECT_EQ(html.count("<tr class=\"shard\""), 2);
    EXPECT_TRUE(html.contains("<td class=\"num\">4.0 s</td>"));  // phases summed over the shards
    EXPECT_EQ(merged.data.processedCount, 12);

    // A report of another flight's shard: nothing merged, nothing written.
    ASSERT_TRUE(QFile::remove(dir.filePath("report.html")));
    ASSERT_FALSE(writeRunReport(shard(1, "f2")).isEmpty());
    merged = mergeShardReports(dir.path());
    EXPECT_EQ(merged.exitCode, 2);
    EXPECT_TRUE(merged.problem.contains("differ in their flight")) << merged.problem.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("report.html")));
}
