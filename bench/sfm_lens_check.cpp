// End-to-end check of the lens self-calibration on a generated flight whose XMP lens model is off the
// lens the images were taken with: calibrates every band through the calibration thread, prints the
// true, XMP and estimated intrinsics with the adjustment's figures, and how straight scene lines come
// out of the "_Correct" correction with the self-calibrated model and with the XMP model.
//
//   sfm-lens-check [--type N] [--size WxH] [--captures N] [--seed N] [--altitude M] [--xmp-lens-error F]
//                  [--keep DIR]
//
// Exit code 0 when every band was accepted and straightened better by its calibration than by the XMP.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

#include "camera_info.h"
#include "lens_straightness.h"
#include "sample_flight.h"
#include "sfm_calibration_thread.h"

using namespace reflsample;

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    // The calibration's step lines go to a log in a real run; here only the band results matter.
    if (type != QtDebugMsg || msg.startsWith("SfM Calibration: band"))
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

LensModel modelOf(const CameraCalibParams& c) {
    LensModel m;
    m.K = cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1);
    m.D = cv::Vec<double, 5>(c.k1, c.k2, c.p1, c.p2, c.k3);
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription("Self-calibration against the truth on a flight with a wrong XMP lens.");
    p.addHelpOption();
    p.addOptions({
        {"type", "Camera type 0, 3 or 4 (default 0).", "N", "0"},
        {"size", "Image size WxH for types 3 and 4.", "WxH"},
        {"captures", "Flight captures (default 5).", "N", "5"},
        {"seed", "Generator seed (default 1).", "N", "1"},
        {"altitude", "Relative flight altitude in metres (default 60).", "M", "60"},
        {"xmp-lens-error", "How far the XMP lens is off (default 1).", "F", "1"},
        {"keep", "Write the flight into DIR and keep it.", "DIR"},
        {"verbose", "Show the calibration's log lines."},
    });
    p.process(app);
    if (!p.isSet("verbose")) qInstallMessageHandler(quietHandler);

    SampleOptions o;
    o.cameraType = p.value("type").toInt();
    o.layout = o.cameraType == 0 ? RawLayout::VTwo : RawLayout::Keyed;
    o.captures = p.value("captures").toInt();
    o.seed = p.value("seed").toUInt();
    o.altitude = p.value("altitude").toDouble();
    o.xmpLensError = p.value("xmp-lens-error").toDouble();
    o.writeNewPanel = o.writeOldPanel = o.writeJpg = false;
    if (p.isSet("size")) {
        const QStringList wh = p.value("size").split('x');
        if (wh.size() == 2) {
            o.width = wh[0].toInt();
            o.height = wh[1].toInt();
        }
    }
    if (o.cameraType == 6) {
        std::fprintf(stderr, "sfm-lens-check: camera type 6 is never self-calibrated\n");
        return 2;
    }
    QTemporaryDir tmp;
    const QString root = p.isSet("keep") ? p.value("keep") : tmp.path();
    FlightTruth truth;
    if (!o.check().isEmpty()) {
        std::fprintf(stderr, "sfm-lens-check: %s\n", qPrintable(o.check()));
        return 2;
    }
    if (!generateSampleFlight(root, o, &truth)) return 2;

    CSfMCalibrationThread thread(QDir(root).filePath("flight"), truth.camera.xmpPixelSizeUm,
                                 truth.camera.focalMm);
    CameraCalibParamsMap results;
    QString summary;
    QElapsedTimer timer;
    QVector<qint64> bandDoneMs;
    QObject::connect(
        &thread, &CSfMCalibrationThread::signalCalibrationProgress, &thread,
        [&](int, QString info) {
            if (info.endsWith(QStringLiteral(" 完成"))) bandDoneMs << timer.elapsed();
        },
        Qt::DirectConnection);
    QObject::connect(
        &thread, &CSfMCalibrationThread::signalCalibrationFinished, &thread,
        [&](bool, QString s, CameraCalibParamsMap m) {
            summary = s;
            results = m;
        },
        Qt::DirectConnection);
    timer.start();
    thread.start();
    thread.wait();
    const double totalS = timer.elapsed() / 1000.0;

    const cv::Size size(truth.camera.width, truth.camera.height);
    std::printf("camera type %d, %d x %d, %d captures, seed %u, XMP lens error %.2f; %s in %.1f s\n",
                truth.camera.cameraType, size.width, size.height, truth.flightCaptureCount(), o.seed,
                o.xmpLensError, qPrintable(summary), totalS);
    std::printf("%-6s %-4s %9s %9s %8s %8s %9s %9s %9s %9s %6s %6s %5s %6s\n", "band", "", "fx", "fy", "cx",
                "cy", "k1", "k2", "p1", "p2", "rms0", "rms", "p90", "cover");
    bool allGood = truth.bands.size() == results.size();
    std::vector<std::pair<StraightnessFigures, StraightnessFigures>> straight;
    for (int b = 0; b < truth.bands.size(); ++b) {
        const BandTruth& t = truth.bands[b];
        const QString key = bandFromFileName(QFileInfo(truth.captures[0].files[b]).fileName());
        const double bandS =
            b < bandDoneMs.size() ? (bandDoneMs[b] - (b > 0 ? bandDoneMs[b - 1] : 0)) / 1000.0 : 0.0;
        std::printf("%-6s %-4s %9.2f %9.2f %8.2f %8.2f %9.5f %9.5f %9.6f %9.6f\n", qPrintable(key), "true",
                    t.K(0, 0), t.K(1, 1), t.K(0, 2), t.K(1, 2), t.D[0], t.D[1], t.D[2], t.D[3]);
        std::printf("%-6s %-4s %9.2f %9.2f %8.2f %8.2f %9.5f %9.5f %9.6f %9.6f\n", qPrintable(t.label), "xmp",
                    t.xmpK(0, 0), t.xmpK(1, 1), t.xmpK(0, 2), t.xmpK(1, 2), t.xmpD[0], t.xmpD[1], t.xmpD[2],
                    t.xmpD[3]);
        const LensModel trueLens{t.K, t.D};
        const LensModel xmpLens{t.xmpK, t.xmpD};
        if (!results.contains(key)) {
            std::printf("%-6s %-4s not calibrated (%.1f s)\n", "", "sfm", bandS);
            allGood = false;
            continue;
        }
        const CameraCalibParams& c = results[key];
        std::printf(
            "%-6s %-4s %9.2f %9.2f %8.2f %8.2f %9.5f %9.5f %9.6f %9.6f %6.3f %6.3f %5.3f %6.3f  %s, "
            "%d tracks, %.1f s\n",
            "", "sfm", c.fx, c.fy, c.cx, c.cy, c.k1, c.k2, c.p1, c.p2, c.initialRmsPx, c.finalRmsPx,
            c.p90ErrorPx, c.minCoverage, c.accepted ? "accepted" : "rejected", c.adjustedTrackCount, bandS);
        const StraightnessFigures sfm = correctedStraightness(trueLens, modelOf(c), size);
        const StraightnessFigures xmp = correctedStraightness(trueLens, xmpLens, size);
        straight.push_back({sfm, xmp});
        allGood = allGood && c.accepted && sfm.rmsPx < xmp.rmsPx;
    }
    std::printf(
        "\nstraightness of scene lines in the \"_Correct\" images (px; RMS / max distance from the "
        "fitted line, RMS after the best homography onto the true pinhole image)\n");
    std::printf("%-6s %26s %26s\n", "band", "SfM rms / max / proj", "XMP rms / max / proj");
    int row = 0;
    for (int b = 0; b < truth.bands.size(); ++b) {
        const QString key = bandFromFileName(QFileInfo(truth.captures[0].files[b]).fileName());
        if (!results.contains(key)) continue;
        const auto& s = straight[size_t(row++)];
        std::printf("%-6s %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f  (%d lines, %d points)\n",
                    qPrintable(truth.bands[b].label), s.first.rmsPx, s.first.maxPx, s.first.projectiveRmsPx,
                    s.second.rmsPx, s.second.maxPx, s.second.projectiveRmsPx, s.first.lines, s.first.points);
    }
    return allGood ? 0 : 1;
}
