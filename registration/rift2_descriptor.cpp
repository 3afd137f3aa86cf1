// RIFT2 descriptors (orientation histograms of the maximum-index map, rotation invariant through a
// cyclic shift by the dominant orientation) and the extraction entry point.
#include <QDebug>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "rift2.h"
#include "statistics.h"

namespace refl {

namespace {

void normaliseClipNormalise(std::vector<double>& d) {
    auto divideByNorm = [&d]() {
        double sq = 0.0;
        for (double v : d) sq += v * v;
        const double scale = 1.0 / (std::sqrt(sq) + 1e-8);
        for (double& v : d) v *= scale;
    };
    divideByNorm();
    for (double& v : d) v = std::min(v, 0.2);
    divideByNorm();
}

}  // namespace

namespace rift2detail {

std::vector<int> dominantOrientations(const std::vector<double>& hist, double secondaryRatio) {
    std::vector<int> order(hist.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&hist](int a, int b) { return hist[a] > hist[b] || (hist[a] == hist[b] && a > b); });
    std::vector<int> out;
    if (order.empty()) return out;
    out.push_back(order[0]);
    if (order.size() > 1 && hist[order[1]] >= std::max(hist[order[0]], 1e-8) * secondaryRatio)
        out.push_back(order[1]);
    return out;
}

}  // namespace rift2detail

void describeRift2(const cv::Mat& keypoints, const cv::Mat& maxIndex, const cv::Mat& maxAmplitude,
                   int orientations, int patchSize, double secondaryRatio, cv::Mat& descriptors,
                   cv::Mat& descriptorIndex) {
    descriptors.release();
    descriptorIndex.release();
    const int P = patchSize;
    const int cellSize = P / 6;
    if (keypoints.empty() || maxIndex.empty() || maxAmplitude.empty() || orientations < 1 || cellSize < 1 ||
        maxIndex.size() != maxAmplitude.size() || maxIndex.type() != CV_8U) {
        qDebug() << "describeRift2: no descriptors generated";
        return;
    }
    const int rows = maxIndex.rows, cols = maxIndex.cols;
    const int length = orientations * 36;

    // Gaussian weight of the patch.
    cv::Mat weight(P, P, CV_32F);
    const double c = (P - 1) / 2.0;
    const double twoSigma2 = 2.0 * (P / 2.0) * (P / 2.0);
    for (int i = 0; i < P; ++i)
        for (int j = 0; j < P; ++j)
            weight.at<float>(i, j) =
                static_cast<float>(std::exp(-((i - c) * (i - c) + (j - c) * (j - c)) / twoSigma2));

    // Amplitude scaled by its 99th percentile.
    cv::Mat amax;
    maxAmplitude.convertTo(amax, CV_32F);
    std::vector<float> all;
    all.reserve(amax.total());
    for (int r = 0; r < rows; ++r) {
        const float* p = amax.ptr<float>(r);
        for (int col = 0; col < cols; ++col)
            if (!std::isnan(p[col])) all.push_back(p[col]);
    }
    double p99 = percentileOfUnsorted(all, 99.0);
    if (!(p99 >= 1e-8)) p99 = 1e-8;
    cv::Mat A(rows, cols, CV_32F);
    for (int r = 0; r < rows; ++r) {
        const float* src = amax.ptr<float>(r);
        float* dst = A.ptr<float>(r);
        for (int col = 0; col < cols; ++col)
            dst[col] = static_cast<float>(std::min(std::max(src[col] / p99, 0.0), 1.0));
    }

    const cv::Mat kp32 = [&keypoints]() {
        cv::Mat k;
        keypoints.convertTo(k, CV_32F);
        return k;
    }();
    const int half = P / 2;
    std::vector<float> rowsOut;
    std::vector<int> indexOut;
    cv::Mat weighted(P, P, CV_32F);
    std::vector<double> hist(orientations);
    std::vector<double> desc(length);
    std::vector<double> cellHist(length);
    std::vector<int> colCell(P);
    for (int j = 0; j < P; ++j) colCell[j] = std::min(j / cellSize, 5);
    for (int k = 0; k < kp32.rows; ++k) {
        const long x = std::lround(kp32.at<float>(k, 0));
        const long y = std::lround(kp32.at<float>(k, 1));
        // The window [x - half, x - half + P) must lie inside the image (the second pair of
        // conditions only matters for odd patch sizes).
        if (x - half < 0 || x + half > cols || y - half < 0 || y + half > rows) continue;
        if (x - half + P > cols || y - half + P > rows) continue;
        const cv::Rect window(static_cast<int>(x - half), static_cast<int>(y - half), P, P);
        const cv::Mat mimWin = maxIndex(window);
        cv::multiply(A(window), weight, weighted);

        // One pass gives the patch histogram and the unshifted cell histograms; a dominant
        // orientation d then only rotates each cell's bins.
        std::fill(hist.begin(), hist.end(), 0.0);
        std::fill(cellHist.begin(), cellHist.end(), 0.0);
        for (int i = 0; i < P; ++i) {
            const uchar* m = mimWin.ptr<uchar>(i);
            const float* w = weighted.ptr<float>(i);
            double* cellRow = &cellHist[std::min(i / cellSize, 5) * 6 * orientations];
            for (int j = 0; j < P; ++j) {
                if (m[j] >= orientations) continue;
                hist[m[j]] += w[j];
                cellRow[colCell[j] * orientations + m[j]] += w[j];
            }
        }
        for (const int d : rift2detail::dominantOrientations(hist, secondaryRatio)) {
            for (int cell = 0; cell < 36; ++cell)
                for (int m = 0; m < orientations; ++m) {
                    const int bin = ((m - d) % orientations + orientations) % orientations;
                    desc[cell * orientations + bin] = cellHist[cell * orientations + m];
                }
            normaliseClipNormalise(desc);
            for (double v : desc) rowsOut.push_back(static_cast<float>(v));
            indexOut.push_back(k);
        }
    }
    if (indexOut.empty()) {
        qDebug() << "describeRift2: no descriptors generated";
        return;
    }
    const int count = static_cast<int>(indexOut.size());
    descriptors = cv::Mat(count, length, CV_32F, rowsOut.data()).clone();
    descriptorIndex = cv::Mat(count, 1, CV_32S, indexOut.data()).clone();
}

Rift2Features extractRift2(const cv::Mat& image, int maxFeatures, int orientations, int scales, int patchSize,
                           double secondaryRatio) {
    Rift2Features features;
    const PhaseCongruencyMaps pc = computePhaseCongruency(image, orientations, scales, kRiftMinWavelength,
                                                          kRiftScaleMultiplier, kRiftSigmaOnf, kRiftNoiseK);
    features.maximumMoment = pc.maxMoment;
    features.keypoints = detectRiftKeypoints(pc.maxMoment, pc.minMoment, maxFeatures, patchSize);
    if (features.keypoints.empty()) {
        qDebug() << "extractRift2: no keypoints detected";
        features.keypoints.release();
        return features;
    }
    describeRift2(features.keypoints, pc.maxIndex, pc.maxAmplitude, orientations, patchSize, secondaryRatio,
                  features.descriptors, features.descriptorIndex);
    if (features.descriptors.empty()) qDebug() << "extractRift2: no descriptors generated";
    return features;
}

}  // namespace refl
