// Contrast preparation of band images before feature extraction: robust scaling to [0,1] and the
// adaptive Wallis filter.
#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "pair_registration.h"

namespace {

cv::Mat toGreyFloat(const cv::Mat& image) {
    cv::Mat grey;
    if (image.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else if (image.channels() == 4)
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    else if (image.channels() == 1)
        grey = image;
    else
        cv::extractChannel(image, grey, 0);
    cv::Mat out;
    grey.convertTo(out, CV_32F);
    return out;
}

// The value percentileOf(sorted, percent) gives for the sorted values, found by selection: the
// order statistics it interpolates are the same elements, without sorting everything.
double percentileOfUnsorted(std::vector<float>& values, double percent) {
    const size_t n = values.size();
    if (n == 0) return std::nan("");
    if (n == 1) return values[0];
    const double x = percent / 100.0 * static_cast<double>(n - 1);
    const size_t i = static_cast<size_t>(std::floor(x));
    const size_t j = std::min(n - 1, static_cast<size_t>(std::ceil(x)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(i), values.end());
    const double a = values[i];
    const double b = j != i ? *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(i) + 1, values.end()) : a;
    return a + (b - a) * (x - static_cast<double>(i));
}

}  // namespace

double percentileOf(const std::vector<float>& sorted, double percent) {
    const size_t n = sorted.size();
    if (n == 0) return std::nan("");
    if (n == 1) return sorted[0];
    const double x = percent / 100.0 * static_cast<double>(n - 1);
    const size_t i = static_cast<size_t>(std::floor(x));
    const size_t j = std::min(n - 1, static_cast<size_t>(std::ceil(x)));
    const double a = sorted[i];
    return a + (static_cast<double>(sorted[j]) - a) * (x - static_cast<double>(i));
}

cv::Mat normalizeToUnitRange(const cv::Mat& image) {
    if (image.empty()) return cv::Mat();
    const cv::Mat img = toGreyFloat(image);
    cv::Mat out(img.size(), CV_32F, cv::Scalar(0));
    std::vector<float> values;
    values.reserve(img.total());
    for (int r = 0; r < img.rows; ++r) {
        const float* p = img.ptr<float>(r);
        for (int c = 0; c < img.cols; ++c)
            if (std::isfinite(p[c])) values.push_back(p[c]);
    }
    if (values.empty()) return out;
    const double lo = percentileOfUnsorted(values, 1.0);
    const double hi = percentileOfUnsorted(values, 99.0);
    if (hi - lo <= 1e-12) return out;
    const double scale = 1.0 / (hi - lo);
    for (int r = 0; r < img.rows; ++r) {
        const float* p = img.ptr<float>(r);
        float* o = out.ptr<float>(r);
        for (int c = 0; c < img.cols; ++c) {
            if (!std::isfinite(p[c])) continue;  // stays 0
            o[c] = static_cast<float>(std::min(std::max((p[c] - lo) * scale, 0.0), 1.0));
        }
    }
    return out;
}

cv::Mat applyWallisFilter(const cv::Mat& image, int window, double targetMean, double targetStd,
                          double contrast, double brightness) {
    const cv::Mat I = normalizeToUnitRange(image);
    if (I.empty()) return cv::Mat();
    int k = std::max(3, window);
    if (k % 2 == 0) ++k;
    cv::Mat mu, e2;
    cv::GaussianBlur(I, mu, cv::Size(k, k), 0, 0, cv::BORDER_REFLECT_101);
    cv::GaussianBlur(I.mul(I), e2, cv::Size(k, k), 0, 0, cv::BORDER_REFLECT_101);
    cv::Mat out(I.size(), CV_32F);
    for (int r = 0; r < I.rows; ++r) {
        const float* pi = I.ptr<float>(r);
        const float* pm = mu.ptr<float>(r);
        const float* pe = e2.ptr<float>(r);
        float* po = out.ptr<float>(r);
        for (int c = 0; c < I.cols; ++c) {
            const double m = pm[c];
            const double sigma = std::sqrt(std::max(pe[c] - m * m, 0.0));
            const double ratio = sigma / (sigma + targetStd + 1e-8);
            const double lc = std::min(std::max(contrast * (1.0 - 0.35 * ratio), 0.45), 0.98);
            const double d = std::min(std::fabs(m - targetMean) / 0.5, 1.0);
            const double lb = std::min(std::max(brightness * (1.0 - 0.3 * d), 0.45), 0.98);
            const double gain = lc * targetStd / (lc * sigma + (1.0 - lc) * targetStd + 1e-8);
            const double v = (pi[c] - m) * gain + lb * targetMean + (1.0 - lb) * m;
            po[c] = static_cast<float>(v > 1.0 ? 1.0 : (v > 0.0 ? v : 0.0));
        }
    }
    return out;
}
