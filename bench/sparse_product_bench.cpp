// The fused Jacobian product of LSMR (u <- J x - alpha u, w <- J^T u) on the Jacobian of a
// "Bundle Adjustment in the Large" problem at its starting point, with one and two threads.
//
//   sparse_product_bench [--benchmark options]      the BAL file is taken from REFL_BAL_FILE, default
//                                                   data/bal/problem-49-7776-pre.txt in
//                                                   $REFLECTIVITY_SHARED_DIR (else ../shared)
#include <benchmark/benchmark.h>

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bal_problem.h"
#include "parallel_runner.h"
#include "sparse_jacobian.h"

using namespace refl;

namespace {

struct Fixture {
    refl::SparseJacobian jac;
    std::vector<double> x, scale, u, w;
    bool ok = false;
};

Fixture& fixture() {
    static Fixture f;
    static bool loaded = false;
    if (loaded) return f;
    loaded = true;
    const char* env = std::getenv("REFL_BAL_FILE");
    const QString file = env ? QString::fromLocal8Bit(env)
                             : qEnvironmentVariable("REFLECTIVITY_SHARED_DIR", QStringLiteral("../shared")) +
                                   QStringLiteral("/data/bal/problem-49-7776-pre.txt");
    BalProblem bal;
    if (!readBalProblem(file, bal)) return f;
    refl::SparsityPattern pattern;
    pattern.setColumns(bal.residualCount(), bal.columnRows());
    f.jac.setPattern(pattern);
    int groups = 0;
    const std::vector<int> group = refl::groupColumns(pattern, groups);
    std::vector<double> f0(bal.residualCount());
    bal.residuals(bal.parameters.data(), f0.data());
    const refl::ResidualFunction fun = [&bal](const double* p, double* r) { bal.residuals(p, r); };
    refl::forwardDifferenceJacobian(fun, bal.parameters, f0, {}, {}, group, groups, f.jac, nullptr);
    const std::vector<double> norms = f.jac.columnNorms();
    f.scale.resize(norms.size());
    for (size_t j = 0; j < norms.size(); ++j) f.scale[j] = norms[j] > 0 ? 1.0 / norms[j] : 1.0;
    f.x.assign(pattern.cols, 0.0);
    for (int j = 0; j < pattern.cols; ++j) f.x[j] = 1.0 / (1 + j % 7);
    f.u.assign(pattern.rows, 0.5);
    f.w.assign(pattern.cols, 0.0);
    std::printf("BAL %s: %d rows, %d columns, %d non-zeros, %d row blocks\n", file.toLocal8Bit().constData(),
                pattern.rows, pattern.cols, pattern.nonZeros(), f.jac.rowBlockCount());
    f.ok = true;
    return f;
}

void BM_MultiplyBoth(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("BAL problem not readable (set REFL_BAL_FILE)");
        return;
    }
    const int threads = int(state.range(0));
    std::unique_ptr<refl::ParallelRunner> runner(threads > 1 ? new refl::ParallelRunner(threads) : nullptr);
    for (auto _ : state) {
        f.jac.multiplyBoth(f.x.data(), f.scale.data(), 1e-3, f.u.data(), f.w.data(), runner.get());
        benchmark::DoNotOptimize(f.w.data());
    }
    state.counters["nnz/s"] = benchmark::Counter(double(f.jac.pattern().nonZeros()) * state.iterations(),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MultiplyBoth)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
