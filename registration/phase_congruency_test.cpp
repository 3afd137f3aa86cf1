#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <opencv2/imgproc.hpp>
#include <random>

#include "pair_registration.h"
#include "rift2.h"

namespace {

using cd = std::complex<double>;

// Phase congruency evaluated the slow way: naive DFTs in double precision and every filter value
// computed on the spot from its formula.
struct NaivePc {
    std::vector<double> M, m, amax;
    std::vector<int> mim;
    std::vector<std::vector<double>> sumAn;  // per orientation
};

double freq(int i, int n) { return (i > (n - 1) / 2 ? i - n : i) / static_cast<double>(n); }

NaivePc naivePhaseCongruency(const cv::Mat& img, int orientations, int scales, double minWl, double mult,
                             double sigmaOnf, double k) {
    const int H = img.rows, W = img.cols, N = H * W;
    std::vector<cd> F(N);
    for (int u = 0; u < H; ++u)
        for (int v = 0; v < W; ++v) {
            cd s = 0;
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x)
                    s += static_cast<double>(img.at<float>(y, x)) *
                         std::polar(
                             1.0,
                             -2 * CV_PI * (static_cast<double>(u) * y / H + static_cast<double>(v) * x / W));
            F[u * W + v] = s;
        }
    NaivePc out;
    out.M.assign(N, 0);
    out.m.assign(N, 0);
    out.amax.assign(N, -INFINITY);
    out.mim.assign(N, 0);
    std::vector<double> cx2(N, 0), cy2(N, 0), cxy(N, 0);
    const double thetaSigma = CV_PI / orientations / 1.5;
    for (int o = 0; o < orientations; ++o) {
        const double angle = o * CV_PI / orientations;
        std::vector<double> sE(N, 0), sO(N, 0), sA(N, 0), a0(N, 0);
        for (int s = 0; s < scales; ++s) {
            const double fo = 1.0 / (minWl * std::pow(mult, s));
            std::vector<cd> G(N);
            for (int u = 0; u < H; ++u)
                for (int v = 0; v < W; ++v) {
                    const double fy = freq(u, H), fx = freq(v, W);
                    double radius = std::sqrt(fx * fx + fy * fy);
                    if (u == 0 && v == 0) radius = 1;
                    const double theta = std::atan2(-fy, fx);
                    const double d = std::fabs(std::atan2(std::sin(theta - angle), std::cos(theta - angle)));
                    const double spread = std::exp(-d * d / (2 * thetaSigma * thetaSigma));
                    double lg =
                        std::exp(-std::pow(std::log(radius / fo), 2) / (2 * std::pow(std::log(sigmaOnf), 2)));
                    if (u == 0 && v == 0) lg = 0;
                    G[u * W + v] = F[u * W + v] * lg * spread;
                }
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    cd e = 0;
                    for (int u = 0; u < H; ++u)
                        for (int v = 0; v < W; ++v)
                            e += G[u * W + v] * std::polar(1.0, 2 * CV_PI *
                                                                    (static_cast<double>(u) * y / H +
                                                                     static_cast<double>(v) * x / W));
                    e /= N;
                    const int i = y * W + x;
                    sA[i] += std::abs(e);
                    sE[i] += e.real();
                    sO[i] += e.imag();
                    if (s == 0) a0[i] = std::abs(e);
                }
        }
        std::vector<double> sorted = a0;
        std::sort(sorted.begin(), sorted.end());
        const double med = N % 2 ? sorted[N / 2] : (sorted[N / 2 - 1] + sorted[N / 2]) / 2;
        const double T = k * med / std::sqrt(std::log(4.0));
        for (int i = 0; i < N; ++i) {
            const double pc = std::max(std::hypot(sE[i], sO[i]) - T, 0.0) / (sA[i] + 1e-8);
            cx2[i] += std::pow(pc * std::cos(angle), 2);
            cy2[i] += std::pow(pc * std::sin(angle), 2);
            cxy[i] += pc * std::cos(angle) * pc * std::sin(angle);
            if (sA[i] > out.amax[i]) {
                out.amax[i] = sA[i];
                out.mim[i] = o;
            }
        }
        out.sumAn.push_back(sA);
    }
    for (int i = 0; i < N; ++i) {
        const double a = cx2[i] * 0.5, b = cy2[i] * 0.5, c = cxy[i] * 2.0;
        const double den = std::sqrt((a - b) * (a - b) + c * c);
        out.M[i] = (a + b + den) / 2;
        out.m[i] = (a + b - den) / 2;
    }
    return out;
}

