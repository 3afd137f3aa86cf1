#include "sparse_jacobian.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "parallel_runner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace refl {

bool SparsityPattern::setColumns(int rowCount, const std::vector<std::vector<int>>& columnRows) {
    rows = rowCount;
    cols = int(columnRows.size());
    colStart.assign(cols + 1, 0);
    rowIndex.clear();
    for (int j = 0; j < cols; ++j) {
        std::vector<int> r = columnRows[j];
        std::sort(r.begin(), r.end());
        r.erase(std::unique(r.begin(), r.end()), r.end());
        if (!r.empty() && (r.front() < 0 || r.back() >= rowCount)) return false;
        rowIndex.insert(rowIndex.end(), r.begin(), r.end());
        colStart[j + 1] = int(rowIndex.size());
    }
    return true;
}

std::vector<int> groupColumns(const SparsityPattern& p, int& groupCount) {
    std::vector<int> group(p.cols, -1);
    std::vector<int> rowMark(p.rows, -1);  // group that last claimed the row
    groupCount = 0;
    int firstFree = 0;
    while (true) {
        while (firstFree < p.cols && group[firstFree] >= 0) ++firstFree;
        if (firstFree >= p.cols) break;
        const int g = groupCount++;
        for (int j = firstFree; j < p.cols; ++j) {
            if (group[j] >= 0) continue;
            bool clash = false;
            for (int k = p.colStart[j]; k < p.colStart[j + 1] && !clash; ++k)
                clash = rowMark[p.rowIndex[k]] == g;
            if (clash) continue;
            group[j] = g;
            for (int k = p.colStart[j]; k < p.colStart[j + 1]; ++k) rowMark[p.rowIndex[k]] = g;
        }
    }
    return group;
}

