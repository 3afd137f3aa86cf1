// One registration attempt of a band pair with one parameter set.
#include "pair_registration.h"

#include <QDebug>
#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>

#include "ecc_refine.h"

namespace refl {

namespace {

constexpr double kWallisTargetMean = 0.5;
constexpr double kWallisTargetStd = 0.22;
constexpr double kWallisContrast = 0.82;
constexpr double kWallisBrightness = 0.9;
const char* const kEccWallis = "wallis";
const char* const kEccMaxMoment = "phase_congruency_maximum_moment";

void normaliseByLastElement(cv::Mat& W) {
    const double w22 = W.at<double>(2, 2);
    if (std::fabs(w22) > 1e-12) W /= w22;
}

cv::Mat selectRows(const cv::Mat& points, const std::vector<int>& rows) {
    cv::Mat out(static_cast<int>(rows.size()), points.cols, points.type());
    for (size_t i = 0; i < rows.size(); ++i) points.row(rows[i]).copyTo(out.row(static_cast<int>(i)));
    return out;
}

}  // namespace

namespace pairregdetail {

void errorStatistics(const cv::Mat& errors, double& median, double& p90) {
    std::vector<float> sorted;
    if (!errors.empty()) errors.reshape(1, 1).copyTo(sorted);
    std::sort(sorted.begin(), sorted.end());
    median = medianOfSorted(sorted);
    p90 = percentileOf(sorted, 90.0);
}

bool eccCandidateAccepted(bool valid, double homographyMedianError, double candidateMedianError) {
    if (!valid || std::isnan(candidateMedianError)) return false;
    return std::max(2.0 * homographyMedianError, 2.0) >= candidateMedianError;
}

EccRefineOptions eccSettings(const PairRegistrationParams& params) {
    EccRefineOptions s;
    s.correlationEpsilon = params.eccEpsilon;
    const int limit = std::max(1, params.eccIterations);
    s.coarseIterations = std::min(limit, s.coarseIterations);
    s.middleIterations = std::min(limit, s.middleIterations);
    s.fullIterations = std::min(limit, s.fullIterations);
    return s;
}

void refineWithEcc(const cv::Mat& magsacRefFromSrc, const cv::Mat& inlierSrc, const cv::Mat& inlierRef,
                   const std::vector<EccCandidate>& candidates, const cv::Size& srcSize,
                   const PairRegistrationParams& params, PairRegistrationResult& result,
                   cv::Mat& bestRefFromSrc) {
    bestRefFromSrc = magsacRefFromSrc.clone();
    double bestCorrelation = -1.0;
    result.status = "rejected_by_geometric_validation";
    result.method.clear();
    result.eccCorrelation = -1.0;
    // The candidates are independent: they run side by side where OpenCV has threads to spare, and
    // are judged below in their fixed order.
    const EccRefineOptions settings = eccSettings(params);
    cv::Matx33d start;
    for (int i = 0; i < 9; ++i) start.val[i] = magsacRefFromSrc.at<double>(i / 3, i % 3);
    std::vector<EccRefineResult> refined(candidates.size());
    cv::parallel_for_(cv::Range(0, int(candidates.size())), [&](const cv::Range& range) {
        for (int c = range.start; c < range.end; ++c) {
            try {
                refined[size_t(c)] = refineHomographyEcc(candidates[size_t(c)].src, candidates[size_t(c)].ref,
                                                         start, settings);
            } catch (const cv::Exception& e) {
                refined[size_t(c)].error =
                    QString::fromStdString(e.err.empty() ? std::string(e.what()) : e.err);
            } catch (const std::exception& e) {
                refined[size_t(c)].error = QString::fromLocal8Bit(e.what());
            }
        }
    });
    for (size_t c = 0; c < candidates.size(); ++c) {
        const EccCandidate& candidate = candidates[c];
        const EccRefineResult& r = refined[c];
        if (!r.ok) {
            result.candidates.push_back(
                {candidate.name, "failed", 0.0, 0.0, r.error, r.reducedIterations, r.fullSizeIterations});
            continue;
        }
        const cv::Mat candidateRefFromSrc = cv::Mat(r.inputFromTemplate).clone();
        double median = 0.0, p90 = 0.0;
        errorStatistics(computeTransferErrors(candidateRefFromSrc, inlierSrc, inlierRef), median, p90);
        const bool valid = validateHomography(candidateRefFromSrc, srcSize.width, srcSize.height);
        const bool accepted = eccCandidateAccepted(valid, result.homographyMedianError, median);
        if (accepted && (bestCorrelation < 0.0 || r.correlation > bestCorrelation)) {
            bestRefFromSrc = candidateRefFromSrc;
            bestCorrelation = r.correlation;
            result.method = candidate.name;
            result.status = "success";
        }
        result.candidates.push_back({candidate.name, accepted ? "accepted" : "rejected", r.correlation,
                                     median, QString(), r.reducedIterations, r.fullSizeIterations});
    }
    result.eccCorrelation = bestCorrelation;
    if (result.status != "success" && !result.candidates.empty() &&
        std::all_of(result.candidates.begin(), result.candidates.end(),
                    [](const EccCandidateRecord& r) { return r.verdict == "failed"; }))
        result.status = "failed";
}

void registerFeatures(const Rift2Features& srcFeatures, const Rift2Features& refFeatures,
                      const std::vector<EccCandidate>& candidates, const cv::Size& srcSize,
                      const QString& tag, const PairRegistrationParams& params, const QElapsedTimer& timer,
                      PairRegistrationResult& result) {
    auto fail = [&](const QString& error) {
        result.error = error;
        qDebug().noquote() << "[PairReg]" << tag << "| failed:" << error << "t=" << timer.elapsed() << "ms";
    };

    // Step 3: mutual matches.
    cv::Mat srcPoints, refPoints;
    std::vector<float> distances;
    matchMutual(srcFeatures, refFeatures, params.loweRatio, srcPoints, refPoints, distances);
    result.matches = srcPoints.rows;
    std::sort(distances.begin(), distances.end());
    result.matchDistanceMedian = medianOfSorted(distances);
    qDebug().noquote() << "[PairReg]" << tag << "| Step3 mutual matches done"
                       << "matches=" << result.matches << "t=" << timer.elapsed() << "ms";
    if (result.matches < 10) return fail(QString("insufficient mutual matches: %1").arg(result.matches));

    // Step 4: MAGSAC++ homography.
    qDebug().noquote() << "[PairReg]" << tag << "| Step4 MAGSAC begin"
                       << "points=" << result.matches << "threshold=" << params.magsacThreshold
                       << "t=" << timer.elapsed() << "ms";
    cv::Mat mask, magsacRefFromSrc;
    try {
        magsacRefFromSrc = cv::findHomography(srcPoints, refPoints, cv::USAC_MAGSAC, params.magsacThreshold,
                                              mask, 20000, 0.9999);
    } catch (const cv::Exception& e) {
        qDebug().noquote() << "[PairReg]" << tag << "| MAGSAC error:" << QString::fromStdString(e.err);
        magsacRefFromSrc.release();
    }
    if (magsacRefFromSrc.empty() || mask.total() != static_cast<size_t>(srcPoints.rows))
        return fail("MAGSAC++ homography failed");
    magsacRefFromSrc.convertTo(magsacRefFromSrc, CV_64F);
    normaliseByLastElement(magsacRefFromSrc);
    std::vector<int> inlierRows;
    for (int i = 0; i < srcPoints.rows; ++i)
        if (mask.at<uchar>(i)) inlierRows.push_back(i);
    result.inliers = static_cast<int>(inlierRows.size());
    qDebug().noquote() << "[PairReg]" << tag << "| Step4 MAGSAC done"
                       << "inliers=" << result.inliers << "t=" << timer.elapsed() << "ms";
    if (result.inliers < 8) return fail(QString("insufficient MAGSAC inliers: %1").arg(result.inliers));
    const cv::Mat inlierSrc = selectRows(srcPoints, inlierRows);
    const cv::Mat inlierRef = selectRows(refPoints, inlierRows);
    errorStatistics(computeTransferErrors(magsacRefFromSrc, inlierSrc, inlierRef),
                    result.homographyMedianError, result.homographyP90Error);

    // Step 5: ECC refinement on both image representations.
    result.magsacRefFromSrc = magsacRefFromSrc;
    qDebug().noquote() << "[PairReg]" << tag << "| Step5 ECC begin"
                       << "iterations=" << params.eccIterations << "t=" << timer.elapsed() << "ms";
    cv::Mat bestRefFromSrc;
    refineWithEcc(magsacRefFromSrc, inlierSrc, inlierRef, candidates, srcSize, params, result,
                  bestRefFromSrc);
    for (const EccCandidateRecord& c : result.candidates)
        qDebug().noquote() << "[PairReg]" << tag << "| ECC candidate" << c.name << c.verdict
                           << "corr=" << c.correlation << "med=" << c.medianError << "iterations="
                           << QString("%1+%2").arg(c.reducedIterations).arg(c.fullSizeIterations) << c.note;

    result.refFromSrc = bestRefFromSrc.clone();
    errorStatistics(computeTransferErrors(result.refFromSrc, inlierSrc, inlierRef), result.finalMedianError,
                    result.finalP90Error);
    result.ok = true;
    qDebug().noquote() << "[PairReg]" << tag << "| all steps done, success"
                       << "inliers=" << result.inliers << "finalMed=" << result.finalMedianError
                       << "ecc=" << result.status << "t=" << timer.elapsed() << "ms";
}

}  // namespace pairregdetail

namespace {

cv::Mat wallisOf(const cv::Mat& image, const PairRegistrationParams& params) {
    return applyWallisFilter(image, params.wallisWindow, kWallisTargetMean, kWallisTargetStd, kWallisContrast,
                             kWallisBrightness);
}

Rift2Features featuresOf(const cv::Mat& wallis, const PairRegistrationParams& params) {
    return extractRift2(wallis, params.maxFeatures, params.orientations, params.scales, params.patchSize,
                        params.secondaryRatio);
}

cv::Mat unitByte(const cv::Mat& map) {
    cv::Mat out;
    normalizeToByte(map).convertTo(out, CV_32F, 1.0 / 255.0);
    return out;
}

// Steps 1 and 2 for src (the reference comes prepared), then the rest of the attempt.
PairRegistrationResult attempt(const cv::Mat& src, const std::function<const PreparedBand&()>& prepareRef,
                               const QString& tag, const PairRegistrationParams& params) {
    QElapsedTimer timer;
    timer.start();
    PairRegistrationResult result;
    qDebug().noquote() << "[PairReg]" << tag << "| enter"
                       << "maxFeatures=" << params.maxFeatures << "loweRatio=" << params.loweRatio
                       << "magsacThreshold=" << params.magsacThreshold
                       << "eccIterations=" << params.eccIterations;
    result.error = params.validate();
    if (!result.error.isEmpty()) {
        qDebug().noquote() << "[PairReg]" << tag << "| refused:" << result.error;
        return result;
    }

    // Step 1: contrast equalisation.
    const cv::Mat srcWallis = wallisOf(src, params);
    const PreparedBand& ref = prepareRef();
    qDebug().noquote() << "[PairReg]" << tag << "| Step1 Wallis done"
                       << "t=" << timer.elapsed() << "ms";

    // Step 2: RIFT2 features.
    const Rift2Features srcFeatures = featuresOf(srcWallis, params);
    const Rift2Features& refFeatures = ref.features;
    result.srcKeypoints = srcFeatures.keypoints.rows;
    result.refKeypoints = refFeatures.keypoints.rows;
    result.srcDescriptors = srcFeatures.descriptors.rows;
    result.refDescriptors = refFeatures.descriptors.rows;
    qDebug().noquote() << "[PairReg]" << tag << "| Step2 RIFT2 extract done"
                       << "srcKp=" << result.srcKeypoints << "refKp=" << result.refKeypoints
                       << "t=" << timer.elapsed() << "ms";
    if (srcFeatures.descriptors.empty() || refFeatures.descriptors.empty()) {
        result.error = "RIFT2 feature extraction failed";
        qDebug().noquote() << "[PairReg]" << tag << "| failed:" << result.error << "t=" << timer.elapsed()
                           << "ms";
        return result;
    }

    const std::vector<pairregdetail::EccCandidate> candidates = {
        {kEccWallis, srcWallis, ref.wallis},
        {kEccMaxMoment, unitByte(srcFeatures.maximumMoment), ref.maxMomentUnit},
    };
    pairregdetail::registerFeatures(srcFeatures, refFeatures, candidates, srcWallis.size(), tag, params,
                                    timer, result);
    return result;
}

}  // namespace

PreparedBand prepareBand(const cv::Mat& image, const PairRegistrationParams& params) {
    PreparedBand band;
    band.wallis = wallisOf(image, params);
    band.features = featuresOf(band.wallis, params);
    if (!band.features.maximumMoment.empty()) band.maxMomentUnit = unitByte(band.features.maximumMoment);
    band.features.maximumMoment.release();  // only its byte-scaled copy takes part from here on
    return band;
}

PairRegistrationResult estimatePairRegistration(const cv::Mat& src, const cv::Mat& ref, const QString& tag,
                                                const PairRegistrationParams& params) {
    PreparedBand prepared;
    return attempt(
        src,
        [&]() -> const PreparedBand& {
            prepared = prepareBand(ref, params);
            return prepared;
        },
        tag, params);
}

PairRegistrationResult estimatePairRegistration(const cv::Mat& src, const PreparedBand& ref, const QString& tag,
                                                const PairRegistrationParams& params) {
    return attempt(src, [&]() -> const PreparedBand& { return ref; }, tag, params);
}

std::shared_ptr<const PreparedBand> ReferenceBandCache::get(const QString& path, const cv::Mat& image,
                                                            const PairRegistrationParams& params) {
    const Key key(path, params.wallisWindow, params.maxFeatures, params.orientations, params.scales,
                  params.patchSize, params.secondaryRatio);
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_entries.find(key);
        if (it == m_entries.end()) {
            // A flight's captures come one after another: dropping everything when full is enough.
            if (m_pixels + double(image.total()) > m_maxPixels) {
                m_entries.clear();
                m_pixels = 0;
            }
            it = m_entries.emplace(key, std::make_shared<Entry>()).first;
            m_pixels += double(image.total());
        }
        entry = it->second;
    }
    std::call_once(entry->once, [&] {
        entry->band = std::make_shared<const PreparedBand>(prepareBand(image, params));
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_extractions;
    });
    return entry->band;
}

void ReferenceBandCache::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
    m_pixels = 0;
}

int ReferenceBandCache::extractions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_extractions;
}

PairRegistrationResult estimatePairRegistration(const cv::Mat& src, const cv::Mat& ref, const QString& tag,
                                                int wallisWindow, int maxFeatures, int orientations,
                                                int scales, int patchSize, double secondaryRatio,
                                                double loweRatio, double magsacThreshold, int eccIterations,
                                                double eccEpsilon) {
    PairRegistrationParams p;
    p.wallisWindow = wallisWindow;
    p.maxFeatures = maxFeatures;
    p.orientations = orientations;
    p.scales = scales;
    p.patchSize = patchSize;
    p.secondaryRatio = secondaryRatio;
    p.loweRatio = loweRatio;
    p.magsacThreshold = magsacThreshold;
    p.eccIterations = eccIterations;
    p.eccEpsilon = eccEpsilon;
    return estimatePairRegistration(src, ref, tag, p);
}

}  // namespace refl
