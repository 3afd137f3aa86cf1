// What the run knows about each registered band: how it was registered, how well the result measures,
// and whether a person should look at it. Written beside the results (registration_quality.csv) and
// into each merged file's XMP.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

#include "band_alignment.h"

namespace refl {

struct BandRegistrationRecord {
    QString capture;        // capture key
    QString band;           // band name (the file name's band field)
    QString referenceBand;  // band name of the capture's reference band
    // "reference", "features" (the capture's own pair registration), "features-refined" (that matrix
    // refined on the measured shifts), "consensus" (the flight's consensus matrix refined on this
    // capture), "bridged" (its matrix refined onto a neighbouring band already placed on the reference), "common" (common mode's matrix), "common-refined"
    // (common matrix refined on this capture), "common-own" (this capture's own registration in
    // common mode), "none" (merged unregistered)
    QString method;
    int inliers = -1;  // of the pair registration that gave the matrix; -1 when none or unknown
    QString ecc;       // ECC status of that pair registration; empty when none or unknown
    BandQuality quality;
    // Band name of the neighbouring band the quality was measured through (band against neighbour,
    // neighbour against reference); empty when measured against the reference directly.
    QString measuredThrough;
    QList<double> refFromBand;  // nine row-major numbers of the matrix used; empty when none
    // "reference", "good", "poor" (measured above the limit or off in parts, or not measurable after a weak
    // registration), "unmeasured" (too little texture to measure, registration strong) or
    // "unregistered" (no matrix: merged as it is)
    QString verdict;

    bool needsLook() const { return verdict == QLatin1String("poor") || verdict == QLatin1String("unregistered"); }
};

// Residual above which a band is reported (pixels).
constexpr double kPoorResidualPx = 1.0;

// A pair registration too weak to trust without a measurement: few inliers or a refinement that was
// not accepted. Unknown figures (-1, empty) are not weak.
bool weakRegistration(int inliers, const QString& ecc);

// Sets record.verdict from its method, matrix state and measurement.
void assignVerdict(BandRegistrationRecord& record, bool hasMatrix);

// One log line per band: "registrationQuality: capture ... verdict".
QString describeRecord(const BandRegistrationRecord& record);

// "capture band (median px | not measurable)" for the bands a person should look at.
QStringList bandsToLookAt(const std::vector<BandRegistrationRecord>& records);

// The csv (header and one row per record); written under a temporary name and renamed.
bool writeRegistrationQualityCsv(const QString& path, const std::vector<BandRegistrationRecord>& records);
QByteArray registrationQualityCsv(const std::vector<BandRegistrationRecord>& records);

// An rdf:Description element with one sequence per figure, one entry per band (in band order),
// for the merged file's XMP packet.
QByteArray registrationQualityXmp(const std::vector<BandRegistrationRecord>& bands);
extern const char* const kRegistrationXmpNamespace;

}  // namespace refl
