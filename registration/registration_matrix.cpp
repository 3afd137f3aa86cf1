// Band-file level registration: the default parameter set, the ten retry sets, and the matrix of
// one capture or the best matrix over several captures.
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "contrast_stretch.h"
#include "pair_registration.h"

namespace refl {

namespace {

PairRegistrationParams retryRow(int maxFeatures, double loweRatio, double magsacThreshold,
                                int eccIterations) {
    PairRegistrationParams p;
    p.maxFeatures = maxFeatures;
    p.loweRatio = loweRatio;
    p.magsacThreshold = magsacThreshold;
    p.eccIterations = eccIterations;
    return p;
}

}  // namespace

cv::Mat readBandImage(const QString& path) {
    cv::Mat image =
        cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
    return image.empty() ? image : toGrey(image);
}

namespace {

QString failureMessage(const QString& srcPath) {
    return QString("波段 %1 配准失败: 默认参数及10套重试参数均执行失败").arg(QFileInfo(srcPath).fileName());
}

QList<double> toList(const cv::Mat& m) {
    QList<double> out;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.append(m.at<double>(r, c));
    return out;
}

}  // namespace

PairRegistrationResult pairregdetail::registerWithRetries(const cv::Mat& src, const cv::Mat& ref,
                                                          const QString& tag, ReferenceBandCache* cache,
                                                          const QString& refPath) {
    auto once = [&](const PairRegistrationParams& params) {
        if (!cache) return estimatePairRegistration(src, ref, tag, params);
        return estimatePairRegistration(src, *cache->get(refPath, ref, params), tag, params);
    };
    PairRegistrationResult result = once(defaultPairRegistrationParams());
    for (const PairRegistrationParams& row : retryParameterGroups()) {
        if (result.succeeded()) break;
        result = once(row);
    }
    return result;
}

PairRegistrationParams defaultPairRegistrationParams() { return PairRegistrationParams(); }

QString PairRegistrationParams::validate() const {
    if (wallisWindow < 3 || wallisWindow % 2 == 0)
        return QString("wallisWindow %1 is not odd and >= 3").arg(wallisWindow);
    if (maxFeatures < 1) return QString("maxFeatures %1 < 1").arg(maxFeatures);
    if (orientations < 1 || scales < 1)
        return QString("orientations %1, scales %2: need >= 1").arg(orientations).arg(scales);
    if (patchSize < 1) return QString("patchSize %1 < 1").arg(patchSize);
    if (!(secondaryRatio > 0 && secondaryRatio <= 1))
        return QString("secondaryRatio %1 not in (0, 1]").arg(secondaryRatio);
    if (!(loweRatio > 0 && loweRatio <= 1)) return QString("loweRatio %1 not in (0, 1]").arg(loweRatio);
    if (!(magsacThreshold > 0)) return QString("magsacThreshold %1 <= 0").arg(magsacThreshold);
    if (eccIterations < 1) return QString("eccIterations %1 < 1").arg(eccIterations);
    if (!(eccEpsilon > 0)) return QString("eccEpsilon %1 <= 0").arg(eccEpsilon);
    return QString();
}

const std::vector<PairRegistrationParams>& retryParameterGroups() {
    static const std::vector<PairRegistrationParams> rows = {
        retryRow(5200, 0.81, 3.25, 375), retryRow(6000, 0.82, 3.5, 450),  retryRow(6750, 0.84, 4.0, 525),
        retryRow(7500, 0.86, 4.5, 600),  retryRow(8250, 0.88, 5.0, 750),  retryRow(9000, 0.90, 5.5, 900),
        retryRow(9000, 0.91, 6.0, 1050), retryRow(9000, 0.92, 6.5, 1200), retryRow(9000, 0.94, 8.0, 1500),
        retryRow(9000, 0.96, 9.0, 1800),
    };
    return rows;
}

QList<double> computeRegistrationMatrix(const QString& refPath, const QString& srcPath,
                                        const RegistrationProgressCallback& progress, ReferenceBandCache* cache,
                                        PairRegistrationSummary* summary) {
    const cv::Mat ref = readBandImage(refPath);
    const cv::Mat src = readBandImage(srcPath);
    if (ref.empty() || src.empty()) {
        qDebug() << "computeRegistrationMatrix: unable to read image" << refPath << srcPath;
        return {};
    }
    const PairRegistrationResult result =
        pairregdetail::registerWithRetries(src, ref, QFileInfo(srcPath).completeBaseName(), cache, refPath);
    if (!result.succeeded()) {
        qDebug() << "computeRegistrationMatrix: estimatePairRegistration failed:" << result.error;
        if (progress) progress(-1, failureMessage(srcPath));
        return {};
    }
    if (summary) {
        summary->inliers = result.inliers;
        summary->ecc = result.status;
        summary->finalMedian = result.finalMedianError;
    }
    cv::Mat refFromSrc = result.refFromSrc.clone();
    const double w22 = refFromSrc.at<double>(2, 2);
    if (std::fabs(w22) >= 1e-9) refFromSrc /= w22;
    qDebug() << "computeRegistrationMatrix: success" << refPath << srcPath << "inliers:" << result.inliers
             << "finalMed:" << result.finalMedianError << "ecc:" << result.status;
    return toList(refFromSrc);
}

CommonGroupAttempt attemptCommonGroup(const QString& refPath, const QString& srcPath, int group,
                                      ReferenceBandCache* cache) {
    CommonGroupAttempt attempt;
    attempt.group = group;
    const cv::Mat ref = readBandImage(refPath);
    const cv::Mat src = readBandImage(srcPath);
    if (ref.empty() || src.empty()) {
        qDebug() << "computeCommonRegistrationMatrix: unable to read image" << refPath << srcPath;
        return attempt;
    }
    const PairRegistrationResult result =
        pairregdetail::registerWithRetries(src, ref, QFileInfo(srcPath).completeBaseName(), cache, refPath);
    if (!result.succeeded()) {
        qDebug() << "computeCommonRegistrationMatrix: failed, group" << group << result.error;
        attempt.failure = failureMessage(srcPath);
        return attempt;
    }
    attempt.refFromSrc = result.refFromSrc.clone();
    attempt.summary.inliers = result.inliers;
    attempt.summary.ecc = result.status;
    attempt.summary.finalMedian = result.finalMedianError;
    attempt.summary.group = group;
    return attempt;
}

QList<double> chooseCommonMatrix(const std::vector<CommonGroupAttempt>& attempts,
                                 const RegistrationProgressCallback& progress, PairRegistrationSummary* summary) {
    // The first attempt with the highest score inliers / (median error + 1) wins.
    double bestScore = -1e30;
    const CommonGroupAttempt* best = nullptr;
    for (const CommonGroupAttempt& attempt : attempts) {
        if (!attempt.failure.isEmpty() && progress) progress(-1, attempt.failure);
        if (attempt.refFromSrc.empty()) continue;
        const double score = attempt.summary.inliers / (attempt.summary.finalMedian + 1.0);
        if (score > bestScore) {
            bestScore = score;
            best = &attempt;
        }
    }
    if (!best) {
        qDebug() << "computeCommonRegistrationMatrix: no valid group matrix";
        return {};
    }
    if (summary) *summary = best->summary;
    return toList(best->refFromSrc);
}

QList<double> computeCommonRegistrationMatrix(const QStringList& refPaths, const QStringList& srcPaths,
                                              const RegistrationProgressCallback& progress,
                                              ReferenceBandCache* cache, PairRegistrationSummary* summary) {
    // Entry i of both lists belongs to group i; a ref without its src is skipped.
    const int groups = std::min(refPaths.size(), srcPaths.size());
    if (refPaths.size() != srcPaths.size())
        qDebug() << "computeCommonRegistrationMatrix: list sizes differ" << refPaths.size()
                 << srcPaths.size();
    std::vector<CommonGroupAttempt> attempts;
    for (int i = 0; i < groups; ++i) attempts.push_back(attemptCommonGroup(refPaths[i], srcPaths[i], i, cache));
    return chooseCommonMatrix(attempts, progress, summary);
}

}  // namespace refl
