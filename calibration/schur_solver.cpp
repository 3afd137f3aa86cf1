#include "schur_solver.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "parallel_runner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace refl {

namespace {

constexpr int kMaxBlock = 6;  // columns of an eliminated block
// Jobs over the eliminated blocks: a fixed number, so that the split does not depend on the
// thread count (each block's work is independent anyway).
constexpr int kBlockJobs = 16;

using SmallMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kMaxBlock, kMaxBlock>;

void runJobs(ParallelRunner* runner, int jobs, const std::function<void(int)>& fn) {
    if (runner && runner->threadCount() > 1)
        runner->run(jobs, fn);
    else
        for (int i = 0; i < jobs; ++i) fn(i);
}

// Splits the lower triangle of an n x n matrix into `parts` row ranges of about equal area.
int triangleStart(int n, int part, int parts) {
    if (part >= parts) return n;
    return int(std::lround(n * std::sqrt(double(part) / parts)));
}

// Cholesky of a small symmetric positive definite matrix, shifting the diagonal a little when
// it is only semi-definite (a point seen along one ray, a column without data).
bool smallCholesky(SmallMatrix& A, Eigen::LLT<SmallMatrix>& llt) {
    llt.compute(A);
    if (llt.info() == Eigen::Success) return true;
    const double top = std::max(1e-300, A.diagonal().cwiseAbs().maxCoeff());
    for (double shift = 1e-12; shift <= 1e-6; shift *= 100) {
        SmallMatrix B = A;
        B.diagonal().array() += shift * top;
        llt.compute(B);
        if (llt.info() == Eigen::Success) return true;
    }
    return false;
}

}  // namespace

// Candidates for elimination: runs of consecutive columns over the same rows, small enough to
// invert. Taken are those over few rows first (points before poses), each when none of its rows
// belongs to a block already taken; in column order. `claimed` marks the rows taken.
std::vector<SchurSolver::BlockSpan> SchurSolver::chooseBlocks(const SparsityPattern& pattern,
                                                              std::vector<int>& claimed) {
    const int n = pattern.cols;
    auto rowsOf = [&](int j) { return std::make_pair(pattern.colStart[j], pattern.colStart[j + 1]); };
    auto sameRows = [&](int a, int b) {
        const auto ra = rowsOf(a), rb = rowsOf(b);
        return ra.second - ra.first == rb.second - rb.first &&
               std::equal(pattern.rowIndex.begin() + ra.first, pattern.rowIndex.begin() + ra.second,
                          pattern.rowIndex.begin() + rb.first);
    };
    std::vector<BlockSpan> candidates;
    for (int j = 0; j < n;) {
        int k = j + 1;
        while (k < n && sameRows(j, k)) ++k;
        const int rows = pattern.colStart[j + 1] - pattern.colStart[j];
        if (k - j <= kMaxBlock && rows > 0) candidates.push_back({j, k - j, rows});
        j = k;
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const BlockSpan& a, const BlockSpan& b) {
        return a.rows != b.rows ? a.rows < b.rows : a.first > b.first;
    });
    claimed.assign(pattern.rows, -1);
    std::vector<BlockSpan> taken;
    for (const BlockSpan& c : candidates) {
        bool free = true;
        for (int k = pattern.colStart[c.first]; k < pattern.colStart[c.first + 1] && free; ++k)
            free = claimed[pattern.rowIndex[k]] < 0;
        if (!free) continue;
        for (int k = pattern.colStart[c.first]; k < pattern.colStart[c.first + 1]; ++k)
            claimed[pattern.rowIndex[k]] = 0;
        taken.push_back(c);
    }
    std::sort(taken.begin(), taken.end(),
              [](const BlockSpan& a, const BlockSpan& b) { return a.first < b.first; });
    return taken;
}

bool SchurSolver::analyse(const SparsityPattern& pattern, int maxReduced) {
    m_cols = pattern.cols;
    m_blocks.clear();
    m_reduced.clear();
    const int n = pattern.cols;
    const std::vector<BlockSpan> taken = chooseBlocks(pattern, m_rowOwner);
    std::vector<int> blockOfCol(n, -1);
    for (size_t b = 0; b < taken.size(); ++b)
        for (int j = taken[b].first; j < taken[b].first + taken[b].size; ++j) blockOfCol[j] = int(b);

    m_reducedOf.assign(n, -1);
    for (int j = 0; j < n; ++j) {
        if (blockOfCol[j] >= 0) continue;
        m_reducedOf[j] = int(m_reduced.size());
        m_reduced.push_back(j);
    }
    if (int(m_reduced.size()) > maxReduced) {
        m_reduced.clear();
        return false;
    }
    indexRows(pattern, taken, blockOfCol);
    describeBlocks(pattern, taken);
    return true;
}

