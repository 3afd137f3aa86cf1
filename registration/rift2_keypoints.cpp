// Keypoints of the RIFT2 features: FAST corners of the minimum moment and cell maxima of the
// maximum moment, spread over the image by a 6-pixel cell rule.
#include <QDebug>
#include <algorithm>
#include <cmath>
#include <opencv2/features2d.hpp>
#include <unordered_set>

#include "rift2.h"
#include "statistics.h"

namespace refl {

namespace rift2detail {

std::vector<KeypointCandidate> selectByCells(std::vector<KeypointCandidate> candidates, int maxFeatures) {
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const KeypointCandidate& a, const KeypointCandidate& b) { return a.score > b.score; });
    std::vector<KeypointCandidate> taken;
    std::unordered_set<long long> usedCells;
    for (const KeypointCandidate& c : candidates) {
        if (static_cast<int>(taken.size()) >= maxFeatures) break;
        const long long cx = static_cast<long long>(std::floor(c.x)) / 6;
        const long long cy = static_cast<long long>(std::floor(c.y)) / 6;
        const long long key = (cy << 32) ^ (cx & 0xffffffffLL);
        if (!usedCells.insert(key).second) continue;
        taken.push_back(c);
    }
    return taken;
}

}  // namespace rift2detail

using rift2detail::KeypointCandidate;

cv::Mat detectRiftKeypoints(const cv::Mat& maxMoment, const cv::Mat& minMoment, int maxFeatures,
                            int patchSize) {
    if (maxMoment.empty() || minMoment.empty() || maxMoment.size() != minMoment.size()) {
        qDebug() << "detectRiftKeypoints: insufficient keypoints" << 0;
        return cv::Mat();
    }
    cv::Mat M;
    maxMoment.convertTo(M, CV_32F);
    const int rows = M.rows, cols = M.cols;
    const int border = patchSize / 2 + 1;
    std::vector<KeypointCandidate> candidates;

    // Corners of the minimum moment rank above every moment maximum.
    const cv::Mat corners8 = normalizeToByte(minMoment);
    std::vector<cv::KeyPoint> corners;
    cv::FAST(corners8, corners, 4, true, cv::FastFeatureDetector::TYPE_9_16);
    for (const cv::KeyPoint& kp : corners) candidates.push_back({kp.pt.x, kp.pt.y, kp.response + 256.0f});

    // Maxima of the maximum moment in 7x7 cells, kept when at or above its 82nd percentile.
    std::vector<float> all;
    all.reserve(M.total());
    for (int r = 0; r < rows; ++r) {
        const float* p = M.ptr<float>(r);
        for (int c = 0; c < cols; ++c)
            if (!std::isnan(p[c])) all.push_back(p[c]);
    }
    const double t = percentileOfUnsorted(all, 82.0);
    for (int y0 = border; y0 < rows - border; y0 += 7) {
        const int y1 = std::min(y0 + 7, rows - border);
        for (int x0 = border; x0 < cols - border; x0 += 7) {
            const int x1 = std::min(x0 + 7, cols - border);
            float best = 0.0f;
            int bx = -1, by = -1;
            for (int y = y0; y < y1; ++y) {
                const float* p = M.ptr<float>(y);
                for (int x = x0; x < x1; ++x)
                    if (bx < 0 || p[x] > best) {
                        best = p[x];
                        bx = x;
                        by = y;
                    }
            }
            if (bx >= 0 && best >= t)
                candidates.push_back({static_cast<float>(bx), static_cast<float>(by), best});
        }
    }

    // Only candidates a full patch away from the edges.
    std::vector<KeypointCandidate> inside;
    inside.reserve(candidates.size());
    for (const KeypointCandidate& c : candidates)
        if (c.x >= border && c.x < cols - border && c.y >= border && c.y < rows - border) inside.push_back(c);

    const std::vector<KeypointCandidate> taken = rift2detail::selectByCells(std::move(inside), maxFeatures);
    if (taken.size() < 12) {
        qDebug() << "detectRiftKeypoints: insufficient keypoints" << static_cast<int>(taken.size());
        return cv::Mat();
    }
    cv::Mat keypoints(static_cast<int>(taken.size()), 2, CV_32F);
    for (int i = 0; i < keypoints.rows; ++i) {
        keypoints.at<float>(i, 0) = taken[i].x;
        keypoints.at<float>(i, 1) = taken[i].y;
    }
    return keypoints;
}

}  // namespace refl
