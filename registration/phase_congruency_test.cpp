#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <random>
#include <thread>

#include "pair_registration.h"
#include "rift2.h"

using namespace refl;

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

// The same computation written plainly with OpenCV's DFT: full complex spectrum, every filter
// product formed in full, one scaled inverse transform per orientation and scale, a sorted median.
struct DftPc {
    cv::Mat M, m, amax, mim;
    std::vector<cv::Mat> sumAn;  // per orientation
};

DftPc dftPhaseCongruency(const cv::Mat& img32, int orientations, int scales, double minWl, double mult,
                         double sigmaOnf, double k) {
    const int rows = img32.rows, cols = img32.cols;
    cv::Mat spectrum;
    cv::dft(img32, spectrum, cv::DFT_COMPLEX_OUTPUT);
    cv::Mat radius, theta;
    rift2detail::frequencyGrid(rows, cols, radius, theta);
    DftPc out;
    out.amax = cv::Mat(rows, cols, CV_32F, cv::Scalar(-INFINITY));
    out.mim = cv::Mat(rows, cols, CV_8U, cv::Scalar(0));
    cv::Mat cx2(rows, cols, CV_32F, cv::Scalar(0)), cy2 = cx2.clone(), cxy = cx2.clone();
    for (int o = 0; o < orientations; ++o) {
        const double angle = o * CV_PI / orientations;
        const cv::Mat spread = rift2detail::angularSpread(theta, angle, CV_PI / orientations / 1.5);
        cv::Mat sE(rows, cols, CV_32F, cv::Scalar(0)), sO = sE.clone(), sA = sE.clone(), a0;
        for (int s = 0; s < scales; ++s) {
            const cv::Mat filter =
                rift2detail::logGaborRadial(radius, minWl * std::pow(mult, s), sigmaOnf).mul(spread);
            const cv::Mat planes[] = {filter, filter};
            cv::Mat filter2, eo;
            cv::merge(planes, 2, filter2);
            cv::idft(spectrum.mul(filter2), eo, cv::DFT_SCALE | cv::DFT_COMPLEX_OUTPUT);
            cv::Mat parts[2], an;
            cv::split(eo, parts);
            cv::magnitude(parts[0], parts[1], an);
            sE += parts[0];
            sO += parts[1];
            sA += an;
            if (s == 0) a0 = an.clone();
        }
        std::vector<float> sorted(a0.begin<float>(), a0.end<float>());
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        const double med =
            n % 2 ? sorted[n / 2] : (static_cast<double>(sorted[n / 2 - 1]) + sorted[n / 2]) / 2;
        const float T = static_cast<float>(k * med / std::sqrt(std::log(4.0)));
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                const float e = std::hypot(sE.at<float>(r, c), sO.at<float>(r, c));
                const float pc = std::max(e - T, 0.0f) / (sA.at<float>(r, c) + 1e-8f);
                const float px = pc * static_cast<float>(std::cos(angle)),
                            py = pc * static_cast<float>(std::sin(angle));
                cx2.at<float>(r, c) += px * px;
                cy2.at<float>(r, c) += py * py;
                cxy.at<float>(r, c) += px * py;
                if (sA.at<float>(r, c) > out.amax.at<float>(r, c)) {
                    out.amax.at<float>(r, c) = sA.at<float>(r, c);
                    out.mim.at<uchar>(r, c) = static_cast<uchar>(o);
                }
            }
        out.sumAn.push_back(sA);
    }
    const cv::Mat a = cx2 * 0.5, b = cy2 * 0.5, c = cxy * 2.0;
    cv::Mat den;
    cv::sqrt((a - b).mul(a - b) + c.mul(c), den);
    out.M = (a + b + den) * 0.5;
    out.m = (a + b - den) * 0.5;
    return out;
}

// A textured scene: smooth blobs, edges of several orientations and noise.
cv::Mat sceneImage(int rows, int cols, unsigned seed) {
    cv::Mat img(rows, cols, CV_32F);
    std::mt19937 gen(seed);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            img.at<float>(r, c) =
                0.5f + 0.3f * std::sin(0.21f * c + 0.05f * r) * std::cos(0.13f * r) + noise(gen);
    cv::rectangle(img, cv::Rect(cols / 5, rows / 4, cols / 3, rows / 3), cv::Scalar(1.4), cv::FILLED);
    cv::line(img, cv::Point(2, rows - 3), cv::Point(cols - 3, rows / 3), cv::Scalar(-0.6), 2);
    cv::circle(img, cv::Point(cols * 2 / 3, rows * 2 / 3), std::min(rows, cols) / 6, cv::Scalar(1.1),
               cv::FILLED);
    return img;
}

