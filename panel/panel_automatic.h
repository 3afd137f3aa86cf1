#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include "panel_geometry.h"

// Automatic panel recognition over panel groups of N images (one per band).
struct AutomaticPanelResult {
    QVector<PanelGeometry> geometry;  // per panel image; invalid for skipped groups
    QVector<int> recognisedGroups;    // groups with at least one recognised band
    QVector<int> codeValues;          // values of the first recognised code that carries any
    int groupCount() const { return recognisedGroups.size(); }
};

// Recognises every image; a band that failed borrows the geometry of the nearest recognised band
// of its group (the earlier one on a tie) and gets a preview of it.
AutomaticPanelResult recognizePanelGroups(const QStringList& panelImages, int bandCount, const QString& previewDir);