// Row-wise entries, columns ascending within a row, and the block owning each row.
void SchurSolver::indexRows(const SparsityPattern& pattern, const std::vector<BlockSpan>& taken,
                            const std::vector<int>& blockOfCol) {
    const int n = pattern.cols, m = pattern.rows;
    std::vector<int> redCount(m + 1, 0), blkCount(m + 1, 0);
    m_rowOwner.assign(m, -1);
    for (int j = 0; j < n; ++j)
        for (int k = pattern.colStart[j]; k < pattern.colStart[j + 1]; ++k) {
            const int i = pattern.rowIndex[k];
            if (blockOfCol[j] >= 0) {
                ++blkCount[i + 1];
                m_rowOwner[i] = blockOfCol[j];
            } else {
                ++redCount[i + 1];
            }
        }
    std::partial_sum(redCount.begin(), redCount.end(), redCount.begin());
    std::partial_sum(blkCount.begin(), blkCount.end(), blkCount.begin());
    m_rowReducedStart = redCount;
    m_rowBlockStart = blkCount;
    m_rowReduced.assign(redCount.back(), Entry{0, 0});
    m_rowBlock.assign(blkCount.back(), Entry{0, 0});
    std::vector<int> redFill(redCount.begin(), redCount.end() - 1), blkFill(blkCount.begin(), blkCount.end() - 1);
    for (int j = 0; j < n; ++j)
        for (int k = pattern.colStart[j]; k < pattern.colStart[j + 1]; ++k) {
            const int i = pattern.rowIndex[k];
            if (blockOfCol[j] >= 0)
                m_rowBlock[blkFill[i]++] = Entry{j - taken[blockOfCol[j]].first, k};
            else
                m_rowReduced[redFill[i]++] = Entry{m_reducedOf[j], k};
        }
}

// Each block's rows, the reduced columns touching them (as runs of consecutive ones), its place
// in the per-block stores; the stores themselves.
void SchurSolver::describeBlocks(const SparsityPattern& pattern, const std::vector<BlockSpan>& taken) {
    int hAt = 0, wAt = 0;
    m_blockRuns.clear();
    m_blocks.resize(taken.size());
    for (size_t b = 0; b < taken.size(); ++b) {
        EBlock& blk = m_blocks[b];
        blk.firstCol = taken[b].first;
        blk.size = taken[b].size;
        const int j = blk.firstCol;
        blk.rows.assign(pattern.rowIndex.begin() + pattern.colStart[j], pattern.rowIndex.begin() + pattern.colStart[j + 1]);
        blk.reducedCols.clear();
        for (int i : blk.rows)
            for (int e = m_rowReducedStart[i]; e < m_rowReducedStart[i + 1]; ++e)
                blk.reducedCols.push_back(m_rowReduced[e].index);
        std::sort(blk.reducedCols.begin(), blk.reducedCols.end());
        blk.reducedCols.erase(std::unique(blk.reducedCols.begin(), blk.reducedCols.end()), blk.reducedCols.end());
        blk.runStart = int(m_blockRuns.size() / 2);
        for (int y = 0; y < int(blk.reducedCols.size()); ++y) {
            if (y > 0 && blk.reducedCols[y] == blk.reducedCols[y - 1] + 1)
                m_blockRuns.back() = y + 1;
            else {
                m_blockRuns.push_back(y);
                m_blockRuns.push_back(y + 1);
            }
        }
        blk.runCount = int(m_blockRuns.size() / 2) - blk.runStart;
        blk.hStart = hAt;
        blk.wStart = wAt;
        hAt += blk.size * blk.size;
        wAt += int(blk.reducedCols.size()) * blk.size;
    }
    m_rowReducedLocal.assign(m_rowReduced.size(), -1);
    for (int i = 0; i < pattern.rows; ++i) {
        if (m_rowOwner[i] < 0) continue;
        const std::vector<int>& U = m_blocks[m_rowOwner[i]].reducedCols;
        for (int e = m_rowReducedStart[i]; e < m_rowReducedStart[i + 1]; ++e)
            m_rowReducedLocal[e] = int(std::lower_bound(U.begin(), U.end(), m_rowReduced[e].index) - U.begin());
    }
    m_blockH.assign(hAt, 0.0);
    m_blockW.assign(wAt, 0.0);
    m_blockWs.assign(wAt, 0.0);
    m_blockY.assign(wAt, 0.0);
    m_blockT.assign(m_blocks.size() * kMaxBlock, 0.0);
    m_blockOk.assign(m_blocks.size(), 1);
    const size_t nr = m_reduced.size();
    m_Hrr.assign(nr * nr, 0.0);
    m_S.assign(nr * nr, 0.0);
}

