#include "sfm_features.h"

#include <QDebug>
#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "contrast_stretch.h"
#include "matching_fast.h"

namespace refl {

void rootSiftInPlace(cv::Mat& d) {
    for (int r = 0; r < d.rows; ++r) {
        float* row = d.ptr<float>(r);
        double l1 = 0.0;
        for (int c = 0; c < d.cols; ++c) l1 += std::abs(double(row[c]));
        const double inv = 1.0 / (l1 + 1e-12);
        for (int c = 0; c < d.cols; ++c) {
            const double v = double(row[c]) * inv;
            row[c] = v > 0.0 ? float(std::sqrt(v)) : 0.0f;
        }
    }
}

ImageFeatures extractSift(const cv::Mat& image, int maxFeatures) {
    ImageFeatures out;
    const cv::Mat gray = stretchToGray8(image);
    cv::Mat equalised;
    cv::createCLAHE(2.0, cv::Size(8, 8))->apply(gray, equalised);

    cv::Ptr<cv::SIFT> sift = cv::SIFT::create(maxFeatures, 3, 0.006, 16.0, 1.6);
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    sift->detectAndCompute(equalised, cv::noArray(), keypoints, descriptors);
    if (descriptors.empty() || keypoints.size() < 12) {
        qDebug() << "SfM extractSift: insufficient features:" << int(keypoints.size());
        out.descriptors = descriptors;
        return out;
    }
    out.points.reserve(keypoints.size());
    for (const cv::KeyPoint& k : keypoints) out.points.emplace_back(double(k.pt.x), double(k.pt.y));
    if (descriptors.type() != CV_32F)
        descriptors.convertTo(out.descriptors, CV_32F);
    else
        out.descriptors = descriptors;
    rootSiftInPlace(out.descriptors);
    return out;
}

bool passesRatioTest(const std::vector<cv::DMatch>& knn, double ratio) {
    return knn.size() >= 2 && double(knn[0].distance) < ratio * double(knn[1].distance);
}

std::vector<cv::DMatch> mutualRatioMatches(const cv::Mat& descA, const cv::Mat& descB, double ratio) {
    std::vector<cv::DMatch> out;
    if (descA.empty() || descB.empty() || descA.cols != descB.cols) return out;
    cv::Mat a, b;
    descA.convertTo(a, CV_32F);
    descB.convertTo(b, CV_32F);
    // One search gives both directions' two nearest neighbours, exactly as two brute-force searches
    // would (distances, ties and all), at a fraction of their cost.
    std::vector<matchingdetail::TwoNearest> forward, backward;
    matchingdetail::twoNearest(a, b, forward, backward);
    auto passes = [ratio](const matchingdetail::TwoNearest& t) {
        return t.count >= 2 && double(t.d[0]) < ratio * double(t.d[1]);
    };
    for (int i = 0; i < a.rows; ++i) {
        const matchingdetail::TwoNearest& f = forward[size_t(i)];
        if (!passes(f)) continue;
        const matchingdetail::TwoNearest& back = backward[size_t(f.idx[0])];
        if (passes(back) && back.idx[0] == i) out.emplace_back(i, f.idx[0], 0, f.d[0]);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const cv::DMatch& x, const cv::DMatch& y) { return x.distance < y.distance; });
    return out;
}

bool verifyPairMatches(const ImageFeatures& a, const ImageFeatures& b, const std::vector<cv::DMatch>& matches,
                       double magsacThreshold, std::vector<cv::DMatch>* inliers) {
    inliers->clear();
    if (int(matches.size()) < kSfmMinPairMatches) return false;
    std::vector<cv::Point2d> pa, pb;
    pa.reserve(matches.size());
    pb.reserve(matches.size());
    for (const cv::DMatch& m : matches) {
        if (m.queryIdx < 0 || m.queryIdx >= int(a.points.size()) || m.trainIdx < 0 ||
            m.trainIdx >= int(b.points.size()))
            return false;
        pa.push_back(a.points[size_t(m.queryIdx)]);
        pb.push_back(b.points[size_t(m.trainIdx)]);
    }
    std::vector<uchar> mask;
    const cv::Mat F = cv::findFundamentalMat(pa, pb, cv::USAC_MAGSAC, magsacThreshold, 0.9999, 20000, mask);
    if (F.empty() || mask.empty()) return false;
    return keepMaskedInliers(matches, mask, inliers);
}

bool keepMaskedInliers(const std::vector<cv::DMatch>& matches, const std::vector<uchar>& mask,
                       std::vector<cv::DMatch>* inliers) {
    inliers->clear();
    for (size_t k = 0; k < matches.size() && k < mask.size(); ++k)
        if (mask[k]) inliers->push_back(matches[k]);
    if (int(inliers->size()) < kSfmMinPairInliers) {
        inliers->clear();
        return false;
    }
    return true;
}

std::vector<PairGeometry> pairwiseGeometries(const std::vector<ImageFeatures>& features, double loweRatio,
                                             double magsacThreshold, const SfmStopFlag* stop) {
    const int n = int(features.size());
    std::vector<std::pair<int, int>> order;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j) order.emplace_back(i, j);

    // Each pair is independent: the pairs run side by side, and the results are kept in pair order.
    // A pair not started because of a stop ends the list there.
    enum class State { NotRun, Rejected, Accepted };
    std::vector<State> state(order.size(), State::NotRun);
    std::vector<PairGeometry> results(order.size());
    auto runPair = [&](size_t k) {
        if (sfmStopRequested(stop)) return;
        const auto [i, j] = order[k];
        const std::vector<cv::DMatch> matches =
            mutualRatioMatches(features[size_t(i)].descriptors, features[size_t(j)].descriptors, loweRatio);
        PairGeometry& g = results[k];
        if (verifyPairMatches(features[size_t(i)], features[size_t(j)], matches, magsacThreshold,
                              &g.inliers)) {
            g.i = i;
            g.j = j;
            g.inlierCount = int(g.inliers.size());
            state[k] = State::Accepted;
        } else {
            state[k] = State::Rejected;
        }
    };
    cv::parallel_for_(cv::Range(0, int(order.size())), [&](const cv::Range& r) {
        for (int k = r.start; k < r.end; ++k) runPair(size_t(k));
    });

    std::vector<PairGeometry> out;
    for (size_t k = 0; k < order.size(); ++k) {
        if (state[k] == State::NotRun) break;
        if (state[k] == State::Accepted) out.push_back(std::move(results[k]));
    }
    return out;
}

}  // namespace refl
