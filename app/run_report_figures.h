// The report's figures: previews of the merged captures (false colour, NDVI) and of the panel
// images, the capture positions as SVG, and the colours and order of the registration verdicts.
#pragma once

#include <QString>
#include <QStringList>
#include <cmath>
#include <map>

#include "run_report.h"

// Width in pixels of a merged capture's preview.
constexpr int kPreviewWidth = 360;

// What the report shows of one merged capture.
struct MergedPreview {
    QString file;
    QString capture;
    QStringList bandTexts;
    QString falseColour;  // data URIs of the two pictures
    QString ndvi;
    QString channels;  // which bands went into the pictures
    double meanNdvi = std::nan("");
    bool readable = false;
    bool hasPosition = false;
    double latitude = 0, longitude = 0;
};

// Reads a merged capture (scaled down to the preview width) and makes its pictures; not `readable`
// when GDAL cannot read it.
MergedPreview previewOf(const QString& path);

// The panel image scaled down, with its measured outline in green, as a data URI; empty without a
// preview.
QString panelFigure(const RunReportData::Panel& panel);

// Capture positions as an SVG scatter, each point coloured by its capture's worst band
// (`worst`: capture -> verdict).
QString positionsSvg(const QVector<MergedPreview>& previews, const std::map<QString, QString>& worst);

// Verdicts from the worst ("unregistered", 0) to "reference" (4).
int verdictRank(const QString& verdict);
QString verdictColour(const QString& verdict);
