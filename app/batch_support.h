// Pieces of the batch command's own: panel arguments and the end summary.
#pragma once

#include <QString>
#include <QStringList>

class RunController;
struct RunRequest;

// The --panel values with every folder replaced by the TIFF images in it (sorted by name).
// `problem` names a value that is neither an image file nor a folder holding images.
QStringList expandPanelArguments(const QStringList& values, QString* problem);

// Why a panel list was refused for its count, in words a first try can act on.
QString panelCountHint(int given, int bandCount);

// The end summary on standard output: merged captures, converted images, files not converted,
// bands to look at, the report and the log.
void printRunSummary(const RunController& controller, const RunRequest& request, double seconds);
