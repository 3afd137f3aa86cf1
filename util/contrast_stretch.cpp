#include "contrast_stretch.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "statistics.h"

namespace refl {

cv::Mat toGrey(const cv::Mat& image) {
    cv::Mat grey;
    if (image.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else if (image.channels() == 4)
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    else if (image.channels() == 1)
        grey = image;
    else
        cv::extractChannel(image, grey, 0);
    return grey;
}

namespace {

// Applies the stretch of the grey image's finite values to every pixel: out = store(t), t in [0, 1].
template <class Out, class Store>
cv::Mat stretch(const cv::Mat& image, int type, Store store) {
    if (image.empty()) return cv::Mat();
    cv::Mat img;
    toGrey(image).convertTo(img, CV_32F);
    cv::Mat out(img.size(), type, cv::Scalar(0));
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
        Out* o = out.ptr<Out>(r);
        for (int c = 0; c < img.cols; ++c) {
            if (!std::isfinite(p[c])) continue;  // stays 0
            o[c] = store(std::min(std::max((p[c] - lo) * scale, 0.0), 1.0));
        }
    }
    return out;
}

}  // namespace

cv::Mat normalizeToUnitRange(const cv::Mat& image) {
    return stretch<float>(image, CV_32F, [](double t) { return static_cast<float>(t); });
}

cv::Mat stretchToGray8(const cv::Mat& image) {
    return stretch<uchar>(image, CV_8U, [](double t) { return static_cast<uchar>(std::lround(t * 255.0)); });
}

}  // namespace refl
