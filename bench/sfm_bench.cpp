// Self-calibration stages on a generated 1280 x 960 flight of 5 captures (one band): SIFT per image,
// matching and geometry of the 10 pairs, tracks, and the reconstruction with the track selection.
//
//   sfm_bench [--band=840] [benchmark options]
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <iostream>
#include <opencv2/imgcodecs.hpp>

#include "calib_params.h"
#include "sample_flight.h"
#include "contrast_stretch.h"
#include "sfm_features.h"
#include "sfm_prior.h"
#include "sfm_reconstruction.h"
#include "sfm_selection.h"
#include "sfm_tracks.h"

using namespace refl;

namespace {

int gBandNm = 840;

struct Data {
    QTemporaryDir dir;
    std::vector<cv::Mat> images;
    CameraPrior prior;
    std::vector<ImageFeatures> features;
    std::vector<PairGeometry> pairs;
    std::vector<FeatureTrack> tracks;
    bool ok = false;
};

Data& data() {
    static Data* d = [] {
        auto* x = new Data;
        reflsample::SampleOptions o;  // type 0: 1280 x 960
        o.captures = 5;
        o.writeNewPanel = false;
        o.writeOldPanel = false;
        o.writeJpg = false;
        reflsample::FlightTruth truth;
        if (!reflsample::generateSampleFlight(x->dir.path(), o, &truth)) return x;
        int band = -1;
        for (int b = 0; b < truth.bands.size(); ++b)
            if (truth.bands[b].wavelengthNm == gBandNm) band = b;
        if (band < 0) return x;
        QStringList files;
        for (const auto& c : truth.captures)
            if (c.kind == "flight") files << QDir(x->dir.path()).filePath(c.files[band]);
        for (const QString& f : files)
            x->images.push_back(cv::imread(QFile::encodeName(f).toStdString(), cv::IMREAD_UNCHANGED));
        if (!cameraPriorFromMetadata(files[0], truth.camera.xmpPixelSizeUm, truth.camera.focalMm, &x->prior))
            return x;
        const SfMParamGroup g = defaultSfmParamGroup();
        for (const cv::Mat& img : x->images) x->features.push_back(extractSift(img, g.maxFeatures));
        x->pairs = pairwiseGeometries(x->features, g.loweRatio, g.magsacThreshold);
        x->tracks = buildFeatureTracks(x->pairs);
        x->ok = x->images.size() == 5;
        std::cout << "band " << gBandNm << " nm, " << x->images[0].cols << " x " << x->images[0].rows
                  << ": keypoints";
        for (const auto& f : x->features) std::cout << " " << f.points.size();
        std::cout << "; pairs " << x->pairs.size() << ", inliers";
        for (const auto& p : x->pairs) std::cout << " " << p.i << "-" << p.j << ":" << p.inlierCount;
        std::cout << "; tracks " << x->tracks.size() << std::endl;
        return x;
    }();
    return *d;
}

void BM_Stretch(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    for (auto _ : st) benchmark::DoNotOptimize(stretchToGray8(d.images[0]));
}

void BM_ExtractSiftPerImage(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    size_t k = 0;
    for (auto _ : st) benchmark::DoNotOptimize(extractSift(d.images[k++ % d.images.size()], 4500));
}

void BM_MutualMatchOnePair(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    for (auto _ : st)
        benchmark::DoNotOptimize(
            mutualRatioMatches(d.features[0].descriptors, d.features[1].descriptors, 0.72));
}

void BM_FundamentalOnePair(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    const auto m = mutualRatioMatches(d.features[0].descriptors, d.features[1].descriptors, 0.72);
    std::vector<cv::DMatch> inl;
    for (auto _ : st) benchmark::DoNotOptimize(verifyPairMatches(d.features[0], d.features[1], m, 2.0, &inl));
    st.counters["matches"] = double(m.size());
}

void BM_PairwiseGeometries10Pairs(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    for (auto _ : st) benchmark::DoNotOptimize(pairwiseGeometries(d.features, 0.72, 2.0));
}

// The same on one thread, to show what running the pairs side by side gains.
void BM_PairwiseGeometriesOneThread(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    for (auto _ : st) benchmark::DoNotOptimize(pairwiseGeometries(d.features, 0.72, 2.0));
    cv::setNumThreads(threads);
}

void BM_BuildFeatureTracks(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    for (auto _ : st) benchmark::DoNotOptimize(buildFeatureTracks(d.pairs));
}

void BM_ReconstructionAndSelection(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    size_t selected = 0, triangulated = 0;
    for (auto _ : st) {
        int a, b;
        cv::Matx33d R;
        cv::Vec3d t;
        if (!initialPairPose(d.pairs, d.features, d.prior.K, d.prior.D, 2.0, &a, &b, &R, &t))
            return st.SkipWithError("initial pair failed");
        SfmReconstruction rec;
        if (!incrementalSfm(d.tracks, d.features, d.prior.K, d.prior.D, a, b, R, t, 2.0, &rec))
            return st.SkipWithError("reconstruction failed");
        const auto ids =
            selectAdjustmentTracks(d.tracks, rec.points, rec.triangulatedTracks, d.features, rec.poses,
                                   d.prior.K, d.prior.D, 700, d.prior.width, d.prior.height);
        selected = ids.size();
        triangulated = rec.triangulatedTracks.size();
    }
    st.counters["triangulated"] = double(triangulated);
    st.counters["selected"] = double(selected);
}

void BM_InitialPairPose(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    for (auto _ : st) {
        int a, b;
        cv::Matx33d R;
        cv::Vec3d t;
        benchmark::DoNotOptimize(
            initialPairPose(d.pairs, d.features, d.prior.K, d.prior.D, 2.0, &a, &b, &R, &t));
    }
}

void BM_SelectAdjustmentTracks(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    int a, b;
    cv::Matx33d R;
    cv::Vec3d t;
    SfmReconstruction rec;
    if (!initialPairPose(d.pairs, d.features, d.prior.K, d.prior.D, 2.0, &a, &b, &R, &t) ||
        !incrementalSfm(d.tracks, d.features, d.prior.K, d.prior.D, a, b, R, t, 2.0, &rec))
        return st.SkipWithError("reconstruction failed");
    for (auto _ : st)
        benchmark::DoNotOptimize(selectAdjustmentTracks(d.tracks, rec.points, rec.triangulatedTracks,
                                                        d.features, rec.poses, d.prior.K, d.prior.D, 700,
                                                        d.prior.width, d.prior.height));
}

void BM_WholeChain(benchmark::State& st) {
    Data& d = data();
    if (!d.ok) return st.SkipWithError("no flight");
    const SfMParamGroup g = defaultSfmParamGroup();
    for (auto _ : st) {
        std::vector<ImageFeatures> f;
        for (const cv::Mat& img : d.images) f.push_back(extractSift(img, g.maxFeatures));
        const auto pairs = pairwiseGeometries(f, g.loweRatio, g.magsacThreshold);
        const auto tracks = buildFeatureTracks(pairs);
        int a, b;
        cv::Matx33d R;
        cv::Vec3d t;
        SfmReconstruction rec;
        if (!initialPairPose(pairs, f, d.prior.K, d.prior.D, 2.0, &a, &b, &R, &t) ||
            !incrementalSfm(tracks, f, d.prior.K, d.prior.D, a, b, R, t, 2.0, &rec))
            return st.SkipWithError("reconstruction failed");
        benchmark::DoNotOptimize(selectAdjustmentTracks(tracks, rec.points, rec.triangulatedTracks, f,
                                                        rec.poses, d.prior.K, d.prior.D, g.limit,
                                                        d.prior.width, d.prior.height));
    }
}

}  // namespace

BENCHMARK(BM_Stretch)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ExtractSiftPerImage)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_MutualMatchOnePair)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_FundamentalOnePair)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PairwiseGeometries10Pairs)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PairwiseGeometriesOneThread)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_BuildFeatureTracks)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_InitialPairPose)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_SelectAdjustmentTracks)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_ReconstructionAndSelection)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_WholeChain)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--band=", 7) == 0) gBandNm = std::atoi(argv[i] + 7);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