cv::Mat randomImage(int rows, int cols, unsigned seed) {
    cv::Mat img(rows, cols, CV_32F);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) img.at<float>(r, c) = dist(gen);
    // A bright bar and a dark square give the moments something to find.
    cv::rectangle(img, cv::Rect(3, 2, 2, rows - 4), cv::Scalar(3.0), cv::FILLED);
    cv::rectangle(img, cv::Rect(cols - 6, 3, 4, 4), cv::Scalar(-2.0), cv::FILLED);
    return img;
}

}  // namespace

TEST(FrequencyGrid, MatchesUnshiftedLayoutForOddAndEvenSizes) {
    for (const cv::Size size : {cv::Size(6, 4), cv::Size(7, 5)}) {
        cv::Mat radius, theta;
        rift2detail::frequencyGrid(size.height, size.width, radius, theta);
        for (int r = 0; r < size.height; ++r)
            for (int c = 0; c < size.width; ++c) {
                const double fy = freq(r, size.height), fx = freq(c, size.width);
                const double expectedRadius = (r == 0 && c == 0) ? 1.0 : std::hypot(fx, fy);
                EXPECT_NEAR(radius.at<float>(r, c), expectedRadius, 1e-6) << r << "," << c;
                EXPECT_NEAR(theta.at<float>(r, c), std::atan2(-fy, fx), 1e-6) << r << "," << c;
            }
    }
    // Row 2 of 4 rows is the first negative frequency; row 2 of 5 rows is still positive.
    cv::Mat radius, theta;
    rift2detail::frequencyGrid(4, 1, radius, theta);
    EXPECT_NEAR(theta.at<float>(2, 0), std::atan2(0.5, 0.0), 1e-6);
    rift2detail::frequencyGrid(5, 1, radius, theta);
    EXPECT_NEAR(theta.at<float>(2, 0), std::atan2(-0.4, 0.0), 1e-6);
}

TEST(FrequencyGrid, FilterOfOneOrientationAndScaleMatchesDirectEvaluation) {
    const int rows = 9, cols = 8, orientations = 6;
    const int o = 2, s = 1;
    cv::Mat radius, theta;
    rift2detail::frequencyGrid(rows, cols, radius, theta);
    const double wavelength = 3.0 * std::pow(2.1, s);
    const double thetaSigma = CV_PI / orientations / 1.5;
    const double angle = o * CV_PI / orientations;
    const cv::Mat lg = rift2detail::logGaborRadial(radius, wavelength, 0.55);
    const cv::Mat spread = rift2detail::angularSpread(theta, angle, thetaSigma);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const double fy = freq(r, rows), fx = freq(c, cols);
            double expected = 0.0;
            if (r != 0 || c != 0) {
                const double rad = std::hypot(fx, fy);
                const double th = std::atan2(-fy, fx);
                double d = std::fmod(std::fabs(th - angle), 2 * CV_PI);
                d = std::min(d, 2 * CV_PI - d);
                expected =
                    std::exp(-std::pow(std::log(rad * wavelength), 2) / (2 * std::pow(std::log(0.55), 2))) *
                    std::exp(-d * d / (2 * thetaSigma * thetaSigma));
            }
            EXPECT_NEAR(lg.at<float>(r, c) * spread.at<float>(r, c), expected, 1e-6) << r << "," << c;
        }
    EXPECT_EQ(lg.at<float>(0, 0), 0.0f);
}

TEST(PhaseCongruency, MatchesSlowReferenceOnSmallImage) {
    const cv::Mat img = randomImage(10, 12, 5);
    const PhaseCongruencyMaps pc = computePhaseCongruency(img, 6, 4, 3.0, 2.1, 0.55, 2.0);
    const NaivePc ref = naivePhaseCongruency(img, 6, 4, 3.0, 2.1, 0.55, 2.0);
    ASSERT_EQ(pc.maxMoment.size(), img.size());
    ASSERT_EQ(pc.maxIndex.type(), CV_8U);
    double maxM = 0;
    for (double v : ref.M) maxM = std::max(maxM, v);
    ASSERT_GT(maxM, 0.01);
    int mimChecked = 0;
    for (int i = 0; i < img.rows * img.cols; ++i) {
        const int r = i / img.cols, c = i % img.cols;
        EXPECT_NEAR(pc.maxMoment.at<float>(r, c), ref.M[i], 2e-4 * maxM + 1e-6) << i;
        EXPECT_NEAR(pc.minMoment.at<float>(r, c), ref.m[i], 2e-4 * maxM + 1e-6) << i;
        EXPECT_NEAR(pc.maxAmplitude.at<float>(r, c), ref.amax[i], 1e-4 * ref.amax[i] + 1e-6) << i;
        // The index is compared where the two strongest orientations are clearly apart.
        std::vector<double> sums;
        for (const auto& s : ref.sumAn) sums.push_back(s[i]);
        std::sort(sums.rbegin(), sums.rend());
        if (sums[0] - sums[1] > 1e-3 * sums[0]) {
            EXPECT_EQ(pc.maxIndex.at<uchar>(r, c), ref.mim[i]) << i;
            ++mimChecked;
        }
    }
    EXPECT_GT(mimChecked, 100);
}

