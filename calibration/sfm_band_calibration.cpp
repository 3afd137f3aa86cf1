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
    for (int k = 0; k < files.size(); ++k) {
        if (isStopRequested()) return false;
        qDebug() << "calibrateBand:" << band << "Step2: SIFT extract image" << k << "/" << files.size();
        const cv::Mat image = cv::imread(QFile::encodeName(files[k]).toStdString(), cv::IMREAD_UNCHANGED);
        if (image.empty()) {
            qDebug() << "  WARNING: image" << k << "is empty, skipping:" << files[k];
            continue;
        }
        qDebug() << "  img type=" << image.type() << "channels=" << image.channels() << "size=" << image.cols
                 << "x" << image.rows;
        ImageFeatures f = extractSift(image, group.maxFeatures);
        if (f.descriptors.empty() || f.points.empty()) {
            qDebug() << "  WARNING: image" << k << "has" << f.descriptors.rows << "keypoints (fewer than 12), skipping:"
                     << files[k];
            continue;
        }
        qDebug() << "  descriptors type=" << f.descriptors.type() << "rows=" << f.descriptors.rows
                 << "cols=" << f.descriptors.cols;
        features.push_back(std::move(f));
    }
    qDebug() << "calibrateBand:" << band << "Step2 done. features count=" << features.size();
    if (features.size() < 3) {
        qDebug() << "calibrateBand: insufficient features after extraction:" << features.size()
                 << "need >= 3";
        return false;
    }

    qDebug() << "calibrateBand:" << band << "Step3: pairwiseGeometries...";
    const std::vector<PairGeometry> pairs =
        pairwiseGeometries(features, group.loweRatio, group.magsacThreshold, &stopRequested);
    qDebug() << "calibrateBand:" << band << "Step3 done. pairs count=" << pairs.size();
    if (pairs.empty()) {
        qDebug() << "calibrateBand: pairwise geometries failed";
        return false;
    }

    qDebug() << "calibrateBand:" << band << "Step4: buildFeatureTracks...";
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    qDebug() << "calibrateBand:" << band << "Step4 done. tracks count=" << tracks.size();
    if (tracks.size() < 30) {
        qDebug() << "calibrateBand: insufficient tracks" << tracks.size();
        return false;
    }

    qDebug() << "calibrateBand:" << band << "Step5: initialPairPose...";
    int a = -1, b = -1;
    cv::Matx33d R;
    cv::Vec3d t;
    if (!initialPairPose(pairs, features, prior.K, prior.D, 2.0, &a, &b, &R, &t, &stopRequested)) {
        qDebug() << "calibrateBand: initialPairPose failed";
        return false;
    }
    SfmReconstruction rec;
    if (!incrementalSfm(tracks, features, prior.K, prior.D, a, b, R, t, 2.0, &rec, &stopRequested)) {
        qDebug() << "calibrateBand: incrementalSfm failed";
        return false;
    }
    const std::vector<int> selected =
        selectAdjustmentTracks(tracks, rec.points, rec.triangulatedTracks, features, rec.poses, prior.K,
                               prior.D, group.limit, prior.width, prior.height);

    SfmBundleOptions settings;
    settings.maxIterations = group.maxIterations;
    settings.focalPriorRatio = 0.1;
    settings.principalPriorSigma = 24.0;
    settings.radialPriorSigma = 0.05;
    settings.threads = m_adjustmentThreads;
    SfmBundleResult adjusted;
    const bool accepted =
        bundleAdjust(tracks, selected, rec.points, features, rec.poses, prior.K, prior.D, a, b, prior.width,
                     prior.height, settings, band, &adjusted, &stopRequested);
    if (!adjusted.optimised) return false;
    fillCalibrationRecord(adjusted, prior, int(selected.size()), pixelSizeUm, accepted, &out);
    return accepted;
}

}  // namespace refl
