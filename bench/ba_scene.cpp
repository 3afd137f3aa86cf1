#include "ba_scene.h"

#include <random>

#include "trf_solver.h"

using namespace refl;

namespace {

void refineWithPrior(BaInput& in) {
    BaLayout layout;
    if (!layout.build(in)) return;
    const std::vector<double> full0 = layout.initialParameters();
    const int n = layout.parameterCount();
    TrfProblem p;
    p.residualCount = layout.residualCount();
    p.residuals = [&](const double* xr, double* r) {
        std::vector<double> full(full0.begin(), full0.begin() + 8);
        full.insert(full.end(), xr, xr + (n - 8));
        layout.residuals(full.data(), r);
    };
    const auto cols = layout.columnRows();
    p.columnRows.assign(cols.begin() + 8, cols.end());
    TrfOptions opt;
    opt.ftol = 1e-10;
    opt.maxEvaluations = 200;
    const TrfResult r = solveTrf(p, std::vector<double>(full0.begin() + 8, full0.end()), opt);
    std::vector<double> full(full0.begin(), full0.begin() + 8);
    full.insert(full.end(), r.x.begin(), r.x.end());
    for (int v = 0; v < int(in.rvecs.size()); ++v)
        layout.pose(full.data(), v, in.rvecs[v].data(), in.tvecs[v].data());
    for (size_t q = 0; q < in.points.size(); ++q)
        for (int k = 0; k < 3; ++k) in.points[q][k] = full[layout.pointIndex(int(q)) + k];
}

}  // namespace

BaInput makeCalibrationScene(const SceneCamera& truth, const SceneCamera& prior, int pointCount,
                             unsigned seed) {
    std::mt19937 rng(seed);
    auto uni = [&](double a, double b) { return a + (b - a) * (rng() / 4294967296.0); };
    BaInput in;
    in.width = 1280;
    in.height = 960;
    const double intr[8] = {truth.fx, truth.fy, truth.cx, truth.cy, truth.k1, truth.k2, truth.p1, truth.p2};
    const Vec3 rv[5] = {
        {0, 0, 0}, {0.05, -0.35, 0.4}, {-0.3, 0.1, -0.5}, {0.25, 0.3, 1.0}, {-0.2, -0.25, -1.2}};
    const Vec3 tv[5] = {
        {0, 0, 0}, {17.0, 0.4, 3.0}, {-2.0, 14.0, 2.0}, {-15.0, -8.0, 4.0}, {9.0, -12.0, 3.0}};
    for (int v = 0; v < 5; ++v) {
        in.rvecs.push_back(rv[v]);
        in.tvecs.push_back(tv[v]);
    }
    std::vector<Vec3> pts;
    while (int(pts.size()) < pointCount) {
        const Vec3 X = {uni(-22, 22), uni(-16, 16), uni(35, 65)};
        std::vector<BaObservation> obs;
        for (int v = 0; v < 5; ++v) {
            double u, w;
            projectPoint(intr, rv[v].data(), tv[v].data(), X.data(), u, w);
            if (u < 5 || u > in.width - 5 || w < 5 || w > in.height - 5) continue;
            obs.push_back({v, int(pts.size()), u + uni(-0.3, 0.3), w + uni(-0.3, 0.3)});
        }
        if (obs.size() < 2) continue;
        in.observations.insert(in.observations.end(), obs.begin(), obs.end());
        pts.push_back(X);
    }
    for (Vec3& X : pts)
        for (double& c : X) c += uni(-0.05, 0.05);
    in.points = pts;
    for (int v = 1; v < 5; ++v)
        for (int k = 0; k < 3; ++k) {
            in.rvecs[v][k] += uni(-0.002, 0.002);
            in.tvecs[v][k] += uni(-0.02, 0.02);
        }
    in.fx = prior.fx;
    in.fy = prior.fy;
    in.cx = prior.cx;
    in.cy = prior.cy;
    in.k1 = prior.k1;
    in.k2 = prior.k2;
    in.p1 = prior.p1;
    in.p2 = prior.p2;
    refineWithPrior(in);
    return in;
}
