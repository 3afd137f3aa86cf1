#include "matching_fast.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "matching_test_util.h"
#include "pair_registration.h"
#include "synthetic_bands.h"

using namespace refl;

using matchingdetail::PrunedKernel;
using matchingdetail::TwoNearest;

namespace {

const PrunedKernel kKernels[] = {PrunedKernel::Best, PrunedKernel::Portable, PrunedKernel::Avx2,
                                 PrunedKernel::Avx512};

const char* kernelName(PrunedKernel k) {
    switch (k) {
        case PrunedKernel::Best:
            return "best";
        case PrunedKernel::Portable:
            return "portable";
        case PrunedKernel::Avx2:
            return "avx2";
        case PrunedKernel::Avx512:
            return "avx512";
    }
    return "?";
}

// Same neighbours, same distance bits, same tie order.
void expectIdentical(const std::vector<TwoNearest>& want, const std::vector<TwoNearest>& got,
                     const char* what) {
    ASSERT_EQ(want.size(), got.size()) << what;
    int bad = 0;
    for (size_t q = 0; q < want.size() && bad < 5; ++q) {
        const TwoNearest& w = want[q];
        const TwoNearest& g = got[q];
        const bool same = std::memcmp(w.d, g.d, sizeof w.d) == 0 && w.idx[0] == g.idx[0] &&
                          w.idx[1] == g.idx[1] && w.count == g.count;
        if (!same) {
            ++bad;
            ADD_FAILURE() << what << " entry " << q << ": want (" << w.idx[0] << ", " << w.d[0] << "), ("
                          << w.idx[1] << ", " << w.d[1] << ") count " << w.count << "; got (" << g.idx[0]
                          << ", " << g.d[0] << "), (" << g.idx[1] << ", " << g.d[1] << ") count " << g.count;
        }
    }
}

// Runs every kernel this processor supports; `mustRun`: the portable kernel, and the best one on a
// processor with AVX2, may not decline.
// Returns how many kernels ran.
int compareAll(const cv::Mat& a, const cv::Mat& b, bool mustRun) {
    std::vector<TwoNearest> wantRows, wantCols;
    matchingdetail::twoNearestBruteForce(a, b, wantRows, wantCols);
    int ran = 0;
    for (PrunedKernel k : kKernels) {
        std::vector<TwoNearest> rows, cols;
        const bool ok = matchingdetail::twoNearestPruned(a, b, rows, cols, k);
        if (!ok) {
            const bool simd = cv::checkHardwareSupport(CV_CPU_AVX2) && cv::checkHardwareSupport(CV_CPU_FMA3);
            if (mustRun && (k == PrunedKernel::Portable || (k == PrunedKernel::Best && simd)))
                ADD_FAILURE() << "pruned search declined, kernel " << kernelName(k);
            continue;
        }
        ++ran;
        expectIdentical(wantRows, rows, kernelName(k));
        expectIdentical(wantCols, cols, kernelName(k));
    }
    std::vector<TwoNearest> rows, cols;
    matchingdetail::twoNearest(a, b, rows, cols);
    expectIdentical(wantRows, rows, "dispatch");
    expectIdentical(wantCols, cols, "dispatch");
    return ran;
}

cv::Mat uniformRows(int n, int d, unsigned seed) {
    cv::Mat m(n, d, CV_32F);
    cv::RNG rng(seed);
    rng.fill(m, cv::RNG::UNIFORM, 0.0, 1.0);
    return m;
}

struct BandFeatures {
    cv::Mat src, ref;
};

const BandFeatures& bandFeatures() {
    static const BandFeatures f = [] {
        const SyntheticCapture cap = makeSyntheticCapture(31, cv::Size(400, 320));
        const PairRegistrationParams p = defaultPairRegistrationParams();
        auto describe = [&](const cv::Mat& band) {
            const cv::Mat w = applyWallisFilter(band, p.wallisWindow, 0.5, 0.22, 0.82, 0.9);
            return extractRift2(w, 1200, p.orientations, p.scales, p.patchSize, p.secondaryRatio).descriptors;
        };
        return BandFeatures{describe(cap.bands[1]), describe(cap.bands[cap.referenceIndex])};
    }();
    return f;
}

}  // namespace

