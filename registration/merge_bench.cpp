// Time of merging one 6-band 1280 x 960 capture into a tiled multi-band TIFF and writing its tags.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "exif_tags.h"
#include "merge_bands.h"
#include "raw_tiff_writer.h"
#include "xmp_packet.h"

using namespace refl;

namespace {

double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const int W = 1280, H = 960, repeats = 9;
    QTemporaryDir dir;
    QStringList bands, names;
    for (int b = 0; b < 6; ++b) {
        std::vector<quint16> px(size_t(W) * H);
        quint32 state = 12345u + b;
        for (auto& v : px) {
            state = state * 1664525u + 1013904223u;
            v = quint16(1 + (state >> 17));
        }
        reflsample::XmpContent x;
        x.serial = "CA2104A0173";
        x.relativeAltitude = 60;
        reflsample::RawBandFile f;
        f.layout = reflsample::RawLayout::Keyed;
        f.width = W;
        f.height = H;
        f.pixels = px.data();
        f.xmp = reflsample::buildXmpPacket(x);
        f.exif.make = "Quorvin";
        f.exif.latitude = 22.5;
        f.exif.longitude = 113.9;
        const QString path = dir.filePath(QString("IMG_0001_%1_Correct.tif").arg(b + 1));
        if (!reflsample::writeWholeFile(path, reflsample::buildRawBandTiff(f))) return 1;
        bands << path;
        names << QString::number(b + 1);
    }
    prepareGdalForRegistration();
    for (bool reflectance : {true, false}) {
        std::vector<double> wall, merge, cpu;
        for (int i = 0; i < repeats; ++i) {
            const QString out = dir.filePath("IMG_0001_Multi.tif");
            QElapsedTimer t;
            t.start();
            const double c0 = cpuSeconds();
            if (!mergeBandsToTif(bands, out, "IMG", names, reflectance)) return 1;
            merge.push_back(t.nsecsElapsed() / 1e9);
            if (!writeExifTags(out, bands[2], "IMG", names)) return 1;
            wall.push_back(t.nsecsElapsed() / 1e9);
            cpu.push_back(cpuSeconds() - c0);
        }
        std::sort(wall.begin(), wall.end());
        std::sort(merge.begin(), merge.end());
        std::sort(cpu.begin(), cpu.end());
        std::printf(
            "%s: merge + tags median %.3f s (min %.3f), merge alone median %.3f s, processor %.3f s\n",
            reflectance ? "Float32" : "UInt16 ", wall[repeats / 2], wall[0], merge[repeats / 2],
            cpu[repeats / 2]);
    }
    return 0;
}
