// bal-solve FILE [--loss linear|huber] [--threads N] [--repeat N] [--faithful]
// Solves a "Bundle Adjustment in the Large" problem with the bounded least-squares solver
// (forward differences over the declared sparsity, Jacobian scaling, ftol 1e-4) and prints
// one JSON line per run. --faithful: LSMR steps, SciPy's method iterate for iterate, instead of
// the default exact Schur-complement steps.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <algorithm>
#include <cstdio>

#include "bal_problem.h"
#include "trf_solver.h"

using namespace refl;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString file, loss = QStringLiteral("linear");
    int threads = 2, repeat = 1;
    bool faithful = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--loss") && i + 1 < args.size())
            loss = args[++i];
        else if (a == QLatin1String("--threads") && i + 1 < args.size())
            threads = std::max(1, args[++i].toInt());
        else if (a == QLatin1String("--repeat") && i + 1 < args.size())
            repeat = std::max(1, args[++i].toInt());
        else if (a == QLatin1String("--faithful"))
            faithful = true;
        else if (file.isEmpty() && !a.startsWith(QLatin1String("--")))
            file = a;
        else {
            std::fprintf(stderr, "usage: bal-solve FILE [--loss linear|huber] [--threads N] [--repeat N] [--faithful]\n");
            return 2;
        }
    }
    if (file.isEmpty() || (loss != QLatin1String("linear") && loss != QLatin1String("huber"))) {
        std::fprintf(stderr, "usage: bal-solve FILE [--loss linear|huber] [--threads N] [--repeat N] [--faithful]\n");
        return 2;
    }

    BalProblem bal;
    if (!readBalProblem(file, bal)) return 1;

    refl::TrfProblem problem;
    problem.residualCount = bal.residualCount();
    problem.residuals = [&bal](const double* x, double* r) { bal.residuals(x, r); };
    problem.columnRows = bal.columnRows();

    refl::TrfOptions options;
    options.ftol = 1e-4;
    options.threads = threads;
    options.stepSolver = faithful ? refl::TrfStepSolver::Lsmr : refl::TrfStepSolver::Schur;
    if (loss == QLatin1String("huber")) options.loss.kind = refl::LossKind::Huber;

    for (int run = 0; run < repeat; ++run) {
        QElapsedTimer timer;
        timer.start();
        const refl::TrfResult r = refl::solveTrf(problem, bal.parameters, options);
        const double seconds = timer.nsecsElapsed() * 1e-9;
        std::printf(
            "{\"program\": \"bal-solve\", \"cameras\": %d, \"points\": %d, \"observations\": %d, "
            "\"loss\": \"%s\", \"threads\": %d, \"step_solver\": \"%s\", \"initial_cost\": %.8f, \"final_cost\": %.8f, "
            "\"nfev\": %d, \"njev\": %d, \"optimality\": %.6g, \"status\": %d, "
            "\"termination\": \"%s\", \"seconds\": %.3f}\n",
            bal.cameraCount, bal.pointCount, bal.observationCount(), loss.toUtf8().constData(), threads,
            faithful ? "lsmr" : "schur", r.initialCost, r.finalCost, r.evaluations, r.jacobianEvaluations, r.optimality,
            int(r.termination), refl::terminationName(r.termination), seconds);
        std::fflush(stdout);
        if (r.termination == refl::TrfTermination::InvalidInput) return 1;
    }
    return 0;
}
