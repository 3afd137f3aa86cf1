#include "sample_flight.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "flight_render.h"
#include "ground_scene.h"
#include "jpg_writer.h"
#include "panel_board.h"
#include "raw_tiff_writer.h"
#include "xmp_packet.h"

namespace reflsample {

SampleOptions SampleOptions::small() {
    SampleOptions o;
    o.cameraType = 6;
    o.layout = RawLayout::Keyed;
    o.captures = 4;
    o.width = 640;
    o.height = 480;
    o.writeJpg = false;
    return o;
}

QString SampleOptions::validate() const {
    if (cameraType != 0 && cameraType != 3 && cameraType != 4 && cameraType != 6)
        return QStringLiteral("camera type must be 0, 3, 4 or 6");
    if (cameraType == 0 && layout == RawLayout::Keyed)
        return QStringLiteral("camera type 0 writes V_One or V_Two");
    if (cameraType != 0 && layout != RawLayout::Keyed)
        return QStringLiteral("camera types 3, 4, 6 write the keyed layout");
    if (captures < 1 || captures > 500) return QStringLiteral("captures must be 1 ... 500");
    if (cameraType == 0 && (width != 0 || height != 0) && (width != 1280 || height != 960))
        return QStringLiteral("camera type 0 is always 1280 x 960");
    if (cameraType != 0 && (width != 0 || height != 0) &&
        (width < 64 || height < 64 || width > 8192 || height > 8192))
        return QStringLiteral("image size must be 64 ... 8192 pixels a side");
    if (altitude < 5.0 || altitude > 500.0) return QStringLiteral("altitude must be 5 ... 500 m");
    if (overlap < 0.3 || overlap > 0.95) return QStringLiteral("overlap must be 0.3 ... 0.95");
    if (strips < 1 || strips > 8) return QStringLiteral("strips must be 1 ... 8");
    if (strips > captures) return QStringLiteral("every strip needs at least one capture");
    if (!(relief >= 0.0 && relief <= 8.0)) return QStringLiteral("relief must be 0 ... 8");
    if (scene != "mixed" && scene != "canopy" && scene != "lawn")
        return QStringLiteral("scene must be mixed, canopy or lawn");
    if (!(tiltDeg >= 0.0 && tiltDeg <= 20.0)) return QStringLiteral("tilt must be 0 ... 20 degrees");
    if (noiseScale < 0.0 || distortionScale < 0.0 || maxScale < 0.0 || maxShiftPx < 0.0 ||
        maxRotationDeg < 0.0)
        return QStringLiteral("scales must not be negative");
    if (!(xmpLensError >= 0.0 && xmpLensError <= 5.0))
        return QStringLiteral("XMP lens error must be 0 ... 5");
    if (!(xmpFocalErrorPct >= 0.0 && xmpFocalErrorPct <= 20.0))
        return QStringLiteral("XMP focal error must be 0 ... 20 %");
    if (!serial.isEmpty() && serial.size() < 2) return QStringLiteral("serial too short");
    if (panelValueCount != 17 && panelValueCount != 20)
        return QStringLiteral("panel codes hold 17 or 20 values");
    return QString();
}

int FlightTruth::flightCaptureCount() const {
    int n = 0;
    for (const CaptureTruth& c : captures) n += c.kind == "flight";
    return n;
}

namespace {

struct Writer {
    const SampleOptions& opt;
    QDir out;
    FlightTruth& truth;
    GroundScene* scene = nullptr;
    VirtualCamera vc;
    std::vector<cv::Mat> mapX, mapY;

    const CameraSpec& cam() const { return truth.camera; }

    XmpLayout xmpLayout() const {
        if (opt.layout == RawLayout::VOne) return XmpLayout::PerItem;
        return opt.layout == RawLayout::VTwo ? XmpLayout::Compact : XmpLayout::Keyed;
    }

    void readBack(CaptureTruth& c, const BandTruth&, double stdExposure, double stdGain) {
        const double t = numberText(c.exposureTime).toDouble();
        const bool ms = opt.layout != RawLayout::Keyed || modelUsesMilliseconds(cam().model);
        const double g =
            opt.layout == RawLayout::VOne ? double(qRound(c.gain)) : numberText(c.gain).toDouble();
        c.exposureAsRead << (ms ? t * 1000.0 : t / stdExposure);
        c.gainAsRead << (ms ? g : g / stdGain);
    }

