#include "pair_registration.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "synthetic_bands.h"

using namespace refl;

using pairregdetail::EccCandidate;

namespace {

const cv::Mat kTrueRefFromSrc = (cv::Mat_<double>(3, 3) << 1.01, 0.02, 5, -0.01, 0.99, -3, 1e-5, 0, 1);

// Feature sets whose descriptors match one to one (src row i with ref row i); the first `inliers`
// ref keypoints follow kTrueRefFromSrc, the rest lie far from where it maps their src keypoints.
void craftedFeatures(int count, int inliers, Rift2Features& src, Rift2Features& ref) {
    cv::RNG rng(42);
    src.descriptors = cv::Mat::zeros(count, 64, CV_32F);
    ref.descriptors = cv::Mat::zeros(count, 64, CV_32F);
    src.descriptorIndex.create(count, 1, CV_32S);
    ref.descriptorIndex.create(count, 1, CV_32S);
    src.keypoints.create(count, 2, CV_32F);
    ref.keypoints.create(count, 2, CV_32F);
    for (int i = 0; i < count; ++i) {
        src.descriptors.at<float>(i, i) = 1.0f;
        ref.descriptors.at<float>(i, i) = 1.0f;
        ref.descriptors.at<float>(i, (i + 1) % 64) = 0.01f * (i + 1);
        src.descriptorIndex.at<int>(i) = i;
        ref.descriptorIndex.at<int>(i) = i;
        const double x = rng.uniform(20.0, 280.0), y = rng.uniform(20.0, 280.0);
        std::vector<cv::Point2d> p = {{x, y}}, q;
        cv::perspectiveTransform(p, q, kTrueRefFromSrc);
        if (i >= inliers) q[0] += cv::Point2d(rng.uniform(60.0, 120.0), rng.uniform(-120.0, -60.0));
        src.keypoints.at<float>(i, 0) = static_cast<float>(x);
        src.keypoints.at<float>(i, 1) = static_cast<float>(y);
        ref.keypoints.at<float>(i, 0) = static_cast<float>(q[0].x);
        ref.keypoints.at<float>(i, 1) = static_cast<float>(q[0].y);
    }
}

PairRegistrationResult runCrafted(int count, int inliers) {
    Rift2Features src, ref;
    craftedFeatures(count, inliers, src, ref);
    QElapsedTimer timer;
    timer.start();
    PairRegistrationResult result;
    pairregdetail::registerFeatures(src, ref, {}, cv::Size(300, 300), "crafted", PairRegistrationParams(),
                                    timer, result);
    return result;
}

cv::Mat texture(unsigned seed, double noise = 0.0) {
    cv::Mat t(120, 140, CV_32F);
    cv::RNG rng(seed);
    rng.fill(t, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::GaussianBlur(t, t, cv::Size(0, 0), 3.0);
    cv::normalize(t, t, 0.0, 1.0, cv::NORM_MINMAX);
    if (noise > 0) {
        cv::Mat n(t.size(), CV_32F);
        cv::RNG(seed + 1).fill(n, cv::RNG::NORMAL, 0.0, noise);
        t += n;
    }
    return t;
}

cv::Mat gridPoints(double dx) {
    cv::Mat p(9, 2, CV_32F);
    for (int i = 0; i < 9; ++i) {
        p.at<float>(i, 0) = static_cast<float>(30 + 35 * (i % 3) + dx);
        p.at<float>(i, 1) = static_cast<float>(25 + 30 * (i / 3));
    }
    return p;
}

PairRegistrationResult refine(const std::vector<EccCandidate>& candidates, double refShift, cv::Mat& best) {
    PairRegistrationResult result;
    result.homographyMedianError = 0.4;
    pairregdetail::refineWithEcc(cv::Mat::eye(3, 3, CV_64F), gridPoints(0), gridPoints(refShift), candidates,
                                 cv::Size(140, 120), PairRegistrationParams(), result, best);
    return result;
}

bool writeImage(const QString& path, const cv::Mat& image) {
    return cv::imwrite(QFile::encodeName(path).toStdString(), image);
}

struct ProgressLog {
    std::vector<std::pair<int, QString>> calls;
    RegistrationProgressCallback callback() {
        return [this](int p, const QString& s) { calls.emplace_back(p, s); };
    }
};

}  // namespace

TEST(PairRegistration, TenMutualMatchesProceedNineStop) {
    const PairRegistrationResult ten = runCrafted(10, 10);
    EXPECT_TRUE(ten.ok) << ten.error.toStdString();
    EXPECT_EQ(ten.matches, 10);
    EXPECT_EQ(ten.inliers, 10);
    const PairRegistrationResult nine = runCrafted(9, 9);
    EXPECT_FALSE(nine.ok);
    EXPECT_EQ(nine.matches, 9);
    EXPECT_EQ(nine.error, "insufficient mutual matches: 9");
    EXPECT_FALSE(nine.succeeded());
}

TEST(PairRegistration, EightInliersProceedSevenStop) {
    const PairRegistrationResult eight = runCrafted(12, 8);
    EXPECT_TRUE(eight.ok) << eight.error.toStdString();
    EXPECT_EQ(eight.inliers, 8);
    // Without ECC candidates the homography is the result.
    EXPECT_EQ(eight.status, "rejected_by_geometric_validation");
    EXPECT_EQ(cv::norm(eight.refFromSrc, eight.magsacRefFromSrc, cv::NORM_INF), 0.0);
    EXPECT_LT(cv::norm(eight.magsacRefFromSrc, kTrueRefFromSrc, cv::NORM_INF), 1e-3);
    EXPECT_NEAR(eight.magsacRefFromSrc.at<double>(2, 2), 1.0, 1e-12);
    EXPECT_LT(eight.homographyMedianError, 0.01);

    const PairRegistrationResult seven = runCrafted(12, 7);
    EXPECT_FALSE(seven.ok);
    EXPECT_EQ(seven.inliers, 7);
    EXPECT_EQ(seven.error, "insufficient MAGSAC inliers: 7");
}

TEST(EccAcceptance, FloorOfTwoPixels) {
    using pairregdetail::eccCandidateAccepted;
    EXPECT_TRUE(eccCandidateAccepted(true, 0.4, 1.9));
    EXPECT_TRUE(eccCandidateAccepted(true, 0.4, 2.0));
    EXPECT_FALSE(eccCandidateAccepted(true, 0.4, 2.01));  // the limit is 2.0, not 0.8
    EXPECT_TRUE(eccCandidateAccepted(true, 1.5, 3.0));
    EXPECT_FALSE(eccCandidateAccepted(true, 1.5, 3.1));
    EXPECT_FALSE(eccCandidateAccepted(true, 0.4, NAN));
    EXPECT_FALSE(eccCandidateAccepted(false, 0.4, 0.1));
}

TEST(EccRefinement, AcceptedCandidateWithHighestCorrelationWins) {
    const cv::Mat clean = texture(1), noisy = texture(1, 0.08);
    cv::Mat best;
    PairRegistrationResult r =
        refine({{"wallis", noisy, clean}, {"phase_congruency_maximum_moment", clean, clean}}, 0, best);
    ASSERT_EQ(r.candidates.size(), 2u);
    EXPECT_EQ(r.candidates[0].verdict, "accepted");
    EXPECT_EQ(r.candidates[1].verdict, "accepted");
    EXPECT_EQ(r.status, "success");
    EXPECT_EQ(r.method, "phase_congruency_maximum_moment");
    EXPECT_GT(r.eccCorrelation, r.candidates[0].correlation);
    EXPECT_DOUBLE_EQ(r.eccCorrelation, r.candidates[1].correlation);
    EXPECT_LT(cv::norm(best, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 1e-3);

    r = refine({{"wallis", clean, clean}, {"phase_congruency_maximum_moment", noisy, clean}}, 0, best);
    EXPECT_EQ(r.method, "wallis");
}

TEST(EccRefinement, BothRejectedKeepsTheHomography) {
    const cv::Mat clean = texture(2);
    cv::Mat best;
    // The ref inliers sit 10 px away from where both the homography and ECC put them.
    const PairRegistrationResult r =
        refine({{"wallis", clean, clean}, {"phase_congruency_maximum_moment", clean, clean}}, 10.0, best);
    ASSERT_EQ(r.candidates.size(), 2u);
    EXPECT_EQ(r.candidates[0].verdict, "rejected");
    EXPECT_NEAR(r.candidates[0].medianError, 10.0, 0.1);
    EXPECT_EQ(r.status, "rejected_by_geometric_validation");
    EXPECT_EQ(r.eccCorrelation, -1.0);
    EXPECT_TRUE(r.method.isEmpty());
    EXPECT_EQ(cv::norm(best, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0.0);
}

TEST(EccRefinement, BothThrowingGiveStatusFailedAndKeepTheHomography) {
    const cv::Mat wrongType(120, 140, CV_64F, cv::Scalar(0.5));  // ECC takes 8-bit or float images only
    cv::Mat best;
    const PairRegistrationResult r =
        refine({{"wallis", wrongType, wrongType}, {"phase_congruency_maximum_moment", cv::Mat(), cv::Mat()}},
               0, best);
    ASSERT_EQ(r.candidates.size(), 2u);
    for (const EccCandidateRecord& c : r.candidates) {
        EXPECT_EQ(c.verdict, "failed");
        EXPECT_FALSE(c.note.isEmpty());
        EXPECT_EQ(c.correlation, 0.0);
    }
    EXPECT_EQ(r.status, "failed");
    EXPECT_EQ(r.eccCorrelation, -1.0);
    EXPECT_EQ(cv::norm(best, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0.0);

    // One failing and one accepted candidate: the attempt is a success.
    const cv::Mat clean = texture(3);
    const PairRegistrationResult mixed = refine(
        {{"wallis", wrongType, wrongType}, {"phase_congruency_maximum_moment", clean, clean}}, 0, best);
    EXPECT_EQ(mixed.status, "success");
    EXPECT_EQ(mixed.method, "phase_congruency_maximum_moment");
}

TEST(EstimatePairRegistration, TooSmallImagesFailAtFeatureExtraction) {
    const cv::Mat small = texture(5)(cv::Rect(0, 0, 90, 90));
    const PairRegistrationResult r =
        estimatePairRegistration(small, small, "small", PairRegistrationParams());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "RIFT2 feature extraction failed");
    EXPECT_TRUE(r.candidates.empty());
    EXPECT_TRUE(r.refFromSrc.empty());
}

TEST(EstimatePairRegistration, FlatImagesFindNoMatches) {
    // Flat moments still give cell maxima, but their empty descriptors fail the ratio test.
    const cv::Mat flat(150, 160, CV_16U, cv::Scalar(300));
    const PairRegistrationResult r = estimatePairRegistration(flat, flat, "flat", PairRegistrationParams());
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.error, "insufficient mutual matches: 0");
}

TEST(EstimatePairRegistration, RegistersASyntheticBandPair) {
    const SyntheticCapture cap = makeSyntheticCapture(21, cv::Size(320, 256));
    const PairRegistrationResult r = estimatePairRegistration(cap.bands[0], cap.bands[2], "IMG_0021_475nm",
                                                              31, 4500, 6, 4, 72, 0.8, 0.8, 3.0, 300, 1e-7);
    ASSERT_TRUE(r.succeeded()) << r.error.toStdString();
    EXPECT_GT(r.srcKeypoints, 12);
    EXPECT_GE(r.srcDescriptors, r.srcKeypoints);
    EXPECT_GE(r.matches, r.inliers);
    EXPECT_GE(r.inliers, 8);
    EXPECT_EQ(r.candidates.size(), 2u);
    EXPECT_LE(r.homographyMedianError, r.homographyP90Error);
    EXPECT_GT(r.matchDistanceMedian, 0.0);
    double worst = 0;
    for (double e : cornerErrors(r.refFromSrc, cap.trueRefFromBand[0], cap.bands[0].size()))
        worst = std::max(worst, e);
    EXPECT_LT(worst, 1.0);
}

TEST(RetryParameterGroups, TenRowsChangingOnlyFourFields) {
    const auto& rows = retryParameterGroups();
    ASSERT_EQ(rows.size(), 10u);
    const int features[10] = {5200, 6000, 6750, 7500, 8250, 9000, 9000, 9000, 9000, 9000};
    const double ratios[10] = {0.81, 0.82, 0.84, 0.86, 0.88, 0.90, 0.91, 0.92, 0.94, 0.96};
    const double thresholds[10] = {3.25, 3.5, 4.0, 4.5, 5.0, 5.5, 6.0, 6.5, 8.0, 9.0};
    const int iterations[10] = {375, 450, 525, 600, 750, 900, 1050, 1200, 1500, 1800};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(rows[i].maxFeatures, features[i]);
        EXPECT_DOUBLE_EQ(rows[i].loweRatio, ratios[i]);
        EXPECT_DOUBLE_EQ(rows[i].magsacThreshold, thresholds[i]);
        EXPECT_EQ(rows[i].eccIterations, iterations[i]);
        EXPECT_EQ(rows[i].wallisWindow, 31);
        EXPECT_EQ(rows[i].orientations, 6);
        EXPECT_EQ(rows[i].scales, 4);
        EXPECT_EQ(rows[i].patchSize, 72);
        EXPECT_DOUBLE_EQ(rows[i].secondaryRatio, 0.8);
        EXPECT_DOUBLE_EQ(rows[i].eccEpsilon, 1e-7);
        EXPECT_EQ(rows[i].validate(), QString()) << i;
    }
    const PairRegistrationParams d = defaultPairRegistrationParams();
    EXPECT_EQ(d.maxFeatures, 4500);
    EXPECT_DOUBLE_EQ(d.loweRatio, 0.8);
    EXPECT_DOUBLE_EQ(d.magsacThreshold, 3.0);
    EXPECT_EQ(d.eccIterations, 300);
    EXPECT_EQ(d.validate(), QString());
}

TEST(PairRegistration, SettingsOutOfRangeGiveAFailedResultNamingThem) {
    const SyntheticCapture cap = makeSyntheticCapture(21, cv::Size(160, 128));
    PairRegistrationParams params;
    params.loweRatio = 1.5;
    const PairRegistrationResult r = estimatePairRegistration(cap.bands[0], cap.bands[2], "bad", params);
    EXPECT_FALSE(r.succeeded());
    EXPECT_TRUE(r.error.contains("loweRatio")) << r.error.toStdString();
}

TEST(ComputeRegistrationMatrix, UnreadableFileGivesEmptyListWithoutNotice) {
    ProgressLog log;
    EXPECT_TRUE(computeRegistrationMatrix("missing_ref.tif", "missing_src.tif", log.callback()).isEmpty());
    EXPECT_TRUE(log.calls.empty());
}

TEST(ComputeRegistrationMatrix, BandFailingEverySetSendsOneNotice) {
    QTemporaryDir dir;  // the band files of the test
    const auto in = [&dir](const char* name) { return dir.filePath(name); };
    const cv::Mat flat(110, 120, CV_16U, cv::Scalar(500));
    ASSERT_TRUE(writeImage(in("IMG_0001_3.tif"), flat));
    ASSERT_TRUE(writeImage(in("IMG_0001_1.tif"), flat));
    ProgressLog log;
    EXPECT_TRUE(
        computeRegistrationMatrix(in("IMG_0001_3.tif"), in("IMG_0001_1.tif"), log.callback()).isEmpty());
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, -1);
    EXPECT_EQ(log.calls[0].second,
              QString::fromUtf8("波段 IMG_0001_1.tif 配准失败: 默认参数及10套重试参数均执行失败"));
}

