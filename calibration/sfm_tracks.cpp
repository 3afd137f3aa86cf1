#include "sfm_tracks.h"

#include <algorithm>
#include <map>
#include <set>

namespace refl {

namespace {

struct TrackEntry {
    double distance;
    Observation a, b;
};

}  // namespace

std::vector<FeatureTrack> buildFeatureTracks(const std::vector<PairGeometry>& pairs) {
    std::vector<TrackEntry> entries;
    for (const PairGeometry& p : pairs)
        for (const cv::DMatch& m : p.inliers)
            entries.push_back({double(m.distance), {p.i, m.queryIdx}, {p.j, m.trainIdx}});
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TrackEntry& x, const TrackEntry& y) { return x.distance < y.distance; });

    std::map<Observation, Observation> parent;
    std::map<Observation, FeatureTrack> members;  // only for roots
    auto touch = [&](const Observation& o) {
        if (parent.emplace(o, o).second) members[o] = FeatureTrack{o};
    };
    auto find = [&](Observation o) {
        Observation root = o;
        while (!(parent[root] == root)) root = parent[root];
        while (!(parent[o] == root)) {  // path compression
            Observation next = parent[o];
            parent[o] = root;
            o = next;
        }
        return root;
    };
    auto views = [](const FeatureTrack& t) {
        std::set<int> s;
        for (const Observation& o : t) s.insert(o.view);
        return s;
    };

    for (const TrackEntry& e : entries) {
        touch(e.a);
        touch(e.b);
        Observation ra = find(e.a);
        Observation rb = find(e.b);
        if (ra == rb) continue;
        FeatureTrack& ma = members[ra];
        FeatureTrack& mb = members[rb];
        const std::set<int> va = views(ma);
        bool shared = false;
        for (const Observation& o : mb)
            if (va.count(o.view)) {
                shared = true;
                break;
            }
        if (shared) continue;
        Observation keep = ra, drop = rb;
        if (mb.size() > ma.size()) std::swap(keep, drop);
        parent[drop] = keep;
        FeatureTrack& target = members[keep];
        FeatureTrack moved = std::move(members[drop]);
        target.insert(target.end(), moved.begin(), moved.end());
        members.erase(drop);
    }

    std::vector<FeatureTrack> tracks;
    for (auto& [root, list] : members)
        if (list.size() >= 2) tracks.push_back(std::move(list));
    std::sort(tracks.begin(), tracks.end(), [](const FeatureTrack& x, const FeatureTrack& y) {
        if (x.size() != y.size()) return x.size() > y.size();
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
    });
    return tracks;
}

}  // namespace refl