namespace {

// Runs fn(0) ... fn(jobs - 1), spread over the runner's threads when there is one.
void runParts(ParallelRunner* runner, int jobs, const std::function<void(int)>& fn) {
    if (runner && runner->threadCount() > 1 && jobs > 1)
        runner->run(jobs, fn);
    else
        for (int i = 0; i < jobs; ++i) fn(i);
}

// Row-block ranges of J^T*x, each scattered into its own accumulator: a number fixed by the
// problem's size (1, 2, 4 or 8, at least about 128 k non-zeros a range), never by the thread
// count, so that the accumulators, summed in range order, give the same bits on any number of
// threads.
int scatterPartsFor(long long nonZeros) {
    int parts = 1;
    while (parts < 8 && nonZeros >= 2LL * parts * 131072) parts *= 2;
    return parts;
}

bool sameRange(const int* a, int na, const int* b, int nb) { return na == nb && std::equal(a, a + na, b); }

// First block of each of `parts` ranges, balanced by value count.
int partStart(const std::vector<int>& valueStarts, int part, int parts) {
    if (part >= parts) return int(valueStarts.size()) - 1;  // the sentinel
    const long long total = valueStarts.back();
    const long long target = total * part / parts;
    return int(std::lower_bound(valueStarts.begin(), valueStarts.end(), target) - valueStarts.begin());
}

// A row block's values: its rows taken in pairs, the two rows of a pair interleaved column by
// column (r0c0 r1c0 r0c1 r1c1 ...), an odd last row stored plainly. The two dot products of a
// pair then read one adjacent value pair per column and each x once; every row still sums its
// columns in order.

// The dot products of one row pair (interleaved values) with xs[cols], each summed in column order.
template <int W>
inline void pairDot(const double* vals, const int* cols, int w, const double* xs, double& s0, double& s1) {
    s0 = 0.0;
    s1 = 0.0;
    for (int c = 0; c < (W > 0 ? W : w); ++c) {
        const double xc = xs[cols[c]];
        s0 += vals[2 * c] * xc;
        s1 += vals[2 * c + 1] * xc;
    }
}

// The dot product of one plainly stored row with xs[cols].
template <int W>
inline double rowDot(const double* vals, const int* cols, int w, const double* xs) {
    double s = 0.0;
    for (int c = 0; c < (W > 0 ? W : w); ++c) s += vals[c] * xs[cols[c]];
    return s;
}

// acc[cols] += row 0 * u0, then += row 1 * u1, for one row pair (interleaved values).
template <int W>
inline void pairScatter(const double* vals, const int* cols, int w, double u0, double u1, double* acc) {
    for (int c = 0; c < (W > 0 ? W : w); ++c) acc[cols[c]] += vals[2 * c] * u0;
    for (int c = 0; c < (W > 0 ? W : w); ++c) acc[cols[c]] += vals[2 * c + 1] * u1;
}

// y[i] = vals(row i) . xs[cols] for the rows of one row block (W columns).
template <int W>
void rowBlockKernel(const double* vals, const int* cols, int width, const double* xs, double* y, int rows) {
    const int w = W > 0 ? W : width;
    int i = 0;
    for (; i + 1 < rows; i += 2, vals += 2 * w) pairDot<W>(vals, cols, w, xs, y[i], y[i + 1]);
    if (i < rows) y[i] = rowDot<W>(vals, cols, w, xs);
}

// acc[cols] += vals(row i) * x[i] for the rows of one row block, row by row.
template <int W>
void scatterKernel(const double* vals, const int* cols, int width, const double* x, double* acc, int rows) {
    const int w = W > 0 ? W : width;
    int i = 0;
    for (; i + 1 < rows; i += 2, vals += 2 * w) pairScatter<W>(vals, cols, w, x[i], x[i + 1], acc);
    if (i < rows)
        for (int c = 0; c < w; ++c) acc[cols[c]] += vals[c] * x[i];
}

// u[i] <- vals(row i) . xs[cols] - alpha u[i], then acc[cols] += vals(row i) u[i]. Every column
// still adds its rows one by one in ascending order, as the separate products do.
template <int W>
void fusedKernel(const double* vals, const int* cols, int width, const double* xs, double alpha, double* u,
                 double* acc, int rows) {
    const int w = W > 0 ? W : width;
    int i = 0;
    for (; i + 1 < rows; i += 2, vals += 2 * w) {
        double s0, s1;
        pairDot<W>(vals, cols, w, xs, s0, s1);
        u[i] = s0 - alpha * u[i];
        u[i + 1] = s1 - alpha * u[i + 1];
        pairScatter<W>(vals, cols, w, u[i], u[i + 1], acc);
    }
    if (i < rows) {
        const double t = rowDot<W>(vals, cols, w, xs) - alpha * u[i];
        u[i] = t;
        for (int c = 0; c < w; ++c) acc[cols[c]] += vals[c] * t;
    }
}

#if defined(__SSE2__)
// fusedKernel for a block given as runs of consecutive columns (first column, length), with
// both rows of a pair in the two lanes: the same operations in the same order, so the same
// results, with the x and accumulator entries of a run read as adjacent pairs.
void fusedRunKernel(const double* vals, const int* runs, int runCount, int width, const double* xs, double alpha,
                    double* u, double* acc, int rows) {
    const int w = width;
    int i = 0;
    for (; i + 1 < rows; i += 2, vals += 2 * w) {
        __m128d s = _mm_setzero_pd();
        const double* v = vals;
        for (int r = 0; r < runCount; ++r) {
            const double* x = xs + runs[2 * r];
            const int len = runs[2 * r + 1];
            for (int k = 0; k < len; ++k, v += 2)
                s = _mm_add_pd(s, _mm_mul_pd(_mm_loadu_pd(v), _mm_set1_pd(x[k])));
        }
        const __m128d t = _mm_sub_pd(s, _mm_mul_pd(_mm_set1_pd(alpha), _mm_loadu_pd(u + i)));
        _mm_storeu_pd(u + i, t);
        const __m128d t0 = _mm_unpacklo_pd(t, t), t1 = _mm_unpackhi_pd(t, t);
        v = vals;
        for (int r = 0; r < runCount; ++r) {
            double* a = acc + runs[2 * r];
            const int len = runs[2 * r + 1];
            int k = 0;
            for (; k + 1 < len; k += 2, v += 4) {
                const __m128d c0 = _mm_loadu_pd(v), c1 = _mm_loadu_pd(v + 2);
                __m128d sum = _mm_loadu_pd(a + k);
                sum = _mm_add_pd(sum, _mm_mul_pd(_mm_unpacklo_pd(c0, c1), t0));
                sum = _mm_add_pd(sum, _mm_mul_pd(_mm_unpackhi_pd(c0, c1), t1));
                _mm_storeu_pd(a + k, sum);
            }
            if (k < len) {
                __m128d c0 = _mm_loadu_pd(v);
                __m128d sum = _mm_load_sd(a + k);
                sum = _mm_add_sd(sum, _mm_mul_sd(c0, t0));
                sum = _mm_add_sd(sum, _mm_mul_sd(_mm_unpackhi_pd(c0, c0), t1));
                _mm_store_sd(a + k, sum);
                v += 2;
            }
        }
    }
    if (i < rows) {
        double s = 0.0;
        const double* v = vals;
        for (int r = 0; r < runCount; ++r)
            for (int k = 0; k < runs[2 * r + 1]; ++k) s += *v++ * xs[runs[2 * r] + k];
        const double t = s - alpha * u[i];
        u[i] = t;
        v = vals;
        for (int r = 0; r < runCount; ++r)
            for (int k = 0; k < runs[2 * r + 1]; ++k) acc[runs[2 * r] + k] += *v++ * t;
    }
}
#endif

}  // namespace

