// Descriptor matching (ratio test, mutual one-to-one matches) and geometric checks of a warp.
#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "matching_fast.h"
#include "pair_registration.h"

namespace refl {

std::map<int, cv::DMatch> matchRatio(const cv::Mat& query, const cv::Mat& train, double ratio) {
    std::map<int, cv::DMatch> out;
    if (query.empty() || train.empty() || query.cols != train.cols || query.type() != train.type())
        return out;
    cv::BFMatcher matcher(cv::NORM_L2, false);
    std::vector<std::vector<cv::DMatch>> knn;
    matcher.knnMatch(query, train, knn, 2);
    for (const std::vector<cv::DMatch>& m : knn) {
        if (m.size() < 2) continue;
        if (m[1].distance * ratio > m[0].distance) out[m[0].queryIdx] = m[0];
    }
    return out;
}

namespace {

// The ratio test in both directions from one nearest-neighbour search; gives the same matches as
// matchRatio(a, b) and matchRatio(b, a), whose L2 distances are symmetric.
void matchRatioBothWays(const cv::Mat& a, const cv::Mat& b, double ratio, std::map<int, cv::DMatch>& forward,
                        std::map<int, cv::DMatch>& backward) {
    forward.clear();
    backward.clear();
    if (a.empty() || b.empty() || a.cols != b.cols || a.type() != b.type()) return;
    std::vector<matchingdetail::TwoNearest> rowBest, colBest;
    matchingdetail::twoNearest(a, b, rowBest, colBest);
    auto collect = [ratio](const std::vector<matchingdetail::TwoNearest>& best,
                           std::map<int, cv::DMatch>& out) {
        for (int q = 0; q < static_cast<int>(best.size()); ++q) {
            const matchingdetail::TwoNearest& t = best[q];
            if (t.count < 2) continue;
            if (t.d[1] * ratio > t.d[0]) out[q] = cv::DMatch(q, t.idx[0], t.d[0]);
        }
    };
    collect(rowBest, forward);
    collect(colBest, backward);
}

}  // namespace

void matchMutual(const Rift2Features& src, const Rift2Features& ref, double ratio, cv::Mat& srcPoints,
                 cv::Mat& refPoints, std::vector<float>& distances) {
    srcPoints.release();
    refPoints.release();
    distances.clear();
    std::map<int, cv::DMatch> forward, backward;
    matchRatioBothWays(src.descriptors, ref.descriptors, ratio, forward, backward);

    std::vector<cv::DMatch> mutual;  // std::map walks the src rows in ascending order
    for (const auto& entry : forward) {
        const cv::DMatch& m = entry.second;
        const auto back = backward.find(m.trainIdx);
        if (back != backward.end() && back->second.trainIdx == m.queryIdx) mutual.push_back(m);
    }
    std::stable_sort(mutual.begin(), mutual.end(),
                     [](const cv::DMatch& a, const cv::DMatch& b) { return a.distance < b.distance; });

    if (src.descriptorIndex.total() < static_cast<size_t>(src.descriptors.rows) ||
        ref.descriptorIndex.total() < static_cast<size_t>(ref.descriptors.rows))
        mutual.clear();  // malformed feature set: no keypoint owner for some descriptor rows
    std::vector<char> srcUsed(src.keypoints.rows, 0), refUsed(ref.keypoints.rows, 0);
    std::vector<cv::Point2f> sp, rp;
    for (const cv::DMatch& m : mutual) {
        const int sk = src.descriptorIndex.at<int>(m.queryIdx);
        const int rk = ref.descriptorIndex.at<int>(m.trainIdx);
        if (sk < 0 || sk >= src.keypoints.rows || rk < 0 || rk >= ref.keypoints.rows) continue;
        if (srcUsed[sk] || refUsed[rk]) continue;
        srcUsed[sk] = refUsed[rk] = 1;
        sp.emplace_back(src.keypoints.at<float>(sk, 0), src.keypoints.at<float>(sk, 1));
        rp.emplace_back(ref.keypoints.at<float>(rk, 0), ref.keypoints.at<float>(rk, 1));
        distances.push_back(m.distance);
    }
    if (sp.empty()) return;
    srcPoints = cv::Mat(static_cast<int>(sp.size()), 2, CV_32F, sp.data()).clone();
    refPoints = cv::Mat(static_cast<int>(rp.size()), 2, CV_32F, rp.data()).clone();
}

cv::Mat computeTransferErrors(const cv::Mat& refFromSrc, const cv::Mat& srcPoints, const cv::Mat& refPoints) {
    const int n = srcPoints.rows;
    if (n == 0 || refFromSrc.empty() || refPoints.rows != n) return cv::Mat(1, 0, CV_32F);
    cv::Mat src2, ref2;
    srcPoints.reshape(2, n).convertTo(src2, CV_32FC2);
    refPoints.reshape(2, n).convertTo(ref2, CV_32FC2);
    cv::Mat h;
    refFromSrc.convertTo(h, CV_64F);
    cv::Mat projected;
    cv::perspectiveTransform(src2, projected, h);
    cv::Mat errors(1, n, CV_32F);
    for (int i = 0; i < n; ++i) {
        const cv::Point2f p = projected.at<cv::Point2f>(i);
        const cv::Point2f q = ref2.at<cv::Point2f>(i);
        errors.at<float>(0, i) = std::hypot(p.x - q.x, p.y - q.y);
    }
    return errors;
}

bool validateHomography(const cv::Mat& refFromSrc, int width, int height) {
    if (refFromSrc.rows != 3 || refFromSrc.cols != 3 || refFromSrc.channels() != 1 || width <= 0 ||
        height <= 0)
        return false;
    cv::Mat W;
    refFromSrc.convertTo(W, CV_64F);
    for (int i = 0; i < 9; ++i)
        if (!std::isfinite(W.at<double>(i / 3, i % 3))) return false;
    if (std::fabs(cv::determinant(W)) < 1e-8) return false;
    const double cx[4] = {0.0, width - 1.0, width - 1.0, 0.0};
    const double cy[4] = {0.0, 0.0, height - 1.0, height - 1.0};
    double px[4], py[4];
    for (int i = 0; i < 4; ++i) {
        const double w = W.at<double>(2, 0) * cx[i] + W.at<double>(2, 1) * cy[i] + W.at<double>(2, 2);
        px[i] = (W.at<double>(0, 0) * cx[i] + W.at<double>(0, 1) * cy[i] + W.at<double>(0, 2)) / w;
        py[i] = (W.at<double>(1, 0) * cx[i] + W.at<double>(1, 1) * cy[i] + W.at<double>(1, 2)) / w;
        if (!std::isfinite(px[i]) || !std::isfinite(py[i])) return false;
    }
    double twice = 0.0;
    for (int i = 0; i < 4; ++i) {
        const int j = (i + 1) % 4;
        twice += px[i] * py[j] - px[j] * py[i];
    }
    const double area = std::fabs(twice) / 2.0;
    const double full = static_cast<double>(width) * height;
    return area >= 0.2 * full && area <= 5.0 * full;
}

}  // namespace refl