void SchurSolver::assemble(const SparseJacobian& J, ParallelRunner* runner) {
    const double* values = J.values().data();
    const int nb = blockCount(), nr = reducedCount();
    const int rows = int(m_rowOwner.size());
    const int parts = runner ? runner->threadCount() : 1;

    // The values row by row, in the order of the row entries.
    m_rowReducedValue.resize(m_rowReduced.size());
    m_rowBlockValue.resize(m_rowBlock.size());
    runJobs(runner, parts, [&](int part) {
        const size_t r0 = m_rowReduced.size() * part / parts, r1 = m_rowReduced.size() * (part + 1) / parts;
        for (size_t e = r0; e < r1; ++e) m_rowReducedValue[e] = values[m_rowReduced[e].value];
        const size_t b0 = m_rowBlock.size() * part / parts, b1 = m_rowBlock.size() * (part + 1) / parts;
        for (size_t e = b0; e < b1; ++e) m_rowBlockValue[e] = values[m_rowBlock[e].value];
    });

    // Each block's own products: H_bb and W_b = J_U^T J_b (row-major, u x s), rows ascending.
    runJobs(runner, kBlockJobs, [&](int job) {
        const int b0 = int((long long)nb * job / kBlockJobs), b1 = int((long long)nb * (job + 1) / kBlockJobs);
        for (int b = b0; b < b1; ++b) {
            const EBlock& blk = m_blocks[b];
            const int s = blk.size, u = int(blk.reducedCols.size());
            double* H = m_blockH.data() + blk.hStart;
            double* W = m_blockW.data() + blk.wStart;
            std::fill(H, H + s * s, 0.0);
            std::fill(W, W + u * s, 0.0);
            for (int i : blk.rows) {
                const Entry* be = m_rowBlock.data() + m_rowBlockStart[i];
                const double* bv = m_rowBlockValue.data() + m_rowBlockStart[i];
                const int bn = m_rowBlockStart[i + 1] - m_rowBlockStart[i];
                for (int c = 0; c < bn; ++c)
                    for (int a = 0; a < bn; ++a) H[be[c].index * s + be[a].index] += bv[a] * bv[c];
                const double* rv = m_rowReducedValue.data();
                for (int e = m_rowReducedStart[i]; e < m_rowReducedStart[i + 1]; ++e) {
                    double* Wr = W + m_rowReducedLocal[e] * s;
                    for (int c = 0; c < bn; ++c) Wr[be[c].index] += rv[e] * bv[c];
                }
            }
        }
    });

    // H_rr, lower triangle: each row range of it sums the Jacobian's rows in ascending order.
    if (nr == 0) return;
    runJobs(runner, parts, [&](int part) {
        const int a0 = triangleStart(nr, part, parts), a1 = triangleStart(nr, part + 1, parts);
        std::fill(m_Hrr.begin() + size_t(a0) * nr, m_Hrr.begin() + size_t(a1) * nr, 0.0);
        for (int i = 0; i < rows; ++i) {
            const Entry* re = m_rowReduced.data() + m_rowReducedStart[i];
            const double* rv = m_rowReducedValue.data() + m_rowReducedStart[i];
            const int rn = m_rowReducedStart[i + 1] - m_rowReducedStart[i];
            for (int x = 0; x < rn; ++x) {
                const int a = re[x].index;
                if (a < a0 || a >= a1) continue;
                const double va = rv[x];
                double* row = m_Hrr.data() + size_t(a) * nr;
                for (int y = 0; y <= x; ++y) row[re[y].index] += va * rv[y];
            }
        }
    });
}