TEST(ComputeRegistrationMatrix, ReturnsNineRowMajorNumbersOfTheWarp) {
    QTemporaryDir dir;  // the band files of the test
    const auto in = [&dir](const char* name) { return dir.filePath(name); };
    const SyntheticCapture cap = makeSyntheticCapture(22, cv::Size(320, 256));
    ASSERT_TRUE(writeImage(in("IMG_0022_660nm.tif"), cap.bands[2]));
    ASSERT_TRUE(writeImage(in("IMG_0022_560nm.tif"), cap.bands[1]));
    ProgressLog log;
    const QList<double> m =
        computeRegistrationMatrix(in("IMG_0022_660nm.tif"), in("IMG_0022_560nm.tif"), log.callback());
    ASSERT_EQ(m.size(), 9);
    EXPECT_TRUE(log.calls.empty());
    EXPECT_DOUBLE_EQ(m[8], 1.0);
    cv::Mat W(3, 3, CV_64F);
    for (int i = 0; i < 9; ++i) W.at<double>(i / 3, i % 3) = m[i];
    EXPECT_NEAR(W.at<double>(0, 2), cap.trueRefFromBand[1].at<double>(0, 2), 1.0);  // row-major: x shift
    double worst = 0;
    for (double e : cornerErrors(W, cap.trueRefFromBand[1], cap.bands[1].size())) worst = std::max(worst, e);
    EXPECT_LT(worst, 1.0);
}