    XmpContent xmpFor(const BandTruth& b, const CaptureTruth& c) const {
        XmpContent x;
        x.layout = xmpLayout();
        x.make = cam().make;
        x.serial = cam().serial;
        x.bandName = b.label;
        x.wavelengthNm = b.wavelengthNm;
        // The sample cameras' filter widths: narrow in the red edge, wide in the near infrared.
        x.fwhmNm = b.wavelengthNm >= 800 ? 40 : b.wavelengthNm >= 700 ? 10 : 20;
        x.a0 = b.a0;
        x.c1 = b.c1;
        x.c2 = b.c2;
        x.centreX = b.vignettingCentreX;
        x.centreY = b.vignettingCentreY;
        for (int i = 0; i < 6; ++i) x.k[i] = b.k[i];
        x.exposureTime = c.exposureTime;
        x.gain = c.gain;
        x.irradiance = b.irradiance;
        x.relativeAltitude = c.relativeAltitude;
        x.yawRad = c.yawDeg * CV_PI / 180.0;
        x.pitchRad = c.pitchDeg * CV_PI / 180.0;
        x.rollRad = c.rollDeg * CV_PI / 180.0;
        x.focalMm = b.xmpFocalMm;
        x.principalXMm = b.xmpPrincipalXMm;
        x.principalYMm = b.xmpPrincipalYMm;
        x.k1 = b.xmpD[0];
        x.k2 = b.xmpD[1];
        x.p1 = b.xmpD[2];
        x.p2 = b.xmpD[3];
        x.k3 = b.xmpD[4];
        return x;
    }

    ExifInfo exifFor(const BandTruth& b, const CaptureTruth& c) const {
        ExifInfo e;
        e.make = cam().make;
        e.model = cam().model;
        e.focalMm = b.xmpFocalMm;
        e.pixelSizeUm = cam().xmpPixelSizeUm;
        e.exposureTime = c.exposureTime;
        e.iso = int(std::lround(100 * c.gain));
        e.latitude = c.latitude;
        e.longitude = c.longitude;
        e.altitude = c.gpsAltitude;
        return e;
    }

    bool writeBand(const QString& rel, const cv::Mat& dn, const BandTruth& b, const CaptureTruth& c) {
        RawBandFile f;
        f.layout = opt.layout;
        f.width = dn.cols;
        f.height = dn.rows;
        f.pixels = dn.ptr<quint16>(0);
        f.darkLevel = quint16(b.darkLevel);
        f.xmp = buildXmpPacket(xmpFor(b, c));
        f.exif = exifFor(b, c);
        const QByteArray bytes = buildRawBandTiff(f);
        if (bytes.isEmpty() || !writeWholeFile(out.filePath(rel), bytes)) return false;
        truth.bytesWritten += bytes.size();
        return true;
    }

    bool writeJpg(const QString& rel, const cv::Mat& radiance, const BandTruth& b, const CaptureTruth& c) {
        cv::Mat grey;
        radiance.convertTo(grey, CV_8U, 255.0 * b.jpgFactorDen / b.jpgFactorNum);
        ExifInfo e = exifFor(b, c);
        e.imageDescription = QString("%1/%2").arg(b.jpgFactorNum).arg(b.jpgFactorDen);
        XmpContent x = xmpFor(b, c);
        x.calibration = false;
        const QByteArray bytes = buildJpgWithMetadata(grey, e, buildXmpPacket(x));
        if (bytes.isEmpty() || !writeWholeFile(out.filePath(rel), bytes)) return false;
        truth.bytesWritten += bytes.size();
        return true;
    }

    /// Band radiance images of a capture from its virtual reflectance planes.
    std::vector<cv::Mat> bandRadiance(const std::vector<cv::Mat>& planes) {
        std::vector<cv::Mat> out(planes.size());
        for (size_t b = 0; b < planes.size(); ++b) {
            cv::remap(planes[b], out[b], mapX[b], mapY[b], cv::INTER_LINEAR, cv::BORDER_REPLICATE);
            out[b] *= truth.bands[int(b)].irradiance;
        }
        return out;
    }

