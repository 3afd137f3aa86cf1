#include "sfm_bundle.h"

#include <QDebug>
#include <algorithm>
#include <opencv2/calib3d.hpp>

#include "ba_lens_support.h"

namespace refl {

namespace {

refl::Vec3 toVec3(const cv::Vec3d& v) { return {v[0], v[1], v[2]}; }

}  // namespace

QString SfmBundleOptions::validate() const {
    if (maxIterations < 1) return QString("iteration cap %1 below 1").arg(maxIterations);
    if (!(focalPriorRatio > 0)) return QString("focal prior ratio %1 is not above 0").arg(focalPriorRatio);
    if (!(principalPriorSigma > 0))
        return QString("principal point prior sigma %1 px is not above 0").arg(principalPriorSigma);
    if (!(radialPriorSigma > 0)) return QString("radial prior sigma %1 is not above 0").arg(radialPriorSigma);
    if (threads < 1) return QString("thread count %1 below 1").arg(threads);
    return QString();
}

std::vector<SfmBundleObservation> collectBundleObservations(const std::vector<FeatureTrack>& tracks,
                                                            const std::vector<int>& selected,
                                                            const std::vector<ImageFeatures>& features,
                                                            const std::vector<ViewPose>& poses) {
    std::vector<SfmBundleObservation> obs;
    for (int p = 0; p < int(selected.size()); ++p) {
        const int id = selected[p];
        if (id < 0 || id >= int(tracks.size())) continue;
        for (const Observation& o : tracks[id]) {
            if (o.view < 0 || o.view >= int(poses.size()) || o.view >= int(features.size())) continue;
            if (!poses[o.view].registered) continue;
            const std::vector<cv::Point2d>& pts = features[o.view].points;
            if (o.keypoint < 0 || o.keypoint >= int(pts.size())) continue;
            obs.push_back({o.view, p, pts[o.keypoint]});
        }
    }
    return obs;
}

bool makeBundleInput(const std::vector<FeatureTrack>& tracks, const std::vector<int>& selected,
                     const std::map<int, cv::Vec3d>& points, const std::vector<ImageFeatures>& features,
                     const std::vector<ViewPose>& poses, const cv::Mat& K, const cv::Mat& D, int a, int b,
                     int width, int height, const SfmBundleOptions& settings, const QString& band,
                     refl::BaInput* inOut, int* observationCount) {
    const QString invalid = settings.validate();
    if (!invalid.isEmpty()) {
        qDebug().noquote() << "bundleAdjust:" << band << "refused:" << invalid;
        return false;
    }
    const std::vector<SfmBundleObservation> obs =
        collectBundleObservations(tracks, selected, features, poses);
    *observationCount = int(obs.size());
    if (obs.size() < 4 || selected.empty()) {
        qDebug() << "bundleAdjust:" << band << "too few observations" << obs.size() << "tracks"
                 << selected.size();
        return false;
    }
    if (K.rows != 3 || K.cols != 3 || K.type() != CV_64F || D.total() < 4 || D.type() != CV_64F) {
        qDebug() << "bundleAdjust:" << band << "camera matrix or distortion of the wrong shape";
        return false;
    }
    const int views = int(poses.size());
    if (a < 0 || a >= views || b < 0 || b >= views || a == b) {
        qDebug() << "bundleAdjust:" << band << "initial pair" << a << b << "outside" << views << "views";
        return false;
    }

    refl::BaInput& in = *inOut;
    in = refl::BaInput();
    in.fx = K.at<double>(0, 0);
    in.fy = K.at<double>(1, 1);
    in.cx = K.at<double>(0, 2);
    in.cy = K.at<double>(1, 2);
    const double* d = D.ptr<double>(0);
    in.k1 = d[0];
    in.k2 = d[1];
    in.p1 = d[2];
    in.p2 = d[3];
    in.width = width;
    in.height = height;
    in.viewA = a;
    in.viewB = b;
    in.focalPriorRatio = settings.focalPriorRatio;
    in.principalPriorSigma = settings.principalPriorSigma;
    in.radialPriorSigma = settings.radialPriorSigma;
    for (const ViewPose& p : poses) {
        cv::Vec3d rvec;
        cv::Rodrigues(cv::Mat(p.R), rvec);
        in.rvecs.push_back(toVec3(rvec));
        in.tvecs.push_back(toVec3(p.t));
    }
    for (int id : selected) {
        const auto it = points.find(id);
        if (it == points.end()) {
            qDebug() << "bundleAdjust:" << band << "selected track" << id << "has no point";
            return false;
        }
        in.points.push_back(toVec3(it->second));
    }
    for (const SfmBundleObservation& o : obs)
        in.observations.push_back({o.view, o.point, o.pixel.x, o.pixel.y});
    return true;
}

bool bundleAdjust(const std::vector<FeatureTrack>& tracks, const std::vector<int>& selected,
                  const std::map<int, cv::Vec3d>& points, const std::vector<ImageFeatures>& features,
                  const std::vector<ViewPose>& poses, const cv::Mat& K, const cv::Mat& D, int a, int b,
                  int width, int height, const SfmBundleOptions& settings, const QString& band,
                  SfmBundleResult* out, const SfmStopFlag* stop) {
    *out = SfmBundleResult();
    refl::BaInput in;
    if (!makeBundleInput(tracks, selected, points, features, poses, K, D, a, b, width, height, settings, band,
                         &in, &out->observationCount))
        return false;
    const int views = int(poses.size());

    refl::LensSupport support;
    const bool accepted = refl::adjustLensWithSupportTest(
        in, settings.maxIterations, [stop] { return sfmStopRequested(stop); }, support, settings.threads);
    const refl::BaOutput& ba =
        support.adopted ? (support.focalAtPrior ? support.focalHeld : support.free) : support.held;
    out->initialRms = support.held.initialRms;
    out->finalRms = ba.finalRms;
    if (!support.held.optimised) return false;
    out->lensAdopted = support.adopted;
    out->fxSigma = support.fxSigma;
    out->adjustedFx = support.free.fx;
    out->lensDecision = support.reason;

    out->optimised = true;
    out->p90 = ba.p90;
    out->coverage = ba.coverage;
    out->evaluations = support.held.solver.evaluations + support.free.solver.evaluations;
    out->K = (cv::Mat_<double>(3, 3) << ba.fx, 0, ba.cx, 0, ba.fy, ba.cy, 0, 0, 1);
    out->D = (cv::Mat_<double>(5, 1) << ba.distortion[0], ba.distortion[1], ba.distortion[2],
              ba.distortion[3], 0.0);
    out->poses = poses;
    for (int v = 0; v < views; ++v) {
        ViewPose& p = out->poses[v];
        p.registered = true;
        if (v == a) continue;
        const std::array<double, 9>& R = ba.rotations[v];
        p.R = cv::Matx33d(R[0], R[1], R[2], R[3], R[4], R[5], R[6], R[7], R[8]);
        p.t = cv::Vec3d(ba.tvecs[v][0], ba.tvecs[v][1], ba.tvecs[v][2]);
    }
    // Tracks dropped as outliers have no adjusted point.
    for (size_t i = 0; i < ba.points.size() && i < support.keptPoints.size(); ++i)
        out->points[selected[size_t(support.keptPoints[i])]] =
            cv::Vec3d(ba.points[i][0], ba.points[i][1], ba.points[i][2]);
    out->droppedTracks = support.droppedTracks;
    qDebug() << "bundleAdjust:" << band << "observations" << out->observationCount << "tracks"
             << selected.size() << "evaluations" << out->evaluations << "rms" << out->initialRms << "->"
             << out->finalRms << "p90" << out->p90 << "dropped" << out->droppedTracks << "accepted"
             << accepted << "lens" << (out->lensAdopted ? "adjusted" : "prior") << "fx" << out->adjustedFx
             << "+-" << out->fxSigma;
    return accepted;
}

void fillCalibrationRecord(const SfmBundleResult& result, const CameraPrior& prior, int selectedCount,
                           double pixelSizeUm, bool accepted, CameraCalibParams* out) {
    out->fx = result.K.at<double>(0, 0);
    out->fy = result.K.at<double>(1, 1);
    out->cx = result.K.at<double>(0, 2);
    out->cy = result.K.at<double>(1, 2);
    out->k1 = result.D.at<double>(0);
    out->k2 = result.D.at<double>(1);
    out->p1 = result.D.at<double>(2);
    out->p2 = result.D.at<double>(3);
    out->k3 = 0.0;
    out->imageWidth = prior.width;
    out->imageHeight = prior.height;
    out->priorSource = prior.priorSource;
    out->pixelSizeUm = pixelSizeUm;
    out->focalLengthMm = pixelSizeUm * out->fx / 1000.0;
    out->principalXMm = pixelSizeUm * out->cx / 1000.0;
    out->principalYMm = pixelSizeUm * out->cy / 1000.0;
    out->initialRmsPx = result.initialRms;
    out->finalRmsPx = result.finalRms;
    out->p90ErrorPx = result.p90;
    double minCoverage = 1.0;
    for (double c : result.coverage) minCoverage = std::min(minCoverage, c);
    out->minCoverage = minCoverage;
    out->adjustedTrackCount = selectedCount;
    out->selectedTrackCount = selectedCount;
    out->accepted = accepted;
    out->fxSigmaPx = result.fxSigma;
    out->adjustedFxPx = result.adjustedFx;
    out->xmpLensKept = !result.lensAdopted;
    out->lensDecision = result.lensDecision;
}

}  // namespace refl
