#pragma once

#include <vector>

namespace refl {

// Order statistics shared by the whole program. Every function returns NaN for an empty list; a
// caller that needs another value for "no data" says so where it calls.

// Percentile `percent` (0 ... 100) of an ascending list, interpolated linearly between the two
// neighbouring order statistics: x = percent / 100 * (n - 1), v[i] + (v[i + 1] - v[i]) * (x - i).
double percentileOf(const std::vector<float>& sorted, double percent);
double percentileOf(const std::vector<double>& sorted, double percent);

// The same value for an unsorted list, found by selection (the two order statistics it interpolates
// are the same elements without sorting everything). Reorders `values`.
double percentileOfUnsorted(std::vector<float>& values, double percent);

// Median of an ascending list: the middle value, or the mean of the middle two for an even count.
double medianOfSorted(const std::vector<float>& sorted);
double medianOfSorted(const std::vector<double>& sorted);

// Median of any list (sorted here).
double medianOf(std::vector<double> values);

}  // namespace refl
