#include "sfm_tracks.h"

#include <gtest/gtest.h>

using namespace refl;

namespace {

PairGeometry pair(int i, int j, std::vector<cv::DMatch> m) {
    PairGeometry g;
    g.i = i;
    g.j = j;
    g.inliers = std::move(m);
    g.inlierCount = int(g.inliers.size());
    return g;
}

FeatureTrack track(std::initializer_list<std::pair<int, int>> obs) {
    FeatureTrack t;
    for (const auto& [v, k] : obs) t.push_back({v, k});
    return t;
}

}  // namespace

TEST(SfmTracks, SecondKeypointOfOneViewIsRefused) {
    // a-b, b-c, then a-c' where c' is another keypoint of view 2.
    const std::vector<PairGeometry> pairs = {
        pair(0, 1, {cv::DMatch(4, 7, 0.1f)}),
        pair(1, 2, {cv::DMatch(7, 3, 0.2f)}),
        pair(0, 2, {cv::DMatch(4, 9, 0.3f)}),
    };
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0], track({{0, 4}, {1, 7}, {2, 3}}));
}

TEST(SfmTracks, StrongestMatchWinsTheConflict) {
    // Same three entries, but a-c' is the strongest: it is merged first, and b-c is then refused.
    const std::vector<PairGeometry> pairs = {
        pair(0, 1, {cv::DMatch(4, 7, 0.2f)}),
        pair(1, 2, {cv::DMatch(7, 3, 0.3f)}),
        pair(0, 2, {cv::DMatch(4, 9, 0.1f)}),
    };
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0], track({{0, 4}, {2, 9}, {1, 7}}));
}

TEST(SfmTracks, LongerTrackStaysRootAndKeepsJoiningOrder) {
    const std::vector<PairGeometry> pairs = {
        pair(0, 1, {cv::DMatch(0, 0, 0.1f)}),  // [(0,0),(1,0)]
        pair(2, 3, {cv::DMatch(5, 6, 0.2f)}),  // [(2,5),(3,6)]
        pair(1, 4, {cv::DMatch(0, 1, 0.3f)}),  // (4,1) joins the first track
        pair(3, 4, {cv::DMatch(6, 1, 0.4f)}),  // the 2-track joins the 3-track: appended after it
    };
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0], track({{0, 0}, {1, 0}, {4, 1}, {2, 5}, {3, 6}}));
}

TEST(SfmTracks, EqualLengthsMergeUnderTheFirstObservationsRoot) {
    const std::vector<PairGeometry> pairs = {
        pair(2, 3, {cv::DMatch(1, 1, 0.1f)}), pair(0, 1, {cv::DMatch(2, 2, 0.2f)}),
        pair(1, 2, {cv::DMatch(2, 1, 0.3f)}),  // first observation (1,2) belongs to the second track
    };
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0], track({{0, 2}, {1, 2}, {2, 1}, {3, 1}}));
}

TEST(SfmTracks, LongestFirstThenAscendingObservations) {
    const std::vector<PairGeometry> pairs = {
        pair(0, 1,
             {cv::DMatch(5, 3, 0.1f), cv::DMatch(2, 8, 0.2f), cv::DMatch(2, 8, 0.25f),
              cv::DMatch(9, 9, 0.5f)}),
        pair(1, 2, {cv::DMatch(9, 4, 0.3f)}),
        pair(0, 2, {cv::DMatch(2, 1, 0.4f)}),
    };
    // Tracks: [(0,5),(1,3)], [(0,2),(1,8),(2,1)], [(1,9),(2,4)] plus (0,9) joining it.
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    ASSERT_EQ(tracks.size(), 3u);
    EXPECT_EQ(tracks[0], track({{0, 2}, {1, 8}, {2, 1}}));
    EXPECT_EQ(tracks[1], track({{1, 9}, {2, 4}, {0, 9}}));
    EXPECT_EQ(tracks[2], track({{0, 5}, {1, 3}}));

    // Equal lengths: ordered by the first differing observation, view first, then keypoint.
    const std::vector<FeatureTrack> ties = buildFeatureTracks({
        pair(1, 2, {cv::DMatch(0, 0, 0.1f)}),
        pair(0, 2, {cv::DMatch(7, 1, 0.2f)}),
        pair(0, 1, {cv::DMatch(3, 5, 0.3f)}),
    });
    ASSERT_EQ(ties.size(), 3u);
    EXPECT_EQ(ties[0], track({{0, 3}, {1, 5}}));
    EXPECT_EQ(ties[1], track({{0, 7}, {2, 1}}));
    EXPECT_EQ(ties[2], track({{1, 0}, {2, 0}}));
}

TEST(SfmTracks, NoPairsNoTracks) { EXPECT_TRUE(buildFeatureTracks({}).empty()); }
