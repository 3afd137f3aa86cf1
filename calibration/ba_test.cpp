#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <random>
#include <set>

#include "ba_arrays.h"
#include "ba_layout.h"
#include "ba_quality.h"

using namespace refl;

namespace {

struct Camera {
    double fx = 1000, fy = 1000, cx = 650, cy = 470, k1 = -0.1, k2 = 0.05, p1 = 0, p2 = 0;
};

// A deterministic 5-view scene seen by `truth`; poses and points of the start are
// slightly off, as a reconstruction would leave them.
BaInput syntheticScene(const Camera& truth, int pointCount, std::vector<Vec3>* truePoints = nullptr) {
    std::mt19937 rng(12345);
    auto uni = [&](double a, double b) { return a + (b - a) * (rng() / 4294967296.0); };
    BaInput in;
    in.width = 1280;
    in.height = 960;
    const double intr[8] = {truth.fx, truth.fy, truth.cx, truth.cy, truth.k1, truth.k2, truth.p1, truth.p2};
    // Views converging on the scene from a wide baseline, rolled against each other, so
    // that focal length, principal point and distortion are observable.
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
    if (truePoints) *truePoints = pts;
    for (Vec3& X : pts)
        for (double& c : X) c += uni(-0.05, 0.05);
    in.points = pts;
    for (int v = 1; v < 5; ++v)
        for (int k = 0; k < 3; ++k) {
            in.rvecs[v][k] += uni(-0.002, 0.002);
            in.tvecs[v][k] += uni(-0.02, 0.02);
        }
    in.viewA = 0;
    in.viewB = 1;
    return in;
}

void setPrior(BaInput& in, const Camera& c) {
    in.fx = c.fx;
    in.fy = c.fy;
    in.cx = c.cx;
    in.cy = c.cy;
    in.k1 = c.k1;
    in.k2 = c.k2;
    in.p1 = c.p1;
    in.p2 = c.p2;
}

// What a reconstruction made with the prior camera hands over: poses and points refined
// with the intrinsics held at the prior (linear loss), so that they absorb what they can of
// the camera's error.
void reconstructWithPrior(BaInput& in) {
    BaLayout layout;
    ASSERT_TRUE(layout.build(in));
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

QJsonArray vec3Array(const std::vector<Vec3>& v) {
    QJsonArray a;
    for (const Vec3& e : v) a.append(QJsonArray{e[0], e[1], e[2]});
    return a;
}

// The problem as plain JSON, for the SciPy reference script.
QJsonObject problemJson(const BaInput& in) {
    QJsonObject o;
    o["prior"] = QJsonArray{in.fx, in.fy, in.cx, in.cy, in.k1, in.k2, in.p1, in.p2};
    o["width"] = in.width;
    o["height"] = in.height;
    o["view_a"] = in.viewA;
    o["view_b"] = in.viewB;
    o["rvecs"] = vec3Array(in.rvecs);
    o["tvecs"] = vec3Array(in.tvecs);
    o["points"] = vec3Array(in.points);
    QJsonArray obs;
    for (const BaObservation& b : in.observations) obs.append(QJsonArray{b.view, b.point, b.u, b.v});
    o["observations"] = obs;
    return o;
}

std::vector<Vec3> vec3List(const QJsonValue& v) {
    std::vector<Vec3> out;
    for (const QJsonValue& e : v.toArray()) {
        const QJsonArray a = e.toArray();
        out.push_back({a[0].toDouble(), a[1].toDouble(), a[2].toDouble()});
    }
    return out;
}

QJsonObject readJson(const QString& name) {
    QFile f(QStringLiteral(REFL_CALIBRATION_TESTDATA "/") + name);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

BaInput problemFromJson(const QJsonObject& o) {
    BaInput in;
    const QJsonArray prior = o["prior"].toArray();
    in.fx = prior[0].toDouble();
    in.fy = prior[1].toDouble();
    in.cx = prior[2].toDouble();
    in.cy = prior[3].toDouble();
    in.k1 = prior[4].toDouble();
    in.k2 = prior[5].toDouble();
    in.p1 = prior[6].toDouble();
    in.p2 = prior[7].toDouble();
    in.width = o["width"].toInt();
    in.height = o["height"].toInt();
    in.viewA = o["view_a"].toInt();
    in.viewB = o["view_b"].toInt();
    in.rvecs = vec3List(o["rvecs"]);
    in.tvecs = vec3List(o["tvecs"]);
    in.points = vec3List(o["points"]);
    for (const QJsonValue& e : o["observations"].toArray()) {
        const QJsonArray a = e.toArray();
        in.observations.push_back({a[0].toInt(), a[1].toInt(), a[2].toDouble(), a[3].toDouble()});
    }
    return in;
}

}  // namespace

TEST(BaProjection, MatchesOpenCvProjectPoints) {
    const double intr[8] = {812.5, 790.25, 640.5, 480.75, -0.21, 0.07, 0.003, -0.002};
    const cv::Matx33d K(intr[0], 0, intr[2], 0, intr[1], intr[3], 0, 0, 1);
    const std::vector<double> dist = {intr[4], intr[5], intr[6], intr[7], 0.0};
    const Vec3 rvecs[3] = {{0, 0, 0}, {0.1, -0.2, 0.05}, {1.2, 0.4, -2.0}};
    const Vec3 t = {0.3, -0.2, 4.0};
    for (const Vec3& r : rvecs) {
        std::vector<cv::Point3d> X = {{0.1, 0.2, 1.0}, {-1.5, 0.7, 3.0}, {2.0, -1.0, 0.5}};
        std::vector<cv::Point2d> ref;
        cv::projectPoints(X, cv::Vec3d(r[0], r[1], r[2]), cv::Vec3d(t[0], t[1], t[2]), K, dist, ref);
        for (size_t i = 0; i < X.size(); ++i) {
            const double P[3] = {X[i].x, X[i].y, X[i].z};
            double u, v;
            projectPoint(intr, r.data(), t.data(), P, u, v);
            EXPECT_NEAR(u, ref[i].x, 1e-9);
            EXPECT_NEAR(v, ref[i].y, 1e-9);
        }
        cv::Matx33d R;
        cv::Rodrigues(cv::Vec3d(r[0], r[1], r[2]), R);
        const std::array<double, 9> ours = rodriguesToMatrix(r);
        for (int k = 0; k < 9; ++k) EXPECT_NEAR(ours[k], R.val[k], 1e-14);
        const Vec3 back = rodriguesFromMatrix(ours);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(back[k], r[k], 1e-12);
    }
}

TEST(BaLayout, GaugePriorsAndBounds) {
    BaInput in = syntheticScene(Camera(), 20);
    Camera prior;
    prior.k1 = 0.6;  // outside the bounds: pulled to 0.4999999999
    prior.p2 = -0.2;
    prior.cx = 10;  // below 0.15 w
    setPrior(in, prior);
    in.tvecs[1] = {-3.0, 3.0, 1.0};  // tie on |t|: the first (x) is fixed
    BaLayout layout;
    ASSERT_TRUE(layout.build(in));
    EXPECT_EQ(layout.rotationIndex(0), -1);
    EXPECT_EQ(layout.rotationIndex(1), 8);
    EXPECT_EQ(layout.fixedTranslationComponent(), 0);
    EXPECT_EQ(layout.translationIndex(1, 0), -1);
    EXPECT_EQ(layout.translationIndex(1, 1), 11);
    EXPECT_EQ(layout.rotationIndex(2), 13);
    EXPECT_EQ(layout.parameterCount(), 8 + 5 + 3 * 6 + 3 * 20);
    EXPECT_EQ(layout.residualCount(), 2 * int(in.observations.size()) + 8);
    const std::vector<double> x = layout.initialParameters();
    EXPECT_DOUBLE_EQ(x[4], 0.4999999999);
    EXPECT_DOUBLE_EQ(x[7], -0.0499999999);
    EXPECT_DOUBLE_EQ(x[2], 0.15 * 1280 + 1e-10);
    EXPECT_DOUBLE_EQ(layout.lower()[0], 0.55 * 1000);
    EXPECT_DOUBLE_EQ(layout.upper()[1], 1.8 * 1000);
    EXPECT_DOUBLE_EQ(layout.upper()[3], 0.85 * 960);
    EXPECT_DOUBLE_EQ(layout.priorSigmas()[0], 100.0);
    EXPECT_DOUBLE_EQ(layout.priorSigmas()[6], 0.01);
    EXPECT_EQ(layout.lower()[layout.pointIndex(0)], -std::numeric_limits<double>::infinity());
    // Prior residual rows: (value - prior) / sigma.
    std::vector<double> r(layout.residualCount());
    layout.residuals(x.data(), r.data());
    const int n = int(in.observations.size());
    EXPECT_NEAR(r[2 * n + 4], (0.4999999999 - 0.6) / 0.05, 1e-12);
    EXPECT_NEAR(r[2 * n + 2], (0.15 * 1280 + 1e-10 - 10) / 24.0, 1e-9);

    // Largest |t| component, not the first, when they differ.
    in.tvecs[1] = {0.5, -4.0, 1.0};
    ASSERT_TRUE(layout.build(in));
    EXPECT_EQ(layout.fixedTranslationComponent(), 1);
}

TEST(BaLayout, DeclaredSparsityCoversEveryDependency) {
    BaInput in = syntheticScene(Camera(), 15);
    setPrior(in, Camera());
    BaLayout layout;
    ASSERT_TRUE(layout.build(in));
    const std::vector<double> x = layout.initialParameters();
    const auto cols = layout.columnRows();
    std::vector<double> r0(layout.residualCount()), r1(layout.residualCount());
    layout.residuals(x.data(), r0.data());
    for (int j = 0; j < layout.parameterCount(); ++j) {
        std::vector<double> xp = x;
        xp[j] += 1e-3 * std::max(1.0, std::fabs(x[j]));
        layout.residuals(xp.data(), r1.data());
        const std::set<int> declared(cols[j].begin(), cols[j].end());
        for (int i = 0; i < layout.residualCount(); ++i) {
            if (r1[i] != r0[i]) {
                EXPECT_TRUE(declared.count(i)) << "parameter " << j << " changes undeclared row " << i;
            }
        }
    }
}

TEST(BaLayout, RejectsInconsistentInput) {
    BaInput in = syntheticScene(Camera(), 10);
    setPrior(in, Camera());
    BaLayout layout;
    BaInput bad = in;
    bad.viewB = bad.viewA;
    EXPECT_FALSE(layout.build(bad));
    bad = in;
    bad.observations[0].point = 99;
    EXPECT_FALSE(layout.build(bad));
    bad = in;
    bad.fx = 0;  // empty focal bounds
    EXPECT_FALSE(layout.build(bad));
}

TEST(BaQuality, PercentileRmsAndCoverage) {
    EXPECT_EQ(percentile90({}), 0.0);
    // 11 values 0..10: q = 9 exactly.
    std::vector<double> e;
    for (int i = 10; i >= 0; --i) e.push_back(i);
    EXPECT_DOUBLE_EQ(percentile90(e), 9.0);
    EXPECT_DOUBLE_EQ(rmsError({3, 4}), std::sqrt(12.5));
    EXPECT_EQ(rmsError({}), 0.0);

    // Square with interior and duplicate points: hull area 100.
    EXPECT_DOUBLE_EQ(convexHullArea({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {5, 5}, {0, 0}, {3, 7}}), 100.0);
    EXPECT_EQ(convexHullArea({{0, 0}, {1, 1}, {2, 2}}), 0.0);  // collinear

    // View 0 spread over the image, view 1 in one corner, view 2 with 2 observations.
    std::vector<BaObservation> obs = {{0, 0, 0, 0},   {0, 1, 100, 0}, {0, 2, 100, 100},
                                      {0, 3, 0, 100}, {1, 0, 0, 0},   {1, 1, 30, 0},
                                      {1, 2, 0, 30},  {2, 0, 50, 50}, {2, 1, 60, 60}};
    const std::vector<double> cov = viewCoverage(obs, 4, 100, 100);
    ASSERT_EQ(cov.size(), 4u);
    EXPECT_DOUBLE_EQ(cov[0], 1.0);
    EXPECT_NEAR(cov[1], 450.0 / 10000.0, 1e-12);
    EXPECT_EQ(cov[2], 0.0);
    EXPECT_EQ(cov[3], 0.0);  // no observations at all
    EXPECT_EQ(minimumCoverage(cov), 0.0);
    EXPECT_EQ(minimumCoverage({}), 0.0);
    EXPECT_EQ(minimumCoverage({2.0, 1.5}), 1.0);
}

TEST(BaQuality, AcceptanceRules) {
    double k[8] = {1000, 1000, 640, 480, 0.1, 0.0, 0.001, 0.0};
    const std::vector<double> x(k, k + 8);
    const std::vector<double> errors = {0.5, 0.7};
    BaAcceptanceInput in;
    in.priorFx = in.priorFy = 1000;
    in.intrinsics = k;
    in.x = &x;
    in.errors = &errors;
    in.initialRms = 2.0;
    in.finalRms = 0.6;
    in.p90 = 0.7;
    in.minCoverage = 0.4;
    EXPECT_TRUE(acceptAdjustment(in));
    k[0] = 1790;  // focal pressed toward the upper bound 1.8 K: rejected
    EXPECT_FALSE(acceptAdjustment(in));
    k[0] = 1000;
    k[4] = 0.49;
    EXPECT_FALSE(acceptAdjustment(in));
    k[4] = 0.1;
    in.minCoverage = 0.149;  // one-corner view
    EXPECT_FALSE(acceptAdjustment(in));
    in.minCoverage = 0.4;
    in.finalRms = 2.03;  // worse than 1.01 x initial
    EXPECT_FALSE(acceptAdjustment(in));
    in.finalRms = 0.6;
    in.p90 = 3.0;
    EXPECT_FALSE(acceptAdjustment(in));
    in.p90 = 0.7;
    const std::vector<double> bad = {0.5, NAN};
    in.errors = &bad;
    EXPECT_FALSE(acceptAdjustment(in));
}

TEST(BundleAdjustArrays, ThreeObservationsAreRefused) {
    BaInput in = syntheticScene(Camera(), 5);
    setPrior(in, Camera());
    in.observations.resize(3);
    BaOutput out;
    EXPECT_FALSE(bundleAdjustArrays(in, 120, {}, out));
    EXPECT_EQ(out.initialRms, 999.0);
    EXPECT_EQ(out.finalRms, 999.0);
    EXPECT_FALSE(out.optimised);
}

TEST(BundleAdjustArrays, RecoversAKnownCameraFromAnOffsetPrior) {
    const Camera truth;
    BaInput in = syntheticScene(truth, 300);
    Camera prior = truth;
    prior.fx = prior.fy = truth.fx * 1.03;
    prior.cx = truth.cx + 20;
    prior.cy = truth.cy - 20;
    prior.k1 = 0;
    prior.k2 = 0;
    setPrior(in, prior);
    reconstructWithPrior(in);
    if (qEnvironmentVariableIsSet("REFL_BA_DUMP")) {
        QFile f(qEnvironmentVariable("REFL_BA_DUMP"));
        if (f.open(QIODevice::WriteOnly))
            f.write(QJsonDocument(problemJson(in)).toJson(QJsonDocument::Compact));
    }
    BaOutput out;
    const bool accepted = bundleAdjustArrays(in, 120, {}, out, 2);
    std::printf("observations %zu, %s\n", in.observations.size(), qPrintable(out.solver.summary()));
    std::printf(
        "fx %.3f -> %.3f (truth %.1f), cx %.3f -> %.3f (%.1f), cy %.3f -> %.3f (%.1f), "
        "k1 %.4f -> %.4f (%.2f); rms %.3f -> %.3f, p90 %.3f, coverage %.3f\n",
        prior.fx, out.fx, truth.fx, prior.cx, out.cx, truth.cx, prior.cy, out.cy, truth.cy, prior.k1,
        out.distortion[0], truth.k1, out.initialRms, out.finalRms, out.p90, out.minCoverage);
    EXPECT_TRUE(accepted);
    EXPECT_LT(std::fabs(out.fx - truth.fx), std::fabs(prior.fx - truth.fx));
    EXPECT_LT(std::fabs(out.cx - truth.cx), std::fabs(prior.cx - truth.cx));
    EXPECT_LT(std::fabs(out.cy - truth.cy), std::fabs(prior.cy - truth.cy));
    EXPECT_LT(std::fabs(out.distortion[0] - truth.k1), std::fabs(prior.k1 - truth.k1));
    EXPECT_LT(out.finalRms, 0.5);
    EXPECT_LT(out.finalRms, out.initialRms);
    EXPECT_EQ(out.distortion[4], 0.0);
    // Gauge: view a unchanged, view b's largest translation component unchanged.
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(out.rvecs[0][k], in.rvecs[0][k]);
        EXPECT_EQ(out.tvecs[0][k], in.tvecs[0][k]);
    }
    EXPECT_EQ(out.tvecs[1][0], in.tvecs[1][0]);
    EXPECT_NE(out.tvecs[1][1], in.tvecs[1][1]);
    EXPECT_LE(out.solver.evaluations, 120);
}

TEST(BundleAdjustArrays, StopRequestStillReportsTheResult) {
    const Camera truth;
    BaInput in = syntheticScene(truth, 60);
    setPrior(in, truth);
    BaOutput out;
    bundleAdjustArrays(
        in, 120, [] { return true; }, out);
    EXPECT_EQ(out.solver.termination, TrfTermination::Stopped);
    EXPECT_TRUE(out.optimised);
    EXPECT_EQ(out.coverage.size(), 5u);
    EXPECT_NEAR(out.finalRms, out.initialRms, 1e-9);  // stopped before the first step
}

TEST(BundleAdjustArrays, MatchesScipyOnTheSmallAdjustment) {
    // The 5-view problem above (testdata/ba_small_problem.json) solved by SciPy's
    // least_squares with the same layout and settings (testdata/ba_reference.py). This
    // problem is very sensitive early on: a relative nudge of 1e-15 to the start changes
    // SciPy's own cost after 3 evaluations by 0.3 %. So:
    //  - Huber with SciPy's weighting: both crawl and stop at the evaluation limit (120)
    //    with the same status and count and costs within 3e-3;
    //  - linear loss: both converge to the same minimum (step test), costs within 3e-4
    //    (each stops at tolerance 1e-6 a little short of it), intrinsics within 0.05 px.
    const QJsonObject problem = readJson("ba_small_problem.json");
    const QJsonArray runs = readJson("ba_small_reference.json")["runs"].toArray();
    ASSERT_FALSE(problem.isEmpty());
    BaInput in = problemFromJson(problem);
    in.reweightOutliers = false;
    int compared = 0;
    for (const QJsonValue& v : runs) {
        const QJsonObject ref = v.toObject();
        const int maxNfev = ref["max_nfev"].toInt();
        const bool huber = ref["loss"].toString() == "huber";
        if (huber && maxNfev != 120) continue;
        TrfResult r;
        double fx = 0, cx = 0, k1 = 0;
        if (huber) {
            BaOutput out;
            bundleAdjustArrays(in, maxNfev, {}, out, 2, TrfStepSolver::Lsmr);
            r = out.solver;
        } else {
            BaLayout layout;
            ASSERT_TRUE(layout.build(in));
            TrfProblem p;
            p.residualCount = layout.residualCount();
            p.residuals = [&](const double* x, double* res) { layout.residuals(x, res); };
            p.columnRows = layout.columnRows();
            p.lower = layout.lower();
            p.upper = layout.upper();
            TrfOptions opt;
            opt.ftol = opt.xtol = opt.gtol = 1e-6;
            opt.maxEvaluations = maxNfev;
            opt.stepSolver = TrfStepSolver::Lsmr;
            r = solveTrf(p, layout.initialParameters(), opt);
        }
        fx = r.x[0];
        cx = r.x[2];
        k1 = r.x[4];
        ++compared;
        const double cost = ref["cost"].toDouble();
        const QJsonArray intr = ref["intrinsics"].toArray();
        std::printf(
            "%s max %d: ours cost %.10g nfev %d status %d fx %.4f cx %.4f k1 %.5f | scipy cost %.10g "
            "nfev %d status %d fx %.4f cx %.4f k1 %.5f\n",
            huber ? "huber" : "linear", maxNfev, r.finalCost, r.evaluations, int(r.termination), fx, cx, k1,
            cost, ref["nfev"].toInt(), ref["status"].toInt(), intr[0].toDouble(), intr[2].toDouble(),
            intr[4].toDouble());
        EXPECT_NEAR(r.finalCost, cost, (huber ? 3e-3 : 3e-4) * cost);
        EXPECT_EQ(int(r.termination), ref["status"].toInt());
        EXPECT_NEAR(r.evaluations, ref["nfev"].toInt(), 2);
        if (!huber) {
            EXPECT_NEAR(fx, intr[0].toDouble(), 0.05);
            EXPECT_NEAR(cx, intr[2].toDouble(), 0.05);
            EXPECT_NEAR(k1, intr[4].toDouble(), 1e-3);
        }
    }
    EXPECT_EQ(compared, 2);
}
