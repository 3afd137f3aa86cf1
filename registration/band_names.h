// What each band of a merged capture is, in the forms GIS and photogrammetry software read: a band
// description ("Blue 450 nm") with the centre wavelength and width for GDAL, and the per-band
// Camera:BandName / Camera:CentralWavelength / Camera:WavelengthFWHM sequences for the XMP packet.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace refl {

struct BandDescription {
    QString name;               // "Blue", "Green", "Red", "Red edge", "NIR", ... or the band label
    double wavelengthNm = 0.0;  // 0 when unknown
    double fwhmNm = 0.0;        // 0 when unknown
    // "Blue 450 nm"; the name alone when the wavelength is unknown.
    QString text() const;
};

// Name of the spectral region of a centre wavelength ("Blue" ... "NIR", "SWIR"); empty for <= 0.
QString spectralRegionName(double wavelengthNm);

// The band as its label ("450nm", "NIR") and, when its file carries them, the XMP values
// Camera:BandName, Camera:CentralWavelength and Camera:WavelengthFWHM describe it. A band name in
// the XMP that only repeats the wavelength ("450nm") gives way to the region name.
BandDescription describeBand(const QString& label, const QString& xmpBandName = QString(),
                             const QString& xmpWavelength = QString(), const QString& xmpFwhm = QString());

// The bands of the merged file "<folder>/<prefix>_<group>_Multi.tif" (or its hidden scratch name
// ".<prefix>_<group>_Multi.tif...") in order: each band's own
// file in that folder ("<prefix>_<group>_<label>...tif", the converted file the band came from)
// supplies its XMP values when it is there; otherwise the label alone describes the band.
QVector<BandDescription> describeMergedBands(const QString& mergedPath, const QStringList& bandLabels);

// `packet` with one more rdf:Description holding the three per-band sequences (one entry per
// band; the FWHM sequence only when every band's width is known). Returned unchanged when it has
// no closing rdf:RDF tag or `bands` is empty.
QByteArray withBandSequences(const QByteArray& packet, const QVector<BandDescription>& bands);

}  // namespace refl
