#include "sfm_reconstruction.h"

#include <QDebug>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <opencv2/calib3d.hpp>

namespace refl {

namespace {

constexpr double kRadToDeg = 180.0 / M_PI;

std::vector<cv::Point2d> undistortToNormalised(const std::vector<cv::Point2d>& pixels, const cv::Mat& K,
                                               const cv::Mat& D) {
    std::vector<cv::Point2d> out;
    if (pixels.empty()) return out;
    cv::undistortPoints(pixels, out, K, D);
    return out;
}

double rayAngleDeg(const cv::Vec3d& r1, const cv::Vec3d& r2) {
    return std::acos(std::min(1.0, std::max(-1.0, r1.dot(r2)))) * kRadToDeg;
}

}  // namespace

double initialPairScore(int goodPoints, double medianParallaxDeg) {
    return double(goodPoints) * std::min(10.0, std::max(0.05, medianParallaxDeg));
}

bool triangulateTrack(const FeatureTrack& track, const std::vector<ImageFeatures>& features,
                      const std::vector<ViewPose>& poses, const cv::Mat& K, const cv::Mat& D,
                      TrackMeasurement* out) {
    std::vector<int> views;
    std::vector<cv::Point2d> pixels;
    for (const Observation& o : track) {
        if (o.view < 0 || o.view >= int(poses.size()) || !poses[size_t(o.view)].registered) continue;
        if (o.view >= int(features.size())) continue;
        const auto& pts = features[size_t(o.view)].points;
        if (o.keypoint < 0 || o.keypoint >= int(pts.size())) continue;
        views.push_back(o.view);
        pixels.push_back(pts[size_t(o.keypoint)]);
    }
    if (views.size() < 2) return false;
    const std::vector<cv::Point2d> norm = undistortToNormalised(pixels, K, D);

    cv::Mat A(int(views.size()) * 2, 4, CV_64F);
    for (size_t k = 0; k < views.size(); ++k) {
        const ViewPose& p = poses[size_t(views[k])];
        const double P[3][4] = {{p.R(0, 0), p.R(0, 1), p.R(0, 2), p.t[0]},
                                {p.R(1, 0), p.R(1, 1), p.R(1, 2), p.t[1]},
                                {p.R(2, 0), p.R(2, 1), p.R(2, 2), p.t[2]}};
        double* r0 = A.ptr<double>(int(2 * k));
        double* r1 = A.ptr<double>(int(2 * k + 1));
        for (int c = 0; c < 4; ++c) {
            r0[c] = norm[k].x * P[2][c] - P[0][c];
            r1[c] = norm[k].y * P[2][c] - P[1][c];
        }
    }
    cv::Mat w, u, vt;
    cv::SVD::compute(A, w, u, vt, cv::SVD::FULL_UV);
    const double* h = vt.ptr<double>(vt.rows - 1);
    if (std::abs(h[3]) < 1e-12) return false;
    const cv::Vec3d X(h[0] / h[3], h[1] / h[3], h[2] / h[3]);
    if (!std::isfinite(X[0]) || !std::isfinite(X[1]) || !std::isfinite(X[2])) return false;

    int positive = 0;
    std::vector<double> errors;
    std::vector<cv::Vec3d> rays;
    for (size_t k = 0; k < views.size(); ++k) {
        const ViewPose& p = poses[size_t(views[k])];
        const cv::Vec3d Xc = p.R * X + p.t;
        if (Xc[2] > 0) ++positive;
        cv::Vec3d rvec;
        cv::Rodrigues(p.R, rvec);
        std::vector<cv::Point3d> obj{cv::Point3d(X[0], X[1], X[2])};
        std::vector<cv::Point2d> proj;
        cv::projectPoints(obj, rvec, p.t, K, D, proj);
        errors.push_back(cv::norm(proj[0] - pixels[k]));
        const cv::Vec3d C = -(p.R.t() * p.t);
        const cv::Vec3d d = X - C;
        rays.push_back(d / std::max(1e-12, cv::norm(d)));
    }
    if (positive < 2) return false;
    double maxAngle = 0.0;
    for (size_t i = 0; i < rays.size(); ++i)
        for (size_t j = i + 1; j < rays.size(); ++j)
            maxAngle = std::max(maxAngle, rayAngleDeg(rays[i], rays[j]));
    out->point = X;
    out->medianErrorPx = medianOf(errors);
    out->maxRayAngleDeg = maxAngle;
    return true;
}

bool initialPairPose(const std::vector<PairGeometry>& pairs, const std::vector<ImageFeatures>& features,
                     const cv::Mat& K, const cv::Mat& D, double pixelThreshold, int* a, int* b,
                     cv::Matx33d* R, cv::Vec3d* t, const SfmStopFlag* stop) {
    const double f = std::max(1.0, (K.at<double>(0, 0) + K.at<double>(1, 1)) / 2.0);
    const double thr = std::max(1e-5, pixelThreshold / f);
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    double best = -1.0;
    for (const PairGeometry& g : pairs) {
        if (sfmStopRequested(stop)) return false;
        if (g.i < 0 || g.j < 0 || g.i >= int(features.size()) || g.j >= int(features.size())) continue;
        const auto& fi = features[size_t(g.i)].points;
        const auto& fj = features[size_t(g.j)].points;
        std::vector<cv::Point2d> pi, pj;
        for (const cv::DMatch& m : g.inliers) {
            if (m.queryIdx < 0 || m.queryIdx >= int(fi.size()) || m.trainIdx < 0 ||
                m.trainIdx >= int(fj.size()))
                continue;
            pi.push_back(fi[size_t(m.queryIdx)]);
            pj.push_back(fj[size_t(m.trainIdx)]);
        }
        if (pi.size() < 5) continue;
        const std::vector<cv::Point2d> ni = undistortToNormalised(pi, K, D);
        const std::vector<cv::Point2d> nj = undistortToNormalised(pj, K, D);
        cv::Mat mask;
        const cv::Mat E = cv::findEssentialMat(ni, nj, I, cv::RANSAC, 0.9999, thr, 1000, mask);
        if (E.empty() || E.rows != 3 || E.cols != 3) continue;
        cv::Mat Rm, tm;
        const int inliers = cv::recoverPose(E, ni, nj, I, Rm, tm, mask);
        std::vector<cv::Point2d> ui, uj;
        for (int k = 0; k < mask.rows * mask.cols; ++k)
            if (mask.at<uchar>(k)) {
                ui.push_back(ni[size_t(k)]);
                uj.push_back(nj[size_t(k)]);
            }
        if (inliers < 10 || ui.size() < 10) continue;

        const cv::Matx33d Rp(Rm);
        const cv::Vec3d tp(tm);
        cv::Mat P1 = cv::Mat::eye(3, 4, CV_64F);
        cv::Mat P2(3, 4, CV_64F);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) P2.at<double>(r, c) = Rp(r, c);
            P2.at<double>(r, 3) = tp[r];
        }
        cv::Mat X4;
        cv::triangulatePoints(P1, P2, ui, uj, X4);
        X4.convertTo(X4, CV_64F);
        const cv::Vec3d C2 = -(Rp.t() * tp);
        int good = 0;
        std::vector<double> parallax;
        for (int k = 0; k < X4.cols; ++k) {
            const double w = X4.at<double>(3, k);
            if (std::abs(w) < 1e-12) continue;
            const cv::Vec3d X(X4.at<double>(0, k) / w, X4.at<double>(1, k) / w, X4.at<double>(2, k) / w);
            if (!std::isfinite(X[0]) || !std::isfinite(X[1]) || !std::isfinite(X[2])) continue;
            if (X[2] <= 0 || (Rp * X + tp)[2] <= 0) continue;
            ++good;
            const cv::Vec3d r1 = X, r2 = X - C2;
            const double n = cv::norm(r1) * cv::norm(r2);
            const double cosv = n > 0 ? r1.dot(r2) / n : 1.0;
            parallax.push_back(std::acos(std::min(1.0, std::max(-1.0, cosv))) * kRadToDeg);
        }
        if (good < 10) continue;
        const double score = initialPairScore(good, medianOf(parallax));
        if (score > best) {
            best = score;
            *a = g.i;
            *b = g.j;
            *R = Rp;
            *t = tp;
        }
    }
    return best >= 0.0;
}

