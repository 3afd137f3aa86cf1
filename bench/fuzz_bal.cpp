// libFuzzer entry over the reader of "Bundle Adjustment in the Large" text problems used by
// bal-solve. See scripts/fuzz.sh.
#include <cstdint>
#include <vector>

#include "bal_problem.h"
#include "testing/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    silenceLogs();
    const QString path = writeScratch(bytesOf(data, size), ".bal");
    if (path.isEmpty()) return 0;
    BalProblem problem;
    if (!readBalProblem(path, problem)) return 0;
    // A problem read in full must be consistent enough for the solver to index it.
    const size_t parameterCount = 9 * size_t(problem.cameraCount) + 3 * size_t(problem.pointCount);
    if (problem.parameters.size() != parameterCount || problem.observed.size() != 2 * problem.obsCamera.size())
        __builtin_trap();
    std::vector<double> residuals(size_t(problem.residualCount()));
    problem.residuals(problem.parameters.data(), residuals.data());
    problem.columnRows();
    return 0;
}