void SparseJacobian::setPattern(const SparsityPattern& pattern) {
    m_pattern = pattern;
    const int nnz = pattern.nonZeros();
    m_values.assign(nnz, 0.0);

    // Row-ordered mirror of the pattern.
    std::vector<int> rowStart(pattern.rows + 1, 0);
    for (int k = 0; k < nnz; ++k) ++rowStart[pattern.rowIndex[k] + 1];
    for (int i = 0; i < pattern.rows; ++i) rowStart[i + 1] += rowStart[i];
    std::vector<int> rowCol(nnz), rowToValue(nnz);
    std::vector<int> fill(rowStart.begin(), rowStart.end() - 1);
    for (int j = 0; j < pattern.cols; ++j) {
        for (int k = pattern.colStart[j]; k < pattern.colStart[j + 1]; ++k) {
            const int pos = fill[pattern.rowIndex[k]]++;
            rowCol[pos] = j;
            rowToValue[pos] = k;
        }
    }

    // Row blocks: consecutive rows with identical columns; values row by row.
    m_rowBlocks.clear();
    m_rowBlockCols.clear();
    m_rowSource.clear();
    m_rowSource.reserve(nnz);
    for (int i = 0; i < pattern.rows; ++i) {
        const int n = rowStart[i + 1] - rowStart[i];
        const bool extend = i > 0 && !m_rowBlocks.empty() &&
                            sameRange(rowCol.data() + rowStart[i], n, rowCol.data() + rowStart[i - 1],
                                      rowStart[i] - rowStart[i - 1]);
        if (!extend) {
            Block b;
            b.first = i;
            b.indexStart = int(m_rowBlockCols.size());
            b.valueStart = int(m_rowSource.size());
            m_rowBlocks.push_back(b);
            m_rowBlockCols.insert(m_rowBlockCols.end(), rowCol.begin() + rowStart[i],
                                  rowCol.begin() + rowStart[i + 1]);
        }
        m_rowSource.insert(m_rowSource.end(), rowToValue.begin() + rowStart[i],
                           rowToValue.begin() + rowStart[i + 1]);
    }
    // Interleave the row pairs of every block (see the kernels).
    for (size_t b = 0; b < m_rowBlocks.size(); ++b) {
        const int v0 = m_rowBlocks[b].valueStart;
        const int v1 = b + 1 < m_rowBlocks.size() ? m_rowBlocks[b + 1].valueStart : int(m_rowSource.size());
        const int r0 = m_rowBlocks[b].first;
        const int r1 = b + 1 < m_rowBlocks.size() ? m_rowBlocks[b + 1].first : pattern.rows;
        const int w = (v1 - v0) / std::max(1, r1 - r0);
        for (int pair = 0; 2 * pair + 1 < r1 - r0; ++pair) {
            int* base = m_rowSource.data() + v0 + 2 * pair * w;
            const std::vector<int> plain(base, base + 2 * w);
            for (int c = 0; c < w; ++c) {
                base[2 * c] = plain[c];
                base[2 * c + 1] = plain[w + c];
            }
        }
    }
    Block rowEnd;
    rowEnd.first = pattern.rows;
    rowEnd.indexStart = int(m_rowBlockCols.size());
    rowEnd.valueStart = int(m_rowSource.size());
    m_rowBlocks.push_back(rowEnd);

    // Each block's columns as runs of consecutive columns.
    m_rowBlockRuns.clear();
    m_runStarts.clear();
    for (size_t b = 0; b + 1 < m_rowBlocks.size(); ++b) {
        m_runStarts.push_back(int(m_rowBlockRuns.size() / 2));
        for (int k = m_rowBlocks[b].indexStart; k < m_rowBlocks[b + 1].indexStart; ++k) {
            const int c = m_rowBlockCols[k];
            if (k > m_rowBlocks[b].indexStart && c == m_rowBlockRuns[m_rowBlockRuns.size() - 2] +
                                                         m_rowBlockRuns.back()) {
                ++m_rowBlockRuns.back();
            } else {
                m_rowBlockRuns.push_back(c);
                m_rowBlockRuns.push_back(1);
            }
        }
    }
    m_runStarts.push_back(int(m_rowBlockRuns.size() / 2));

    m_rowValueStarts.clear();
    for (const Block& b : m_rowBlocks) m_rowValueStarts.push_back(b.valueStart);
    m_rowValues.assign(nnz, 0.0);
    m_scatterParts = scatterPartsFor(nnz);
    m_dirty = true;
}

