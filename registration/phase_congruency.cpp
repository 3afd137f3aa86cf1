// Phase congruency with log-Gabor filters applied in the frequency domain, and normalizeToByte.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>

#include "rift2.h"

namespace rift2detail {

void frequencyGrid(int rows, int cols, cv::Mat& radius, cv::Mat& theta) {
    radius.create(rows, cols, CV_32F);
    theta.create(rows, cols, CV_32F);
    for (int r = 0; r < rows; ++r) {
        // r > (rows - 1) / 2 gives the same split for integer and real division.
        const double fy = (r > (rows - 1) / 2 ? r - rows : r) / static_cast<double>(rows);
        float* rad = radius.ptr<float>(r);
        float* th = theta.ptr<float>(r);
        for (int c = 0; c < cols; ++c) {
            const double fx = (c > (cols - 1) / 2 ? c - cols : c) / static_cast<double>(cols);
            rad[c] = static_cast<float>(std::sqrt(fx * fx + fy * fy));
            th[c] = static_cast<float>(std::atan2(-fy, fx));
        }
    }
    if (rows > 0 && cols > 0) radius.at<float>(0, 0) = 1.0f;
}

cv::Mat logGaborRadial(const cv::Mat& radius, double wavelength, double sigmaOnf) {
    cv::Mat out(radius.size(), CV_32F);
    const double fo = 1.0 / wavelength;
    const double lnSigma = std::log(sigmaOnf);
    const double denom = 2.0 * lnSigma * lnSigma;
    for (int r = 0; r < radius.rows; ++r) {
        const float* rad = radius.ptr<float>(r);
        float* o = out.ptr<float>(r);
        for (int c = 0; c < radius.cols; ++c) {
            const double l = std::log(rad[c] / fo);
            o[c] = static_cast<float>(std::exp(-(l * l) / denom));
        }
    }
    if (!out.empty()) out.at<float>(0, 0) = 0.0f;
    return out;
}

cv::Mat angularSpread(const cv::Mat& theta, double angle, double thetaSigma) {
    cv::Mat out(theta.size(), CV_32F);
    const double denom = 2.0 * thetaSigma * thetaSigma;
    for (int r = 0; r < theta.rows; ++r) {
        const float* th = theta.ptr<float>(r);
        float* o = out.ptr<float>(r);
        for (int c = 0; c < theta.cols; ++c) {
            const double t = th[c];
            const double dTheta = std::fabs(std::atan2(std::sin(t - angle), std::cos(t - angle)));
            o[c] = static_cast<float>(std::exp(-(dTheta * dTheta) / denom));
        }
    }
    return out;
}

double interpolatedQuantile(std::vector<float>& values, double fraction) {
    const size_t n = values.size();
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    if (n == 1) return values[0];
    const double x = fraction * static_cast<double>(n - 1);
    const size_t i = static_cast<size_t>(std::floor(x));
    const size_t j = std::min(n - 1, static_cast<size_t>(std::ceil(x)));
    std::nth_element(values.begin(), values.begin() + i, values.end());
    const double a = values[i];
    double b = a;
    if (j != i) b = *std::min_element(values.begin() + i + 1, values.end());
    return a + (b - a) * (x - static_cast<double>(i));
}

}  // namespace rift2detail

namespace {

// Filters depend only on the image size and the filter settings; a pair of bands of one capture
// shares them, so the last set is kept.
struct FilterBank {
    int rows = 0, cols = 0, orientations = 0, scales = 0;
    double minWavelength = 0, multiplier = 0, sigmaOnf = 0;
    std::vector<cv::Mat> radial;  // one per scale
    std::vector<cv::Mat> spread;  // one per orientation

