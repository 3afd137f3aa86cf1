// band-alignment MERGED.tif [REF_INDEX] [PICTURE.png [R G B]]
// band-alignment --bands REF.tif BAND.tif ...   (single-band files of one capture, first is the reference)
// Prints the residual shift of every band against the reference band, measured over a grid of
// windows by phase correlation of gradient images, and optionally writes a false-colour picture.
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>

#include "band_alignment.h"
#include "merge_bands.h"

using namespace refl;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
        std::fprintf(stderr, "%s\n", m.toLocal8Bit().constData());
    });
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr,
                     "usage: band-alignment MERGED.tif [REF_INDEX] [PICTURE.png [R G B]]\n"
                     "       band-alignment --bands REF.tif BAND.tif ...\n");
        return 2;
    }
    std::vector<cv::Mat> bands;
    int ref = 0;
    QString picture;
    int rgb[3] = {3, 2, 1};
    if (args[0] == "--bands") {
        for (const QString& f : args.mid(1)) {
            const auto one = readMergedBands(f);
            if (one.empty()) return 1;
            bands.push_back(one[0]);
        }
    } else {
        bands = readMergedBands(args[0]);
        ref = args.value(1, "-1").toInt();
        if (ref < 0) ref = int(bands.size()) / 2;
        picture = args.value(2);
        for (int i = 0; i < 3; ++i) rgb[i] = args.value(3 + i, QString::number(rgb[i])).toInt();
    }
    if (bands.size() < 2) {
        std::fprintf(stderr, "band-alignment: fewer than two bands\n");
        return 1;
    }
    for (int b = 0; b < int(bands.size()); ++b) {
        if (b == ref) continue;
        const auto samples = measureBandShifts(bands[size_t(ref)], bands[size_t(b)]);
        double mx = 0;
        for (const auto& s : samples) mx = std::max(mx, std::hypot(s.shift.x, s.shift.y));
        std::printf("band %d vs reference band %d: %zu windows, median shift %.3f px, largest %.3f px\n",
                    b + 1, ref + 1, samples.size(), medianShift(samples), mx);
    }
    if (!picture.isEmpty()) {
        const int n = int(bands.size());
        for (int& c : rgb) c = std::clamp(c, 0, n - 1);
        if (!cv::imwrite(picture.toStdString(),
                         falseColour(bands[size_t(rgb[0])], bands[size_t(rgb[1])], bands[size_t(rgb[2])])))
            return 1;
        std::printf("false-colour picture: %s (bands %d %d %d as red green blue)\n", qPrintable(picture),
                    rgb[0] + 1, rgb[1] + 1, rgb[2] + 1);
    }
    return 0;
}
