// The reconstruction chain on generated captures of a scene with relief and a known lens.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <cmath>
#include <iostream>
#include <opencv2/imgcodecs.hpp>

#include "calib_params.h"
#include "sample_flight.h"
#include "sfm_features.h"
#include "sfm_prior.h"
#include "sfm_reconstruction.h"
#include "sfm_selection.h"
#include "sfm_tracks.h"

using namespace refl;

namespace {

struct Flight {
    QTemporaryDir dir;
    reflsample::FlightTruth truth;
    bool ok = false;
};

Flight* flight() {
    static Flight* f = [] {
        auto* fl = new Flight;
        reflsample::SampleOptions o = reflsample::SampleOptions::small();
        o.captures = 5;
        o.writeNewPanel = false;
        o.writeOldPanel = false;
        o.writeJpg = false;
        o.seed = 7;
        fl->ok = fl->dir.isValid() && reflsample::generateSampleFlight(fl->dir.path(), o, &fl->truth);
        return fl;
    }();
    return f;
}

int bandIndex(const reflsample::FlightTruth& t, int nm) {
    for (int b = 0; b < t.bands.size(); ++b)
        if (t.bands[b].wavelengthNm == nm) return b;
    return -1;
}

// Least-squares similarity (Umeyama) from a onto b; returns the RMS residual.
double similarityResidual(const std::vector<cv::Vec3d>& a, const std::vector<cv::Vec3d>& b) {
    const size_t n = a.size();
    cv::Vec3d ma(0, 0, 0), mb(0, 0, 0);
    for (size_t i = 0; i < n; ++i) {
        ma += a[i];
        mb += b[i];
    }
    ma *= 1.0 / n;
    mb *= 1.0 / n;
    cv::Matx33d S = cv::Matx33d::zeros();
    double va = 0;
    for (size_t i = 0; i < n; ++i) {
        const cv::Vec3d da = a[i] - ma, db = b[i] - mb;
        S += cv::Matx33d(db[0] * da[0], db[0] * da[1], db[0] * da[2], db[1] * da[0], db[1] * da[1],
                         db[1] * da[2], db[2] * da[0], db[2] * da[1], db[2] * da[2]);
        va += da.dot(da);
    }
    S *= 1.0 / n;
    va /= n;
    cv::Mat w, u, vt;
    cv::SVD::compute(cv::Mat(S), w, u, vt);
    cv::Matx33d U(u), Vt(vt);
    cv::Matx33d E = cv::Matx33d::eye();
    if (cv::determinant(U) * cv::determinant(Vt) < 0) E(2, 2) = -1;
    const cv::Matx33d R = U * E * Vt;
    const double s = (w.at<double>(0) * E(0, 0) + w.at<double>(1) * E(1, 1) + w.at<double>(2) * E(2, 2)) / va;
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        const cv::Vec3d r = s * (R * (a[i] - ma)) + mb - b[i];
        sum += r.dot(r);
    }
    return std::sqrt(sum / n);
}

void runBand(int nm, double maxResidualFraction) {
    Flight* f = flight();
    ASSERT_TRUE(f->ok);
    const reflsample::FlightTruth& truth = f->truth;
    const int band = bandIndex(truth, nm);
    ASSERT_GE(band, 0);
    QStringList files;
    std::vector<cv::Vec3d> trueCentres;
    for (const reflsample::CaptureTruth& c : truth.captures)
        if (c.kind == "flight") {
            files << QDir(f->dir.path()).filePath(c.files[band]);
            trueCentres.push_back(c.centre);
        }
    ASSERT_EQ(files.size(), 5);

    CameraPrior prior;
    ASSERT_TRUE(cameraPriorFromMetadata(files[0], truth.camera.xmpPixelSizeUm, truth.camera.focalMm, &prior));
    const cv::Matx33d trueK = truth.bands[band].K;
    EXPECT_NEAR(prior.K.at<double>(0, 0), trueK(0, 0), 1e-6);
    EXPECT_NEAR(prior.K.at<double>(0, 2), trueK(0, 2), 1e-6);
    EXPECT_NEAR(prior.K.at<double>(1, 2), trueK(1, 2), 1e-6);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(prior.D.at<double>(k), truth.bands[band].D[k], 1e-9);

    const SfMParamGroup g = defaultSfmParamGroup();
    std::vector<ImageFeatures> features;
    for (const QString& path : files) {
        const cv::Mat img = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(img.empty());
        features.push_back(extractSift(img, g.maxFeatures));
        ASSERT_FALSE(features.back().points.empty());
    }
    const std::vector<PairGeometry> pairs = pairwiseGeometries(features, g.loweRatio, g.magsacThreshold);
    ASSERT_FALSE(pairs.empty());
    const std::vector<FeatureTrack> tracks = buildFeatureTracks(pairs);
    ASSERT_GE(tracks.size(), 30u);

    int a = -1, b = -1;
    cv::Matx33d R;
    cv::Vec3d t;
    ASSERT_TRUE(initialPairPose(pairs, features, prior.K, prior.D, 2.0, &a, &b, &R, &t));
    SfmReconstruction rec;
    ASSERT_TRUE(incrementalSfm(tracks, features, prior.K, prior.D, a, b, R, t, 2.0, &rec));
    for (const ViewPose& p : rec.poses) EXPECT_TRUE(p.registered);

    std::vector<cv::Vec3d> centres;
    for (const ViewPose& p : rec.poses) centres.push_back(-(p.R.t() * p.t));
    const double lineLength = cv::norm(trueCentres.front() - trueCentres.back());
    const double residual = similarityResidual(centres, trueCentres);

    const std::vector<AdjustmentCandidate> cands =
        adjustmentCandidates(tracks, rec.triangulatedTracks, features, rec.poses, prior.K, prior.D);
    const std::vector<int> selected =
        selectAdjustmentTracks(tracks, rec.points, rec.triangulatedTracks, features, rec.poses, prior.K,
                               prior.D, g.limit, prior.width, prior.height);
    std::map<int, double> errorOf;
    for (const AdjustmentCandidate& c : cands) errorOf[c.track] = c.medianErrorPx;
    std::vector<double> selErrors;
    for (int id : selected) selErrors.push_back(errorOf.at(id));
    const double medianSelected = medianOf(selErrors);
    int pairInliers = 0;
    for (const PairGeometry& p : pairs) pairInliers += p.inlierCount;

    std::cout << "band " << nm << " nm: pairs " << pairs.size() << " (inliers " << pairInliers << "), tracks "
              << tracks.size() << ", initial pair " << a << "-" << b << ", triangulated "
              << rec.triangulatedTracks.size() << ", candidates " << cands.size() << ", selected "
              << selected.size() << ", median reprojection of selected " << medianSelected
              << " px, centre residual " << residual << " m of line " << lineLength << " m ("
              << residual / lineLength << ")" << std::endl;
    EXPECT_LT(residual / lineLength, maxResidualFraction);
    EXPECT_FALSE(selected.empty());
    EXPECT_LT(medianSelected, 1.0);
}

}  // namespace

TEST(SfmFlight, Band840RegistersEveryViewAndMatchesTheTrueCentres) { runBand(840, 0.02); }
TEST(SfmFlight, Band660RegistersEveryViewAndMatchesTheTrueCentres) { runBand(660, 0.02); }
