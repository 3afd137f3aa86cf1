// reflectivity-sample OUTDIR [options]: writes a sample flight with its ground truth.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <cstdio>

#include "sample_flight.h"

using reflsample::RawLayout;
using reflsample::SampleOptions;

namespace {

bool parseOptions(const QCommandLineParser& p, SampleOptions* o, QString* error) {
    bool ok = true;
    auto integer = [&](const char* name, int* target) {
        if (!p.isSet(name)) return;
        bool good = false;
        const int v = p.value(name).toInt(&good);
        if (good)
            *target = v;
        else {
            ok = false;
            *error = QString("--%1 needs an integer").arg(name);
        }
    };
    auto real = [&](const char* name, double* target) {
        if (!p.isSet(name)) return;
        bool good = false;
        const double v = p.value(name).toDouble(&good);
        if (good)
            *target = v;
        else {
            ok = false;
            *error = QString("--%1 needs a number").arg(name);
        }
    };
    integer("type", &o->cameraType);
    o->layout = o->cameraType == 0 ? RawLayout::VTwo : RawLayout::Keyed;
    if (p.isSet("layout") && !reflsample::layoutFromName(p.value("layout"), &o->layout)) {
        *error = "--layout must be V_One, V_Two or keyed";
        return false;
    }
    integer("captures", &o->captures);
    if (p.isSet("size")) {
        const QStringList wh = p.value("size").toLower().split('x');
        bool a = false, b = false;
        if (wh.size() == 2) {
            o->width = wh[0].toInt(&a);
            o->height = wh[1].toInt(&b);
        }
        if (!a || !b) {
            *error = "--size must look like 640x480";
            return false;
        }
    }
    if (p.isSet("seed")) {
        bool good = false;
        o->seed = p.value("seed").toUInt(&good);
        if (!good) {
            *error = "--seed needs a non-negative integer";
            return false;
        }
    }
    real("altitude", &o->altitude);
    real("overlap", &o->overlap);
    integer("strips", &o->strips);
    real("relief", &o->relief);
    if (p.isSet("scene")) o->scene = p.value("scene");
    real("tilt", &o->tiltDeg);
    real("noise", &o->noiseScale);
    real("distortion", &o->distortionScale);
    real("xmp-lens-error", &o->xmpLensError);
    real("xmp-focal-error", &o->xmpFocalErrorPct);
    real("panel-angle", &o->panelAngleDeg);
    integer("jpg-captures", &o->jpgCaptures);
    integer("panel-values", &o->panelValueCount);
    if (p.isSet("make")) o->make = p.value("make");
    if (p.isSet("serial")) o->serial = p.value("serial");
    if (p.isSet("no-flight")) o->writeFlight = false;
    if (p.isSet("no-panels")) o->writeNewPanel = o->writeOldPanel = false;
    if (p.isSet("no-new-panel")) o->writeNewPanel = false;
    if (p.isSet("no-old-panel")) o->writeOldPanel = false;
    if (p.isSet("no-jpg")) o->writeJpg = false;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("reflectivity-sample");
    QCommandLineParser p;
    p.setApplicationDescription(
        "Writes a sample flight (raw band TIFFs, panel captures, JPGs) and truth.json.");
    p.addHelpOption();
    p.addPositionalArgument("OUTDIR", "Folder to write into (created when missing).");
    p.addOptions({
        {"type", "Camera type 0, 3, 4 or 6 (default 0).", "N"},
        {"layout", "Raw layout: V_One or V_Two (type 0), keyed (types 3, 4, 6).", "NAME"},
        {"captures", "Flight captures (default 8).", "N"},
        {"size", "Image size WxH for types 3, 4, 6 (type 0 is always 1280x960).", "WxH"},
        {"seed", "Seed of scene, lens, misalignment and noise (default 1).", "N"},
        {"altitude", "Relative flight altitude in metres (default 60).", "M"},
        {"overlap", "Forward (and side) overlap 0.3 ... 0.95 (default 0.75).", "F"},
        {"strips", "Flight lines, flown back and forth side by side (default 1).", "N"},
        {"relief", "Scale of the terrain heights 0 ... 8 (default 1, about +-1.7 m).", "F"},
        {"scene", "Ground: mixed (default), canopy or lawn (weak, contrast-flipping texture).", "KIND"},
        {"tilt", "Roll and pitch of each flight capture up to +-DEG (default 1.5).", "DEG"},
        {"noise", "Noise scale, 0 = noise-free (default 1).", "F"},
        {"distortion", "Lens distortion scale, 0 = none (default 1).", "F"},
        {"xmp-lens-error", "How far the XMP lens model is off the true lens, 0 = exact (default 0).", "F"},
        {"xmp-focal-error", "XMP focal length off by +PCT % in even bands, -PCT % in odd ones (default 0).",
         "PCT"},
        {"panel-angle", "Rotation of the new board in degrees (default 23).", "DEG"},
        {"jpg-captures", "How many captures also get JPG copies (default all).", "N"},
        {"panel-values", "Reflectance values in the new board's QR code: 17 or 20 (default 17).", "N"},
        {"make", "EXIF Make (default Quorvin).", "TEXT"},
        {"serial", "Camera serial (default one with the type's prefix).", "TEXT"},
        {"no-flight", "Do not write the flight TIFFs."},
        {"no-panels", "Write no panel captures."},
        {"no-new-panel", "Skip the new-board panel capture."},
        {"no-old-panel", "Skip the old-board panel capture."},
        {"no-jpg", "Write no JPG captures."},
    });
    p.process(app);
    if (p.positionalArguments().size() != 1) {
        std::fprintf(stderr, "reflectivity-sample: give exactly one OUTDIR (see --help)\n");
        return 2;
    }
    SampleOptions o;
    QString error;
    if (!parseOptions(p, &o, &error)) {
        std::fprintf(stderr, "reflectivity-sample: %s\n", qPrintable(error));
        return 2;
    }
    const QString problem = o.validate();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "reflectivity-sample: %s\n", qPrintable(problem));
        return 2;
    }
    reflsample::FlightTruth truth;
    if (!reflsample::generateSampleFlight(p.positionalArguments().first(), o, &truth)) return 1;
    std::printf("wrote %d captures x %d bands (%lld bytes) in %.2f s\n", int(truth.captures.size()),
                int(truth.bands.size()), static_cast<long long>(truth.bytesWritten), truth.generationSeconds);
    return 0;
}
