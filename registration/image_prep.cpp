// Contrast preparation of band images before feature extraction: the adaptive Wallis filter on the
// 1-99 % stretch (util/contrast_stretch.h).
#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "pair_registration.h"

namespace refl {

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

}  // namespace refl
