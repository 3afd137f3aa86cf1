#include "registration_quality.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cmath>

namespace refl {

const char* const kRegistrationXmpNamespace = "http://ns.reflectivity-tool.org/registration/1.0/";

namespace {

QString figure(double v) { return std::isfinite(v) ? QString::number(v, 'f', 3) : QString(); }

QString csvField(const QString& s) {
    if (!s.contains(',') && !s.contains('"') && !s.contains('\n')) return s;
    return '"' + QString(s).replace("\"", "\"\"") + '"';
}

QString matrixText(const QList<double>& m) {
    QStringList parts;
    for (double v : m) parts << QString::number(v, 'g', 10);
    return parts.join(' ');
}

QString xmlText(const QString& s) { return s.toHtmlEscaped(); }

}  // namespace

bool weakRegistration(int inliers, const QString& ecc) {
    if (inliers >= 0 && inliers < 30) return true;
    return !ecc.isEmpty() && ecc != QLatin1String("success");
}

void assignVerdict(BandRegistrationRecord& r, bool hasMatrix) {
    if (r.method == QLatin1String("reference")) {
        r.verdict = "reference";
    } else if (!hasMatrix) {
        r.verdict = "unregistered";
    } else if (r.quality.measured) {
        r.verdict = r.quality.median > kPoorResidualPx || r.quality.inconsistent() ? "poor" : "good";
    } else {
        r.verdict = weakRegistration(r.inliers, r.ecc) ? "poor" : "unmeasured";
    }
}

QString describeRecord(const BandRegistrationRecord& r) {
    return QString("registrationQuality: capture %1 band %2 onto %3 method %4 inliers %5 ecc %6 residual "
                   "median %7 p90 %8 px windows %9/%10 disagreeing %11 verdict %12")
        .arg(r.capture, r.band, r.referenceBand, r.method)
        .arg(r.inliers)
        .arg(r.ecc.isEmpty() ? "-" : r.ecc)
        .arg(r.quality.measured ? figure(r.quality.median) : "-", r.quality.measured ? figure(r.quality.p90) : "-")
        .arg(r.quality.windows)
        .arg(r.quality.gridWindows)
        .arg(r.quality.disagreeing)
        .arg(r.verdict) +
           (r.measuredThrough.isEmpty() ? QString() : QString(" through %1").arg(r.measuredThrough)) +
           (r.refFromBand.size() == 9 ? QString(" refFromBand %1").arg(matrixText(r.refFromBand)) : QString());
}

QStringList bandsToLookAt(const std::vector<BandRegistrationRecord>& records) {
    QStringList out;
    for (const BandRegistrationRecord& r : records) {
        if (!r.needsLook()) continue;
        QString why;
        if (r.verdict == QLatin1String("unregistered"))
            why = QStringLiteral("未配准");
        else if (r.quality.measured)
            why = QString("%1 px").arg(figure(r.quality.median));
        else
            why = QStringLiteral("无法测量");
        out << QString("%1 %2 (%3)").arg(r.capture, r.band, why);
    }
    return out;
}

QByteArray registrationQualityCsv(const std::vector<BandRegistrationRecord>& records) {
    QByteArray out =
        "capture,band,reference_band,method,inliers,ecc,residual_median_px,residual_p90_px,windows,verdict,"
        "measured_through\n";
    for (const BandRegistrationRecord& r : records) {
        const QStringList row = {csvField(r.capture),
                                 csvField(r.band),
                                 csvField(r.referenceBand),
                                 r.method,
                                 r.inliers >= 0 ? QString::number(r.inliers) : QString(),
                                 csvField(r.ecc),
                                 r.quality.measured ? figure(r.quality.median) : QString(),
                                 r.quality.measured ? figure(r.quality.p90) : QString(),
                                 QString::number(r.quality.windows),
                                 r.verdict,
                                 csvField(r.measuredThrough)};
        out += row.join(',').toUtf8() + '\n';
    }
    return out;
}

bool writeRegistrationQualityCsv(const QString& path, const std::vector<BandRegistrationRecord>& records) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(registrationQualityCsv(records)) < 0 || !file.commit()) {
        qDebug() << "writeRegistrationQualityCsv: cannot write" << path;
        return false;
    }
    return true;
}

QByteArray registrationQualityXmp(const std::vector<BandRegistrationRecord>& bands) {
    if (bands.empty()) return QByteArray();
    auto seq = [&](const char* name, auto value) {
        QString s = QString("         <ReflReg:%1>\n            <rdf:Seq>\n").arg(name);
        for (const BandRegistrationRecord& b : bands) {
            const QString v = value(b);
            s += v.isEmpty() ? QString("               <rdf:li/>\n")
                             : QString("               <rdf:li>%1</rdf:li>\n").arg(xmlText(v));
        }
        return s + QString("            </rdf:Seq>\n         </ReflReg:%1>\n").arg(name);
    };
    QString p;
    p += "      <rdf:Description rdf:about=\"\"\n";
    p += QString(" xmlns:ReflReg=\"%1\">\n").arg(kRegistrationXmpNamespace);
    p += seq("Band", [](const BandRegistrationRecord& b) { return b.band; });
    p += seq("Method", [](const BandRegistrationRecord& b) { return b.method; });
    p += seq("Inliers", [](const BandRegistrationRecord& b) {
        return b.inliers >= 0 ? QString::number(b.inliers) : QString();
    });
    p += seq("ResidualMedian", [](const BandRegistrationRecord& b) {
        return b.quality.measured ? figure(b.quality.median) : QString();
    });
    p += seq("ResidualP90", [](const BandRegistrationRecord& b) {
        return b.quality.measured ? figure(b.quality.p90) : QString();
    });
    p += seq("Windows", [](const BandRegistrationRecord& b) { return QString::number(b.quality.windows); });
    p += seq("Verdict", [](const BandRegistrationRecord& b) { return b.verdict; });
    p += seq("MeasuredThrough", [](const BandRegistrationRecord& b) { return b.measuredThrough; });
    p += "      </rdf:Description>\n";
    return p.toUtf8();
}

}  // namespace refl
