// The flight state file: what a run computes once for a whole flight (camera, band labels, the
// factory calibration of each band, panel values and standard reflectances, the lens of each band,
// the common registration matrices), kept as a small versioned JSON so that other runs of the same
// flight (capture shards on other machines) or later flights of the same camera can skip those
// phases.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>
#include <array>

#include "calib_params.h"
#include "radiometric_calibration.h"

struct FlightState {
    static constexpr int kVersion = 1;

    QString program;  // name and version of the program that wrote it
    QString created;  // UTC, ISO 8601

    // The flight it was computed on.
    QString rawDirectory;
    QString flightFingerprint;  // names and sizes of the flight's images
    int imageCount = 0;
    int captureCount = 0;

    // Camera.
    int cameraType = 0;
    QString serial;
    QString make;
    QString model;
    int width = 0;
    int height = 0;
    double pixelSizeUm = 3.75;
    double focalMm = 5.2;
    int layoutFlag = 0;     // 1: older six-band layout
    bool keyedFlag = true;  // calibration from the "_NM" keys

    // Bands in the order of `calibration` (and of `panelValues`).
    QStringList bandLabels;
    QVector<refl::RadiometricCalibration> calibration;

    // Panel (reflectance runs only).
    bool reflectance = false;
    QVector<double> panelValues;
    std::array<double, 6> standardReflectance{{0.61, 0.61, 0.61, 0.61, 0.61, 0.61}};

    // Self-calibrated lenses by band key; bands not in the map use the lens model of their XMP.
    bool selfCalibrationRan = false;
    QStringList lensBandKeys;  // every band key of the flight, for the record of where each lens came from
    refl::CameraCalibParamsMap lens;

    // Common registration: reference band index, band index -> nine numbers.
    bool hasCommonMatrices = false;
    int commonReference = -1;
    QMap<int, QList<double>> commonMatrices;
    QStringList commonBandNames;  // band names of the band indices, for the reader
    double commonAltitude = 0.0;  // relative altitude (m) of the captures they were estimated on
    QStringList commonCaptures;

    bool sameFlightAs(const QString& fingerprint) const {
        return !fingerprint.isEmpty() && fingerprint == flightFingerprint;
    }
};

// The JSON text of a state (with a checksum of its content).
QByteArray flightStateToJson(const FlightState& state);
// Reads a state; false with a message naming what is wrong (not JSON, cut short, changed after it
// was written, of another format or a newer version, a value missing or out of range).
bool flightStateFromJson(const QByteArray& json, FlightState& state, QString& problem);

// Whole-file writes and reads. Writing goes through a temporary file renamed into place.
bool saveFlightState(const QString& path, const FlightState& state, QString& problem);
bool loadFlightState(const QString& path, FlightState& state, QString& problem);

// What a state must agree on with a flight before its values may be used there: camera type,
// serial, image size and band labels. Empty when they agree, else the message.
QString flightStateMismatch(const FlightState& state, int cameraType, const QString& serial, int width,
                            int height, const QStringList& bandLabels);
