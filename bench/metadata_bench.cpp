// Speed of the per-selection metadata work: six 1280 x 960 vignetting maps and one raw band read.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include "radiometric_calibration.h"
#include "raw_tiff.h"

using namespace refl;

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

QVector<RadiometricCalibration> sixBands() {
    QVector<RadiometricCalibration> records(6);
    for (int b = 0; b < 6; ++b) {
        RadiometricCalibration& r = records[b];
        r.a0 = 1e-4 * (b + 1);
        r.centreX = 640 + b;
        r.centreY = 480 - b;
        r.k0 = 1.0;
        r.k1 = 1e-4;
        r.k2 = -2e-7;
        r.k3 = 3e-10;
        r.k4 = -4e-13;
        r.k5 = 5e-16;
        r.k6 = -6e-19;
    }
    return records;
}

void BM_BuildVignettingMaps(benchmark::State& state) {
    const bool keyed = state.range(0) != 0;
    const QVector<RadiometricCalibration> records = sixBands();
    std::vector<VignettingMap> maps;
    for (auto _ : state) {
        buildVignettingMaps(records, 1280, 960, 6, keyed, maps);
        benchmark::DoNotOptimize(maps.data());
    }
    state.SetLabel(keyed ? "seven coefficients" : "six coefficients");
}
BENCHMARK(BM_BuildVignettingMaps)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same with new memory for every selection (page faults included).
void BM_BuildVignettingMapsFresh(benchmark::State& state) {
    const QVector<RadiometricCalibration> records = sixBands();
    for (auto _ : state) {
        std::vector<VignettingMap> maps;
        buildVignettingMaps(records, 1280, 960, 6, true, maps);
        benchmark::DoNotOptimize(maps.data());
    }
}
BENCHMARK(BM_BuildVignettingMapsFresh)->Unit(benchmark::kMillisecond);

// A six-band file of the newer layout: maker bytes at 266, XMP at 308, pixels after it.
QByteArray sixBandFile() {
    const uint32_t strip = 5400;
    QByteArray out(strip + sixband::kPixelBytes, '\0');
    auto put16 = [&](int at, uint16_t v) { out[at] = char(v & 0xFF); out[at + 1] = char(v >> 8); };
    auto put32 = [&](int at, uint32_t v) { for (int i = 0; i < 4; ++i) out[at + i] = char((v >> (8 * i)) & 0xFF); };
    out[0] = 'I';
    out[1] = 'I';
    put16(2, 42);
    put32(4, 8);
    put16(8, 3);
    const uint32_t entries[3][4] = {{273, 4, 1, strip}, {700, 1, 4000, 308}, {50714, 3, 1, 4096}};
    for (int i = 0; i < 3; ++i) {
        put16(10 + 12 * i, static_cast<uint16_t>(entries[i][0]));
        put16(12 + 12 * i, static_cast<uint16_t>(entries[i][1]));
        put32(14 + 12 * i, entries[i][2]);
        put32(18 + 12 * i, entries[i][3]);
    }
    out.replace(266, 7, "Quorvin");
    out.replace(308, 5, "<xmp>");
    return out;
}

void BM_ReadTif(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath("IMG_0000_1_450nm.tif");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(sixBandFile());
    f.close();
    RawTiffLayout layout;
    std::vector<uint16_t> pixels;
    QByteArray xmp;
    RadiometricCalibration record;
    const RawTiffCamera camera{0, 1280, 960, "Quorvin"};
    for (auto _ : state) {
        const bool ok = readTIF(RawTiffReader::Panel, path, camera, layout, pixels, xmp, record);
        if (!ok) state.SkipWithError("readTIF failed");
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(BM_ReadTif)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(quiet);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