TEST(TwoNearestPruned, MatchesBruteForceOnRift2DescriptorsOfTwoBands) {
    const BandFeatures& f = bandFeatures();
    ASSERT_GT(f.src.rows, 800);
    ASSERT_GT(f.ref.rows, 800);
    EXPECT_GE(compareAll(f.src, f.ref, true), 1);
    EXPECT_GE(compareAll(f.ref, f.src, true), 1);
}

TEST(TwoNearestPruned, MatchesBruteForceAgainstItselfAndOnViews) {
    // Every row finds its own copy at distance 0; equal rows of RIFT2 descriptors tie.
    const cv::Mat& s = bandFeatures().src;
    compareAll(s, s, true);
    // Row and column views of a larger matrix (not continuous), odd sizes.
    cv::Mat wide(s.rows, s.cols + 5, CV_32F, cv::Scalar(7.0f));
    s.copyTo(wide.colRange(2, 2 + s.cols));
    compareAll(wide(cv::Rect(2, 3, s.cols, 37)), s.rowRange(100, 533), true);
}

TEST(TwoNearestPruned, ExactDuplicatesTieToTheLowerIndex) {
    // b holds 7 distinct rows each copied many times in scattered positions; a holds copies of
    // them too, plus noisy versions: distances tie exactly across many indices.
    const cv::Mat base = uniformRows(7, 216, 3);
    cv::Mat b(150, 216, CV_32F), a(90, 216, CV_32F);
    cv::RNG rng(4);
    for (int j = 0; j < b.rows; ++j) base.row(rng.uniform(0, 7)).copyTo(b.row(j));
    for (int i = 0; i < a.rows; ++i) {
        base.row(rng.uniform(0, 7)).copyTo(a.row(i));
        if (i % 3 == 0) a.at<float>(i, rng.uniform(0, 216)) += 0.01f;
    }
    compareAll(a, b, false);
    compareAll(b, a, false);
    // A few duplicates among unrelated rows must stay on the pruned path.
    cv::Mat c = uniformRows(200, 216, 5), e = uniformRows(180, 216, 6);
    for (int k = 0; k < 30; ++k) c.row(k).copyTo(e.row(5 * k + 1));
    c.row(0).copyTo(c.row(150));
    e.row(1).copyTo(e.row(170));
    compareAll(c, e, true);
}

TEST(TwoNearestPruned, EverythingEqualFallsBackWithTheSameResult) {
    const cv::Mat a(120, 216, CV_32F, cv::Scalar(0.25f));
    const cv::Mat b(130, 216, CV_32F, cv::Scalar(0.25f));
    compareAll(a, b, false);
    std::vector<TwoNearest> rows, cols;
    matchingdetail::twoNearest(a, b, rows, cols);
    ASSERT_EQ(rows.size(), 120u);
    EXPECT_EQ(rows[77].idx[0], 0);
    EXPECT_EQ(rows[77].idx[1], 1);
    EXPECT_EQ(cols[5].idx[0], 0);
    EXPECT_EQ(cols[5].idx[1], 1);
}

