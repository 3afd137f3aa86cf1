#include "sfm_selection.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "sfm_test_scene.h"

using namespace refl;

namespace {

// One view, candidate k observed at points[k] of that view.
struct OneView {
    std::vector<FeatureTrack> tracks;
    std::vector<ImageFeatures> features{1};
    std::vector<AdjustmentCandidate> sorted;
    void add(double x, double y) {
        const int k = int(tracks.size());
        features[0].points.emplace_back(x, y);
        tracks.push_back({{0, k}});
        sorted.push_back({k, 0.1, 1, 1.0});
    }
};

}  // namespace

TEST(SfmSelection, CellQuota) {
    EXPECT_EQ(adjustmentCellQuota(700, 5), 9);  // 3 x ceil(700 / 240)
    EXPECT_EQ(adjustmentCellQuota(1400, 5), 18);
    EXPECT_EQ(adjustmentCellQuota(100, 5), 4);  // at least 4
    EXPECT_EQ(adjustmentCellQuota(10, 0), 30);  // no views: one cell
}

TEST(SfmSelection, AllCandidatesWhenTheyFit) {
    OneView s;
    for (int k = 0; k < 500; ++k) s.add(1, 1);  // all in one cell
    const std::vector<int> ids = selectFromCandidates(s.sorted, s.tracks, s.features, 1, 700, 640, 480);
    ASSERT_EQ(ids.size(), 500u);
    for (int k = 0; k < 500; ++k) EXPECT_EQ(ids[size_t(k)], k);
}

TEST(SfmSelection, GridQuotaSpreadsTheSelection) {
    // limit 50, one view: quota max(3 x ceil(50/48), 4) = 6. The first 150 candidates crowd the
    // top-left cell; the next 100 lie in the other cells.
    OneView s;
    for (int k = 0; k < 150; ++k) s.add(10, 10);
    for (int k = 0; k < 100; ++k) s.add(80 + 80 * (k % 7), 80 + 80 * ((k / 7) % 5));
    const std::vector<int> ids = selectFromCandidates(s.sorted, s.tracks, s.features, 1, 50, 640, 480);
    ASSERT_EQ(ids.size(), 50u);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(ids[size_t(k)], k);
    for (int k = 6; k < 50; ++k) EXPECT_EQ(ids[size_t(k)], 150 + k - 6);
}

TEST(SfmSelection, TooFewTakenFallsBackToTheBestCandidates) {
    // Everything in one cell: the grid takes only 9 of limit 700 (< 80), so the first 700 return.
    OneView s;
    for (int k = 0; k < 900; ++k) s.add(630, 470);
    const std::vector<int> ids = selectFromCandidates(s.sorted, s.tracks, s.features, 5, 700, 640, 480);
    ASSERT_EQ(ids.size(), 700u);
    for (int k = 0; k < 700; ++k) EXPECT_EQ(ids[size_t(k)], k);
}

TEST(SfmSelection, CellOfThePointOnTheFarEdgeIsTheLastOne) {
    // Points at x = width and y = height fall into column 7 / row 5, sharing the cell with (630, 470).
    OneView s;
    for (int k = 0; k < 10; ++k) s.add(640, 480);
    for (int k = 0; k < 10; ++k) s.add(630, 470);
    for (int k = 0; k < 90; ++k) s.add(5 + 7 * k, 5 + 5 * k);
    const std::vector<int> ids = selectFromCandidates(s.sorted, s.tracks, s.features, 1, 100, 640, 480);
    // quota max(3 x ceil(100/48), 4) = 9: 9 from the corner cell, then the diagonal.
    ASSERT_GE(ids.size(), 80u);
    EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](int id) { return id < 20; }), 9);
}

TEST(SfmSelection, CandidatesAreSortedByLengthErrorAngleIndex) {
    const SyntheticScene s = makeSyntheticScene();
    std::vector<int> all;
    for (int k = 0; k < int(s.tracks.size()); ++k)
        if (s.tracks[size_t(k)].size() >= 2) all.push_back(k);
    const std::vector<AdjustmentCandidate> c =
        adjustmentCandidates(s.tracks, all, s.features, s.poses, s.K, s.D);
    ASSERT_EQ(c.size(), all.size());
    for (size_t k = 1; k < c.size(); ++k) {
        ASSERT_GE(c[k - 1].observationCount, c[k].observationCount);
        if (c[k - 1].observationCount == c[k].observationCount) {
            ASSERT_LE(c[k - 1].medianErrorPx, c[k].medianErrorPx);
        }
    }
    // A track whose point was moved off by 10 px in one of two views is no candidate (> 6 px).
    SyntheticScene bad = s;
    int twoView = -1;
    for (int k = 0; k < int(bad.tracks.size()) && twoView < 0; ++k)
        if (bad.tracks[size_t(k)].size() == 3) twoView = k;
    ASSERT_GE(twoView, 0);
    for (const Observation& o : bad.tracks[size_t(twoView)])
        bad.features[size_t(o.view)].points[size_t(o.keypoint)] += cv::Point2d(o.view % 2 ? 40 : -40, 30);
    const std::vector<AdjustmentCandidate> c2 =
        adjustmentCandidates(bad.tracks, {twoView}, bad.features, bad.poses, bad.K, bad.D);
    EXPECT_TRUE(c2.empty());
}

TEST(SfmSelection, TwoViewTracksAreLeftOutWhenEnoughMultiViewTracksRemain) {
    auto candidates = [](int multi, int twoView) {
        std::vector<AdjustmentCandidate> c;
        for (int k = 0; k < multi; ++k) c.push_back({k, 0.1, 3 + k % 3, 1.0});
        std::stable_sort(c.begin(), c.end(), [](const AdjustmentCandidate& x, const AdjustmentCandidate& y) {
            return x.observationCount > y.observationCount;
        });
        for (int k = 0; k < twoView; ++k) c.push_back({multi + k, 0.05, 2, 1.0});
        return c;
    };
    const std::vector<AdjustmentCandidate> enough =
        multiViewCandidates(candidates(kMinMultiViewCandidates, 500));
    ASSERT_EQ(enough.size(), size_t(kMinMultiViewCandidates));
    for (const AdjustmentCandidate& c : enough) EXPECT_GE(c.observationCount, kMinAdjustmentTrackViews);
    // Too few multi-view tracks: the two-view ones stay, in their order.
    const std::vector<AdjustmentCandidate> few =
        multiViewCandidates(candidates(kMinMultiViewCandidates - 1, 500));
    ASSERT_EQ(few.size(), size_t(kMinMultiViewCandidates - 1 + 500));
    EXPECT_EQ(few.back().track, kMinMultiViewCandidates - 1 + 499);
}
