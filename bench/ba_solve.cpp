// ba-solve [--points N] [--threads N] [--max-evaluations N] [--reference-weighting]
//          [--dump FILE] [--repeat N] [--faithful]
// Times the bundle adjustment on a synthetic 5-view scene of the calibration's size
// (prior 3 % off in focal length, 20 px off in principal point, no distortion) and prints
// one JSON line per run. --dump writes the problem for ba_scipy.py. --faithful: LSMR steps
// (SciPy's method) instead of the default exact Schur-complement steps.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <cmath>
#include <cstdio>

#include "ba_arrays.h"
#include "ba_scene.h"

using namespace refl;

namespace {

QJsonArray vec3Array(const std::vector<Vec3>& v) {
    QJsonArray a;
    for (const Vec3& e : v) a.append(QJsonArray{e[0], e[1], e[2]});
    return a;
}

bool dump(const BaInput& in, const QString& path) {
    QJsonObject o;
    o["prior"] = QJsonArray{in.fx, in.fy, in.cx, in.cy, in.k1, in.k2, in.p1, in.p2};
    o["width"] = in.width;
    o["height"] = in.height;
    o["view_a"] = in.viewA;
    o["view_b"] = in.viewB;
    o["rvecs"] = vec3Array(in.rvecs);
    o["tvecs"] = vec3Array(in.tvecs);
    o["points"] = vec3Array(in.points);
    QJsonArray obs;
    for (const BaObservation& b : in.observations) obs.append(QJsonArray{b.view, b.point, b.u, b.v});
    o["observations"] = obs;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "ba-solve: cannot write %s\n", qPrintable(path));
        return false;
    }
    return f.write(QJsonDocument(o).toJson(QJsonDocument::Compact)) > 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int points = 700, threads = 2, maxEvaluations = 120, repeat = 1;
    bool referenceWeighting = false, faithful = false;
    QString dumpPath;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--points") && i + 1 < args.size())
            points = std::max(10, args[++i].toInt());
        else if (a == QLatin1String("--threads") && i + 1 < args.size())
            threads = std::max(1, args[++i].toInt());
        else if (a == QLatin1String("--max-evaluations") && i + 1 < args.size())
            maxEvaluations = std::max(1, args[++i].toInt());
        else if (a == QLatin1String("--repeat") && i + 1 < args.size())
            repeat = std::max(1, args[++i].toInt());
        else if (a == QLatin1String("--reference-weighting"))
            referenceWeighting = true;
        else if (a == QLatin1String("--faithful"))
            faithful = true;
        else if (a == QLatin1String("--dump") && i + 1 < args.size())
            dumpPath = args[++i];
        else {
            std::fprintf(stderr,
                         "usage: ba-solve [--points N] [--threads N] [--max-evaluations N] "
                         "[--reference-weighting] [--dump FILE] [--repeat N] [--faithful]\n");
            return 2;
        }
    }
    const SceneCamera truth;
    SceneCamera prior = truth;
    prior.fx = prior.fy = truth.fx * 1.03;
    prior.cx = truth.cx + 20;
    prior.cy = truth.cy - 20;
    prior.k1 = prior.k2 = 0;
    BaInput in = makeCalibrationScene(truth, prior, points);
    in.reweightOutliers = !referenceWeighting;
    if (!dumpPath.isEmpty() && !dump(in, dumpPath)) return 1;
    for (int run = 0; run < repeat; ++run) {
        BaOutput out;
        QElapsedTimer timer;
        timer.start();
        const bool accepted = bundleAdjustArrays(in, maxEvaluations, {}, out, threads,
                                                 faithful ? TrfStepSolver::Lsmr : TrfStepSolver::Schur);
        const double seconds = timer.nsecsElapsed() * 1e-9;
        std::printf(
            "{\"program\": \"ba-solve\", \"step_solver\": \"%s\", \"points\": %d, \"observations\": %d, "
            "\"threads\": %d, "
            "\"weighting\": \"%s\", \"initial_cost\": %.8f, \"final_cost\": %.8f, \"nfev\": %d, "
            "\"status\": %d, \"accepted\": %s, \"initial_rms\": %.4f, \"final_rms\": %.4f, "
            "\"fx_error\": [%.3f, %.3f], \"cx_error\": [%.3f, %.3f], \"cy_error\": [%.3f, %.3f], "
            "\"k1_error\": [%.4f, %.4f], \"seconds\": %.3f}\n",
            faithful ? "lsmr" : "schur", points, int(in.observations.size()), threads, referenceWeighting ? "reference" : "sqrt-rho1",
            out.solver.initialCost, out.solver.finalCost, out.solver.evaluations, int(out.solver.termination),
            accepted ? "true" : "false", out.initialRms, out.finalRms, std::fabs(prior.fx - truth.fx),
            std::fabs(out.fx - truth.fx), std::fabs(prior.cx - truth.cx), std::fabs(out.cx - truth.cx),
            std::fabs(prior.cy - truth.cy), std::fabs(out.cy - truth.cy), std::fabs(prior.k1 - truth.k1),
            std::fabs(out.distortion[0] - truth.k1), seconds);
        std::fflush(stdout);
    }
    return 0;
}
