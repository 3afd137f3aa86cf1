#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace refl {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Position of a percentile in a list of n values: the lower order statistic i, the upper j and x.
struct Rank {
    double x;
    size_t i, j;
};

Rank rankOf(size_t n, double percent) {
    const double x = percent / 100.0 * static_cast<double>(n - 1);
    const size_t i = static_cast<size_t>(std::floor(x));
    const size_t j = std::min(n - 1, static_cast<size_t>(std::ceil(x)));
    return {x, i, j};
}

double interpolate(double a, double b, const Rank& r) { return a + (b - a) * (r.x - static_cast<double>(r.i)); }

template <class T>
double sortedPercentile(const std::vector<T>& sorted, double percent) {
    const size_t n = sorted.size();
    if (n == 0) return kNaN;
    if (n == 1) return sorted[0];
    const Rank r = rankOf(n, percent);
    return interpolate(sorted[r.i], sorted[r.j], r);
}

template <class T>
double sortedMedian(const std::vector<T>& sorted) {
    const size_t n = sorted.size();
    if (n == 0) return kNaN;
    if (n % 2 == 1) return sorted[n / 2];
    return (static_cast<double>(sorted[n / 2 - 1]) + sorted[n / 2]) / 2.0;
}

}  // namespace

double percentileOf(const std::vector<float>& sorted, double percent) { return sortedPercentile(sorted, percent); }
double percentileOf(const std::vector<double>& sorted, double percent) { return sortedPercentile(sorted, percent); }

double percentileOfUnsorted(std::vector<float>& values, double percent) {
    const size_t n = values.size();
    if (n == 0) return kNaN;
    if (n == 1) return values[0];
    const Rank r = rankOf(n, percent);
    const auto lower = values.begin() + static_cast<std::ptrdiff_t>(r.i);
    std::nth_element(values.begin(), lower, values.end());
    const double a = *lower;
    const double b = r.j != r.i ? *std::min_element(lower + 1, values.end()) : a;
    return interpolate(a, b, r);
}

double medianOfSorted(const std::vector<float>& sorted) { return sortedMedian(sorted); }
double medianOfSorted(const std::vector<double>& sorted) { return sortedMedian(sorted); }

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return sortedMedian(values);
}

}  // namespace refl