    bool writeCapture(CaptureTruth& c, const std::vector<cv::Mat>& radiance, const QString& dir,
                      const QString& nameFormat, int captureIndex) {
        for (int b = 0; b < truth.bands.size(); ++b) {
            const BandTruth& band = truth.bands[b];
            const QString rel = dir + "/" + nameFormat.arg(c.key).arg(b + 1).arg(band.label);
            const quint64 noiseSeed =
                (quint64(opt.seed) << 32) ^ (quint64(captureIndex) << 8) ^ quint64(b) ^ 0xA5A5ULL;
            const cv::Mat dn = radianceToDn(radiance[size_t(b)], band, c.exposureAsRead[b], c.gainAsRead[b],
                                            opt.noiseScale, noiseSeed);
            if (!writeBand(rel, dn, band, c)) return false;
            c.files << rel;
        }
        return true;
    }
};

cv::Matx33d attitude(double rollDeg, double pitchDeg, double yawDeg) {
    const double r = rollDeg * CV_PI / 180.0, p = pitchDeg * CV_PI / 180.0, y = yawDeg * CV_PI / 180.0;
    const cv::Matx33d Rx(1, 0, 0, 0, std::cos(p), -std::sin(p), 0, std::sin(p), std::cos(p));
    const cv::Matx33d Ry(std::cos(r), 0, std::sin(r), 0, 1, 0, -std::sin(r), 0, std::cos(r));
    const cv::Matx33d Rz(std::cos(y), -std::sin(y), 0, std::sin(y), std::cos(y), 0, 0, 0, 1);
    // Image top looks forward (east, +x); image right is south; the camera looks down.
    const cv::Matx33d base(0, -1, 0, -1, 0, 0, 0, 0, -1);
    return Rx * Ry * Rz * base;
}

void setGps(CaptureTruth& c) {
    const double lat0 = 30.52, lon0 = 114.36, groundAltitude = 35.0;
    c.latitude = lat0 + c.centre[1] / 111320.0;
    c.longitude = lon0 + c.centre[0] / (111320.0 * std::cos(lat0 * CV_PI / 180.0));
    c.gpsAltitude = groundAltitude + c.centre[2];
}

bool writePanel(Writer& w, bool newBoard, cv::RNG& rng) {
    FlightTruth& t = w.truth;
    const SampleOptions& opt = w.opt;
    PanelTruth& p = newBoard ? t.newPanel : t.oldPanel;
    p.present = true;
    p.newBoard = newBoard;
    p.serial = newBoard ? "CA230715007" : "CA190402311";
    // Both boards have the same grey, 60 ... 62 % depending on the wavelength: a run may average panel
    // groups of either board, and a first run with the default standard reflectance of 0.61 is off by at
    // most 1.7 %. Only the new board's code carries the percentages.
    QVector<int> percents;
    for (int wl : opt.panelValueCount == 20 ? panelWavelengths20() : panelWavelengths17())
        percents << int(std::lround(61.0 + std::sin(wl / 97.0)));
    p.qrPayload = QString::fromLatin1(panelPayload(p.serial, newBoard ? percents : QVector<int>()));
    p.angleDeg = newBoard ? opt.panelAngleDeg : -(opt.panelAngleDeg + 100.0);
    QrModules qr;
    if (!encodeQr(p.qrPayload.toLatin1(), &qr)) return false;

    const int n = t.bands.size();
    QVector<double> grey;
    for (int b = 0; b < n; ++b) {
        const int wl = t.bands[b].wavelengthNm;
        grey << nearestPercent(percents, wl) / 100.0;
    }
    p.reflectance = grey;
    // Board about the reference band's image centre.
    const BandTruth& ref = t.bands[t.referenceBand];
    const double side = (newBoard ? 0.28 : 0.23) * std::min(t.camera.width, t.camera.height);
    const cv::Point2d imageCentre(
        w.vc.K(0, 2) + w.vc.K(0, 0) * ((t.camera.width - 1) / 2.0 - ref.K(0, 2)) / ref.K(0, 0),
        w.vc.K(1, 2) + w.vc.K(1, 1) * ((t.camera.height - 1) / 2.0 - ref.K(1, 2)) / ref.K(1, 1));
    const cv::Point2d cen = PanelBoard::boardCentroid(newBoard);
    const double a = p.angleDeg * CV_PI / 180.0;
    const cv::Point2d rotated(cen.x * std::cos(a) - cen.y * std::sin(a),
                              cen.x * std::sin(a) + cen.y * std::cos(a));
    const PanelBoard board(newBoard, qr, p.angleDeg, imageCentre - side * rotated, side);

    CaptureTruth c;
    c.kind = newBoard ? "panel-new" : "panel-old";
    c.key = newBoard ? QStringLiteral("0000") : QString("%1").arg(opt.captures + 1, 4, 10, QChar('0'));
    p.captureKey = c.key;
    c.relativeAltitude = roundTripped(1.2 + rng.uniform(0.0, 0.3));
    c.exposureTime = std::round(800.0 * rng.uniform(0.95, 1.05)) / 1e6;
    c.gain = 2;
    c.centre = cv::Vec3d(-15.0, -2.0, c.relativeAltitude);
    c.camFromWorld = attitude(0, 0, 0);
    c.yawDeg = 90.0;
    setGps(c);
    for (int b = 0; b < n; ++b) w.readBack(c, t.bands[b], 0.001, 1.0);

    const std::vector<cv::Mat> planes = renderPanelView(board, *w.scene, w.vc, t.camera.wavelengths, grey);
    const std::vector<cv::Mat> radiance = w.bandRadiance(planes);
    const cv::Matx33d vInv = w.vc.K.inv();
    for (int b = 0; b < n; ++b) {
        const BandTruth& band = t.bands[b];
        p.radiance << grey[b] * band.irradiance;
        const cv::Point2d q = board.codeCentre(), g = board.greyCentre();
        p.qrCentre << projectToBand(band, vInv * cv::Vec3d(q.x, q.y, 1.0));
        p.greyCentre << projectToBand(band, vInv * cv::Vec3d(g.x, g.y, 1.0));
        p.qrSidePx << side * band.K(0, 0) / w.vc.K(0, 0);
    }
    const QString format =
        newBoard ? QStringLiteral("IMG_%1_%2_%3.tif") : QStringLiteral("IMG_%1_0%2_greyboard_%3.tif");
    if (!w.writeCapture(c, radiance, "panel", format, newBoard ? 1000 : 1001)) return false;
    t.captures << c;
    return true;
}

void addCheckPoints(Writer& w, const CaptureTruth& c, int index) {
    FlightTruth& t = w.truth;
    for (const Target& target : w.scene->targets()) {
        const cv::Vec3d P(target.x, target.y, w.scene->terrainHeight(target.x, target.y));
        const cv::Vec3d ray = c.camFromWorld * (P - c.centre);
        if (ray[2] <= 0) continue;
        CheckPoint cp;
        cp.name = target.name;
        cp.captureKey = c.key;
        cp.captureIndex = index;
        cp.radiusPx = 0.6 * target.halfSide * t.bands[t.referenceBand].K(0, 0) / ray[2];
        bool inside = true;
        for (const BandTruth& b : t.bands) {
            const cv::Point2d px = projectToBand(b, ray);
            const double m = cp.radiusPx + 3.0;
            inside = inside && px.x >= m && px.y >= m && px.x <= t.camera.width - 1 - m &&
                     px.y <= t.camera.height - 1 - m;
            cp.pixel << px;
            cp.reflectance << materialReflectance(target.material, b.wavelengthNm);
            cp.radiance << cp.reflectance.last() * b.irradiance;
        }
        if (inside && cp.radiusPx >= 2.0) t.checkPoints << cp;
    }
}

}  // namespace

bool generateSampleFlight(const QString& outDir, const SampleOptions& opt, FlightTruth* truthOut) {
    QElapsedTimer timer;
    timer.start();
    const QString problem = opt.validate();
    if (!problem.isEmpty()) {
        qDebug() << "generateSampleFlight: bad options:" << problem;
        return false;
    }
    FlightTruth truth;
    truth.options = opt;
    truth.camera = cameraSpecFor(opt.cameraType, opt.width, opt.height);
    if (!opt.make.isEmpty()) truth.camera.make = opt.make;
    if (!opt.serial.isEmpty()) truth.camera.serial = opt.serial;
    truth.bands = makeBands(truth.camera, opt.seed, opt.maxRotationDeg, opt.maxShiftPx, opt.maxScale,
                            opt.distortionScale, &truth.referenceBand);
    applyXmpLensError(truth.bands, truth.camera, opt.seed, opt.xmpLensError);
    applyXmpFocalError(truth.bands, truth.camera, opt.xmpFocalErrorPct);
    QDir out(outDir);
    if (!out.mkpath(".") || !out.mkpath("flight") || !out.mkpath("panel") ||
        (opt.writeJpg && !out.mkpath("jpg"))) {
        qDebug() << "generateSampleFlight: cannot create folders in" << outDir;
        return false;
    }
    out.setPath(out.absolutePath());

    Writer w{opt, out, truth, nullptr, VirtualCamera(), {}, {}};
    const cv::Size size(truth.camera.width, truth.camera.height);
    w.vc = makeVirtualCamera(truth.bands, truth.referenceBand, size);
    for (const BandTruth& b : truth.bands) {
        cv::Mat mx, my;
        buildBandMap(b, w.vc, size, &mx, &my);
        w.mapX.push_back(mx);
        w.mapY.push_back(my);
    }

    // First flight line along +x (east) at y = 0; image height lies along the track. Further strips
    // fly back and forth (serpentine), each offset north by the side step; the captures are numbered
    // in flying order and shared out over the strips, the first strips taking one more when uneven.
    const double f = truth.bands[truth.referenceBand].K(0, 0);
    const double along = opt.altitude * size.height / f, across = opt.altitude * size.width / f;
    const double spacing = (1.0 - opt.overlap) * along;
    const double sideStep = (1.0 - opt.overlap) * across;
    const int perStrip = (opt.captures + opt.strips - 1) / opt.strips;
    const double lineEnd = spacing * (perStrip - 1);
    const double northEdge = 0.5 * across + 20.0 + sideStep * (opt.strips - 1);
    GroundScene scene(opt.seed, -0.5 * along - 20.0, lineEnd + 0.5 * along + 20.0, -0.5 * across - 20.0,
                      northEdge, -0.3 * along, lineEnd + 0.3 * along, opt.relief);
    scene.setBands(truth.camera.wavelengths);
    scene.setGround(opt.scene == "canopy" ? GroundScene::Ground::Canopy
                    : opt.scene == "lawn" ? GroundScene::Ground::Lawn
                                          : GroundScene::Ground::Mixed);
    w.scene = &scene;
    cv::RNG rng(quint64(opt.seed) * 0x2545F4914F6CDD1DULL + 7);

    const int longStrips = opt.captures - (perStrip - 1) * opt.strips;  // strips with perStrip captures
    for (int i = 0, strip = 0, j = 0; i < opt.captures; ++i, ++j) {
        if (j == (strip < longStrips ? perStrip : perStrip - 1)) {
            ++strip;
            j = 0;
        }
        const bool back = strip % 2 == 1;  // flying west
        CaptureTruth c;
        c.kind = "flight";
        c.key = QString("%1").arg(i + 1, 4, 10, QChar('0'));
        c.relativeAltitude = roundTripped(opt.altitude + rng.uniform(-0.3, 0.3));
        const double x = (back ? perStrip - 1 - j : j) * spacing;
        c.centre = cv::Vec3d(x + rng.uniform(-0.3, 0.3), strip * sideStep + rng.uniform(-0.4, 0.4),
                             c.relativeAltitude);
        c.rollDeg = roundTripped(rng.uniform(-opt.tiltDeg, opt.tiltDeg));
        c.pitchDeg = roundTripped(rng.uniform(-opt.tiltDeg, opt.tiltDeg));
        const double yawDelta = rng.uniform(-2.0, 2.0);
        c.yawDeg = roundTripped((back ? 270.0 : 90.0) + yawDelta);
        c.camFromWorld = attitude(c.rollDeg, c.pitchDeg, (back ? 180.0 : 0.0) + yawDelta);
        c.exposureTime = std::round(1500.0 * rng.uniform(0.9, 1.1)) / 1e6;
        c.gain = 1;
        setGps(c);
        for (const BandTruth& b : truth.bands) w.readBack(c, b, 0.001, 1.0);
        if (opt.writeFlight || opt.writeJpg) {
            const std::vector<cv::Mat> planes =
                renderSceneView(scene, w.vc, c.centre, c.camFromWorld, truth.bands.size());
            const std::vector<cv::Mat> radiance = w.bandRadiance(planes);
            if (opt.writeFlight && !w.writeCapture(c, radiance, "flight", "IMG_%1_%2_%3.tif", i))
                return false;
            const int jpgCount = opt.jpgCaptures < 0 ? opt.captures : opt.jpgCaptures;
            if (opt.writeJpg && i < jpgCount) {
                for (int b = 0; b < truth.bands.size(); ++b) {
                    const QString rel =
                        QString("jpg/IMG_%1_%2_%3.jpg").arg(c.key).arg(b + 1).arg(truth.bands[b].label);
                    if (!w.writeJpg(rel, radiance[size_t(b)], truth.bands[b], c)) return false;
                    c.jpgFiles << rel;
                }
            }
        }
        addCheckPoints(w, c, i);
        truth.captures << c;
    }
    if (opt.writeNewPanel && !writePanel(w, true, rng)) return false;
    if (opt.writeOldPanel && !writePanel(w, false, rng)) return false;

    truth.generationSeconds = timer.elapsed() / 1000.0;
    if (opt.writeTruth) {
        const QByteArray json = truthToJson(truth);
        if (!writeWholeFile(out.filePath("truth.json"), json)) return false;
        truth.bytesWritten += json.size();
    }
    qDebug() << "generateSampleFlight:" << truth.captures.size() << "captures," << truth.bands.size()
             << "bands," << truth.bytesWritten << "bytes in" << timer.elapsed() << "ms ->"
             << out.absolutePath();
    if (truthOut) *truthOut = truth;
    return true;
}

}  // namespace reflsample