double maxAbs(const cv::Mat& m) {
    double lo, hi;
    cv::minMaxLoc(m, &lo, &hi);
    return std::max(std::fabs(lo), std::fabs(hi));
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && a.isContinuous() && b.isContinuous() &&
           std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

bool sameMaps(const PhaseCongruencyMaps& a, const PhaseCongruencyMaps& b) {
    return sameBytes(a.maxMoment, b.maxMoment) && sameBytes(a.minMoment, b.minMoment) &&
           sameBytes(a.maxIndex, b.maxIndex) && sameBytes(a.maxAmplitude, b.maxAmplitude);
}

// Checks the maps against the DFT formulation: moments and amplitude within 1e-4 of the map's
// largest value, the index wherever the two strongest orientations are clearly apart.
void expectMatchesDft(const cv::Mat& img, int orientations, int scales, bool textured = true) {
    SCOPED_TRACE(testing::Message() << img.cols << "x" << img.rows << " o=" << orientations
                                    << " s=" << scales);
    const PhaseCongruencyMaps pc = computePhaseCongruency(img, orientations, scales, 3.0, 2.1, 0.55, 2.0);
    const DftPc ref = dftPhaseCongruency(img, orientations, scales, 3.0, 2.1, 0.55, 2.0);
    ASSERT_EQ(pc.maxMoment.size(), img.size());
    ASSERT_EQ(pc.maxIndex.type(), CV_8U);
    const std::pair<const cv::Mat*, const cv::Mat*> maps[] = {
        {&pc.maxMoment, &ref.M}, {&pc.minMoment, &ref.m}, {&pc.maxAmplitude, &ref.amax}};
    for (const auto& [got, want] : maps) {
        const double scale = maxAbs(*want);
        if (textured) {
            ASSERT_GT(scale, 1e-3);
        }
        EXPECT_LE(cv::norm(*got, *want, cv::NORM_INF), 1e-4 * scale + 1e-7);
    }
    int checked = 0, differing = 0;
    for (int r = 0; r < img.rows; ++r)
        for (int c = 0; c < img.cols; ++c) {
            std::vector<float> sums;
            for (const cv::Mat& s : ref.sumAn) sums.push_back(s.at<float>(r, c));
            std::sort(sums.rbegin(), sums.rend());
            if (sums.size() > 1 && sums[0] - sums[1] <= 1e-4f * sums[0]) continue;
            ++checked;
            if (pc.maxIndex.at<uchar>(r, c) != ref.mim.at<uchar>(r, c)) ++differing;
        }
    EXPECT_EQ(differing, 0);
    if (textured) {
        EXPECT_GT(checked, img.total() * 9 / 10);
    }
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

TEST(PhaseCongruency, MatchesDftFormulationOnScenes) {
    // Odd and even sizes; widths that are and are not whole blocks of transformed columns.
    expectMatchesDft(sceneImage(96, 128, 1), 6, 4);
    expectMatchesDft(sceneImage(75, 83, 2), 6, 4);
    expectMatchesDft(sceneImage(64, 37, 3), 4, 3);
    // One scale: the noise threshold is known only after the whole scale.
    expectMatchesDft(sceneImage(50, 70, 4), 6, 1);
    expectMatchesDft(sceneImage(50, 70, 5), 6, 2);
}

TEST(PhaseCongruency, TinyImagesMatchTheDftFormulation) {
    for (const cv::Size size :
         {cv::Size(1, 1), cv::Size(7, 1), cv::Size(1, 5), cv::Size(3, 2), cv::Size(17, 17)}) {
        cv::Mat img(size, CV_32F);
        cv::randu(img, 0.0, 1.0);
        expectMatchesDft(img, 6, 4, false);
    }
}

TEST(PhaseCongruency, RepeatedAndConcurrentCallsGiveIdenticalBytes) {
    const cv::Mat a = sceneImage(120, 161, 7), b = sceneImage(90, 100, 8);
    const PhaseCongruencyMaps first = computePhaseCongruency(a, 6, 4, 3.0, 2.1, 0.55, 2.0);
    const PhaseCongruencyMaps again = computePhaseCongruency(a, 6, 4, 3.0, 2.1, 0.55, 2.0);
    EXPECT_TRUE(sameMaps(first, again));
    // Two threads at once, on sizes not seen yet, so both plan and transform concurrently.
    for (int round = 0; round < 3; ++round) {
        const cv::Mat c = sceneImage(61 + round, 77 + 2 * round, 9), d = sceneImage(44 + round, 52, 10);
        PhaseCongruencyMaps pc, pd, pa;
        std::thread t1([&] {
            pc = computePhaseCongruency(c, 6, 4, 3.0, 2.1, 0.55, 2.0);
            pa = computePhaseCongruency(a, 6, 4, 3.0, 2.1, 0.55, 2.0);
        });
        std::thread t2([&] { pd = computePhaseCongruency(d, 6, 4, 3.0, 2.1, 0.55, 2.0); });
        t1.join();
        t2.join();
        EXPECT_TRUE(sameMaps(pa, first)) << round;
        EXPECT_TRUE(sameMaps(pc, computePhaseCongruency(c, 6, 4, 3.0, 2.1, 0.55, 2.0))) << round;
        EXPECT_TRUE(sameMaps(pd, computePhaseCongruency(d, 6, 4, 3.0, 2.1, 0.55, 2.0))) << round;
    }
    EXPECT_TRUE(sameMaps(computePhaseCongruency(b, 6, 4, 3.0, 2.1, 0.55, 2.0),
                         computePhaseCongruency(b, 6, 4, 3.0, 2.1, 0.55, 2.0)));
}

TEST(PhaseCongruency, UsesTheFirstChannelOfAMultiChannelImage) {
    const cv::Mat gray = sceneImage(40, 52, 11);
    cv::Mat noise(gray.size(), CV_32F);
    cv::randu(noise, -5.0, 5.0);
    const cv::Mat planes[] = {gray, noise, noise};
    cv::Mat colour;
    cv::merge(planes, 3, colour);
    EXPECT_TRUE(sameMaps(computePhaseCongruency(colour, 6, 4, 3.0, 2.1, 0.55, 2.0),
                         computePhaseCongruency(gray, 6, 4, 3.0, 2.1, 0.55, 2.0)));
    // A region of a larger image gives the maps of a copy of it.
    const cv::Mat big = sceneImage(80, 90, 12);
    const cv::Mat roi = big(cv::Rect(7, 5, 61, 49));
    EXPECT_TRUE(sameMaps(computePhaseCongruency(roi, 6, 4, 3.0, 2.1, 0.55, 2.0),
                         computePhaseCongruency(roi.clone(), 6, 4, 3.0, 2.1, 0.55, 2.0)));
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

