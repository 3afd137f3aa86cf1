// Speed of one radiometric task on a 1280 x 960 raw band: the conversion alone and the whole task
// (read, calibration, conversion, byte-copy write, undistortion with metadata copy).
#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtGlobal>

#include "handle_data_operation.h"
#include "radiometric_conversion.h"
#include "raw_tiff.h"
#include "sample_flight.h"

using namespace refl;

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

void BM_ConvertPixels(benchmark::State& state) {
    const size_t n = 1280 * 960;
    std::vector<uint16_t> raw(n), out(n);
    std::vector<double> map(n);
    for (size_t i = 0; i < n; ++i) {
        raw[i] = static_cast<uint16_t>(4000 + (i * 37) % 20000);
        map[i] = 2e-4 / (1.0 + 1e-7 * double(i % 1280) * double(i % 1280));
    }
    RadiometricCalibration c;
    c.darkLevel = 4096;
    c.exposure = 2;
    c.c1 = 0.8;
    c.gain = 2;
    c.c2 = 0.05;
    const ConversionMode mode{state.range(0) != 0, 0.25, 0.6};
    for (auto _ : state) {
        convertPixels(raw.data(), c, map.data(), n, mode, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(mode.reflectance ? "reflectance" : "radiance");
}
BENCHMARK(BM_ConvertPixels)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One generated six-band flight (newer layout, 1280 x 960) shared by the task benchmarks.
struct Flight {
    QTemporaryDir dir;
    reflsample::FlightTruth truth;
    QVector<RadiometricCalibration> records;
    std::vector<VignettingMap> maps;
    bool ok = false;

    Flight() {
        reflsample::SampleOptions opt;
        opt.cameraType = 0;
        opt.layout = reflsample::RawLayout::VTwo;
        opt.captures = 2;
        opt.writeJpg = false;
        opt.writeOldPanel = false;
        if (!reflsample::generateSampleFlight(dir.path(), opt, &truth)) return;
        for (const auto& c : truth.captures) {
            if (c.kind != "panel-new") continue;
            for (const QString& f : c.files) {
                RadiometricCalibration r;
                RawTiffLayout l;
                std::vector<uint16_t> px;
                QByteArray xmp;
                if (!readTIF(RawTiffReader::Panel, dir.filePath(f), {0, 1280, 960, "Quorvin"}, l, px, xmp, r)) return;
                bool keyed = false;
                if (readXmpNodeValueVerTwo(CalibrationReader::Panel, xmp, r, &keyed) != 0) return;
                records << r;
            }
        }
        ok = buildVignettingMaps(records, 1280, 960, 6, false, maps);
        QDir().mkpath(dir.filePath("out"));
    }
};

Flight& flight() {
    static Flight f;
    return f;
}

void runTask(bool lens) {
    Flight& f = flight();
    CHandleDataOperation task;
    task.setAutoDelete(false);
    RadiometricTaskOptions& o = task.options;
    o.inputPath = f.dir.filePath(f.truth.captures[0].files[2]);
    o.outputDir = f.dir.filePath("out");
    o.calibration = f.records[2];
    o.vignettingMap = &f.maps[2];
    o.cameraType = 0;
    o.width = 1280;
    o.height = 960;
    o.skipLensCorrection = !lens;
    task.run();
}

void BM_WholeTask(benchmark::State& state) {
    if (!flight().ok) {
        state.SkipWithError("sample flight could not be generated");
        return;
    }
    for (auto _ : state) runTask(state.range(0) != 0);
    state.SetLabel(state.range(0) ? "with lens correction" : "without lens correction");
}
BENCHMARK(BM_WholeTask)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(quiet);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