    bool matches(int r, int c, int o, int s, double w, double m, double sig) const {
        return rows == r && cols == c && orientations == o && scales == s && minWavelength == w &&
               multiplier == m && sigmaOnf == sig;
    }
};

std::shared_ptr<const FilterBank> filterBankFor(int rows, int cols, int orientations, int scales,
                                                double minWavelength, double multiplier, double sigmaOnf) {
    static std::mutex mutex;
    static std::shared_ptr<const FilterBank> last;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (last && last->matches(rows, cols, orientations, scales, minWavelength, multiplier, sigmaOnf))
            return last;
    }
    auto bank = std::make_shared<FilterBank>();
    bank->rows = rows;
    bank->cols = cols;
    bank->orientations = orientations;
    bank->scales = scales;
    bank->minWavelength = minWavelength;
    bank->multiplier = multiplier;
    bank->sigmaOnf = sigmaOnf;
    cv::Mat radius, theta;
    rift2detail::frequencyGrid(rows, cols, radius, theta);
    for (int s = 0; s < scales; ++s) {
        const double wavelength = minWavelength * std::pow(multiplier, s);
        bank->radial.push_back(rift2detail::logGaborRadial(radius, wavelength, sigmaOnf));
    }
    const double thetaSigma = CV_PI / orientations / 1.5;
    for (int o = 0; o < orientations; ++o)
        bank->spread.push_back(rift2detail::angularSpread(theta, o * CV_PI / orientations, thetaSigma));
    std::lock_guard<std::mutex> lock(mutex);
    last = bank;
    return bank;
}

double medianOf(std::vector<float>& values) {
    const size_t n = values.size();
    if (n == 0) return 0.0;
    const size_t mid = n / 2;
    std::nth_element(values.begin(), values.begin() + mid, values.end());
    const double upper = values[mid];
    if (n % 2 == 1) return upper;
    const double lower = *std::max_element(values.begin(), values.begin() + mid);
    return (lower + upper) / 2.0;
}

}  // namespace

