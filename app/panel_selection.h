#pragma once

#include <QString>
#include <QStringList>

// Checks a choice of panel images against the band count N of the raw images: the images with
// "greyboard" in their names and the others are checked apart; each list must hold a multiple of N
// images, at most 3 N, and every capture key exactly N times; together they must fit the `rows` of
// the panel table. Empty when the choice is sound, otherwise the message for the operator.
QString panelSelectionProblem(const QStringList& files, int bandCount, int rows = 18);

// The band label of each panel image (nine characters from position 11, or 22 for "greyboard"
// names, cut at the first ".").
QStringList panelBandLabelsOf(const QStringList& files);
