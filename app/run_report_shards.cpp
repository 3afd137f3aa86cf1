#include "run_report_shards.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/imgcodecs.hpp>

using namespace refl;

namespace {

const QString kFormat = QStringLiteral("reflectivity-shard-report");
const int kVersion = 1;

QJsonValue number(double v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(); }
double numberOf(const QJsonValue& v) { return v.isDouble() ? v.toDouble() : std::nan(""); }

QJsonArray strings(const QStringList& list) { return QJsonArray::fromStringList(list); }
QStringList stringsOf(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& x : v.toArray()) out << x.toString();
    return out;
}

QString time(const QDateTime& t) { return t.toString(Qt::ISODateWithMs); }
QDateTime timeOf(const QJsonValue& v) { return QDateTime::fromString(v.toString(), Qt::ISODateWithMs); }

QStringList relativeTo(const QString& base, const QStringList& paths) {
    QStringList out;
    for (const QString& p : paths) out << QDir(base).relativeFilePath(p);
    return out;
}
QStringList absoluteUnder(const QString& base, const QStringList& paths) {
    QStringList out;
    for (const QString& p : paths) out << QDir::cleanPath(QDir(base).absoluteFilePath(p));
    return out;
}

QJsonObject panelJson(const RunReportData::Panel& p) {
    QJsonArray outline;
    for (const QPoint& pt : p.outline) outline << QJsonArray{pt.x(), pt.y()};
    std::vector<uchar> png;
    if (!p.preview.empty()) cv::imencode(".png", p.preview, png);
    return QJsonObject{
        {"image", p.image},
        {"band", p.bandLabel},
        {"outline", outline},
        {"outlineValid", p.outlineValid},
        {"value", number(p.value)},
        {"previewScale", p.previewScale},
        {"preview", QString::fromLatin1(
                        QByteArray(reinterpret_cast<const char*>(png.data()), int(png.size())).toBase64())}};
}

RunReportData::Panel panelOf(const QJsonObject& o) {
    RunReportData::Panel p;
    p.image = o["image"].toString();
    p.bandLabel = o["band"].toString();
    const QJsonArray outline = o["outline"].toArray();
    for (int i = 0; i < 4 && i < outline.size(); ++i)
        p.outline[size_t(i)] = QPoint(outline[i].toArray()[0].toInt(), outline[i].toArray()[1].toInt());
    p.outlineValid = o["outlineValid"].toBool();
    p.value = numberOf(o["value"]);
    p.previewScale = o["previewScale"].toDouble(1.0);
    const QByteArray png = QByteArray::fromBase64(o["preview"].toString().toLatin1());
    if (!png.isEmpty())
        p.preview = cv::imdecode(std::vector<uchar>(png.begin(), png.end()), cv::IMREAD_GRAYSCALE);
    return p;
}

QJsonObject lensJson(const RunReportData::Lens& l) {
    QJsonArray xmp;
    for (double v : l.xmp) xmp << number(v);
    const CameraCalibParams& c = l.self;
    return QJsonObject{{"band", l.band},
                       {"xmpKnown", l.xmpKnown},
                       {"xmp", xmp},
                       {"selfCalibrated", l.selfCalibrated},
                       {"self", QJsonArray{number(c.fx), number(c.fy), number(c.cx), number(c.cy),
                                           number(c.k1), number(c.k2), number(c.p1), number(c.p2),
                                           number(c.initialRmsPx), number(c.finalRmsPx)}},
                       {"note", l.note}};
}

RunReportData::Lens lensOf(const QJsonObject& o) {
    RunReportData::Lens l;
    l.band = o["band"].toString();
    l.xmpKnown = o["xmpKnown"].toBool();
    const QJsonArray xmp = o["xmp"].toArray();
    for (int i = 0; i < 8 && i < xmp.size(); ++i) l.xmp[size_t(i)] = numberOf(xmp[i]);
    l.selfCalibrated = o["selfCalibrated"].toBool();
    const QJsonArray s = o["self"].toArray();
    double* fields[] = {&l.self.fx, &l.self.fy, &l.self.cx, &l.self.cy,           &l.self.k1,
                        &l.self.k2, &l.self.p1, &l.self.p2, &l.self.initialRmsPx, &l.self.finalRmsPx};
    for (int i = 0; i < 10 && i < s.size(); ++i) *fields[i] = numberOf(s[i]);
    l.note = o["note"].toString();
    return l;
}

