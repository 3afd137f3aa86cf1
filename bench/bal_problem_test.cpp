#include "bal_problem.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cmath>

#include "testing/log_capture.h"
#include "trf_solver.h"

using namespace refl;

namespace {

const QString kSmall = QStringLiteral(REFL_BENCH_TESTDATA "/bal_small.txt");

QJsonObject reference() {
    QFile f(QStringLiteral(REFL_BENCH_TESTDATA "/bal_small_reference.json"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

QString writeFile(const QTemporaryDir& dir, const char* name, const QByteArray& text) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return path;
}

}  // namespace

TEST(BalProblem, ProjectionFollowsTheBalCameraModel) {
    // No rotation, camera 10 units in front: P = X + t, p = -P[:2]/P[2].
    const double cam[9] = {0, 0, 0, 0, 0, -10, 500, 0.1, 0.01};
    const double X[3] = {1, 2, 0};
    double uv[2];
    balProject(cam, X, uv);
    const double px = 0.1, py = 0.2, n2 = px * px + py * py;
    const double r = 1 + 0.1 * n2 + 0.01 * n2 * n2;
    EXPECT_NEAR(uv[0], 500 * r * px, 1e-12);
    EXPECT_NEAR(uv[1], 500 * r * py, 1e-12);
    // A quarter turn about z maps (1, 2, 0) to (-2, 1, 0).
    const double rot[9] = {0, 0, M_PI / 2, 0, 0, -10, 1, 0, 0};
    balProject(rot, X, uv);
    EXPECT_NEAR(uv[0], -2 / 10.0, 1e-12);
    EXPECT_NEAR(uv[1], 1 / 10.0, 1e-12);
}

TEST(BalProblem, ReadsTheSmallProblemAndItsInitialCost) {
    BalProblem p;
    ASSERT_TRUE(readBalProblem(kSmall, p));
    EXPECT_EQ(p.cameraCount, 5);
    EXPECT_EQ(p.pointCount, 60);
    EXPECT_EQ(p.parameters.size(), 5u * 9 + 60u * 3);
    std::vector<double> r(p.residualCount());
    p.residuals(p.parameters.data(), r.data());
    double cost = 0;
    for (double v : r) cost += v * v;
    EXPECT_NEAR(0.5 * cost, reference().value("initial_cost_linear").toDouble(), 1e-9 * cost);
    // Every column of a camera touches its observations' two rows.
    const auto cols = p.columnRows();
    EXPECT_EQ(cols.size(), p.parameters.size());
    size_t cameraRows = 0;
    for (int c = 0; c < 5; ++c) cameraRows += cols[9 * c].size();
    EXPECT_EQ(cameraRows, size_t(p.residualCount()));
}

TEST(BalProblem, RejectsBrokenFiles) {
    QTemporaryDir dir;
    BalProblem p;
    EXPECT_FALSE(readBalProblem(dir.filePath("missing.txt"), p));
    EXPECT_FALSE(readBalProblem(writeFile(dir, "empty.txt", ""), p));
    EXPECT_FALSE(readBalProblem(writeFile(dir, "header.txt", "1 1 -3\n"), p));
    // Camera index out of range (with all twelve parameters, so that the file is long enough).
    {
        LogCapture log;
        const QByteArray parameters = QByteArray("1\n").repeated(12);
        EXPECT_FALSE(readBalProblem(writeFile(dir, "index.txt", "1 1 1\n2 0 1.0 2.0\n" + parameters), p));
        EXPECT_TRUE(log.contains("is out of range")) << log.all().toStdString();
    }
    // Too few parameters.
    EXPECT_FALSE(readBalProblem(writeFile(dir, "short.txt", "1 1 1\n0 0 1.0 2.0\n1\n2\n3\n"), p));
    // Non-finite value.
    QByteArray text = "1 1 1\n0 0 1.0 2.0\n";
    for (int i = 0; i < 12; ++i) text += i == 5 ? "nan\n" : "1\n";
    EXPECT_FALSE(readBalProblem(writeFile(dir, "nan.txt", text), p));
    text.replace("nan", "0.5");
    EXPECT_TRUE(readBalProblem(writeFile(dir, "good.txt", text), p));
}

// Found by fuzz_bal: a header whose counts the file cannot hold made the reader allocate gigabytes
// (and a count past the int range wrapped around) before reading a single observation.
TEST(BalProblem, RefusesHeadersTheFileCannotHold) {
    LogCapture log;
    BalProblem p;
    EXPECT_FALSE(readBalProblem(QStringLiteral(REFL_BENCH_TESTDATA "/fuzz_bal_oversized_header.txt"), p));
    EXPECT_TRUE(log.contains("readBalProblem: bad header")) << log.all().toStdString();
    QTemporaryDir dir;
    EXPECT_FALSE(readBalProblem(writeFile(dir, "big.txt", "1 1 199999999\n0 0 1 1\n"), p));
    EXPECT_TRUE(log.contains("more than the")) << log.all().toStdString();
    EXPECT_TRUE(p.observed.size() < 1000u);
    // Counts beyond the int range are refused, not wrapped to small ones.
    const QByteArray parameters = QByteArray("1\n").repeated(12);
    EXPECT_FALSE(readBalProblem(writeFile(dir, "wrap.txt", "4294967297 1 1\n0 0 1 1\n" + parameters), p));
    // The smallest well-formed file still passes the size check.
    EXPECT_TRUE(readBalProblem(writeFile(dir, "least.txt", "1 1 1\n0 0 1 1\n0\n0\n0\n0\n0\n0\n1\n0\n0\n0\n0\n1"), p));
}

TEST(BalProblem, SolverMatchesScipyOnTheSmallProblem) {
    BalProblem bal;
    ASSERT_TRUE(readBalProblem(kSmall, bal));
    refl::TrfProblem problem;
    problem.residualCount = bal.residualCount();
    problem.residuals = [&bal](const double* x, double* r) { bal.residuals(x, r); };
    problem.columnRows = bal.columnRows();
    const QJsonArray runs = reference().value("runs").toArray();
    ASSERT_FALSE(runs.isEmpty());
    for (const QJsonValue& v : runs) {
        const QJsonObject run = v.toObject();
        refl::TrfOptions opt;
        opt.ftol = run.value("ftol").toDouble();
        opt.threads = 2;
        opt.stepSolver = refl::TrfStepSolver::Lsmr;  // SciPy's method
        if (run.value("loss").toString() == "huber") opt.loss.kind = refl::LossKind::Huber;
        const refl::TrfResult r = refl::solveTrf(problem, bal.parameters, opt);
        const double cost = run.value("cost").toDouble();
        std::printf("%s: ours %s | scipy cost %.10g nfev %d status %d\n",
                    qPrintable(run.value("loss").toString()), qPrintable(r.summary()), cost,
                    run.value("nfev").toInt(), run.value("status").toInt());
        // A run ended by the cost test with ftol stops somewhere in the last few per cent of
        // a step whose reduction is below ftol * cost; along BAL's flat gauge directions the
        // two codes' rounding lands them at costs that differ by about that much.
        EXPECT_NEAR(r.finalCost, cost, std::max(1e-6, 10 * opt.ftol) * cost);
        EXPECT_EQ(int(r.termination), run.value("status").toInt());
        EXPECT_NEAR(r.evaluations, run.value("nfev").toInt(), 2);
    }
}