void SparseJacobian::refresh() const {
    if (!m_dirty) return;
    const size_t nnz = m_values.size();
    for (size_t k = 0; k < nnz; ++k) {
        m_rowValues[k] = m_values[m_rowSource[k]];
    }
    m_dirty = false;
}

void SparseJacobian::scaleRows(const double* rowScale) {
    const int nnz = int(m_values.size());
    for (int k = 0; k < nnz; ++k) m_values[k] *= rowScale[m_pattern.rowIndex[k]];
    m_dirty = true;
}

std::vector<double> SparseJacobian::columnNorms() const {
    std::vector<double> out(m_pattern.cols, 0.0);
    for (int j = 0; j < m_pattern.cols; ++j) {
        double s = 0.0;
        for (int k = m_pattern.colStart[j]; k < m_pattern.colStart[j + 1]; ++k)
            s += m_values[k] * m_values[k];
        out[j] = std::sqrt(s);
    }
    return out;
}

void SparseJacobian::multiply(const double* x, const double* colScale, double* y,
                              ParallelRunner* runner) const {
    refresh();
    const double* xs = x;
    if (colScale) {
        m_scratch.resize(m_pattern.cols);
        for (int j = 0; j < m_pattern.cols; ++j) m_scratch[j] = colScale[j] * x[j];
        xs = m_scratch.data();
    }
    // Four row ranges a thread (every y[i] is one row's sum, whichever range holds it).
    const int parts = runner ? 4 * runner->threadCount() : 1;
    const std::vector<int>& valueStarts = m_rowValueStarts;
    auto job = [&](int part) {
        const int b0 = partStart(valueStarts, part, parts);
        const int b1 = partStart(valueStarts, part + 1, parts);
        for (int b = b0; b < b1 && b < int(m_rowBlocks.size()) - 1; ++b) {
            const Block& blk = m_rowBlocks[b];
            const Block& next = m_rowBlocks[b + 1];
            const int* cols = m_rowBlockCols.data() + blk.indexStart;
            const int width = next.indexStart - blk.indexStart;
            const double* vals = m_rowValues.data() + blk.valueStart;
            const int rows = next.first - blk.first;
            double* yb = y + blk.first;
            switch (width) {
                case 12:
                    rowBlockKernel<12>(vals, cols, width, xs, yb, rows);
                    break;
                case 9:
                    rowBlockKernel<9>(vals, cols, width, xs, yb, rows);
                    break;
                case 6:
                    rowBlockKernel<6>(vals, cols, width, xs, yb, rows);
                    break;
                case 3:
                    rowBlockKernel<3>(vals, cols, width, xs, yb, rows);
                    break;
                case 2:
                    rowBlockKernel<2>(vals, cols, width, xs, yb, rows);
                    break;
                default:
                    rowBlockKernel<0>(vals, cols, width, xs, yb, rows);
                    break;
            }
        }
    };
    if (runner && parts > 1)
        runner->run(parts, job);
    else
        job(0);
}