QJsonArray doubles(const QVector<double>& v) {
    QJsonArray a;
    for (double x : v) a << number(x);
    return a;
}

// A shard report's identity: the reports of one flight's shards agree on all of it.
struct RunIdentity {
    QString what;
    QString value;
};
QVector<RunIdentity> identityOf(const RunReportData& d) {
    return {{"shard count", QString::number(d.shardCount)},
            {"flight (image names and sizes)", d.flightFingerprint},
            {"flight state", d.stateChecksum.isEmpty() ? QStringLiteral("none") : d.stateChecksum},
            {"kind of run", d.kind},
            {"band registration", d.registrationMode}};
}

int outcomeRank(const QString& outcome) {
    if (outcome == "failed") return 0;
    if (outcome == "stopped") return 1;
    if (outcome == "completed") return 3;
    return 0;  // anything else did not complete
}

}  // namespace

bool writeShardReportData(const RunReportData& d, const RunCounts& counts, const QStringList& mergedFiles) {
    const QString base = d.resultDirectory;
    QJsonArray phases, panels, lenses;
    for (const auto& p : d.phaseSeconds) phases << QJsonObject{{"phase", p.first}, {"seconds", p.second}};
    for (const auto& p : d.panels) panels << panelJson(p);
    for (const auto& l : d.lenses) lenses << lensJson(l);
    QJsonArray codes;
    for (int v : d.codeValues) codes << v;
    QStringList qualityFiles;
    for (const QString& folder : d.outputFolders)
        for (const QString& name : d.qualityFileNames)
            if (QFileInfo::exists(QDir(folder).filePath(name))) qualityFiles << QDir(folder).filePath(name);
    const QJsonObject o{
        {"format", kFormat},
        {"version", kVersion},
        {"shard", QJsonObject{{"index", d.shardIndex}, {"count", d.shardCount}}},
        {"flight", QJsonObject{{"fingerprint", d.flightFingerprint},
                               {"captures", d.flightCaptureCount},
                               {"shardCaptures", strings(d.shardCaptureKeys)},
                               {"shardCaptureIds", strings(d.shardCaptureIds)}}},
        {"state", QJsonObject{{"file", d.stateFile}, {"checksum", d.stateChecksum}}},
        {"run",
         QJsonObject{{"kind", d.kind},
                     {"rawDirectory", d.rawDirectory},
                     {"resultDirectory", d.resultDirectory},
                     {"registrationMode", d.registrationMode},
                     {"selfCalibrationEnabled", d.selfCalibrationEnabled},
                     {"cameraType", d.cameraType},
                     {"imageCount", d.imageCount},
                     {"captureCount", d.captureCount},
                     {"bandCount", d.bandCount},
                     {"bandLabels", strings(d.bandLabels)},
                     {"processedCount", d.processedCount},
                     {"notConverted", strings(d.notConverted)},
                     {"startedAt", time(d.startedAt)},
                     {"endedAt", time(d.endedAt)},
                     {"phases", phases},
                     {"outcome", d.outcome},
                     {"messages", strings(d.messages)},
                     {"logPath", d.logPath.isEmpty() ? QString() : QFileInfo(d.logPath).absoluteFilePath()},
                     {"mergedCaptures", counts.mergedCaptures}}},
        // Paths relative to the result folder.
        {"files", QJsonObject{{"outputFolders", strings(relativeTo(base, d.outputFolders))},
                              {"merged", strings(relativeTo(base, mergedFiles))},
                              {"quality", strings(relativeTo(base, qualityFiles))},
                              {"report", shardReportName(d.shardIndex, d.shardCount, "html")}}},
        {"panel", QJsonObject{{"automaticRecognition", d.automaticRecognition},
                              {"codeValues", codes},
                              {"meanPanelValue", doubles(d.meanPanelValue)},
                              {"standardReflectance", doubles(QVector<double>(d.standardReflectance.begin(),
                                                                              d.standardReflectance.end()))},
                              {"source", d.panelSource},
                              {"panels", panels}}},
        {"calibration", QJsonObject{{"summary", d.calibrationSummary},
                                    {"ran", d.selfCalibrationRan},
                                    {"whyNot", d.selfCalibrationWhyNot},
                                    {"lenses", lenses}}},
    };
    const QString path = QDir(base).filePath(shardReportName(d.shardIndex, d.shardCount, "json"));
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(o).toJson(QJsonDocument::Indented)) < 0 ||
        !out.commit()) {
        qDebug() << "run report: cannot write the shard report data" << path << out.errorString();
        return false;
    }
    qDebug() << "run report: shard report data written" << path;
    return true;
}