TEST(ComputeCommonRegistrationMatrix, SkipsFailedGroupsAndKeepsAValidOne) {
    QTemporaryDir dir;  // the band files of the test
    const auto in = [&dir](const char* name) { return dir.filePath(name); };
    const SyntheticCapture cap = makeSyntheticCapture(23, cv::Size(320, 256));
    const cv::Mat flat(110, 120, CV_16U, cv::Scalar(500));
    ASSERT_TRUE(writeImage(in("IMG_0031_3.tif"), flat));
    ASSERT_TRUE(writeImage(in("IMG_0031_5.tif"), flat));
    ASSERT_TRUE(writeImage(in("IMG_0032_3.tif"), cap.bands[2]));
    ASSERT_TRUE(writeImage(in("IMG_0032_5.tif"), cap.bands[0]));
    ProgressLog log;
    const QList<double> m = computeCommonRegistrationMatrix(
        {"missing.tif", in("IMG_0031_3.tif"), in("IMG_0032_3.tif")},
        {"missing2.tif", in("IMG_0031_5.tif"), in("IMG_0032_5.tif")}, log.callback());
    ASSERT_EQ(m.size(), 9);
    ASSERT_EQ(log.calls.size(), 1u);  // the unreadable group sends nothing
    EXPECT_TRUE(log.calls[0].second.contains("IMG_0031_5.tif"));
    cv::Mat W(3, 3, CV_64F);
    for (int i = 0; i < 9; ++i) W.at<double>(i / 3, i % 3) = m[i];
    double worst = 0;
    for (double e : cornerErrors(W, cap.trueRefFromBand[0], cap.bands[0].size())) worst = std::max(worst, e);
    EXPECT_LT(worst, 1.0);

    EXPECT_TRUE(computeCommonRegistrationMatrix({"missing.tif"}, {"missing2.tif"}, log.callback()).isEmpty());
    EXPECT_TRUE(computeCommonRegistrationMatrix({}, {}, log.callback()).isEmpty());
    EXPECT_EQ(log.calls.size(), 1u);
}