namespace {

bool observedIn(const FeatureTrack& track, int view, int* keypoint = nullptr) {
    for (const Observation& o : track)
        if (o.view == view) {
            if (keypoint) *keypoint = o.keypoint;
            return true;
        }
    return false;
}

}  // namespace

bool incrementalSfm(const std::vector<FeatureTrack>& tracks, const std::vector<ImageFeatures>& features,
                    const cv::Mat& K, const cv::Mat& D, int a, int b, const cv::Matx33d& R,
                    const cv::Vec3d& t, double pixelThreshold, SfmReconstruction* out,
                    const SfmStopFlag* stop) {
    out->poses.assign(features.size(), ViewPose());
    out->points.clear();
    out->triangulatedTracks.clear();
    const int nViews = int(features.size());
    if (a < 0 || b < 0 || a >= nViews || b >= nViews || a == b) {
        qDebug() << "SfM incrementalSfm: invalid initial pair" << a << b;
        return false;
    }
    out->poses[size_t(a)].registered = true;
    out->poses[size_t(b)] = ViewPose{R, t, true};

    const double pointThreshold = std::max(2.0 * pixelThreshold, 4.0);
    auto tryTriangulate = [&](int ti) {
        TrackMeasurement m;
        if (!triangulateTrack(tracks[size_t(ti)], features, out->poses, K, D, &m)) return;
        if (m.medianErrorPx > pointThreshold) return;
        out->points[ti] = m.point;
        out->triangulatedTracks.push_back(ti);
    };
    for (int ti = 0; ti < int(tracks.size()); ++ti)
        if (observedIn(tracks[size_t(ti)], a) && observedIn(tracks[size_t(ti)], b)) tryTriangulate(ti);

    const double pnpError = std::max(1.5 * pixelThreshold, 2.0);
    for (;;) {
        if (sfmStopRequested(stop)) return false;
        int next = -1;
        std::vector<cv::Point3d> bestObj;
        std::vector<cv::Point2d> bestImg;
        for (int v = 0; v < nViews; ++v) {
            if (out->poses[size_t(v)].registered) continue;
            std::vector<cv::Point3d> obj;
            std::vector<cv::Point2d> img;
            for (int ti : out->triangulatedTracks) {
                int kp = -1;
                if (!observedIn(tracks[size_t(ti)], v, &kp)) continue;
                if (kp < 0 || kp >= int(features[size_t(v)].points.size())) continue;
                const cv::Vec3d& X = out->points[ti];
                obj.emplace_back(X[0], X[1], X[2]);
                img.push_back(features[size_t(v)].points[size_t(kp)]);
            }
            if (obj.size() >= 8 && obj.size() > bestObj.size()) {
                next = v;
                bestObj = std::move(obj);
                bestImg = std::move(img);
            }
        }
        if (next < 0) {
            for (const ViewPose& p : out->poses)
                if (!p.registered) return false;
            return true;
        }

        cv::Mat rvec, tvec;
        std::vector<int> inliers;
        const bool ok = cv::solvePnPRansac(bestObj, bestImg, K, D, rvec, tvec, false, 2000, float(pnpError),
                                           0.9999, inliers, cv::SOLVEPNP_EPNP);
        if (!ok || inliers.size() < 8) {
            qDebug() << "SfM incrementalSfm: PnP failed for view" << next;
            return false;
        }
        std::vector<cv::Point3d> objIn;
        std::vector<cv::Point2d> imgIn;
        for (int k : inliers) {
            objIn.push_back(bestObj[size_t(k)]);
            imgIn.push_back(bestImg[size_t(k)]);
        }
        cv::solvePnPRefineLM(
            objIn, imgIn, K, D, rvec, tvec,
            cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, FLT_EPSILON));
        cv::Mat Rm;
        cv::Rodrigues(rvec, Rm);
        out->poses[size_t(next)] = ViewPose{cv::Matx33d(Rm), cv::Vec3d(tvec.reshape(1, 3)), true};

        for (int ti = 0; ti < int(tracks.size()); ++ti)
            if (!out->points.count(ti) && observedIn(tracks[size_t(ti)], next)) tryTriangulate(ti);
    }
}

}  // namespace refl