bool readShardReportData(const QString& path, const QString& dir, RunReportData& d, QString& problem) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = "cannot be read: " + file.errorString();
        return false;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull() || !doc.isObject()) {
        problem = "not a complete JSON text (" + error.errorString() + ")";
        return false;
    }
    const QJsonObject o = doc.object();
    if (o["format"].toString() != kFormat) {
        problem = "not a shard report (no \"format\": \"" + kFormat + "\")";
        return false;
    }
    if (o["version"].toInt() != kVersion) {
        problem =
            QString("of version %1; this program reads version %2").arg(o["version"].toInt()).arg(kVersion);
        return false;
    }
    const QJsonObject shard = o["shard"].toObject(), flight = o["flight"].toObject(),
                      run = o["run"].toObject();
    const QJsonObject files = o["files"].toObject(), panel = o["panel"].toObject(),
                      cal = o["calibration"].toObject();
    d = RunReportData();
    d.shardIndex = shard["index"].toInt(-1);
    d.shardCount = shard["count"].toInt(0);
    if (d.shardCount < 1 || d.shardIndex < 0 || d.shardIndex >= d.shardCount) {
        problem = "its shard index and count are missing or out of range";
        return false;
    }
    d.flightFingerprint = flight["fingerprint"].toString();
    d.flightCaptureCount = flight["captures"].toInt();
    d.shardCaptureKeys = stringsOf(flight["shardCaptures"]);
    d.shardCaptureIds = stringsOf(flight["shardCaptureIds"]);
    d.stateFile = o["state"].toObject()["file"].toString();
    d.stateChecksum = o["state"].toObject()["checksum"].toString();
    d.kind = run["kind"].toString();
    d.rawDirectory = run["rawDirectory"].toString();
    d.resultDirectory = QDir(dir).absolutePath();
    d.registrationMode = run["registrationMode"].toString();
    d.selfCalibrationEnabled = run["selfCalibrationEnabled"].toBool(true);
    d.cameraType = run["cameraType"].toInt(-1);
    d.imageCount = run["imageCount"].toInt();
    d.captureCount = run["captureCount"].toInt();
    d.bandCount = run["bandCount"].toInt();
    d.bandLabels = stringsOf(run["bandLabels"]);
    d.processedCount = run["processedCount"].toInt();
    d.notConverted = stringsOf(run["notConverted"]);
    d.startedAt = timeOf(run["startedAt"]);
    d.endedAt = timeOf(run["endedAt"]);
    for (const QJsonValue& p : run["phases"].toArray())
        d.phaseSeconds << qMakePair(p.toObject()["phase"].toString(), p.toObject()["seconds"].toDouble());
    d.outcome = run["outcome"].toString();
    d.messages = stringsOf(run["messages"]);
    d.logPath = run["logPath"].toString();
    if (d.flightFingerprint.isEmpty() || d.kind.isEmpty() || d.outcome.isEmpty()) {
        problem = "its flight, kind of run or outcome is missing";
        return false;
    }
    d.outputFolders = absoluteUnder(dir, stringsOf(files["outputFolders"]));
    d.mergedFiles = absoluteUnder(dir, stringsOf(files["merged"]));
    d.qualityFileNames.clear();
    for (const QString& q : stringsOf(files["quality"])) {
        const QString name = QFileInfo(q).fileName();
        if (!d.qualityFileNames.contains(name)) d.qualityFileNames << name;
    }
    d.automaticRecognition = panel["automaticRecognition"].toBool(true);
    for (const QJsonValue& v : panel["codeValues"].toArray()) d.codeValues << v.toInt();
    for (const QJsonValue& v : panel["meanPanelValue"].toArray()) d.meanPanelValue << numberOf(v);
    const QJsonArray standard = panel["standardReflectance"].toArray();
    for (int i = 0; i < 6 && i < standard.size(); ++i)
        d.standardReflectance[size_t(i)] = numberOf(standard[i]);
    d.panelSource = panel["source"].toString();
    for (const QJsonValue& p : panel["panels"].toArray()) d.panels << panelOf(p.toObject());
    d.calibrationSummary = cal["summary"].toString();
    d.selfCalibrationRan = cal["ran"].toBool();
    d.selfCalibrationWhyNot = cal["whyNot"].toString();
    for (const QJsonValue& l : cal["lenses"].toArray()) d.lenses << lensOf(l.toObject());
    return true;
}

