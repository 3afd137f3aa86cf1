// Speed of the band registration on 1280x960 images with one OpenCV thread: RIFT2 extraction (with
// its stages), one ECC refinement, one whole pair attempt, and what the quality check adds per band
// (the measurement after warping, and the window refinement a poorly measured band gets).
//
//   registration_bench                 synthetic 1280x960 capture, band 0 onto the 660 nm band
//   registration_bench SRC REF [OUT]   two band files; with OUT, writes OUT (the warped SRC blended
//                                      with REF) for a visual check
//   registration_bench --flight DIR    every band pair of the converted flight in DIR as the
//                                      per-group mode registers it (default set, then the retry
//                                      sets), one pair after another: time of each pair (the
//                                      capture's reference band prepared beforehand, as the mode
//                                      shares it), median and worst
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "band_alignment.h"
#include "band_refine.h"
#include "ecc_refine.h"
#include "image_registration_thread.h"
#include "pair_registration.h"
#include "synthetic_bands.h"

using namespace refl;

namespace {

// Processor time of this process: with one OpenCV thread it is the work done, unaffected by other
// programs competing for the cores (the wall-clock time is printed at the end for comparison).
double cpuMs() { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

template <typename F>
double bestOf(int runs, F&& f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const double t0 = cpuMs();
        f();
        best = std::min(best, cpuMs() - t0);
    }
    return best;
}

cv::Mat toByte(const cv::Mat& image) {
    cv::Mat out;
    normalizeToUnitRange(image).convertTo(out, CV_8U, 255.0);
    return out;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const double x = p / 100.0 * double(v.size() - 1);
    const size_t i = size_t(x), j = std::min(v.size() - 1, i + 1);
    return v[i] + (v[j] - v[i]) * (x - double(i));
}

// The pairs of a whole converted flight, timed one by one.
int flightPairs(const QString& folder) {
    QStringList files;
    CImageRegistrationThread::scanTifFiles(folder, files);
    const QMap<QString, QStringList> groups = CImageRegistrationThread::groupByGroupNumber(files);
    if (groups.isEmpty()) {
        std::fprintf(stderr, "registration_bench: no band files in %s\n", qPrintable(folder));
        return 1;
    }
    std::printf("flight %s: %d captures, OpenCV threads %d, processor time per pair (reading excluded)\n",
                qPrintable(folder), int(groups.size()), cv::getNumThreads());
    std::vector<double> times, walls, refTimes;
    int failed = 0;
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        const QStringList& bands = it.value();
        if (bands.size() < 2) continue;
        const int r = CImageRegistrationThread::referenceIndex(bands);
        const cv::Mat ref = readBandImage(bands[r]);
        // The reference band is prepared once per capture (per-group mode shares it between the
        // capture's bands); the first preparation of a size also plans its transforms.
        ReferenceBandCache cache;
        const double refMs = bestOf(1, [&] { cache.get(bands[r], ref, defaultPairRegistrationParams()); });
        refTimes.push_back(refMs);
        std::printf("%-28s %8.1f ms reference band prepared\n",
                    qPrintable(QFileInfo(bands[r]).completeBaseName()), refMs);
        for (int b = 0; b < bands.size(); ++b) {
            if (b == r) continue;
            const cv::Mat src = readBandImage(bands[b]);
            const QString tag = QFileInfo(bands[b]).completeBaseName();
            PairRegistrationResult result;
            QElapsedTimer wall;
            wall.start();
            const double ms = bestOf(
                1, [&] { result = pairregdetail::registerWithRetries(src, ref, tag, &cache, bands[r]); });
            const double wallMs = wall.nsecsElapsed() / 1e6;
            times.push_back(ms);
            walls.push_back(wallMs);
            if (!result.succeeded()) ++failed;
            std::printf("%-28s %8.1f ms (wall %8.1f) inliers %5d finalMed %.3f ecc %s %s", qPrintable(tag),
                        ms, wallMs, result.inliers, result.finalMedianError, qPrintable(result.status),
                        qPrintable(result.method));
            for (const EccCandidateRecord& c : result.candidates)
                std::printf(" | %s %s corr %.4f it %d+%d", c.name == "wallis" ? "W" : "PC",
                            qPrintable(c.verdict), c.correlation, c.reducedIterations, c.fullSizeIterations);
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    std::printf(
        "%zu pairs, %d failed: median %.1f ms, p90 %.1f ms, worst %.1f ms, total %.1f s (wall median %.1f "
        "ms, "
        "worst %.1f ms)\n",
        times.size(), failed, percentile(times, 50), percentile(times, 90), percentile(times, 100),
        std::accumulate(times.begin(), times.end(), 0.0) / 1000.0, percentile(walls, 50),
        percentile(walls, 100));
    std::printf("reference bands: median %.1f ms, worst %.1f ms (once per capture)\n",
                percentile(refTimes, 50), percentile(refTimes, 100));
    return failed ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    cv::setNumThreads(1);
    if (argc == 3 && QString::fromLocal8Bit(argv[1]) == "--flight")
        return flightPairs(QString::fromLocal8Bit(argv[2]));
    cv::Mat src, ref, truth;
    if (argc >= 3) {
        src =
            cv::imread(QFile::encodeName(QString::fromLocal8Bit(argv[1])).toStdString(), cv::IMREAD_ANYDEPTH);
        ref =
            cv::imread(QFile::encodeName(QString::fromLocal8Bit(argv[2])).toStdString(), cv::IMREAD_ANYDEPTH);
        if (src.empty() || ref.empty()) {
            std::fprintf(stderr, "registration_bench: unable to read the images\n");
            return 1;
        }
    } else {
        const SyntheticCapture cap = makeSyntheticCapture(3, cv::Size(1280, 960));
        src = cap.bands[0];
        ref = cap.bands[cap.referenceIndex];
        truth = cap.trueRefFromBand[0];
    }
    std::printf("image %dx%d, OpenCV threads %d, times are processor time, best of 3\n", src.cols, src.rows,
                cv::getNumThreads());
    const PairRegistrationParams p = defaultPairRegistrationParams();
    const cv::Mat wallis = applyWallisFilter(src, p.wallisWindow, 0.5, 0.22, 0.82, 0.9);
    const cv::Mat wallisRef = applyWallisFilter(ref, p.wallisWindow, 0.5, 0.22, 0.82, 0.9);

    const double coldMs = bestOf(1, [&] {
        extractRift2(wallis, p.maxFeatures, p.orientations, p.scales, p.patchSize, p.secondaryRatio);
    });
    const int runs = 3;
    const double wallisMs =
        bestOf(runs, [&] { applyWallisFilter(src, p.wallisWindow, 0.5, 0.22, 0.82, 0.9); });
    PhaseCongruencyMaps pc;
    const double pcMs = bestOf(runs, [&] {
        pc = computePhaseCongruency(wallis, p.orientations, p.scales, kRiftMinWavelength,
                                    kRiftScaleMultiplier, kRiftSigmaOnf, kRiftNoiseK);
    });
    cv::Mat kps;
    const double detectMs = bestOf(
        runs, [&] { kps = detectRiftKeypoints(pc.maxMoment, pc.minMoment, p.maxFeatures, p.patchSize); });
    cv::Mat desc, index;
    const double describeMs = bestOf(runs, [&] {
        describeRift2(kps, pc.maxIndex, pc.maxAmplitude, p.orientations, p.patchSize, p.secondaryRatio, desc,
                      index);
    });
    Rift2Features fs, fr;
    const double extractMs = bestOf(runs, [&] {
        fs = extractRift2(wallis, p.maxFeatures, p.orientations, p.scales, p.patchSize, p.secondaryRatio);
    });
    fr = extractRift2(wallisRef, p.maxFeatures, p.orientations, p.scales, p.patchSize, p.secondaryRatio);
    cv::Mat sp, rp;
    std::vector<float> dist;
    const double matchMs = bestOf(runs, [&] { matchMutual(fs, fr, p.loweRatio, sp, rp, dist); });
    cv::Mat mask, magsacRefFromSrc;
    const double magsacMs = bestOf(runs, [&] {
        magsacRefFromSrc =
            cv::findHomography(sp, rp, cv::USAC_MAGSAC, p.magsacThreshold, mask, 20000, 0.9999);
    });
    // One ECC refinement per candidate, started from the MAGSAC++ homography.
    auto eccOf = [&](const cv::Mat& a, const cv::Mat& b) {
        if (magsacRefFromSrc.empty()) return std::string("no homography");
        cv::Matx33d start;
        for (int i = 0; i < 9; ++i) start.val[i] = magsacRefFromSrc.at<double>(i / 3, i % 3);
        EccRefineResult r;
        const double ms = bestOf(1, [&] { r = refineHomographyEcc(a, b, start); });
        char text[160];
        std::snprintf(text, sizeof text, "%8.1f ms (%d reduced + %d full-size iterations, corr %.4f%s)", ms,
                      r.reducedIterations, r.fullSizeIterations, r.correlation,
                      r.ok ? "" : (", failed: " + r.error.toStdString()).c_str());
        return std::string(text);
    };
    auto unitByte = [](const cv::Mat& map) {
        cv::Mat out;
        normalizeToByte(map).convertTo(out, CV_32F, 1.0 / 255.0);
        return out;
    };
    const std::string eccW = eccOf(wallis, wallisRef);
    const std::string eccPc = eccOf(unitByte(fs.maximumMoment), unitByte(fr.maximumMoment));
    PairRegistrationResult result;
    QElapsedTimer wall;
    wall.start();
    const double pairMs = bestOf(1, [&] { result = estimatePairRegistration(src, ref, "bench", p); });
    const double pairWallMs = wall.nsecsElapsed() / 1e6;

    std::printf("applyWallisFilter            %8.1f ms\n", wallisMs);
    std::printf("  phase congruency           %8.1f ms\n", pcMs);
    std::printf("  detectRiftKeypoints        %8.1f ms (%d keypoints)\n", detectMs, kps.rows);
    std::printf("  describeRift2              %8.1f ms (%d descriptors)\n", describeMs, desc.rows);
    std::printf("extractRift2                 %8.1f ms (first call for this size %.1f ms)\n", extractMs,
                coldMs);
    std::printf("matchMutual                  %8.1f ms (%d matches)\n", matchMs, sp.rows);
    std::printf("findHomography USAC_MAGSAC   %8.1f ms\n", magsacMs);
    std::printf("ECC, wallis candidate        %s\n", eccW.c_str());
    std::printf("ECC, maximum-moment candidate%s\n", eccPc.c_str());
    std::printf("estimatePairRegistration     %8.1f ms (wall clock %.1f ms)\n", pairMs, pairWallMs);
    std::printf("result ok=%d inliers=%d homMed=%.3f finalMed=%.3f ecc=%s method=%s\n", result.ok,
                result.inliers, result.homographyMedianError, result.finalMedianError,
                result.status.toUtf8().constData(), result.method.toUtf8().constData());
    for (const EccCandidateRecord& c : result.candidates)
        std::printf("  candidate %s: %s corr=%.4f med=%.3f %s\n", c.name.toUtf8().constData(),
                    c.verdict.toUtf8().constData(), c.correlation, c.medianError,
                    c.note.toUtf8().constData());
    if (result.succeeded()) {
        const double* w = result.refFromSrc.ptr<double>();
        std::printf("final warp: %.6f %.6f %.3f / %.6f %.6f %.3f / %.3g %.3g %.1f\n", w[0], w[1], w[2], w[3],
                    w[4], w[5], w[6], w[7], w[8]);
    }
    if (!truth.empty() && result.succeeded()) {
        const std::vector<double> e = cornerErrors(result.refFromSrc, truth, src.size());
        std::printf("corner errors vs truth: %.3f %.3f %.3f %.3f px\n", e[0], e[1], e[2], e[3]);
    }
    if (result.succeeded()) {
        cv::Matx33d refFromSrc;
        for (int i = 0; i < 9; ++i) refFromSrc.val[i] = result.refFromSrc.at<double>(i / 3, i % 3);
        BandQuality q;
        const double measureMs = bestOf(
            runs, [&] { q = measureBandQuality(ref, warpOntoReference(src, refFromSrc, ref.size())); });
        // A start 2.5 px off, as a consensus of other captures would be.
        const cv::Matx33d off = cv::Matx33d(1, 0, 2.0, 0, 1, -1.5, 0, 0, 1) * refFromSrc;
        WindowRefineResult refined;
        const double refineMs = bestOf(runs, [&] { refined = refineByWindowShifts(ref, src, off); });
        std::printf("quality measure (warp + windows)%6.1f ms (%d of %d windows, median %.3f px, %s)\n", measureMs,
                    q.windows, q.gridWindows, q.median, q.measured ? "measured" : "cannot tell");
        std::printf("window refinement from 2.5 px%7.1f ms (%d rounds, median %.3f px)\n", refineMs, refined.rounds,
                    refined.quality.median);
        std::printf("added per band: measure %.1f%% of the pair, measure + refinement %.1f%%\n",
                    100.0 * measureMs / pairMs, 100.0 * (measureMs + refineMs) / pairMs);
    }
    if (argc >= 4 && result.succeeded()) {
        cv::Mat warped;
        cv::warpPerspective(toByte(src), warped, result.refFromSrc, ref.size());
        std::vector<cv::Mat> planes = {toByte(ref), warped, toByte(ref)};
        cv::Mat blend;
        cv::merge(planes, blend);  // ref in magenta, warped src in green
        cv::imwrite(QFile::encodeName(QString::fromLocal8Bit(argv[3])).toStdString(), blend);
    }
    return result.succeeded() ? 0 : 2;
}