TEST(TwoNearestPruned, NeighboursOneUlpApart) {
    // Rows differing from a base row by a unit in the last place of one component: squared
    // distances differ in their last bits and several round to the same float after the root.
    const cv::Mat base = uniformRows(1, 216, 9);
    cv::Mat b(64, 216, CV_32F), a(40, 216, CV_32F);
    for (int j = 0; j < b.rows; ++j) {
        base.copyTo(b.row(j));
        float& v = b.at<float>(j, (j * 37) % 216);
        for (int s = 0; s < 1 + j % 3; ++s) v = std::nextafter(v, j % 2 ? 2.0f : -1.0f);
    }
    for (int i = 0; i < a.rows; ++i) {
        base.copyTo(a.row(i));
        a.at<float>(i, (i * 11) % 216) += 0.001f * static_cast<float>(i % 4);
        float& v = a.at<float>(i, (i * 5) % 216);
        v = std::nextafter(v, 2.0f);
    }
    compareAll(a, b, false);
    compareAll(b, a, false);
}

TEST(TwoNearestPruned, NeighboursAtNearlyEqualDistances) {
    // Each row of a has eight rows of b around it in random directions at distances r (1 + s)
    // with s from 0 to 1e-4: the approximate pass cannot order them, the exact distances can.
    const int n = 60, d = 216;
    const double steps[] = {0.0, 1e-7, 3e-7, 1e-6, 3e-6, 1e-5, 3e-5, 1e-4};
    const cv::Mat a = uniformRows(n, d, 41);
    cv::Mat b(8 * n, d, CV_32F);
    cv::RNG rng(42);
    std::vector<int> slot(8 * n);
    for (int k = 0; k < 8 * n; ++k) slot[k] = k;
    cv::randShuffle(slot, 1.0, &rng);
    for (int i = 0; i < n; ++i) {
        const double r = rng.uniform(0.05, 0.5);
        for (int k = 0; k < 8; ++k) {
            cv::Mat dir(1, d, CV_64F);
            rng.fill(dir, cv::RNG::NORMAL, 0.0, 1.0);
            dir *= r * (1.0 + steps[k]) / cv::norm(dir);
            cv::Mat row;
            a.row(i).convertTo(row, CV_64F);
            row += dir;
            row.convertTo(b.row(slot[8 * i + k]), CV_32F);
        }
    }
    compareAll(a, b, true);
    compareAll(b, a, true);
}

TEST(TwoNearestPruned, QuantisedAndWideRangeRows) {
    // Quarter steps make many equal distances; rows scaled by 1e5 and 1e-5 stretch the bounds.
    cv::Mat a = uniformRows(211, 24, 12), b = uniformRows(197, 24, 13);
    for (cv::Mat* m : {&a, &b})
        for (float& v : cv::Mat_<float>(*m)) v = std::round(v * 4.0f) / 4.0f;
    compareAll(a, b, true);
    cv::Mat c = uniformRows(150, 40, 14), e = uniformRows(160, 40, 15);
    c.rowRange(0, 20) *= 1e5;
    e.rowRange(30, 40) *= 1e5;
    c.rowRange(50, 80) *= 1e-5;
    e.rowRange(60, 100) *= 1e-5;
    c.row(3).copyTo(e.row(31));
    compareAll(c, e, true);
    compareAll(e, c, true);
}

TEST(TwoNearestPruned, RandomShapesWithCopiedAndRoundedRows) {
    // Sizes off the tile grid (6 x 16 and 12 x 16 tiles, blocks of 48 rows), copies across the
    // sets and half steps that make ties.
    cv::RNG rng(51);
    for (int t = 0; t < 60; ++t) {
        const int n = rng.uniform(1, 110), m = rng.uniform(1, 110), d = rng.uniform(1, 70);
        cv::Mat a = uniformRows(n, d, 100 + t), b = uniformRows(m, d, 200 + t);
        if (t % 3 == 0)
            for (int i = 0; i < n; ++i)
                if (rng.uniform(0, 3) == 0) b.row(rng.uniform(0, m)).copyTo(a.row(i));
        if (t % 5 == 0)
            for (cv::Mat* x : {&a, &b})
                for (float& v : cv::Mat_<float>(*x)) v = std::round(v * 2.0f) / 2.0f;
        SCOPED_TRACE(t);
        compareAll(a, b, false);
    }
}