// A reference band prepared once (and shared through the cache) gives every band exactly the
// result of a registration that extracts the reference itself.
TEST(ReferenceBandCache, SharedReferenceGivesIdenticalResultsAndExtractsOnce) {
    const SyntheticCapture cap = makeSyntheticCapture(24, cv::Size(320, 256));
    const PairRegistrationParams params = defaultPairRegistrationParams();
    ReferenceBandCache cache;
    int succeeded = 0;
    for (int b : {0, 1, 3}) {
        const PairRegistrationResult plain = estimatePairRegistration(cap.bands[b], cap.bands[2], "plain", params);
        const PairRegistrationResult shared =
            estimatePairRegistration(cap.bands[b], *cache.get("IMG_0024_660nm.tif", cap.bands[2], params), "shared",
                                     params);
        ASSERT_EQ(plain.succeeded(), shared.succeeded()) << "band " << b;
        if (plain.succeeded()) {
            ++succeeded;
            EXPECT_EQ(cv::norm(plain.refFromSrc, shared.refFromSrc, cv::NORM_INF), 0.0) << "band " << b;
        }
        EXPECT_EQ(plain.inliers, shared.inliers);
        EXPECT_EQ(plain.refKeypoints, shared.refKeypoints);
        EXPECT_EQ(plain.status, shared.status);
    }
    EXPECT_GE(succeeded, 2);
    EXPECT_EQ(cache.extractions(), 1);

    // Parameters that shape the features, and another file, are entries of their own; the matching
    // parameters are not.
    PairRegistrationParams matching = params;
    matching.loweRatio = 0.9;
    matching.eccIterations = 10;
    cache.get("IMG_0024_660nm.tif", cap.bands[2], matching);
    EXPECT_EQ(cache.extractions(), 1);
    PairRegistrationParams more = params;
    more.maxFeatures = 5200;
    cache.get("IMG_0024_660nm.tif", cap.bands[2], more);
    cache.get("IMG_0025_660nm.tif", cap.bands[2], params);
    EXPECT_EQ(cache.extractions(), 3);

    // Over its budget the cache starts afresh instead of growing.
    ReferenceBandCache small(1.5 * 320 * 256);
    small.get("a.tif", cap.bands[2], params);
    small.get("b.tif", cap.bands[2], params);
    small.get("a.tif", cap.bands[2], params);
    EXPECT_EQ(small.extractions(), 3);
}