namespace {

// S[U[x], U[y]] -= sum_c Y[x][c] Ws[c][y] for y <= x, rows x0 .. x1 - 1 of one block (S row-major,
// n columns; Y row-major u x s, Ws column-major u x s, U given as runs of consecutive columns);
// v[U[x]] -= sum_c Ws[c][x] t[c].
template <int S>
void subtractBlock(const int* U, const int* runs, int runCount, int x0, int x1, const double* Y, const double* Ws,
                   int u, const double* t, int size, double* Smat, int n, double* v) {
    const int s = S > 0 ? S : size;
    for (int x = x0; x < x1; ++x) {
        const double* yx = Y + x * s;
        double sv = 0.0;
        for (int c = 0; c < s; ++c) sv += Ws[c * u + x] * t[c];
        v[U[x]] -= sv;
        double* row = Smat + size_t(U[x]) * n;
        for (int r = 0; r < runCount; ++r) {
            const int y0 = runs[2 * r], y1 = std::min(runs[2 * r + 1], x + 1);
            if (y0 >= y1) break;
            double* out = row + U[y0] - y0;
            int y = y0;
            if (S == 3) {
                // out[y] -= (Y[x][0] Ws[0][y] + Y[x][1] Ws[1][y]) + Y[x][2] Ws[2][y], two y at a time.
                const double *w0 = Ws, *w1 = Ws + u, *w2 = Ws + 2 * u;
#if defined(__SSE2__)
                const __m128d a0 = _mm_set1_pd(yx[0]), a1 = _mm_set1_pd(yx[1]), a2 = _mm_set1_pd(yx[2]);
                for (; y + 1 < y1; y += 2) {
                    const __m128d sum = _mm_add_pd(
                        _mm_add_pd(_mm_mul_pd(a0, _mm_loadu_pd(w0 + y)), _mm_mul_pd(a1, _mm_loadu_pd(w1 + y))),
                        _mm_mul_pd(a2, _mm_loadu_pd(w2 + y)));
                    _mm_storeu_pd(out + y, _mm_sub_pd(_mm_loadu_pd(out + y), sum));
                }
#endif
                for (; y < y1; ++y) out[y] -= (yx[0] * w0[y] + yx[1] * w1[y]) + yx[2] * w2[y];
            } else {
                for (; y < y1; ++y) {
                    double sum = 0.0;
                    for (int c = 0; c < s; ++c) sum += yx[c] * Ws[c * u + y];
                    out[y] -= sum;
                }
            }
        }
    }
}

}  // namespace

bool SchurSolver::solve(const double* d, const double* reg, const double* rhs, double* p, ParallelRunner* runner) {
    if (!eliminateBlocks(d, reg, rhs, runner)) return false;
    if (!solveReduced(d, reg, rhs, p, runner)) return false;
    backSubstitute(p, runner);
    return true;
}

// False when a block is not positive definite even after a small diagonal shift.
bool SchurSolver::eliminateBlocks(const double* d, const double* reg, const double* rhs,
                                  ParallelRunner* runner) {
    const int nb = blockCount();
    // Per block: A_bb = D H_bb D + reg, Ws = D_U W_b D_b, Y = Ws A_bb^-1, t = A_bb^-1 rhs_b.
    runJobs(runner, kBlockJobs, [&](int job) {
        const int b0 = int((long long)nb * job / kBlockJobs), b1 = int((long long)nb * (job + 1) / kBlockJobs);
        Eigen::LLT<SmallMatrix> llt;
        for (int b = b0; b < b1; ++b) {
            const EBlock& blk = m_blocks[b];
            const int s = blk.size, u = int(blk.reducedCols.size()), c0 = blk.firstCol;
            SmallMatrix A(s, s);
            const double* H = m_blockH.data() + blk.hStart;
            for (int c = 0; c < s; ++c)
                for (int a = 0; a < s; ++a) A(a, c) = d[c0 + a] * H[c * s + a] * d[c0 + c];
            for (int a = 0; a < s; ++a) A(a, a) += reg[c0 + a];
            m_blockOk[b] = smallCholesky(A, llt);
            if (!m_blockOk[b]) continue;
            const SmallMatrix Ainv = llt.solve(SmallMatrix::Identity(s, s));
            double* t = m_blockT.data() + size_t(b) * kMaxBlock;
            for (int a = 0; a < s; ++a) {
                double sum = 0.0;
                for (int c = 0; c < s; ++c) sum += Ainv(a, c) * rhs[c0 + c];
                t[a] = sum;
            }
            const double* W = m_blockW.data() + blk.wStart;
            double* Ws = m_blockWs.data() + blk.wStart;
            double* Y = m_blockY.data() + blk.wStart;
            for (int r = 0; r < u; ++r) {
                const double dr = d[m_reduced[blk.reducedCols[r]]];
                double ws[kMaxBlock];
                for (int c = 0; c < s; ++c) {
                    ws[c] = dr * W[r * s + c] * d[c0 + c];
                    Ws[c * u + r] = ws[c];
                }
                for (int c = 0; c < s; ++c) {
                    double sum = 0.0;
                    for (int k = 0; k < s; ++k) sum += ws[k] * Ainv(k, c);
                    Y[r * s + c] = sum;
                }
            }
        }
    });
    for (int b = 0; b < nb; ++b)
        if (!m_blockOk[b]) return false;

    return true;
}