TEST(PhaseCongruency, ConstantImageHasNoMomentsAndNoCorners) {
    const cv::Mat img(80, 90, CV_16U, cv::Scalar(1234));
    const PhaseCongruencyMaps pc = computePhaseCongruency(img, 6, 4, 3.0, 2.1, 0.55, 2.0);
    EXPECT_EQ(cv::countNonZero(pc.maxMoment > 1e-6), 0);
    EXPECT_EQ(cv::countNonZero(pc.minMoment > 1e-6), 0);
    EXPECT_EQ(cv::countNonZero(normalizeToByte(pc.minMoment)), 0);
    EXPECT_TRUE(detectRiftKeypoints(pc.maxMoment, pc.minMoment, 4500, 72).empty());
}

TEST(PhaseCongruency, NonFinitePixelsDoNotPoisonTheMaps) {
    cv::Mat img = randomImage(40, 48, 9);
    img.at<float>(10, 10) = NAN;
    img.at<float>(20, 30) = INFINITY;
    const PhaseCongruencyMaps pc = computePhaseCongruency(img, 6, 4, 3.0, 2.1, 0.55, 2.0);
    EXPECT_TRUE(cv::checkRange(pc.maxMoment));
    EXPECT_TRUE(cv::checkRange(pc.minMoment));
    EXPECT_TRUE(cv::checkRange(pc.maxAmplitude));
}

TEST(NormalizeToByte, ScalesByThe995thPercentile) {
    cv::Mat map(1, 201, CV_32F);
    for (int i = 0; i < 201; ++i) map.at<float>(0, i) = static_cast<float>(i);
    // x = 0.995 * 200 = 199 -> p = 199: 199 and 200 saturate, 99.5 maps to 127.5 -> 128.
    map.at<float>(0, 0) = -5.0f;
    const cv::Mat out = normalizeToByte(map);
    ASSERT_EQ(out.type(), CV_8U);
    EXPECT_EQ(out.at<uchar>(0, 0), 0);
    EXPECT_EQ(out.at<uchar>(0, 199), 255);
    EXPECT_EQ(out.at<uchar>(0, 200), 255);
    EXPECT_EQ(out.at<uchar>(0, 100), cv::saturate_cast<uchar>(100.0 / 199.0 * 255.0));
}

TEST(NormalizeToByte, ZeroOrTinyMapGivesZeros) {
    EXPECT_EQ(cv::countNonZero(normalizeToByte(cv::Mat(5, 5, CV_32F, cv::Scalar(0)))), 0);
    EXPECT_EQ(cv::countNonZero(normalizeToByte(cv::Mat(5, 5, CV_32F, cv::Scalar(1e-9)))), 0);
    EXPECT_TRUE(normalizeToByte(cv::Mat()).empty());
    cv::Mat withNan(4, 4, CV_32F, cv::Scalar(2.0f));
    withNan.at<float>(1, 1) = NAN;
    const cv::Mat out = normalizeToByte(withNan);
    EXPECT_EQ(out.at<uchar>(0, 0), 255);
}

TEST(InterpolatedQuantile, EqualsPercentileOfTheSortedValues) {
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> dist(-10.0f, 10.0f);
    for (int n : {1, 2, 3, 10, 101, 1000}) {
        std::vector<float> v(n);
        for (float& x : v) x = dist(gen);
        std::vector<float> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        for (double f : {0.0, 0.5, 0.82, 0.99, 0.995, 1.0}) {
            std::vector<float> work = v;
            EXPECT_DOUBLE_EQ(rift2detail::interpolatedQuantile(work, f), percentileOf(sorted, f * 100.0))
                << n << " " << f;
        }
    }
}
