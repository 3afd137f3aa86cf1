// Two nearest neighbours in both directions between two descriptor sets (L2), the search behind the
// mutual ratio-test matcher. The pruned search gives bit for bit the result of the brute-force one.
#pragma once

#include <algorithm>
#include <cfloat>
#include <opencv2/core.hpp>
#include <vector>

namespace refl {

namespace matchingdetail {

// Two nearest neighbours of one row, kept the way the brute-force matcher keeps them: a later
// candidate only displaces an entry that is strictly farther, so ties go to the lower index. Fed
// in ascending index order, it ends with the two smallest (distance, index) pairs among the
// distances below FLT_MAX (NaN never enters).
struct TwoNearest {
    float d[2] = {FLT_MAX, FLT_MAX};
    int idx[2] = {-1, -1};
    int count = 0;
    void offer(float dist, int index) {
        if (!(dist < d[1])) return;
        if (d[0] > dist) {
            d[1] = d[0];
            idx[1] = idx[0];
            d[0] = dist;
            idx[0] = index;
        } else {
            d[1] = dist;
            idx[1] = index;
        }
        count = std::min(count + 1, 2);
    }
};

// rowBest[i]: the two nearest rows of b for row i of a; colBest[j]: the two nearest rows of a for
// row j of b; distances as cv::batchDistance(NORM_L2, CV_32F) gives them. Both are resized.
// Computes the whole distance matrix.
void twoNearestBruteForce(const cv::Mat& a, const cv::Mat& b, std::vector<TwoNearest>& rowBest,
                          std::vector<TwoNearest>& colBest);

// The same result from a squared-distance pass as a matrix product with a rigorous rounding
// bound: only the entries that could be among the two nearest of their row or column get their
// exact distance. Returns false when it cannot vouch for the result (not single-channel CV_32F,
// non-finite, subnormal or huge values, or too many near-ties); the outputs are then unspecified.
// kernel picks the matrix-product code: Best is the fastest SIMD kernel this processor runs (it
// declines without one: the plain C++ kernel is slower than the brute force); tests name one, and
// a named kernel the processor cannot run makes it decline too.
enum class PrunedKernel { Best, Portable, Avx2, Avx512 };
bool twoNearestPruned(const cv::Mat& a, const cv::Mat& b, std::vector<TwoNearest>& rowBest,
                      std::vector<TwoNearest>& colBest, PrunedKernel kernel = PrunedKernel::Best);

// twoNearestPruned, or the brute-force search where it declines.
void twoNearest(const cv::Mat& a, const cv::Mat& b, std::vector<TwoNearest>& rowBest,
                std::vector<TwoNearest>& colBest);

}  // namespace matchingdetail

}  // namespace refl