// The reduced system S p_r = v by Cholesky; p_r goes into p. False when S is not positive definite
// even after a small diagonal shift.
bool SchurSolver::solveReduced(const double* d, const double* reg, const double* rhs, double* p,
                               ParallelRunner* runner) {
    const int nb = blockCount(), nr = reducedCount();
    m_v.resize(nr);
    if (nr == 0) return true;
    // S = D H_rr D + reg - sum_b Y_b Ws_b^T (lower triangle), v = rhs_r - sum_b Ws_b t_b; each
    // row range of S adds the blocks in ascending order. Four ranges a thread: a thread that
    // loses its core on a busy machine holds up the others for less.
    const int parts = runner ? 4 * runner->threadCount() : 1;
    runJobs(runner, parts, [&](int part) {
        const int a0 = triangleStart(nr, part, parts), a1 = triangleStart(nr, part + 1, parts);
        for (int a = a0; a < a1; ++a) {
            const double da = d[m_reduced[a]];
            const double* h = m_Hrr.data() + size_t(a) * nr;
            double* row = m_S.data() + size_t(a) * nr;
            for (int b = 0; b <= a; ++b) row[b] = da * h[b] * d[m_reduced[b]];
            row[a] += reg[m_reduced[a]];
            m_v[a] = rhs[m_reduced[a]];
        }
        for (int k = 0; k < nb; ++k) {
            const EBlock& blk = m_blocks[k];
            const std::vector<int>& U = blk.reducedCols;
            if (U.empty() || U.front() >= a1 || U.back() < a0) continue;
            const int x0 = int(std::lower_bound(U.begin(), U.end(), a0) - U.begin());
            const int x1 = int(std::lower_bound(U.begin(), U.end(), a1) - U.begin());
            if (x0 == x1) continue;
            const double* Ws = m_blockWs.data() + blk.wStart;
            const double* Y = m_blockY.data() + blk.wStart;
            const double* t = m_blockT.data() + size_t(k) * kMaxBlock;
            const int* runs = m_blockRuns.data() + 2 * blk.runStart;
            const int u = int(U.size());
            if (blk.size == 3)
                subtractBlock<3>(U.data(), runs, blk.runCount, x0, x1, Y, Ws, u, t, 3, m_S.data(), nr,
                                 m_v.data());
            else
                subtractBlock<0>(U.data(), runs, blk.runCount, x0, x1, Y, Ws, u, t, blk.size, m_S.data(), nr,
                                 m_v.data());
        }
    });
    // The row-major lower triangle is the column-major upper one.
    Eigen::Map<Eigen::MatrixXd> S(m_S.data(), nr, nr);
    Eigen::LLT<Eigen::MatrixXd, Eigen::Upper> llt(S);
    if (llt.info() != Eigen::Success) {
        const double top = std::max(1e-300, S.diagonal().cwiseAbs().maxCoeff());
        bool ok = false;
        for (double shift = 1e-12; shift <= 1e-6 && !ok; shift *= 100) {
            Eigen::MatrixXd B = S;
            B.diagonal().array() += shift * top;
            llt.compute(B);
            ok = llt.info() == Eigen::Success;
        }
        if (!ok) return false;
    }
    m_v = llt.solve(m_v);
    for (int a = 0; a < nr; ++a) p[m_reduced[a]] = m_v[a];
    return true;
}

void SchurSolver::backSubstitute(double* p, ParallelRunner* runner) {
    const int nb = blockCount();
    // Back-substitution: p_b = t_b - Y_b^T p_r.
    runJobs(runner, kBlockJobs, [&](int job) {
        const int b0 = int((long long)nb * job / kBlockJobs), b1 = int((long long)nb * (job + 1) / kBlockJobs);
        for (int b = b0; b < b1; ++b) {
            const EBlock& blk = m_blocks[b];
            const int s = blk.size, u = int(blk.reducedCols.size());
            const double* Y = m_blockY.data() + blk.wStart;
            const double* t = m_blockT.data() + size_t(b) * kMaxBlock;
            for (int c = 0; c < s; ++c) {
                double v = t[c];
                for (int r = 0; r < u; ++r) v -= Y[r * s + c] * m_v[blk.reducedCols[r]];
                p[blk.firstCol + c] = v;
            }
        }
    });
}

}  // namespace refl