namespace {

// The shard reports of a folder by shard index, all of one run, and in `first` the report whose
// file name sorts first. Empty with `problem` set when one cannot be read, names another shard than
// its file name, or comes from another run.
std::map<int, RunReportData> readShardReports(const QDir& dir, RunReportData& first, QString& problem) {
    const QRegularExpression pattern("^report_shard-(\\d+)-of-(\\d+)\\.json$");
    std::map<int, RunReportData> byIndex;
    QString firstName;
    const QStringList names = dir.entryList({"report_shard-*-of-*.json"}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        const QRegularExpressionMatch m = pattern.match(name);
        if (!m.hasMatch()) continue;
        RunReportData d;
        QString why;
        if (!readShardReportData(dir.filePath(name), dir.absolutePath(), d, why)) {
            problem = QString("%1: %2").arg(QDir::toNativeSeparators(dir.filePath(name)), why);
            return {};
        }
        if (d.shardIndex != m.captured(1).toInt() || d.shardCount != m.captured(2).toInt()) {
            problem = QString("%1: it holds the report of shard %2/%3, not of the shard its name says")
                          .arg(QDir::toNativeSeparators(dir.filePath(name)))
                          .arg(d.shardIndex)
                          .arg(d.shardCount);
            return {};
        }
        if (byIndex.empty()) {
            first = d;
            firstName = name;
        } else {
            const QVector<RunIdentity> a = identityOf(first), b = identityOf(d);
            for (int i = 0; i < a.size(); ++i) {
                if (a[i].value == b[i].value) continue;
                problem = QString(
                              "the shard reports in %1 come from different runs: %2 and %3 differ in their "
                              "%4; remove the reports of the run you do not want to merge")
                              .arg(QDir::toNativeSeparators(dir.absolutePath()), firstName, name, a[i].what);
                return {};
            }
        }
        byIndex[d.shardIndex] = d;
    }
    if (byIndex.empty())
        problem = QString("no shard reports in %1 (report_shard-I-of-N.json, written by runs with --shard)")
                      .arg(QDir::toNativeSeparators(dir.absolutePath()));
    return byIndex;
}

// The whole flight's report: the run, panel and lens sections of `first` (every shard
// takes them from the same flight state), the counts, files and phases of them all.
RunReportData combineShardReports(const RunReportData& first, const std::map<int, RunReportData>& byIndex,
                                  const QDir& dir) {
    RunReportData m = first;
    m.resultDirectory = dir.absolutePath();
    m.shardIndex = -1;
    m.shardCaptureKeys.clear();
    m.shardCaptureIds.clear();
    m.logPath.clear();
    m.reportName = QStringLiteral("report.html");
    m.captureCount = first.flightCaptureCount;
    m.outputFolders.clear();
    m.mergedFiles.clear();
    m.qualityFileNames.clear();
    m.imageCount = m.processedCount = 0;
    m.notConverted.clear();
    m.messages.clear();
    m.phaseSeconds.clear();
    m.panels.clear();
    int worst = 3;
    for (const auto& [index, d] : byIndex) {
        for (const QString& f : d.outputFolders)
            if (!m.outputFolders.contains(f)) m.outputFolders << f;
        m.mergedFiles += d.mergedFiles;
        m.qualityFileNames += d.qualityFileNames;
        m.imageCount += d.imageCount;
        m.processedCount += d.processedCount;
        m.notConverted += d.notConverted;
        for (const QString& msg : d.messages)
            m.messages << QString("shard %1/%2: %3").arg(index).arg(d.shardCount).arg(msg);
        for (const auto& p : d.phaseSeconds) {
            auto it = std::find_if(m.phaseSeconds.begin(), m.phaseSeconds.end(),
                                   [&](const QPair<QString, double>& q) { return q.first == p.first; });
            if (it == m.phaseSeconds.end())
                m.phaseSeconds << p;
            else
                it->second += p.second;
        }
        if (m.panels.isEmpty()) m.panels = d.panels;
        if (d.startedAt.isValid() && (!m.startedAt.isValid() || d.startedAt < m.startedAt))
            m.startedAt = d.startedAt;
        if (d.endedAt.isValid() && (!m.endedAt.isValid() || d.endedAt > m.endedAt)) m.endedAt = d.endedAt;
        worst = std::min(worst, outcomeRank(d.outcome));
        RunReportData::ShardEntry e;
        e.index = index;
        e.outcome = d.outcome;
        e.startedAt = d.startedAt;
        e.endedAt = d.endedAt;
        e.captureKeys = d.shardCaptureKeys;
        e.mergedCaptures = d.mergedFiles.size();
        e.processedCount = d.processedCount;
        e.notConverted = d.notConverted.size();
        e.logPath = d.logPath;
        e.report = shardReportName(index, d.shardCount, "html");
        m.shards << e;
    }
    std::sort(m.mergedFiles.begin(), m.mergedFiles.end());
    m.mergedFiles.erase(std::unique(m.mergedFiles.begin(), m.mergedFiles.end()), m.mergedFiles.end());
    for (int i = 0; i < m.shardCount; ++i)
        if (!byIndex.count(i)) m.missingShards << i;
    m.outcome = worst == 0                   ? "failed"
                : worst == 1                 ? "stopped"
                : !m.missingShards.isEmpty() ? "incomplete"
                                             : "completed";
    return m;
}

// Why a merged report is not the report of a whole, completed run; empty when it is.
QString incompleteness(const RunReportData& m) {
    QStringList why;
    if (!m.missingShards.isEmpty()) {
        QStringList missing;
        for (int i : m.missingShards) missing << QString("%1/%2").arg(i).arg(m.shardCount);
        why << "no report from shard " + missing.join(", ");
    }
    QStringList notDone;
    for (const auto& s : m.shards)
        if (s.outcome != "completed")
            notDone << QString("%1/%2 (%3)").arg(s.index).arg(m.shardCount).arg(s.outcome);
    if (!notDone.isEmpty()) why << "shards that did not complete: " + notDone.join(", ");
    return why.join("; ");
}

}  // namespace

MergedShardReport mergeShardReports(const QString& dirText) {
    MergedShardReport result;
    const QDir dir(dirText);
    if (dirText.isEmpty() || !dir.exists()) {
        result.problem = "folder does not exist: " + dirText;
        return result;
    }
    RunReportData first;
    const std::map<int, RunReportData> byIndex = readShardReports(dir, first, result.problem);
    if (byIndex.empty()) return result;
    const RunReportData m = combineShardReports(first, byIndex, dir);
    result.path = writeRunReport(m);
    result.data = m;
    if (result.path.isEmpty()) {
        result.problem =
            "the report could not be written into " + QDir::toNativeSeparators(dir.absolutePath());
        return result;
    }
    result.problem = incompleteness(m);
    result.exitCode = result.problem.isEmpty() ? 0 : 1;
    qDebug() << "mergeShardReports:" << byIndex.size() << "of" << m.shardCount << "shard reports merged into"
             << result.path << (result.problem.isEmpty() ? QString() : result.problem);
    return result;
}
