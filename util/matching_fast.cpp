// Two nearest neighbours in both directions, brute force and pruned.
//
// The pruned search computes approximate squared distances |a|^2 + |b|^2 - 2 a.b for all pairs as
// a blocked matrix product (most of the work) and keeps, per row and per column, only the entries
// within a safety band of the second-smallest approximation; those get their exact distance with
// the arithmetic of cv::batchDistance. An entry outside the band is provably strictly farther than
// two kept entries (also after the exact distance is rounded), so the two nearest neighbours and
// their tie order come out as from the full distance matrix.
#include "matching_fast.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/core/hal/hal.hpp>

// x86 SIMD kernels, chosen at run time (not on Windows: GCC there keeps the stack only 16-byte
// aligned, which AVX register spills do not survive).
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#include <immintrin.h>
#define MATCHING_X86_KERNELS 1
#endif

namespace refl {

namespace matchingdetail {

void twoNearestBruteForce(const cv::Mat& a, const cv::Mat& b, std::vector<TwoNearest>& rowBest,
                          std::vector<TwoNearest>& colBest) {
    rowBest.assign(a.rows, TwoNearest());
    colBest.assign(b.rows, TwoNearest());
    if (a.empty() || b.empty() || a.cols != b.cols || a.type() != b.type()) return;
    const int block = 128;
    cv::Mat dist;
    for (int i0 = 0; i0 < a.rows; i0 += block) {
        const int i1 = std::min(a.rows, i0 + block);
        cv::batchDistance(a.rowRange(i0, i1), b, dist, CV_32F, cv::noArray(), cv::NORM_L2, 0);
        for (int i = i0; i < i1; ++i) {
            const float* row = dist.ptr<float>(i - i0);
            TwoNearest& rb = rowBest[i];
            for (int j = 0; j < b.rows; ++j) {
                rb.offer(row[j], j);
                colBest[j].offer(row[j], i);
            }
        }
    }
}

namespace {

// Keeps the two smallest values seen (m1 <= m2); true when v changed the second smallest.
inline bool keepTwoSmallest(float& m1, float& m2, float v) {
    if (!(v < m2)) return false;
    if (v < m1) {
        m2 = m1;
        m1 = v;
    } else {
        m2 = v;
    }
    return true;
}

constexpr int kMr = 6;                      // rows of a per tile
constexpr int kNr = 16;                     // rows of b per tile
constexpr int kBlockPanels = 8;             // row panels sharing one pass over a column panel
constexpr double kUnit = 1.0 / 16777216.0;  // unit roundoff of float, 2^-24

struct Candidate {
    int i;
    int j;
    float approx;
};

float roundUp(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// Error model (u = 2^-24, D = descriptor length, na = |a|^2, nb = |b|^2, S = |a - b|^2):
//  - approximation: na and nb rounded to float, their float sum, a float dot product in any order
//    with or without FMA (error <= gamma_D * |a||b|), and one more rounding; in all
//    |approx - S| <= (1.004 D + 4.001) u (na + nb). We use E = 2 (D + 8) u (na + nb) + an absolute
//    term for flushed underflows.
//  - exact distance (hal::normL2Sqr_, any order, FMA or not): |S_f - S| <= delta S, delta =
//    2 (D + 8) u, plus an absolute underflow term a0.
// An entry x of a row whose second-smallest approximation is s2 is excluded when
//    approx_x > thr = max(s2 + E, 0) (1 + rho) + E + abs,   rho = 4 delta + 32 u, abs = 4 a0 + c0.
// Then the true S_x > (1 + rho) S_w + abs for the two entries w at or below s2, so
// S_f,x > (1 + 8u) S_f,w and the rounded square roots differ too: x is strictly farther than both.
class PrunedSearch {
public:
    int n = 0, m = 0, d = 0, panels = 0;
    std::vector<float> bp;              // b packed: per panel, d steps of kNr floats
    std::vector<float> naF, nbF;        // squared norms rounded to float (padded)
    std::vector<double> rowE, colE;     // error bounds per row and per column
    std::vector<float> rowThr, colThr;  // running exclusion thresholds (padded)
    std::vector<Candidate> cands;
    bool overflow = false;

    bool init(const cv::Mat& a, const cv::Mat& b);
    void hit(int i, int j, float v);
    unsigned validMask(int p) const {
        const int cols = std::min(kNr, m - p * kNr);
        return cols <= 0 ? 0u : (1u << cols) - 1u;
    }
    float threshold(float s2, double e) const {
        if (!(s2 < std::numeric_limits<float>::infinity())) return std::numeric_limits<float>::infinity();
        const double base = std::max(static_cast<double>(s2) + e, 0.0);
        return roundUp(base * (1.0 + rho_) + e + abs_);
    }

private:
    double rho_ = 0.0, abs_ = 0.0;
    std::vector<float> rowM1_, rowM2_, colM1_, colM2_;
    size_t cap_ = 0;
};

bool PrunedSearch::init(const cv::Mat& a, const cv::Mat& b) {
    if (a.type() != CV_32FC1 || b.type() != CV_32FC1 || a.cols != b.cols || a.cols < 1 || a.cols > 65536)
        return false;
    n = a.rows;
    m = b.rows;
    d = a.cols;
    panels = (m + kNr - 1) / kNr;
    const double normLimit = 1e30;  // keeps every sum far below FLT_MAX
    auto norms = [&](const cv::Mat& x, std::vector<float>& out, double& maxNorm, int padded) -> bool {
        out.assign(padded, 0.0f);
        maxNorm = 0.0;
        for (int i = 0; i < x.rows; ++i) {
            const float* p = x.ptr<float>(i);
            double s = 0.0;
            for (int k = 0; k < d; ++k) {
                const float v = p[k];
                if (!std::isfinite(v) || (v != 0.0f && std::fabs(v) < FLT_MIN)) return false;
                s += static_cast<double>(v) * v;
            }
            if (s > normLimit) return false;
            out[i] = static_cast<float>(s);
            maxNorm = std::max(maxNorm, s);
        }
        return true;
    };
    double naMax = 0.0, nbMax = 0.0;
    const int nPadded = (n + kMr * kBlockPanels - 1) / (kMr * kBlockPanels) * (kMr * kBlockPanels);
    if (!norms(a, naF, naMax, nPadded) || !norms(b, nbF, nbMax, panels * kNr)) return false;

    const double c1 = 2.0 * (d + 8) * kUnit;
    const double c0 = 4.0 * (d + 8) * static_cast<double>(FLT_MIN);
    const double delta = 2.0 * (d + 8) * kUnit;
    const double a0 = 2.0 * (d + 8) * static_cast<double>(FLT_MIN);
    rho_ = 4.0 * delta + 32.0 * kUnit;
    abs_ = 4.0 * a0 + c0;
    // The norms in double carry a relative error of at most d * 2^-53; the factor covers it.
    const double slack = 1.0 + 1e-9;
    rowE.resize(n);
    colE.resize(m);
    for (int i = 0; i < n; ++i)
        rowE[i] = c1 * slack * (static_cast<double>(naF[i]) * (1.0 + kUnit) + nbMax) + c0;
    for (int j = 0; j < m; ++j)
        colE[j] = c1 * slack * (naMax + static_cast<double>(nbF[j]) * (1.0 + kUnit)) + c0;

    const float inf = std::numeric_limits<float>::infinity();
    rowThr.assign(nPadded, -inf);
    std::fill(rowThr.begin(), rowThr.begin() + n, inf);
    colThr.assign(panels * kNr, -inf);
    std::fill(colThr.begin(), colThr.begin() + m, inf);
    rowM1_.assign(n, inf);
    rowM2_.assign(n, inf);
    colM1_.assign(m, inf);
    colM2_.assign(m, inf);

    bp.assign(static_cast<size_t>(panels) * d * kNr, 0.0f);
    for (int j = 0; j < m; ++j) {
        const float* src = b.ptr<float>(j);
        float* dst = bp.data() + static_cast<size_t>(j / kNr) * d * kNr + (j % kNr);
        for (int k = 0; k < d; ++k) dst[static_cast<size_t>(k) * kNr] = src[k];
    }
    // A few dozen candidates per row and column are expected (the running band starts wide);
    // far more means masses of near-ties, where the brute-force search is as good.
    cap_ = 64 * (static_cast<size_t>(n) + m) + 4096;
    cands.clear();
    cands.reserve(std::min(cap_, 24 * (static_cast<size_t>(n) + m) + 1024));
    return true;
}

// Entry (i, j) passed one of the (possibly stale, hence wider) thresholds: keep it and narrow
// the bands of its row and column.
void PrunedSearch::hit(int i, int j, float v) {
    if (cands.size() >= cap_) {
        overflow = true;
        return;
    }
    cands.push_back({i, j, v});
    if (keepTwoSmallest(rowM1_[i], rowM2_[i], v)) rowThr[i] = threshold(rowM2_[i], rowE[i]);
    if (keepTwoSmallest(colM1_[j], colM2_[j], v)) colThr[j] = threshold(colM2_[j], colE[j]);
}

// Plain C++ kernel: checks the search on any processor, but is slower than the brute force, so
// only tests ask for it. One block of up to kBlockPanels row panels (packed: per panel, d steps of kMr
// floats) against every column panel.
using BlockKernel = void (*)(PrunedSearch& s, int i0, int rowPanels, const float* ap);

void blockGeneric(PrunedSearch& s, int i0, int rowPanels, const float* ap) {
    const int d = s.d;
    float acc[kMr][kNr];
    for (int p = 0; p < s.panels && !s.overflow; ++p) {
        const float* bpp = s.bp.data() + static_cast<size_t>(p) * d * kNr;
        const unsigned valid = s.validMask(p);
        for (int q = 0; q < rowPanels; ++q) {
            const float* app = ap + static_cast<size_t>(q) * d * kMr;
            for (int r = 0; r < kMr; ++r)
                for (int c = 0; c < kNr; ++c) acc[r][c] = 0.0f;
            for (int k = 0; k < d; ++k) {
                const float* bk = bpp + static_cast<size_t>(k) * kNr;
                for (int r = 0; r < kMr; ++r) {
                    const float av = app[k * kMr + r];
                    for (int c = 0; c < kNr; ++c) acc[r][c] += av * bk[c];
                }
            }
            const int ib = i0 + q * kMr;
            for (int r = 0; r < kMr && ib + r < s.n; ++r) {
                const int i = ib + r;
                for (int c = 0; c < kNr; ++c) {
                    if (!(valid >> c & 1u)) continue;
                    const int j = p * kNr + c;
                    const float v = (s.naF[i] + s.nbF[j]) - 2.0f * acc[r][c];
                    if (v <= s.rowThr[i] || v <= s.colThr[j]) s.hit(i, j, v);
                }
            }
        }
    }
}

#ifdef MATCHING_X86_KERNELS

#define MATCHING_FMA2(r)                                 \
    do {                                                 \
        const __m256 av = _mm256_broadcast_ss(ak + (r)); \
        c##r##0 = _mm256_fmadd_ps(av, b0, c##r##0);      \
        c##r##1 = _mm256_fmadd_ps(av, b1, c##r##1);      \
    } while (0)

#define MATCHING_CHECK_ROW(r)                                                                        \
    do {                                                                                             \
        const int i = ib + (r);                                                                      \
        if (i < s.n) {                                                                               \
            const __m256 na = _mm256_set1_ps(s.naF[i]);                                              \
            const __m256 v0 = _mm256_fnmadd_ps(two, c##r##0, _mm256_add_ps(na, nb0));                \
            const __m256 v1 = _mm256_fnmadd_ps(two, c##r##1, _mm256_add_ps(na, nb1));                \
            const __m256 rt = _mm256_set1_ps(s.rowThr[i]);                                           \
            const __m256 k0 =                                                                        \
                _mm256_or_ps(_mm256_cmp_ps(v0, rt, _CMP_LE_OQ), _mm256_cmp_ps(v0, ct0, _CMP_LE_OQ)); \
            const __m256 k1 =                                                                        \
                _mm256_or_ps(_mm256_cmp_ps(v1, rt, _CMP_LE_OQ), _mm256_cmp_ps(v1, ct1, _CMP_LE_OQ)); \
            unsigned mask = (static_cast<unsigned>(_mm256_movemask_ps(k0)) |                         \
                             static_cast<unsigned>(_mm256_movemask_ps(k1)) << 8) &                   \
                            valid;                                                                   \
            if (mask) {                                                                              \
                alignas(32) float vals[kNr];                                                         \
                _mm256_store_ps(vals, v0);                                                           \
                _mm256_store_ps(vals + 8, v1);                                                       \
                while (mask) {                                                                       \
                    const int c = __builtin_ctz(mask);                                               \
                    mask &= mask - 1;                                                                \
                    s.hit(i, p* kNr + c, vals[c]);                                                   \
                }                                                                                    \
            }                                                                                        \
        }                                                                                            \
    } while (0)

__attribute__((target("avx2,fma"))) void blockAvx2(PrunedSearch& s, int i0, int rowPanels, const float* ap) {
    const int d = s.d;
    const __m256 two = _mm256_set1_ps(2.0f);
    for (int p = 0; p < s.panels && !s.overflow; ++p) {
        const float* bpp = s.bp.data() + static_cast<size_t>(p) * d * kNr;
        const unsigned valid = s.validMask(p);
        const __m256 nb0 = _mm256_loadu_ps(s.nbF.data() + p * kNr);
        const __m256 nb1 = _mm256_loadu_ps(s.nbF.data() + p * kNr + 8);
        for (int q = 0; q < rowPanels; ++q) {
            const float* app = ap + static_cast<size_t>(q) * d * kMr;
            __m256 c00 = _mm256_setzero_ps(), c01 = c00, c10 = c00, c11 = c00, c20 = c00, c21 = c00;
            __m256 c30 = c00, c31 = c00, c40 = c00, c41 = c00, c50 = c00, c51 = c00;
            for (int k = 0; k < d; ++k) {
                const __m256 b0 = _mm256_loadu_ps(bpp + static_cast<size_t>(k) * kNr);
                const __m256 b1 = _mm256_loadu_ps(bpp + static_cast<size_t>(k) * kNr + 8);
                const float* ak = app + k * kMr;
                MATCHING_FMA2(0);
                MATCHING_FMA2(1);
                MATCHING_FMA2(2);
                MATCHING_FMA2(3);
                MATCHING_FMA2(4);
                MATCHING_FMA2(5);
            }
            const int ib = i0 + q * kMr;
            const __m256 ct0 = _mm256_loadu_ps(s.colThr.data() + p * kNr);
            const __m256 ct1 = _mm256_loadu_ps(s.colThr.data() + p * kNr + 8);
            MATCHING_CHECK_ROW(0);
            MATCHING_CHECK_ROW(1);
            MATCHING_CHECK_ROW(2);
            MATCHING_CHECK_ROW(3);
            MATCHING_CHECK_ROW(4);
            MATCHING_CHECK_ROW(5);
        }
    }
}

#undef MATCHING_FMA2
#undef MATCHING_CHECK_ROW

#define MATCHING_FMA1(r, ap) c##r = _mm512_fmadd_ps(_mm512_set1_ps((ap)[k * kMr + ((r) % kMr)]), bk, c##r)

#define MATCHING_CHECK_ROW512(r)                                                                         \
    do {                                                                                                 \
        const int i = ib + (r);                                                                          \
        if (i < s.n) {                                                                                   \
            const __m512 v = _mm512_fnmadd_ps(two, c##r, _mm512_add_ps(_mm512_set1_ps(s.naF[i]), nb));   \
            unsigned mask =                                                                              \
                (static_cast<unsigned>(_mm512_cmp_ps_mask(v, _mm512_set1_ps(s.rowThr[i]), _CMP_LE_OQ)) | \
                 static_cast<unsigned>(_mm512_cmp_ps_mask(v, ct, _CMP_LE_OQ))) &                         \
                valid;                                                                                   \
            if (mask) {                                                                                  \
                alignas(64) float vals[kNr];                                                             \
                _mm512_store_ps(vals, v);                                                                \
                while (mask) {                                                                           \
                    const int c = __builtin_ctz(mask);                                                   \
                    mask &= mask - 1;                                                                    \
                    s.hit(i, p* kNr + c, vals[c]);                                                       \
                }                                                                                        \
            }                                                                                            \
        }                                                                                                \
    } while (0)

// Tiles of 12 rows (two packed row panels) by 16 columns; the block buffer is zero-padded to
// kBlockPanels panels, so an odd last panel pairs with zeros.
__attribute__((target("avx512f,avx2,fma"))) void blockAvx512(PrunedSearch& s, int i0, int rowPanels,
                                                             const float* ap) {
    const int d = s.d;
    const __m512 two = _mm512_set1_ps(2.0f);
    for (int p = 0; p < s.panels && !s.overflow; ++p) {
        const float* bpp = s.bp.data() + static_cast<size_t>(p) * d * kNr;
        const unsigned valid = s.validMask(p);
        const __m512 nb = _mm512_loadu_ps(s.nbF.data() + p * kNr);
        for (int q = 0; q < rowPanels; q += 2) {
            const float* ap0 = ap + static_cast<size_t>(q) * d * kMr;
            const float* ap1 = ap0 + static_cast<size_t>(d) * kMr;
            __m512 c0 = _mm512_setzero_ps(), c1 = c0, c2 = c0, c3 = c0, c4 = c0, c5 = c0;
            __m512 c6 = c0, c7 = c0, c8 = c0, c9 = c0, c10 = c0, c11 = c0;
            for (int k = 0; k < d; ++k) {
                const __m512 bk = _mm512_loadu_ps(bpp + static_cast<size_t>(k) * kNr);
                MATCHING_FMA1(0, ap0);
                MATCHING_FMA1(1, ap0);
                MATCHING_FMA1(2, ap0);
                MATCHING_FMA1(3, ap0);
                MATCHING_FMA1(4, ap0);
                MATCHING_FMA1(5, ap0);
                MATCHING_FMA1(6, ap1);
                MATCHING_FMA1(7, ap1);
                MATCHING_FMA1(8, ap1);
                MATCHING_FMA1(9, ap1);
                MATCHING_FMA1(10, ap1);
                MATCHING_FMA1(11, ap1);
            }
            const int ib = i0 + q * kMr;
            const __m512 ct = _mm512_loadu_ps(s.colThr.data() + p * kNr);
            MATCHING_CHECK_ROW512(0);
            MATCHING_CHECK_ROW512(1);
            MATCHING_CHECK_ROW512(2);
            MATCHING_CHECK_ROW512(3);
            MATCHING_CHECK_ROW512(4);
            MATCHING_CHECK_ROW512(5);
            MATCHING_CHECK_ROW512(6);
            MATCHING_CHECK_ROW512(7);
            MATCHING_CHECK_ROW512(8);
            MATCHING_CHECK_ROW512(9);
            MATCHING_CHECK_ROW512(10);
            MATCHING_CHECK_ROW512(11);
        }
    }
}

#undef MATCHING_FMA1
#undef MATCHING_CHECK_ROW512

#endif  // MATCHING_X86_KERNELS

BlockKernel pickKernel(PrunedKernel wanted) {
#ifdef MATCHING_X86_KERNELS
    const bool avx512 = cv::checkHardwareSupport(CV_CPU_AVX_512F);
    const bool avx2 = cv::checkHardwareSupport(CV_CPU_AVX2) && cv::checkHardwareSupport(CV_CPU_FMA3);
    switch (wanted) {
        case PrunedKernel::Best:
            return avx512 ? blockAvx512 : avx2 ? blockAvx2 : nullptr;
        case PrunedKernel::Avx512:
            return avx512 ? blockAvx512 : nullptr;
        case PrunedKernel::Avx2:
            return avx2 ? blockAvx2 : nullptr;
        case PrunedKernel::Portable:
            return blockGeneric;
    }
    return nullptr;
#else
    return wanted == PrunedKernel::Portable ? blockGeneric : nullptr;
#endif
}

}  // namespace

bool twoNearestPruned(const cv::Mat& a, const cv::Mat& b, std::vector<TwoNearest>& rowBest,
                      std::vector<TwoNearest>& colBest, PrunedKernel wanted) {
    rowBest.assign(a.rows, TwoNearest());
    colBest.assign(b.rows, TwoNearest());
    if (a.empty() || b.empty() || a.cols != b.cols || a.type() != b.type()) return true;  // no neighbours
    const BlockKernel kernel = pickKernel(wanted);
    PrunedSearch s;
    if (!kernel || !s.init(a, b)) return false;

    const int blockRows = kMr * kBlockPanels;
    std::vector<float> ap(static_cast<size_t>(kBlockPanels) * s.d * kMr);
    for (int i0 = 0; i0 < s.n && !s.overflow; i0 += blockRows) {
        const int rows = std::min(blockRows, s.n - i0);
        const int rowPanels = (rows + kMr - 1) / kMr;
        std::fill(ap.begin(), ap.end(), 0.0f);
        for (int r = 0; r < rows; ++r) {
            const float* src = a.ptr<float>(i0 + r);
            float* dst = ap.data() + static_cast<size_t>(r / kMr) * s.d * kMr + (r % kMr);
            for (int k = 0; k < s.d; ++k) dst[static_cast<size_t>(k) * kMr] = src[k];
        }
        kernel(s, i0, rowPanels, ap.data());
    }
    if (s.overflow) return false;

    // Exact distances of the entries inside the final bands, offered in ascending index order.
    // Every row's entries were found in ascending column order, so a stable bucketing by row
    // orders all by (row, column): each row then sees ascending columns, each column ascending rows.
    std::vector<int> start(static_cast<size_t>(s.n) + 1, 0);
    for (const Candidate& c : s.cands) ++start[c.i + 1];
    for (int i = 0; i < s.n; ++i) start[i + 1] += start[i];
    std::vector<Candidate> ordered(s.cands.size());
    for (const Candidate& c : s.cands) ordered[start[c.i]++] = c;
    for (const Candidate& c : ordered) {
        const bool inRow = c.approx <= s.rowThr[c.i];
        const bool inCol = c.approx <= s.colThr[c.j];
        if (!inRow && !inCol) continue;
        const float dist = std::sqrt(cv::hal::normL2Sqr_(a.ptr<float>(c.i), b.ptr<float>(c.j), s.d));
        if (inRow) rowBest[c.i].offer(dist, c.j);
        if (inCol) colBest[c.j].offer(dist, c.i);
    }
    return true;
}

void twoNearest(const cv::Mat& a, const cv::Mat& b, std::vector<TwoNearest>& rowBest,
                std::vector<TwoNearest>& colBest) {
    if (!twoNearestPruned(a, b, rowBest, colBest)) twoNearestBruteForce(a, b, rowBest, colBest);
}

}  // namespace matchingdetail

}  // namespace refl
