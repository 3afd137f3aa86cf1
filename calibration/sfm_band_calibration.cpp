// One calibration attempt of one band: prior, features, pair geometry, tracks, reconstruction,
// track selection and the adjustment.
#include <QDebug>
#include <QFile>
#include <opencv2/imgcodecs.hpp>

#include "sfm_bundle.h"
#include "sfm_calibration_thread.h"
#include "sfm_prior.h"
#include "sfm_reconstruction.h"
#include "sfm_selection.h"
#include "sfm_tracks.h"

namespace refl {

namespace {

// Each image of the band read in turn and its features extracted; an image that cannot be read or
// has no features is skipped. False when a stop was requested.
bool extractBandFeatures(const QStringList& files, const QString& band, int maxFeatures,
                         const SfmStopFlag* stop, std::vector<ImageFeatures>* features) {
    for (int k = 0; k < files.size(); ++k) {
        if (sfmStopRequested(stop)) return false;
        qDebug() << "calibrateBand:" << band << "Step2: SIFT extract image" << k << "/" << files.size();
        const cv::Mat image = cv::imread(QFile::encodeName(files[k]).toStdString(), cv::IMREAD_UNCHANGED);
        if (image.empty()) {
            qDebug() << "  WARNING: image" << k << "is empty, skipping:" << files[k];
            continue;
        }
        qDebug() << "  img type=" << image.type() << "channels=" << image.channels() << "size=" << image.cols
                 << "x" << image.rows;
        ImageFeatures f = extractSift(image, maxFeatures);
        if (f.descriptors.empty() || f.points.empty()) {
            qDebug() << "  WARNING: image" << k << "has" << f.descriptors.rows
                     << "keypoints (fewer than 12), skipping:" << files[k];
            continue;
        }
        qDebug() << "  descriptors type=" << f.descriptors.type() << "rows=" << f.descriptors.rows
                 << "cols=" << f.descriptors.cols;
        features->push_back(std::move(f));
    }
    qDebug() << "calibrateBand:" << band << "Step2 done. features count=" << features->size();
    return true;
}

// The pair geometries of the band's images and the feature tracks through them; false (with a log
// line) when there are no pairs or too few tracks to reconstruct.
bool matchBandTracks(const std::vector<ImageFeatures>& features, const QString& band,
                     const SfMParamGroup& group, const SfmStopFlag* stop, std::vector<PairGeometry>* pairs,
                     std::vector<FeatureTrack>* tracks) {
    qDebug() << "calibrateBand:" << band << "Step3: pairwiseGeometries...";
    *pairs = pairwiseGeometries(features, group.loweRatio, group.magsacThreshold, stop);
    qDebug() << "calibrateBand:" << band << "Step3 done. pairs count=" << pairs->size();
    if (pairs->empty()) {
        qDebug() << "calibrateBand: pairwise geometries failed";
        return false;
    }

    qDebug() << "calibrateBand:" << band << "Step4: buildFeatureTracks...";
    *tracks = buildFeatureTracks(*pairs);
    qDebug() << "calibrateBand:" << band << "Step4 done. tracks count=" << tracks->size();
    if (tracks->size() < 30) {
        qDebug() << "calibrateBand: insufficient tracks" << tracks->size();
        return false;
    }
    return true;
}

// A reconstruction grown from its initial pair of views a and b.
struct BandReconstruction {
    int a = -1;
    int b = -1;
    SfmReconstruction rec;
};

// The initial pair's pose, then the incremental reconstruction from it; false (with a log line) when
// either fails.
bool reconstructBand(const std::vector<PairGeometry>& pairs, const std::vector<FeatureTrack>& tracks,
                     const std::vector<ImageFeatures>& features, const CameraPrior& prior,
                     const QString& band, const SfmStopFlag* stop, BandReconstruction* out) {
    qDebug() << "calibrateBand:" << band << "Step5: initialPairPose...";
    cv::Matx33d R;
    cv::Vec3d t;
    if (!initialPairPose(pairs, features, prior.K, prior.D, 2.0, &out->a, &out->b, &R, &t, stop)) {
        qDebug() << "calibrateBand: initialPairPose failed";
        return false;
    }
    if (!incrementalSfm(tracks, features, prior.K, prior.D, out->a, out->b, R, t, 2.0, &out->rec, stop)) {
        qDebug() << "calibrateBand: incrementalSfm failed";
        return false;
    }
    return true;
}

// The outcome: the tracks selected for the adjustment, the adjustment under the lens priors and the
// band's record (filled whenever the adjustment ran); true when the adjustment was accepted.
bool adjustBand(const std::vector<FeatureTrack>& tracks, const std::vector<ImageFeatures>& features,
                const BandReconstruction& reconstruction, const CameraPrior& prior, const QString& band,
                double pixelSizeUm, const SfMParamGroup& group, int threads, const SfmStopFlag* stop,
                CameraCalibParams* out) {
    const SfmReconstruction& rec = reconstruction.rec;
    const std::vector<int> selected =
        selectAdjustmentTracks(tracks, rec.points, rec.triangulatedTracks, features, rec.poses, prior.K,
                               prior.D, group.limit, prior.width, prior.height);

    SfmBundleOptions settings;
    settings.maxIterations = group.maxIterations;
    settings.focalPriorRatio = 0.1;
    settings.principalPriorSigma = 24.0;
    settings.radialPriorSigma = 0.05;
    settings.threads = threads;
    SfmBundleResult adjusted;
    const bool accepted =
        bundleAdjust(tracks, selected, rec.points, features, rec.poses, prior.K, prior.D, reconstruction.a,
                     reconstruction.b, prior.width, prior.height, settings, band, &adjusted, stop);
    if (!adjusted.optimised) return false;
    fillCalibrationRecord(adjusted, prior, int(selected.size()), pixelSizeUm, accepted, out);
    return accepted;
}

}  // namespace

bool CSfMCalibrationThread::calibrateBand(const QStringList& files, const QString& band, double pixelSizeUm,
                                          double focalMm, CameraCalibParams& out,
                                          const SfMParamGroup& group) {
    out.band = band;
    out.pixelSizeUm = pixelSizeUm;
    if (files.size() < 3) {
        qDebug() << "calibrateBand:" << band << "needs >=3 images, got" << files.size();
        return false;
    }
    qDebug() << "calibrateBand:" << band << "Step1: cameraPriorFromMetadata...";
    CameraPrior prior;
    if (!cameraPriorFromMetadata(files.first(), pixelSizeUm, focalMm, &prior)) {
        qDebug() << "calibrateBand: cameraPriorFromMetadata failed";
        return false;
    }
    qDebug() << "calibrateBand:" << band << "Step1 done. cameraMatrix type=" << prior.K.type()
             << "distortion type=" << prior.D.type();

    std::vector<ImageFeatures> features;
    if (!extractBandFeatures(files, band, group.maxFeatures, &stopRequested, &features)) return false;
    if (features.size() < 3) {
        qDebug() << "calibrateBand: insufficient features after extraction:" << features.size()
                 << "need >= 3";
        return false;
    }
    std::vector<PairGeometry> pairs;
    std::vector<FeatureTrack> tracks;
    if (!matchBandTracks(features, band, group, &stopRequested, &pairs, &tracks)) return false;
    BandReconstruction reconstruction;
    if (!reconstructBand(pairs, tracks, features, prior, band, &stopRequested, &reconstruction)) return false;
    return adjustBand(tracks, features, reconstruction, prior, band, pixelSizeUm, group, m_adjustmentThreads,
                      &stopRequested, &out);
}

}  // namespace refl
