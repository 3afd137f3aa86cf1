// Time of the lens self-calibration per band on the default sample flight (camera type 0, 6 bands,
// 1280 x 960, 5 captures), and where it goes. Part one repeats the steps of one band attempt with
// the default parameter group, timing each; part two runs the calibration thread over the whole
// flight, as a run does, and times each band between its progress signals.
//
//   sfm_calibration_bench [--captures N] [--seed N] [--threads N] [--stages-only] [--thread-only]
//                         [--xmp-lens-error F] [--max-iterations N] [--band NM] [--prior-truth]
//                         [--structure-truth] [--passes N]
//
// --prior-truth starts the timed steps from the true lens instead of the XMP one (a check of where the
// adjustment goes from the right answer); --structure-truth builds only the reconstruction and the
// track selection with the true lens and adjusts from the XMP lens (is a bent start structure what
// keeps the adjustment off the truth?); --passes N rebuilds the reconstruction with each adjusted
// lens and adjusts again from the XMP prior.
// --threads sets the cores of the adjustment (the thread's default is 2); OpenCV's own pool is left
// as it is (pair matching runs on it).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "camera_info.h"
#include "lens_straightness.h"
#include "sample_flight.h"
#include "sfm_bundle.h"
#include "sfm_calibration_thread.h"
#include "sfm_prior.h"
#include "sfm_reconstruction.h"
#include "sfm_selection.h"
#include "sfm_tracks.h"

using namespace refl;

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type != QtDebugMsg) std::fprintf(stderr, "%s\n", qPrintable(msg));
}

// CPU seconds of the whole process (all threads): with a shared machine the wall time alone misleads.
double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct StageTimes {
    double cpu = 0;
    double prior = 0, read = 0, sift = 0, pairs = 0, tracks = 0, reconstruction = 0, selection = 0,
           adjustment = 0;
    double total() const {
        return prior + read + sift + pairs + tracks + reconstruction + selection + adjustment;
    }
};

