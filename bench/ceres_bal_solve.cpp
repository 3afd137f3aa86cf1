// ceres-bal-solve FILE [--loss linear|huber] [--threads N] [--linear-solver sparse_schur|dense_schur]
//                 [--ftol F]
// The same "Bundle Adjustment in the Large" problem as bal-solve, solved by Ceres Solver for
// comparison: automatic derivatives, Levenberg-Marquardt with a Schur-complement linear solver,
// function tolerance 1e-4 as bal-solve's ftol. One JSON line in bal-solve's format. Built only
// when Ceres is installed.
#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <algorithm>
#include <cstdio>

#include "bal_problem.h"

namespace {

// The BAL camera model of balProject(), templated for automatic derivatives.
struct BalReprojection {
    double ox, oy;
    template <typename T>
    bool operator()(const T* camera, const T* point, T* residual) const {
        T p[3];
        ceres::AngleAxisRotatePoint(camera, point, p);
        p[0] += camera[3];
        p[1] += camera[4];
        p[2] += camera[5];
        const T x = -p[0] / p[2], y = -p[1] / p[2];
        const T r2 = x * x + y * y;
        const T radial = T(1.0) + r2 * (camera[7] + camera[8] * r2);
        residual[0] = camera[6] * radial * x - T(ox);
        residual[1] = camera[6] * radial * y - T(oy);
        return true;
    }
};

void usage() {
    std::fprintf(stderr,
                 "usage: ceres-bal-solve FILE [--loss linear|huber] [--threads N] "
                 "[--linear-solver sparse_schur|dense_schur] [--ftol F]\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString file, loss = QStringLiteral("linear"), linearSolver = QStringLiteral("sparse_schur");
    int threads = 2;
    double ftol = 1e-4;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--loss") && i + 1 < args.size())
            loss = args[++i];
        else if (a == QLatin1String("--threads") && i + 1 < args.size())
            threads = std::max(1, args[++i].toInt());
        else if (a == QLatin1String("--linear-solver") && i + 1 < args.size())
            linearSolver = args[++i];
        else if (a == QLatin1String("--ftol") && i + 1 < args.size())
            ftol = args[++i].toDouble();
        else if (file.isEmpty() && !a.startsWith(QLatin1String("--")))
            file = a;
        else {
            usage();
            return 2;
        }
    }
    if (file.isEmpty() || (loss != QLatin1String("linear") && loss != QLatin1String("huber")) ||
        (linearSolver != QLatin1String("sparse_schur") && linearSolver != QLatin1String("dense_schur")) ||
        !(ftol > 0)) {
        usage();
        return 2;
    }
    BalProblem bal;
    if (!readBalProblem(file, bal)) return 1;

    std::vector<double> x = bal.parameters;
    ceres::Problem problem;
    for (int k = 0; k < bal.observationCount(); ++k) {
        auto* cost = new ceres::AutoDiffCostFunction<BalReprojection, 2, 9, 3>(
            new BalReprojection{bal.observed[2 * k], bal.observed[2 * k + 1]});
        // SciPy's and bal-solve's Huber loss: rho(s) = s for s <= 1, 2 sqrt(s) - 1 beyond.
        ceres::LossFunction* lossFunction = loss == QLatin1String("huber") ? new ceres::HuberLoss(1.0) : nullptr;
        problem.AddResidualBlock(cost, lossFunction, x.data() + 9 * bal.obsCamera[k],
                                 x.data() + 9 * bal.cameraCount + 3 * bal.obsPoint[k]);
    }
    ceres::Solver::Options options;
    options.linear_solver_type =
        linearSolver == QLatin1String("dense_schur") ? ceres::DENSE_SCHUR : ceres::SPARSE_SCHUR;
    options.num_threads = threads;
    options.function_tolerance = ftol;
    options.max_num_iterations = 100;
    options.logging_type = ceres::SILENT;

    QElapsedTimer timer;
    timer.start();
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    const double seconds = timer.nsecsElapsed() * 1e-9;
    std::printf(
        "{\"program\": \"ceres-bal-solve\", \"cameras\": %d, \"points\": %d, \"observations\": %d, "
        "\"loss\": \"%s\", \"threads\": %d, \"linear_solver\": \"%s\", \"initial_cost\": %.8f, "
        "\"final_cost\": %.8f, \"iterations\": %d, \"termination\": \"%s\", \"seconds\": %.3f}\n",
        bal.cameraCount, bal.pointCount, bal.observationCount(), loss.toUtf8().constData(), threads,
        linearSolver.toUtf8().constData(), summary.initial_cost, summary.final_cost,
        int(summary.iterations.size()), ceres::TerminationTypeToString(summary.termination_type), seconds);
    return summary.IsSolutionUsable() ? 0 : 1;
}
