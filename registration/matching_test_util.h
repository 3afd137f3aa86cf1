// Test helper: the mutual matches of two brute-force ratio tests, as matchMutual must give them.
#pragma once

#include <algorithm>
#include <utility>
#include <vector>

#include "pair_registration.h"

namespace refl {

// (distance, (src row, ref row)) of every mutual match, by ascending distance (stable).
inline std::vector<std::pair<float, std::pair<int, int>>> expectedMutualMatches(const cv::Mat& src,
                                                                              const cv::Mat& ref,
                                                                              double ratio) {
    const auto forward = matchRatio(src, ref, ratio);
    const auto backward = matchRatio(ref, src, ratio);
    std::vector<std::pair<float, std::pair<int, int>>> expected;
    for (const auto& f : forward) {
        const auto b = backward.find(f.second.trainIdx);
        if (b != backward.end() && b->second.trainIdx == f.first)
            expected.push_back({f.second.distance, {f.first, f.second.trainIdx}});
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    return expected;
}

}  // namespace refl
