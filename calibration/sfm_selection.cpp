#include "sfm_selection.h"

#include <algorithm>
#include <cmath>

namespace refl {

std::vector<AdjustmentCandidate> adjustmentCandidates(const std::vector<FeatureTrack>& tracks,
                                                      const std::vector<int>& triangulated,
                                                      const std::vector<ImageFeatures>& features,
                                                      const std::vector<ViewPose>& poses, const cv::Mat& K,
                                                      const cv::Mat& D) {
    std::vector<AdjustmentCandidate> out;
    for (int ti : triangulated) {
        if (ti < 0 || ti >= int(tracks.size())) continue;
        TrackMeasurement m;
        if (!triangulateTrack(tracks[size_t(ti)], features, poses, K, D, &m)) continue;
        if (m.medianErrorPx > 6.0) continue;
        out.push_back({ti, m.medianErrorPx, int(tracks[size_t(ti)].size()), m.maxRayAngleDeg});
    }
    std::sort(out.begin(), out.end(), [](const AdjustmentCandidate& x, const AdjustmentCandidate& y) {
        if (x.observationCount != y.observationCount) return x.observationCount > y.observationCount;
        if (x.medianErrorPx != y.medianErrorPx) return x.medianErrorPx < y.medianErrorPx;
        if (x.maxRayAngleDeg != y.maxRayAngleDeg) return x.maxRayAngleDeg > y.maxRayAngleDeg;
        return x.track < y.track;
    });
    return out;
}

std::vector<AdjustmentCandidate> multiViewCandidates(std::vector<AdjustmentCandidate> sorted) {
    const auto multi = std::partition_point(sorted.begin(), sorted.end(), [](const AdjustmentCandidate& c) {
        return c.observationCount >= kMinAdjustmentTrackViews;
    });
    if (multi - sorted.begin() >= kMinMultiViewCandidates) sorted.erase(multi, sorted.end());
    return sorted;
}

int adjustmentCellQuota(int limit, int views) {
    const double cells = std::max(1.0, double(views) * 48.0);
    return std::max(3 * int(std::ceil(double(limit) / cells)), 4);
}

std::vector<int> selectFromCandidates(const std::vector<AdjustmentCandidate>& sorted,
                                      const std::vector<FeatureTrack>& tracks,
                                      const std::vector<ImageFeatures>& features, int views, int limit,
                                      int width, int height) {
    std::vector<int> out;
    const int lim = std::max(0, limit);
    if (int(sorted.size()) <= lim) {
        for (const AdjustmentCandidate& c : sorted) out.push_back(c.track);
        return out;
    }
    const int quota = adjustmentCellQuota(lim, views);
    const int nViews = std::max(0, views);
    std::vector<int> taken(size_t(nViews) * 48, 0);
    auto bucket = [&](const Observation& o) -> int {
        if (o.view < 0 || o.view >= nViews || o.view >= int(features.size())) return -1;
        const auto& pts = features[size_t(o.view)].points;
        if (o.keypoint < 0 || o.keypoint >= int(pts.size())) return -1;
        const cv::Point2d& p = pts[size_t(o.keypoint)];
        const int col = std::min(int(8.0 * p.x / double(std::max(1, width))), 7);
        const int row = std::min(int(6.0 * p.y / double(std::max(1, height))), 5);
        if (col < 0 || row < 0) return -1;
        return o.view * 48 + row * 8 + col;
    };
    for (const AdjustmentCandidate& c : sorted) {
        if (int(out.size()) >= lim) break;
        const FeatureTrack& track = tracks[size_t(c.track)];
        bool open = false;
        for (const Observation& o : track) {
            const int k = bucket(o);
            if (k >= 0 && taken[size_t(k)] < quota) {
                open = true;
                break;
            }
        }
        if (!open) continue;
        for (const Observation& o : track) {
            const int k = bucket(o);
            if (k >= 0) ++taken[size_t(k)];
        }
        out.push_back(c.track);
    }
    if (int(out.size()) < std::min(lim, 80)) {
        out.clear();
        for (size_t k = 0; k < sorted.size() && int(k) < lim; ++k) out.push_back(sorted[k].track);
    }
    return out;
}

std::vector<int> selectAdjustmentTracks(const std::vector<FeatureTrack>& tracks,
                                        const std::map<int, cv::Vec3d>& points,
                                        const std::vector<int>& triangulated,
                                        const std::vector<ImageFeatures>& features,
                                        const std::vector<ViewPose>& poses, const cv::Mat& K,
                                        const cv::Mat& D, int limit, int width, int height) {
    (void)points;  // the tracks are measured afresh with the final poses
    return selectFromCandidates(
        multiViewCandidates(adjustmentCandidates(tracks, triangulated, features, poses, K, D)), tracks,
        features, int(poses.size()), limit, width, height);
}

}  // namespace refl