TEST(TwoNearestPruned, SmallAndEmptyInputs) {
    const cv::Mat b = uniformRows(29, 216, 21);
    compareAll(uniformRows(1, 216, 22), b, true);  // one row
    compareAll(b, uniformRows(1, 216, 23), true);  // one column: rows have a single neighbour
    compareAll(uniformRows(1, 216, 24), uniformRows(1, 216, 25), true);
    compareAll(uniformRows(13, 1, 26), uniformRows(37, 1, 27), true);  // length-one descriptors
    compareAll(cv::Mat(), b, true);
    compareAll(b, cv::Mat(), true);
    compareAll(cv::Mat(0, 216, CV_32F), b, true);
    compareAll(uniformRows(5, 10, 28), uniformRows(5, 12, 29), true);  // different lengths: no neighbours
}

TEST(TwoNearestPruned, DeclinesOnValuesItCannotBound) {
    cv::Mat a = uniformRows(20, 16, 31), b = uniformRows(30, 16, 32);
    std::vector<TwoNearest> rows, cols;
    a.at<float>(4, 2) = NAN;
    EXPECT_FALSE(matchingdetail::twoNearestPruned(a, b, rows, cols));
    compareAll(a, b, false);  // the fallback skips the NaN distances like the brute force
    a.at<float>(4, 2) = INFINITY;
    EXPECT_FALSE(matchingdetail::twoNearestPruned(a, b, rows, cols));
    a.at<float>(4, 2) = 1e-40f;  // subnormal
    EXPECT_FALSE(matchingdetail::twoNearestPruned(a, b, rows, cols));
    a.at<float>(4, 2) = 1e20f;  // squares beyond the bound's range
    EXPECT_FALSE(matchingdetail::twoNearestPruned(a, b, rows, cols));
    compareAll(a, b, false);
    a.at<float>(4, 2) = 0.5f;
    EXPECT_TRUE(matchingdetail::twoNearestPruned(a, b, rows, cols));
    cv::Mat a8, b8;
    a.convertTo(a8, CV_8U, 255.0);
    b.convertTo(b8, CV_8U, 255.0);
    EXPECT_FALSE(matchingdetail::twoNearestPruned(a8, b8, rows, cols));
    compareAll(a8, b8, false);
}

TEST(MatchMutual, RealDescriptorsGiveTheMatchesOfTwoBruteForceRatioTests) {
    const BandFeatures& f = bandFeatures();
    Rift2Features src, ref;
    src.descriptors = f.src;
    ref.descriptors = f.ref;
    for (Rift2Features* x : {&src, &ref}) {
        const int n = x->descriptors.rows;
        x->descriptorIndex.create(n, 1, CV_32S);
        x->keypoints.create(n, 2, CV_32F);
        for (int i = 0; i < n; ++i) {
            x->descriptorIndex.at<int>(i) = i;
            x->keypoints.at<float>(i, 0) = static_cast<float>(i);
            x->keypoints.at<float>(i, 1) = 0.0f;
        }
    }
    for (double ratio : {0.8, 0.95}) {
        const auto expected = expectedMutualMatches(src.descriptors, ref.descriptors, ratio);
        cv::Mat sp, rp;
        std::vector<float> dist;
        matchMutual(src, ref, ratio, sp, rp, dist);
        ASSERT_EQ(static_cast<size_t>(sp.rows), expected.size()) << ratio;
        EXPECT_GT(sp.rows, 40) << ratio;
        for (int i = 0; i < sp.rows; ++i) {
            ASSERT_EQ(std::memcmp(&dist[i], &expected[i].first, sizeof(float)), 0) << ratio << " " << i;
            ASSERT_EQ(sp.at<float>(i, 0), expected[i].second.first) << ratio << " " << i;
            ASSERT_EQ(rp.at<float>(i, 0), expected[i].second.second) << ratio << " " << i;
        }
    }
}
