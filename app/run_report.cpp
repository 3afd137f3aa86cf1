// The run report's html: one section per part of the run, written whole at the end of the run; and
// the report's phase clock.
#include "run_report.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <map>

#include "run_report_figures.h"
#include "run_report_shards.h"

using namespace refl;

namespace {

QString esc(const QString& text) { return text.toHtmlEscaped(); }

QString num(double v, int decimals) {
    return std::isfinite(v) ? QString::number(v, 'f', decimals) : QStringLiteral("–");
}

QString qualityRow(const RegistrationQualityRow& r) {
    return QString("<tr class=\"q-%1\"><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td>"
                   "<td class=\"num\">%8</td><td class=\"num\">%9</td><td class=\"num\">%10</td>"
                   "<td><span class=\"badge\" style=\"background:%11\">%1</span></td></tr>\n")
        .arg(esc(r.verdict), esc(r.capture), esc(r.band), esc(r.referenceBand),
             esc(r.measuredThrough.isEmpty() ? r.method : r.method + " (measured through " + r.measuredThrough + ")"),
             esc(r.inliers), esc(r.ecc), num(r.residualMedianPx, 3), num(r.residualP90Px, 3))
        .arg(r.windows)
        .arg(verdictColour(r.verdict));
}

const char* kStyle = R"(
body{font-family:"Noto Sans CJK SC","WenQuanYi Micro Hei",sans-serif;margin:24px;color:#222;max-width:1200px}
h1{font-size:22px;margin-bottom:4px}h2{font-size:18px;border-bottom:2px solid #ddd;padding-bottom:4px;margin-top:32px}
table{border-collapse:collapse;margin:8px 0;font-size:13px}td,th{border:1px solid #d4d4d4;padding:3px 8px;text-align:left}
th{background:#f0f0ec}td.num{text-align:right;font-variant-numeric:tabular-nums}
.state{display:inline-block;padding:3px 10px;border-radius:4px;color:#fff;font-weight:bold}
.completed{background:#2e9d46}.stopped,.incomplete{background:#d9822b}.failed,.refused{background:#c0392b}
.badge{display:inline-block;padding:1px 6px;border-radius:3px;color:#fff;font-size:12px}
.figures{display:flex;flex-wrap:wrap;gap:12px}figure{margin:0;font-size:12px}figure img{display:block;border:1px solid #ccc}
.capture{border:1px solid #ddd;padding:8px;border-radius:4px}.capture .pair{display:flex;gap:6px}
.note{color:#555;font-size:13px}.warn{color:#b03a2e}.kv td:first-child{font-weight:bold;background:#f7f7f4}
)";

QString heading(const RunReportData& d) {
    QString h;
    h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>reflectivity run report</title>\n";
    h += "<style>" + QString::fromLatin1(kStyle) + "</style></head><body>\n";
    const QString scope = d.isShard() ? QString(" · shard %1 of %2").arg(d.shardIndex).arg(d.shardCount)
                          : d.shardCount > 0 ? QString(" · %1 shards merged").arg(d.shardCount)
                                             : QString();
    h += QString("<h1>Run report · 运行报告%3</h1>\n<p class=\"note\">%1 → %2 · reflectivity</p>\n")
             .arg(esc(d.startedAt.toString("yyyy-MM-dd hh:mm:ss")),
                  esc(d.endedAt.toString("yyyy-MM-dd hh:mm:ss")), esc(scope));
    return h;
}

// The run's key-value table: what was run on what, and the counts of the end summary.
QString runSummaryTable(const RunReportData& d, const RunCounts& counts) {
    QString h = "<table class=\"kv\" id=\"run-summary\">\n";
    auto kv = [&](const QString& id, const QString& key, const QString& value) {
        h += QString("<tr id=\"%1\"><td>%2</td><td>%3</td></tr>\n").arg(id, esc(key), value);
    };
    kv("run-kind", "Kind", esc(d.kind));
    kv("run-raw", "Raw images", esc(QDir::toNativeSeparators(d.rawDirectory)));
    kv("run-result", "Result folder", esc(QDir::toNativeSeparators(d.resultDirectory)));
    kv("run-registration", "Band registration", esc(d.registrationMode));
    kv("run-selfcal", "Lens self-calibration",
       d.selfCalibrationRan ? QStringLiteral("run")
       : !d.selfCalibrationWhyNot.isEmpty() ? esc("not run: " + d.selfCalibrationWhyNot)
       : d.selfCalibrationEnabled ? QStringLiteral("on") : QStringLiteral("off"));
    if (d.cameraType >= 0) kv("run-camera", "Camera type", QString::number(d.cameraType));
    if (d.isShard()) {
        QStringList keys = d.shardCaptureKeys;
        if (keys.size() > 40) keys = keys.mid(0, 40) << "...";
        kv("run-shard", "Shard",
           QString("<span data-shard=\"%1/%2\">%1 of %2 (counted from 0)</span>: %3 of %4 captures (%5); the "
                   "other shards write their own reports, --merge-reports combines them")
               .arg(d.shardIndex)
               .arg(d.shardCount)
               .arg(d.shardCaptureKeys.size())
               .arg(d.flightCaptureCount)
               .arg(esc(keys.join(" "))));
    } else if (d.shardCount > 0) {
        kv("run-shard", "Shards",
           QString("<span data-shards=\"%1\" data-missing=\"%2\">%3 of %1 shard reports merged</span>%4")
               .arg(d.shardCount)
               .arg(d.missingShards.size())
               .arg(d.shards.size())
               .arg(d.missingShards.isEmpty() ? QString() : esc([&] {
                   QStringList m;
                   for (int i : d.missingShards) m << QString("%1/%2").arg(i).arg(d.shardCount);
                   return "; no report from shard " + m.join(", ");
               }())));
    }
    if (!d.stateFile.isEmpty()) kv("run-state", "Flight state", esc(QDir::toNativeSeparators(d.stateFile)));
    kv("run-images", d.isShard() ? "Images of this shard" : "Images in the raw folder",
       QString::number(d.imageCount));
    kv("run-captures", "Captures × bands", QString("%1 × %2 (%3)").arg(d.captureCount).arg(d.bandCount).arg(esc(d.bandLabels.join(", "))));
    kv("run-converted", "Images converted", QString("<span data-count=\"%1\">%1</span>").arg(counts.convertedImages));
    kv("run-not-converted", "Images not converted",
       QString("<span data-count=\"%1\"%2>%1</span>").arg(counts.notConverted).arg(counts.notConverted ? " class=\"warn\"" : ""));
    kv("run-merged", "Merged captures", QString("<span data-count=\"%1\">%1</span>").arg(counts.mergedCaptures));
    kv("run-look", "Bands to look at",
       counts.qualityMeasured ? QString("<span data-count=\"%1\">%1</span>").arg(counts.bandsToLook)
                              : QStringLiteral("<span data-count=\"\">not measured</span>"));
    if (!d.logPath.isEmpty()) kv("run-log", "Log", esc(QDir::toNativeSeparators(QFileInfo(d.logPath).absoluteFilePath())));
    h += "</table>\n";
    return h;
}

// A merged report's shards: one row per shard report, then the shards without one.
QString shardTable(const RunReportData& d) {
    if (d.shards.isEmpty()) return QString();
    QString h =
        "<h3>Shards</h3>\n<table "
        "id=\"shards\"><tr><th>Shard</th><th>State</th><th>Captures</th><th>Merged</th>"
        "<th>Converted</th><th>Not converted</th><th>Time</th><th>Report</th><th>Log</th></tr>\n";
    for (const RunReportData::ShardEntry& s : d.shards) {
        QStringList keys = s.captureKeys;
        if (keys.size() > 12) keys = keys.mid(0, 12) << "...";
        h += QString(
                 "<tr class=\"shard\" data-shard=\"%1\" "
                 "data-outcome=\"%2\"><td>%1/%3</td><td>%2</td><td>%4 (%5)</td>"
                 "<td class=\"num\">%6</td><td class=\"num\">%7</td><td class=\"num\">%8</td><td "
                 "class=\"num\">%9 s</td>")
                 .arg(s.index)
                 .arg(esc(s.outcome))
                 .arg(d.shardCount)
                 .arg(s.captureKeys.size())
                 .arg(esc(keys.join(" ")))
                 .arg(s.mergedCaptures)
                 .arg(std::max(0, s.processedCount - s.notConverted))
                 .arg(s.notConverted)
                 .arg(num(s.startedAt.msecsTo(s.endedAt) / 1000.0, 1));
        h += QString("<td>%1</td><td>%2</td></tr>\n")
                 .arg(esc(s.report), esc(QDir::toNativeSeparators(s.logPath)));
    }
    for (int i : d.missingShards)
        h += QString(
                 "<tr class=\"shard missing\" data-shard=\"%1\"><td>%1/%2</td><td class=\"warn\" "
                 "colspan=\"8\">"
                 "no report</td></tr>\n")
                 .arg(i)
                 .arg(d.shardCount);
    h += "</table>\n";
    return h;
}

QString phaseTable(const RunReportData& d) {
    QString h =
        QString("<h3>Time per phase%1</h3>\n<table id=\"phases\"><tr><th>Phase</th><th>Time</th></tr>\n")
            .arg(d.shards.isEmpty() ? QString() : QStringLiteral(" (summed over the shards)"));
    double total = 0;
    for (const auto& p : d.phaseSeconds) {
        h += QString("<tr class=\"phase\"><td>%1</td><td class=\"num\">%2 s</td></tr>\n").arg(esc(p.first), num(p.second, 1));
        total += p.second;
    }
    h += QString("<tr><th>All</th><th class=\"num\">%1 s</th></tr></table>\n").arg(num(total, 1));
    return h;
}

// A heading and a list, or nothing for an empty list.
QString listOf(const QString& title, const QString& id, const QStringList& items) {
    if (items.isEmpty()) return QString();
    QString h = QString("<h3>%1</h3>\n<ul id=\"%2\">\n").arg(title, id);
    for (const QString& item : items) h += "<li>" + esc(item) + "</li>\n";
    h += "</ul>\n";
    return h;
}

QString runSection(const RunReportData& d, const RunCounts& counts) {
    QString h = QString("<section id=\"run\" data-outcome=\"%1\"><h2>Run</h2>\n").arg(esc(d.outcome));
    const QString stateText = d.outcome == "completed"    ? QStringLiteral("Completed")
                              : d.outcome == "stopped"    ? QStringLiteral("Stopped before the end")
                              : d.outcome == "refused"    ? QStringLiteral("Refused")
                              : d.outcome == "incomplete" ? QStringLiteral("Incomplete: shards missing")
                                                          : QStringLiteral("Failed");
    h += QString("<p><span class=\"state %1\" id=\"run-state\">%2</span></p>\n")
             .arg(esc(d.outcome), stateText);
    if (d.outcome == "incomplete")
        h += "<p class=\"warn\">Some shards left no report: the figures below cover the shards that "
             "did.</p>\n";
    else if (d.outcome != "completed")
        h += "<p class=\"warn\">The run did not end normally: the figures below show what was done up to "
             "that point.</p>\n";
    h += runSummaryTable(d, counts);
    h += shardTable(d);
    h += phaseTable(d);
    QStringList notConverted;
    for (const QString& f : d.notConverted) notConverted << QDir::toNativeSeparators(f);
    h += listOf("Files that could not be converted", "not-converted", notConverted);
    h += listOf("Messages", "messages", d.messages);
    h += "</section>\n";
    return h;
}

// Per band: the mean panel value and the standard reflectance used.
QString panelBandsTable(const RunReportData& d) {
    QString h =
        "<table id=\"panel-bands\"><tr><th>Band</th><th>Mean panel value</th><th>Standard reflectance "
        "used</th></tr>\n";
    for (int b = 0; b < d.bandCount && b < d.bandLabels.size(); ++b)
        h += QString("<tr><td>%1</td><td class=\"num\">%2</td><td class=\"num\">%3</td></tr>\n")
                 .arg(esc(d.bandLabels[b]), num(d.meanPanelValue.value(b, std::nan("")), 4),
                      num(d.standardReflectance[size_t(std::min(b, 5))], 3));
    h += "</table>\n";
    return h;
}

QString panelSection(const RunReportData& d) {
    QString h =
        QString("<section id=\"panel\" data-count=\"%1\"><h2>Reference panel</h2>\n").arg(d.panels.size());
    const bool panelValues =
        std::any_of(d.meanPanelValue.begin(), d.meanPanelValue.end(), [](double v) { return v > 0; });
    if (d.panels.isEmpty() && d.kind == "reflectance" && !d.panelSource.isEmpty() && panelValues) {
        h += QString(
                 "<p id=\"panel-source\">Panel values taken from %1 (no panel image was measured by this "
                 "run).</p>\n")
                 .arg(esc(d.panelSource));
        h += panelBandsTable(d);
    } else if (d.panels.isEmpty()) {
        h += QString("<p>%1</p>\n").arg(d.kind == "reflectance" ? "No panel was measured (the run ended before the panel phase)."
                                                                 : "This run uses no panel.");
    } else {
        h += QString("<p>%1. Panel code values: %2.</p>\n")
                 .arg(d.automaticRecognition ? "Panels found automatically from their QR code" : "Panel outlines drawn by hand",
                      d.codeValues.isEmpty() ? QStringLiteral("none")
                                             : esc([&] {
                                                   QStringList v;
                                                   for (int x : d.codeValues) v << QString::number(x) + " %";
                                                   return v.join(", ");
                                               }()));
        h += panelBandsTable(d);
        h += "<div class=\"figures\">\n";
        for (const RunReportData::Panel& p : d.panels) {
            const QString uri = panelFigure(p);
            h += QString("<figure class=\"panel-image\">%1<figcaption>%2 · band %3 · value %4</figcaption></figure>\n")
                     .arg(uri.isEmpty() ? QStringLiteral("<p>(image not readable)</p>")
                                        : QString("<img alt=\"panel\" width=\"%1\" src=\"%2\">").arg(p.preview.cols).arg(uri),
                          esc(QFileInfo(p.image).fileName()), esc(p.bandLabel), num(p.value, 4));
        }
        h += "</div>\n";
    }
    h += "</section>\n";
    return h;
}

QString calibrationSection(const RunReportData& d) {
    QString h = QString("<section id=\"calibration\" data-count=\"%1\"><h2>Lens self-calibration</h2>\n")
                    .arg(d.lenses.size());
    if (!d.calibrationSummary.isEmpty()) h += "<p>" + esc(d.calibrationSummary) + "</p>\n";
    if (!d.lenses.isEmpty()) {
        h += "<table id=\"lenses\"><tr><th>Band</th><th>Lens</th><th>fx</th><th>fy</th><th>cx</th><th>cy</th><th>k1</th>"
             "<th>k2</th><th>p1</th><th>p2</th><th>RMS before → after (px)</th><th>Used</th></tr>\n";
        auto cells = [&](const std::array<double, 8>& v) {
            QString s;
            for (int i = 0; i < 8; ++i)
                s += QString("<td class=\"num\">%1</td>").arg(num(v[size_t(i)], i < 4 ? 1 : 5));
            return s;
        };
        for (const RunReportData::Lens& l : d.lenses) {
            const int rows = l.selfCalibrated ? 2 : 1;
            h += QString("<tr class=\"lens %1\"><td rowspan=\"%2\">%3</td><td>XMP</td>%4<td rowspan=\"%2\">%5</td>"
                         "<td rowspan=\"%2\">%6</td></tr>\n")
                     .arg(l.selfCalibrated ? "accepted" : "kept")
                     .arg(rows)
                     .arg(esc(l.band),
                          l.xmpKnown ? cells(l.xmp) : QStringLiteral("<td colspan=\"8\">not readable</td>"),
                          l.selfCalibrated ? num(l.self.initialRmsPx, 3) + " → " + num(l.self.finalRmsPx, 3)
                                           : QStringLiteral("–"),
                          esc(l.note));
            if (l.selfCalibrated) {
                const CameraCalibParams& c = l.self;
                h += "<tr><td>self-calibrated</td>" + cells({c.fx, c.fy, c.cx, c.cy, c.k1, c.k2, c.p1, c.p2}) + "</tr>\n";
            }
        }
        h += "</table>\n";
    }
    h += "</section>\n";
    return h;
}

QString registrationSection(const QVector<RegistrationQualityRow>& quality, bool measured,
                            const RunCounts& counts) {
    QString h =
        QString(
            "<section id=\"registration\" data-measured=\"%1\" data-rows=\"%2\"><h2>Band registration</h2>\n")
            .arg(measured ? "yes" : "no")
            .arg(quality.size());
    if (!measured) {
        h += "<p id=\"registration-not-measured\">Registration quality: not measured (no registration_quality.csv beside the merged files).</p>\n";
    } else {
        QVector<RegistrationQualityRow> look;
        for (const RegistrationQualityRow& r : quality)
            if (r.needsLook()) look << r;
        std::stable_sort(look.begin(), look.end(), [](const RegistrationQualityRow& a, const RegistrationQualityRow& b) {
            return verdictRank(a.verdict) < verdictRank(b.verdict);
        });
        const QString head = "<tr><th>Capture</th><th>Band</th><th>Reference</th><th>Method</th><th>Inliers</th><th>ECC</th>"
                             "<th>Residual median (px)</th><th>Residual p90 (px)</th><th>Windows</th><th>Verdict</th></tr>\n";
        h += QString("<h3>Bands to look at (%1)</h3>\n").arg(look.size());
        if (look.isEmpty()) {
            h += "<p>None: every band was registered and measured good, or could not be measured.</p>\n";
        } else {
            h += "<table id=\"look\">" + head;
            for (const RegistrationQualityRow& r : look) h += qualityRow(r);
            h += "</table>\n";
        }
        if (counts.bandsUnmeasured)
            h += QString("<p class=\"note\">%1 bands could not be measured (too few usable windows).</p>\n").arg(counts.bandsUnmeasured);
        h += "<h3>Every band</h3>\n<table id=\"quality\">" + head;
        for (const RegistrationQualityRow& r : quality) h += qualityRow(r);
        h += "</table>\n";
    }
    h += "</section>\n";
    return h;
}

QString previewSection(const QVector<MergedPreview>& previews, const std::map<QString, QString>& worst) {
    QString h =
        QString("<section id=\"previews\" data-count=\"%1\"><h2>Merged captures</h2>\n").arg(previews.size());
    if (previews.isEmpty()) h += "<p>No merged capture was written.</p>\n";
    h += "<div class=\"figures\">\n";
    for (const MergedPreview& p : previews) {
        const auto it = worst.find(p.capture);
        const QString verdict = it == worst.end() ? QStringLiteral("not measured") : it->second;
        h += QString("<div class=\"capture\" data-capture=\"%1\"><b>%2</b> · worst band: <span class=\"badge\" "
                     "style=\"background:%3\">%4</span>\n")
                 .arg(esc(p.capture), esc(QFileInfo(p.file).fileName()), verdictColour(verdict), esc(verdict));
        if (!p.readable) {
            h += "<p class=\"warn\">not readable</p></div>\n";
            continue;
        }
        h += QString("<div class=\"pair\"><figure><img class=\"false-colour\" alt=\"false colour\" width=\"%1\" src=\"%2\">"
                     "<figcaption>false colour (NIR, red, green)</figcaption></figure>"
                     "<figure><img class=\"ndvi\" alt=\"NDVI\" width=\"%1\" src=\"%3\"><figcaption>NDVI, mean %4</figcaption></figure></div>\n"
                     "<p class=\"note\">%5</p></div>\n")
                 .arg(kPreviewWidth / 2 + 40)
                 .arg(p.falseColour, p.ndvi, num(p.meanNdvi, 3), esc(p.channels));
    }
    h += "</div>\n</section>\n";
    return h;
}

// Capture -> its worst verdict.
std::map<QString, QString> worstVerdicts(const QVector<RegistrationQualityRow>& quality) {
    std::map<QString, QString> worst;
    for (const RegistrationQualityRow& r : quality) {
        auto it = worst.find(r.capture);
        if (it == worst.end() || verdictRank(r.verdict) < verdictRank(it->second))
            worst[r.capture] = r.verdict;
    }
    return worst;
}

}  // namespace

QString writeRunReport(const RunReportData& d) {
    if (d.resultDirectory.isEmpty() || !QDir().mkpath(d.resultDirectory)) {
        qDebug() << "run report: no result folder to write into:" << d.resultDirectory;
        return QString();
    }
    const QString name = d.isShard() ? shardReportName(d.shardIndex, d.shardCount, "html") : d.reportName;
    if (name.isEmpty()) {
        qDebug() << "run report: none for this run (it only prepares a flight state)";
        return QString();
    }
    const QString path = QDir(d.resultDirectory).filePath(name);
    const RunCounts counts = countRun(d);
    bool measured = false;
    const QVector<RegistrationQualityRow> quality = reportQualityRows(d, &measured);
    const QStringList merged = reportMergedFiles(d);
    QVector<MergedPreview> previews;
    for (const QString& file : merged) previews << previewOf(file);
    const std::map<QString, QString> worst = worstVerdicts(quality);

    QString h = heading(d);
    h += runSection(d, counts);
    h += panelSection(d);
    h += calibrationSection(d);
    h += registrationSection(quality, measured, counts);
    h += previewSection(previews, worst);
    h += "<section id=\"positions\"><h2>Capture positions</h2>\n" + positionsSvg(previews, worst) + "</section>\n";
    h += "</body></html>\n";

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(h.toUtf8()) < 0 || !out.commit()) {
        qDebug() << "run report: cannot write" << path << out.errorString();
        return QString();
    }
    qDebug() << "run report: written" << path;
    // A shard leaves what its report was built from for --merge-reports.
    if (d.isShard() && !writeShardReportData(d, counts, merged)) return QString();
    return path;
}

void RunReportLog::begin(const QString& kind) {
    m_data = RunReportData();
    m_data.kind = kind;
    m_data.startedAt = QDateTime::currentDateTime();
    m_clock.start();
    m_phase.clear();
    m_active = true;
}

void RunReportLog::closePhase() {
    if (m_phase.isEmpty()) return;
    m_data.phaseSeconds << qMakePair(m_phase, m_clock.restart() / 1000.0);
    m_phase.clear();
}

void RunReportLog::enterPhase(const QString& phase) {
    if (!m_active) return;
    if (phase == m_phase) return;
    if (m_phase.isEmpty()) {
        // Time before the first phase (checks, scanning) belongs to the first phase.
    } else {
        closePhase();
    }
    m_phase = phase;
}

bool RunReportLog::reached(const QString& phase) const {
    if (m_phase == phase) return true;
    for (const auto& p : m_data.phaseSeconds)
        if (p.first == phase) return true;
    return false;
}

void RunReportLog::note(const QString& message) {
    if (m_active && !message.trimmed().isEmpty()) m_data.messages << message.trimmed();
}

QString RunReportLog::finish(const QString& outcome) {
    if (!m_active) return QString();
    closePhase();
    m_active = false;
    m_data.outcome = outcome;
    m_data.endedAt = QDateTime::currentDateTime();
    m_lastPath = writeRunReport(m_data);
    return m_lastPath;
}
