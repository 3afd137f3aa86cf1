#include "band_alignment.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

cv::Mat gradientMagnitude(const cv::Mat& image) {
    cv::Mat f, gx, gy, mag;
    image.convertTo(f, CV_32F);
    cv::GaussianBlur(f, f, cv::Size(0, 0), 1.0);
    cv::Sobel(f, gx, CV_32F, 1, 0, 3);
    cv::Sobel(f, gy, CV_32F, 0, 1, 3);
    cv::magnitude(gx, gy, mag);
    return mag;
}

cv::Mat stretch(const cv::Mat& band) {
    cv::Mat f;
    band.convertTo(f, CV_32F);
    std::vector<float> values;
    values.reserve(f.total());
    for (int y = 0; y < f.rows; ++y)
        for (int x = 0; x < f.cols; ++x)
            if (f.at<float>(y, x) > 0) values.push_back(f.at<float>(y, x));
    if (values.empty()) return cv::Mat::zeros(band.size(), CV_8U);
    std::sort(values.begin(), values.end());
    const float lo = values[values.size() / 100], hi = values[values.size() * 99 / 100];
    cv::Mat out;
    f.convertTo(out, CV_8U, 255.0 / std::max(1e-6f, hi - lo), -lo * 255.0 / std::max(1e-6f, hi - lo));
    return out;
}

}  // namespace

std::vector<BandShiftSample> measureBandShifts(const cv::Mat& fixed, const cv::Mat& moving, int window,
                                               int step, double minResponse) {
    std::vector<BandShiftSample> out;
    if (fixed.empty() || fixed.size() != moving.size()) return out;
    const cv::Mat a = gradientMagnitude(fixed), b = gradientMagnitude(moving);
    cv::Mat hann;
    cv::createHanningWindow(hann, cv::Size(window, window), CV_32F);
    for (int y = window / 2; y + window <= fixed.rows - window / 2; y += step) {
        for (int x = window / 2; x + window <= fixed.cols - window / 2; x += step) {
            const cv::Rect box(x, y, window, window);
            // Blank (masked) areas carry no structure.
            if (cv::countNonZero(fixed(box)) < window * window * 0.98 ||
                cv::countNonZero(moving(box)) < window * window * 0.98)
                continue;
            double response = 0;
            const cv::Point2d d = cv::phaseCorrelate(a(box), b(box), hann, &response);
            if (response < minResponse) continue;
            out.push_back({cv::Point2d(x + window / 2.0, y + window / 2.0), d, response});
        }
    }
    return out;
}

double medianShift(const std::vector<BandShiftSample>& samples) {
    if (samples.empty()) return -1;
    std::vector<double> v;
    for (const auto& s : samples) v.push_back(std::hypot(s.shift.x, s.shift.y));
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

cv::Mat falseColour(const cv::Mat& red, const cv::Mat& green, const cv::Mat& blue) {
    cv::Mat out;
    cv::merge(std::vector<cv::Mat>{stretch(blue), stretch(green), stretch(red)}, out);
    return out;
}