PhaseCongruencyMaps computePhaseCongruency(const cv::Mat& image, int orientations, int scales,
                                           double minWavelength, double multiplier, double sigmaOnf,
                                           double k) {
    PhaseCongruencyMaps out;
    if (image.empty() || orientations < 1 || scales < 1 || orientations > 255) return out;
    cv::Mat img;
    if (image.channels() == 1)
        image.convertTo(img, CV_32F);
    else {
        cv::Mat first;
        cv::extractChannel(image, first, 0);
        first.convertTo(img, CV_32F);
    }
    const int rows = img.rows, cols = img.cols;
    const size_t total = static_cast<size_t>(rows) * cols;
    // A non-finite pixel would spread over the whole spectrum; treat it as 0.
    for (int r = 0; r < rows; ++r) {
        float* p = img.ptr<float>(r);
        for (int c = 0; c < cols; ++c)
            if (!std::isfinite(p[c])) p[c] = 0.0f;
    }

    cv::Mat spectrum;
    cv::dft(img, spectrum, cv::DFT_COMPLEX_OUTPUT);
    const auto bank = filterBankFor(rows, cols, orientations, scales, minWavelength, multiplier, sigmaOnf);

    cv::Mat amax(rows, cols, CV_32F, cv::Scalar(-std::numeric_limits<float>::infinity()));
    cv::Mat mim(rows, cols, CV_8U, cv::Scalar(0));
    cv::Mat covx2(rows, cols, CV_32F, cv::Scalar(0)), covy2(rows, cols, CV_32F, cv::Scalar(0)),
        covxy(rows, cols, CV_32F, cv::Scalar(0));
    cv::Mat sumE(rows, cols, CV_32F), sumO(rows, cols, CV_32F), sumAn(rows, cols, CV_32F);
    cv::Mat filtered(rows, cols, CV_32FC2), eo(rows, cols, CV_32FC2);
    std::vector<float> amplitude0(total);
    const double sqrtLn4 = std::sqrt(std::log(4.0));

    // All matrices here are freshly allocated, hence continuous.
    const float* spectrumData = spectrum.ptr<float>();
    float* filt = filtered.ptr<float>();
    float* pE = sumE.ptr<float>();
    float* pO = sumO.ptr<float>();
    float* pAn = sumAn.ptr<float>();
    float* pAmax = amax.ptr<float>();
    uchar* pMim = mim.ptr<uchar>();
    float* pCx = covx2.ptr<float>();
    float* pCy = covy2.ptr<float>();
    float* pCxy = covxy.ptr<float>();

    for (int o = 0; o < orientations; ++o) {
        const double angle = o * CV_PI / orientations;
        const float* spread = bank->spread[o].ptr<float>();
        sumE.setTo(0);
        sumO.setTo(0);
        sumAn.setTo(0);
        for (int s = 0; s < scales; ++s) {
            const float* radial = bank->radial[s].ptr<float>();
            for (size_t i = 0; i < total; ++i) {
                const float f = radial[i] * spread[i];
                filt[2 * i] = spectrumData[2 * i] * f;
                filt[2 * i + 1] = spectrumData[2 * i + 1] * f;
            }
            cv::idft(filtered, eo, cv::DFT_SCALE | cv::DFT_COMPLEX_OUTPUT);
            const float* e = eo.ptr<float>();
            for (size_t i = 0; i < total; ++i) {
                const float re = e[2 * i], im = e[2 * i + 1];
                const float an = std::sqrt(re * re + im * im);
                pAn[i] += an;
                pE[i] += re;
                pO[i] += im;
                if (s == 0) amplitude0[i] = an;
            }
        }
        const double tau = medianOf(amplitude0) / sqrtLn4;
        const float threshold = static_cast<float>(k * tau);
        const float ca = static_cast<float>(std::cos(angle)), sa = static_cast<float>(std::sin(angle));
        for (size_t i = 0; i < total; ++i) {
            const float energy = std::sqrt(pE[i] * pE[i] + pO[i] * pO[i]);
            const float pc = std::max(energy - threshold, 0.0f) / (pAn[i] + 1e-8f);
            const float px = pc * ca, py = pc * sa;
            pCx[i] += px * px;
            pCy[i] += py * py;
            pCxy[i] += px * py;
            if (pAn[i] > pAmax[i]) {
                pAmax[i] = pAn[i];
                pMim[i] = static_cast<uchar>(o);
            }
        }
    }

    out.maxMoment.create(rows, cols, CV_32F);
    out.minMoment.create(rows, cols, CV_32F);
    float* pM = out.maxMoment.ptr<float>();
    float* pm = out.minMoment.ptr<float>();
    for (size_t i = 0; i < total; ++i) {
        const float cx = pCx[i] * 0.5f, cy = pCy[i] * 0.5f, cxy = pCxy[i] * 2.0f;
        const float denom = std::sqrt((cx - cy) * (cx - cy) + cxy * cxy);
        pM[i] = (cy + cx + denom) / 2.0f;
        pm[i] = (cy + cx - denom) / 2.0f;
    }
    out.maxIndex = mim;
    out.maxAmplitude = amax;
    return out;
}

cv::Mat normalizeToByte(const cv::Mat& map) {
    if (map.empty()) return cv::Mat();
    cv::Mat values;
    map.convertTo(values, CV_32F);
    cv::Mat zero(map.size(), CV_8U, cv::Scalar(0));
    std::vector<float> all;
    all.reserve(values.total());
    for (int r = 0; r < values.rows; ++r) {
        const float* p = values.ptr<float>(r);
        for (int c = 0; c < values.cols; ++c)
            if (!std::isnan(p[c])) all.push_back(p[c]);  // NaN has no place in an ordering
    }
    const double p = rift2detail::interpolatedQuantile(all, 0.995);
    if (!(p > 1e-8)) return zero;
    cv::Mat out(map.size(), CV_8U);
    for (int r = 0; r < values.rows; ++r) {
        const float* v = values.ptr<float>(r);
        uchar* o = out.ptr<uchar>(r);
        for (int c = 0; c < values.cols; ++c) {
            const double x = std::min(std::max(v[c] / p, 0.0), 1.0) * 255.0;
            o[c] = cv::saturate_cast<uchar>(x);
        }
    }
    return out;
}