void SparseJacobian::multiplyTransposed(const double* x, const double* colScale, double* y,
                                        ParallelRunner* runner) const {
    // Row blocks in order, scattering into one accumulator per thread; with one thread
    // every column sums its rows in ascending order.
    refresh();
    const int n = m_pattern.cols;
    const int parts = m_scatterParts;
    m_accumulators.resize(parts);
    const std::vector<int>& valueStarts = m_rowValueStarts;
    auto job = [&](int part) {
        std::vector<double>& acc = m_accumulators[part];
        acc.assign(n, 0.0);
        const int b0 = partStart(valueStarts, part, parts);
        const int b1 = partStart(valueStarts, part + 1, parts);
        for (int b = b0; b < b1 && b < int(m_rowBlocks.size()) - 1; ++b) {
            const Block& blk = m_rowBlocks[b];
            const Block& next = m_rowBlocks[b + 1];
            const int* cols = m_rowBlockCols.data() + blk.indexStart;
            const int width = next.indexStart - blk.indexStart;
            const double* vals = m_rowValues.data() + blk.valueStart;
            switch (width) {
                case 12:
                    scatterKernel<12>(vals, cols, width, x + blk.first, acc.data(), next.first - blk.first);
                    break;
                case 9:
                    scatterKernel<9>(vals, cols, width, x + blk.first, acc.data(), next.first - blk.first);
                    break;
                case 6:
                    scatterKernel<6>(vals, cols, width, x + blk.first, acc.data(), next.first - blk.first);
                    break;
                case 3:
                    scatterKernel<3>(vals, cols, width, x + blk.first, acc.data(), next.first - blk.first);
                    break;
                default:
                    scatterKernel<0>(vals, cols, width, x + blk.first, acc.data(), next.first - blk.first);
                    break;
            }
        }
    };
    runParts(runner, parts, job);
    // Every column adds the parts' sums in part order, whichever thread does it.
    const int slices = runner ? runner->threadCount() : 1;
    auto reduce = [&](int slice) {
        const int j0 = int((long long)n * slice / slices), j1 = int((long long)n * (slice + 1) / slices);
        for (int j = j0; j < j1; ++j) {
            double s = m_accumulators[0][j];
            for (int p = 1; p < parts; ++p) s += m_accumulators[p][j];
            y[j] = colScale ? colScale[j] * s : s;
        }
    };
    runParts(runner, slices, reduce);
}