// One default-group attempt of one band, step by step as the band driver runs it.
bool timeBand(const QStringList& files, double pixelSizeUm, double focalMm, int threads, int maxIterations,
              const reflsample::BandTruth& truth, bool priorTruth, bool structureTruth, int passes,
              cv::Size size, StageTimes* st, QString* figures) {
    SfMParamGroup g = defaultSfmParamGroup();
    if (maxIterations > 0) g.maxIterations = maxIterations;
    QElapsedTimer t;
    auto lap = [&t]() {
        const double s = t.nsecsElapsed() / 1e9;
        t.restart();
        return s;
    };
    t.start();
    const double cpu0 = processCpuSeconds();
    CameraPrior prior;
    if (!cameraPriorFromMetadata(files.first(), pixelSizeUm, focalMm, &prior)) return false;
    if (priorTruth) {
        prior.K = cv::Mat(truth.K).clone();
        prior.D = (cv::Mat_<double>(5, 1) << truth.D[0], truth.D[1], truth.D[2], truth.D[3], 0.0);
    }
    cv::Mat recK = prior.K, recD = prior.D;
    if (structureTruth) {
        recK = cv::Mat(truth.K).clone();
        recD = (cv::Mat_<double>(5, 1) << truth.D[0], truth.D[1], truth.D[2], truth.D[3], 0.0);
    }
    st->prior = lap();
    std::vector<ImageFeatures> features;
    for (const QString& f : files) {
        const cv::Mat image = cv::imread(QFile::encodeName(f).toStdString(), cv::IMREAD_UNCHANGED);
        st->read += lap();
        features.push_back(extractSift(image, g.maxFeatures));
        st->sift += lap();
    }
    const std::vector<PairGeometry> pairs = pairwiseGeometries(features, g.loweRatio, g.magsacThreshold);
    st->pairs = lap();
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    st->tracks = lap();
    SfmBundleOptions s;
    s.maxIterations = g.maxIterations;
    s.threads = threads;
    SfmBundleResult r;
    bool accepted = false;
    std::vector<int> selected;
    for (int pass = 0; pass < passes; ++pass) {
        if (pass > 0) {
            if (!r.optimised) break;
            recK = r.K.clone();  // rebuild the structure with the lens of the previous pass
            recD = r.D.clone();
        }
        int a = -1, b = -1;
        cv::Matx33d R;
        cv::Vec3d tr;
        SfmReconstruction rec;
        if (!initialPairPose(pairs, features, recK, recD, 2.0, &a, &b, &R, &tr) ||
            !incrementalSfm(tracks, features, recK, recD, a, b, R, tr, 2.0, &rec))
            return false;
        st->reconstruction += lap();
        selected = selectAdjustmentTracks(tracks, rec.points, rec.triangulatedTracks, features, rec.poses,
                                          recK, recD, g.limit, prior.width, prior.height);
        st->selection += lap();
        r = SfmBundleResult();
        accepted = bundleAdjust(tracks, selected, rec.points, features, rec.poses, prior.K, prior.D, a, b,
                                prior.width, prior.height, s, "bench", &r);
        if (pass + 1 < passes) st->adjustment += lap();
    }
    st->adjustment += lap();
    st->cpu = processCpuSeconds() - cpu0;
    int keypoints = 0, inliers = 0;
    for (const ImageFeatures& f : features) keypoints += int(f.points.size());
    for (const PairGeometry& p : pairs) inliers += p.inlierCount;
    *figures = QString(
                   "%1 keypoints, %2 pairs / %3 inliers, %4 tracks, %5 adjusted, %6 obs, %7 evals, "
                   "rms %8 -> %9, %10")
                   .arg(keypoints)
                   .arg(pairs.size())
                   .arg(inliers)
                   .arg(tracks.size())
                   .arg(selected.size())
                   .arg(r.observationCount)
                   .arg(r.evaluations)
                   .arg(r.initialRms, 0, 'f', 3)
                   .arg(r.finalRms, 0, 'f', 3)
                   .arg(accepted ? "accepted" : "rejected");
    if (r.optimised) {
        // Against the truth: the estimate, and how straight scene lines come out of the correction with
        // it and with the XMP lens.
        reflsample::LensModel est;
        est.K = cv::Matx33d(r.K);
        est.D = cv::Vec<double, 5>(r.D.at<double>(0), r.D.at<double>(1), r.D.at<double>(2), r.D.at<double>(3),
                                   0.0);
        const reflsample::LensModel trueLens{truth.K, truth.D}, xmpLens{truth.xmpK, truth.xmpD};
        const double sfmRms = reflsample::correctedStraightness(trueLens, est, size).rmsPx;
        const double xmpRms = reflsample::correctedStraightness(trueLens, xmpLens, size).rmsPx;
        *figures += QString("; fx %1 (true %2), k1 %3 (%4), k2 %5 (%6); straightness %7 px (XMP %8)")
                        .arg(est.K(0, 0), 0, 'f', 1)
                        .arg(truth.K(0, 0), 0, 'f', 1)
                        .arg(est.D[0], 0, 'f', 4)
                        .arg(truth.D[0], 0, 'f', 4)
                        .arg(est.D[1], 0, 'f', 4)
                        .arg(truth.D[1], 0, 'f', 4)
                        .arg(sfmRms, 0, 'f', 3)
                        .arg(xmpRms, 0, 'f', 3);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription("Self-calibration time per band on the default sample flight.");
    p.addHelpOption();
    p.addOptions({
        {"captures", "Flight captures (default 5).", "N", "5"},
        {"seed", "Generator seed (default 1).", "N", "1"},
        {"threads", "Cores of the adjustment (default 2).", "N", "2"},
        {"stages-only", "Only time the steps of each band."},
        {"thread-only", "Only run the calibration thread."},
        {"xmp-lens-error", "XMP lens model off the true lens by this scale (default 0).", "F", "0"},
        {"max-iterations", "Adjustment evaluation cap of the timed steps (default: the group's).", "N", "0"},
        {"band", "Only this band (nm) in the timed steps.", "NM", "0"},
        {"prior-truth", "Start the timed steps from the true lens."},
        {"structure-truth", "Reconstruct with the true lens, adjust from the XMP lens."},
        {"passes",
         "Reconstruct and adjust this many times, each reconstruction with the last adjusted lens "
         "(default 1, as the band driver does).",
         "N", "1"},
    });
    p.process(app);
    qInstallMessageHandler(quietHandler);
    const int threads = std::max(1, p.value("threads").toInt());

    QTemporaryDir tmp;
    reflsample::SampleOptions o;  // type 0, V_Two, 1280 x 960, 6 bands
    o.captures = p.value("captures").toInt();
    o.seed = p.value("seed").toUInt();
    o.xmpLensError = p.value("xmp-lens-error").toDouble();
    const int maxIterations = p.value("max-iterations").toInt();
    const int onlyBand = p.value("band").toInt();
    o.writeNewPanel = o.writeOldPanel = o.writeJpg = false;
    reflsample::FlightTruth truth;
    if (!reflsample::generateSampleFlight(tmp.path(), o, &truth)) return 2;
    const double px = truth.camera.xmpPixelSizeUm, focal = truth.camera.focalMm;
    std::printf(
        "flight: camera type %d, %d x %d, %d bands x %d captures; OpenCV threads %d, adjustment threads "
        "%d\n",
        truth.camera.cameraType, truth.camera.width, truth.camera.height, int(truth.bands.size()),
        truth.flightCaptureCount(), cv::getNumThreads(), threads);

    if (!p.isSet("thread-only")) {
        std::printf("\nsteps of one default-group attempt per band (s)\n");
        std::printf("%-6s %6s %6s %6s %7s %6s %7s %6s %7s %7s %7s\n", "band", "prior", "read", "sift",
                    "match", "tracks", "recon", "select", "adjust", "total", "cpu");
        StageTimes sum;
        int timed = 0;
        for (int b = 0; b < truth.bands.size(); ++b) {
            if (onlyBand > 0 && truth.bands[b].wavelengthNm != onlyBand) continue;
            QStringList files;
            for (const reflsample::CaptureTruth& c : truth.captures)
                if (c.kind == "flight") files << QDir(tmp.path()).filePath(c.files[b]);
            StageTimes st;
            QString figures;
            if (!timeBand(files, px, focal, threads, maxIterations, truth.bands[b], p.isSet("prior-truth"),
                          p.isSet("structure-truth"), std::max(1, p.value("passes").toInt()),
                          cv::Size(truth.camera.width, truth.camera.height), &st, &figures)) {
                std::printf("%-6s failed before the adjustment\n", qPrintable(truth.bands[b].label));
                continue;
            }
            std::printf("%-6s %6.3f %6.3f %6.2f %7.2f %6.3f %7.2f %6.3f %7.2f %7.2f %7.2f  %s\n",
                        qPrintable(truth.bands[b].label), st.prior, st.read, st.sift, st.pairs, st.tracks,
                        st.reconstruction, st.selection, st.adjustment, st.total(), st.cpu,
                        qPrintable(figures));
            ++timed;
            sum.cpu += st.cpu;
            sum.prior += st.prior;
            sum.read += st.read;
            sum.sift += st.sift;
            sum.pairs += st.pairs;
            sum.tracks += st.tracks;
            sum.reconstruction += st.reconstruction;
            sum.selection += st.selection;
            sum.adjustment += st.adjustment;
        }
        const double n = std::max(1, timed);
        std::printf("%-6s %6.3f %6.3f %6.2f %7.2f %6.3f %7.2f %6.3f %7.2f %7.2f %7.2f\n", "mean",
                    sum.prior / n, sum.read / n, sum.sift / n, sum.pairs / n, sum.tracks / n,
                    sum.reconstruction / n, sum.selection / n, sum.adjustment / n, sum.total() / n,
                    sum.cpu / n);
    }

    if (!p.isSet("stages-only")) {
        CSfMCalibrationThread thread(QDir(tmp.path()).filePath("flight"), px, focal);
        thread.setAdjustmentThreads(threads);
        QElapsedTimer timer;
        QVector<qint64> doneMs;
        QStringList doneBands;
        QString summary;
        CameraCalibParamsMap results;
        QObject::connect(
            &thread, &CSfMCalibrationThread::signalCalibrationProgress, &thread,
            [&](int, QString info) {
                if (info.endsWith(QStringLiteral(" 完成"))) {
                    doneMs << timer.elapsed();
                    doneBands << info;
                }
            },
            Qt::DirectConnection);
        QObject::connect(
            &thread, &CSfMCalibrationThread::signalCalibrationFinished, &thread,
            [&](bool, QString s, CameraCalibParamsMap m) {
                summary = s;
                results = m;
            },
            Qt::DirectConnection);
        const double cpu0 = processCpuSeconds();
        timer.start();
        thread.start();
        thread.wait();
        const double total = timer.elapsed() / 1000.0;
        const double cpu = processCpuSeconds() - cpu0;
        std::printf(
            "\ncalibration thread over the flight: %.2f s wall, %.2f s CPU (%.2f s CPU per band), %s\n",
            total, cpu, doneMs.isEmpty() ? 0.0 : cpu / doneMs.size(), qPrintable(summary));
        for (int i = 0; i < doneMs.size(); ++i)
            std::printf("  %s: %.2f s\n", qPrintable(doneBands[i]),
                        (doneMs[i] - (i > 0 ? doneMs[i - 1] : 0)) / 1000.0);
        std::printf("  mean per band %.2f s (target < 20 s)\n",
                    doneMs.isEmpty() ? 0.0 : total / doneMs.size());
    }
    return 0;
}