void SparseJacobian::multiplyBoth(const double* x, const double* colScale, double alpha, double* u, double* w,
                                  ParallelRunner* runner) const {
    refresh();
    const int n = m_pattern.cols;
    const double* xs = x;
    if (colScale) {
        m_scratch.resize(n);
        for (int j = 0; j < n; ++j) m_scratch[j] = colScale[j] * x[j];
        xs = m_scratch.data();
    }
    const int parts = m_scatterParts;
    m_accumulators.resize(parts);
    const std::vector<int>& valueStarts = m_rowValueStarts;
    auto job = [&](int part) {
        std::vector<double>& acc = m_accumulators[part];
        acc.assign(n, 0.0);
        const int b0 = partStart(valueStarts, part, parts);
        const int b1 = partStart(valueStarts, part + 1, parts);
        for (int b = b0; b < b1 && b < int(m_rowBlocks.size()) - 1; ++b) {
            const Block& blk = m_rowBlocks[b];
            const Block& next = m_rowBlocks[b + 1];
            const int* cols = m_rowBlockCols.data() + blk.indexStart;
            const int width = next.indexStart - blk.indexStart;
            const double* vals = m_rowValues.data() + blk.valueStart;
            const int rows = next.first - blk.first;
            double* ub = u + blk.first;
#if defined(__SSE2__)
            fusedRunKernel(vals, m_rowBlockRuns.data() + 2 * m_runStarts[b],
                           m_runStarts[b + 1] - m_runStarts[b], width, xs, alpha, ub, acc.data(), rows);
            continue;
#endif
            switch (width) {
                case 12:
                    fusedKernel<12>(vals, cols, width, xs, alpha, ub, acc.data(), rows);
                    break;
                case 9:
                    fusedKernel<9>(vals, cols, width, xs, alpha, ub, acc.data(), rows);
                    break;
                case 6:
                    fusedKernel<6>(vals, cols, width, xs, alpha, ub, acc.data(), rows);
                    break;
                case 3:
                    fusedKernel<3>(vals, cols, width, xs, alpha, ub, acc.data(), rows);
                    break;
                default:
                    fusedKernel<0>(vals, cols, width, xs, alpha, ub, acc.data(), rows);
                    break;
            }
        }
    };
    runParts(runner, parts, job);
    // Every column adds the parts' sums in part order, whichever thread does it.
    const int slices = runner ? runner->threadCount() : 1;
    auto reduce = [&](int slice) {
        const int j0 = int((long long)n * slice / slices), j1 = int((long long)n * (slice + 1) / slices);
        for (int j = j0; j < j1; ++j) {
            double s = m_accumulators[0][j];
            for (int p = 1; p < parts; ++p) s += m_accumulators[p][j];
            w[j] = colScale ? colScale[j] * s : s;
        }
    };
    runParts(runner, slices, reduce);
}

std::vector<double> forwardDifferenceSteps(const std::vector<double>& x, const std::vector<double>& lower,
                                           const std::vector<double>& upper) {
    const double relStep = std::sqrt(std::numeric_limits<double>::epsilon());
    const int n = int(x.size());
    std::vector<double> h(n);
    for (int j = 0; j < n; ++j) {
        const double sign = x[j] >= 0 ? 1.0 : -1.0;
        h[j] = relStep * sign * std::max(1.0, std::fabs(x[j]));
        if (lower.empty() || upper.empty()) continue;
        const double lo = lower[j], up = upper[j];
        const double lowerDist = x[j] - lo, upperDist = up - x[j];
        const double xt = x[j] + h[j];
        const bool violated = xt < lo || xt > up;
        const bool fitting = std::fabs(h[j]) <= std::max(lowerDist, upperDist);
        if (violated && fitting)
            h[j] = -h[j];
        else if (!fitting)
            h[j] = upperDist >= lowerDist ? upperDist : -lowerDist;
    }
    return h;
}

int forwardDifferenceJacobian(const ResidualFunction& fun, const std::vector<double>& x,
                              const std::vector<double>& f0, const std::vector<double>& lower,
                              const std::vector<double>& upper, const std::vector<int>& groups,
                              int groupCount, SparseJacobian& jac, ParallelRunner* runner) {
    const SparsityPattern& p = jac.pattern();
    const std::vector<double> h = forwardDifferenceSteps(x, lower, upper);
    std::vector<double>& values = jac.values();

    // Columns of each group.
    std::vector<std::vector<int>> members(groupCount);
    for (int j = 0; j < p.cols; ++j) members[groups[j]].push_back(j);

    const int workers = runner ? runner->threadCount() : 1;
    std::vector<std::vector<double>> xs(workers, x), fs(workers, std::vector<double>(p.rows));
    auto job = [&](int worker) {
        std::vector<double>& xw = xs[worker];
        std::vector<double>& fw = fs[worker];
        for (int g = worker; g < groupCount; g += workers) {
            for (int j : members[g]) xw[j] = x[j] + h[j];
            fun(xw.data(), fw.data());
            for (int j : members[g]) {
                const double dx = xw[j] - x[j];
                for (int k = p.colStart[j]; k < p.colStart[j + 1]; ++k) {
                    const int i = p.rowIndex[k];
                    values[k] = (fw[i] - f0[i]) / dx;
                }
                xw[j] = x[j];
            }
        }
    };
    if (runner && workers > 1)
        runner->run(workers, job);
    else
        job(0);
    return groupCount;
}

}  // namespace refl
