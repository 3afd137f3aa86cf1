#include "band_refine.h"

#include <QDebug>
#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "pair_registration.h"

namespace refl {

namespace {

std::vector<cv::Point2d> corners(const cv::Size& size) {
    const double w = size.width - 1, h = size.height - 1;
    return {{0, 0}, {w, 0}, {w, h}, {0, h}};
}

cv::Point2d apply(const cv::Matx33d& H, const cv::Point2d& p) {
    const cv::Vec3d v = H * cv::Vec3d(p.x, p.y, 1.0);
    return {v[0] / v[2], v[1] / v[2]};
}

// Least-squares affine map taking every `from` point to its `to` point; false when the points are
// too few or all on a line.
bool fitAffine(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to, cv::Matx33d& A) {
    const int n = int(from.size());
    if (n < 3) return false;
    cv::Mat M(2 * n, 6, CV_64F, cv::Scalar(0)), b(2 * n, 1, CV_64F);
    for (int i = 0; i < n; ++i) {
        double* r0 = M.ptr<double>(2 * i);
        double* r1 = M.ptr<double>(2 * i + 1);
        r0[0] = from[size_t(i)].x;
        r0[1] = from[size_t(i)].y;
        r0[2] = 1;
        r1[3] = from[size_t(i)].x;
        r1[4] = from[size_t(i)].y;
        r1[5] = 1;
        b.at<double>(2 * i) = to[size_t(i)].x;
        b.at<double>(2 * i + 1) = to[size_t(i)].y;
    }
    cv::Mat x;
    if (!cv::solve(M, b, x, cv::DECOMP_SVD)) return false;
    cv::Mat w;
    cv::SVD::compute(M, w);
    if (w.at<double>(5) < 1e-9 * w.at<double>(0)) return false;
    A = cv::Matx33d(x.at<double>(0), x.at<double>(1), x.at<double>(2), x.at<double>(3), x.at<double>(4),
                    x.at<double>(5), 0, 0, 1);
    return true;
}

}  // namespace

cv::Mat warpOntoReference(const cv::Mat& band, const cv::Matx33d& refFromBand, const cv::Size& refSize) {
    cv::Mat f, out;
    band.convertTo(f, CV_32F);
    cv::warpPerspective(f, out, cv::Mat(refFromBand), refSize, cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
    return out;
}

QString WindowRefineOptions::validate() const {
    const QString measureProblem = measure.validate();
    if (!measureProblem.isEmpty()) return measureProblem;
    if (iterations < 1) return QString("refinement rounds %1 below 1").arg(iterations);
    if (!(stopShift >= 0)) return QString("stop shift %1 px is negative").arg(stopShift);
    return QString();
}

WindowRefineResult refineByWindowShifts(const cv::Mat& ref, const cv::Mat& band, const cv::Matx33d& start,
                                        const WindowRefineOptions& options, const cv::Mat& refGradient) {
    WindowRefineResult result;
    result.refFromBand = start;
    const QString invalid = options.validate();
    if (!invalid.isEmpty()) {
        qDebug().noquote() << "refineByWindowShifts: refused:" << invalid;
        return result;
    }
    const cv::Mat gradient = refGradient.size() == ref.size() ? refGradient : alignmentGradient(ref);
    const BandQualityOptions& m = options.measure;
    // Window centres lie at window + k * step on each axis: the colour of (k, l) on a checkerboard.
    auto fitted = [&](const BandShiftSample& s) {
        if (!options.holdOut) return true;
        const long k = std::lround((s.centre.x - m.window) / m.step), l = std::lround((s.centre.y - m.window) / m.step);
        return (k + l) % 2 == 0;
    };
    for (int round = 0;; ++round) {
        int grid = 0;
        const std::vector<BandShiftSample> all = measureBandShifts(
            ref, warpOntoReference(band, result.refFromBand, ref.size()), options.measure, gradient, &grid);
        std::vector<BandShiftSample> samples, held;
        for (const BandShiftSample& s : all) (fitted(s) ? samples : held).push_back(s);
        result.quality = options.holdOut ? summarizeBandShifts(held, grid - grid / 2, m)
                                         : summarizeBandShifts(samples, grid, m);
        // Windows enough to correct with, even where the field is too uncertain to report.
        if (result.quality.windows < options.measure.minWindows || round >= options.iterations) break;
        const cv::Point2d ms = result.quality.medianShift;
        if (std::hypot(ms.x, ms.y) < options.stopShift && result.quality.median < 2 * options.stopShift) break;
        // Windows that disagree with the rest (repeated texture, a moving shadow) stay out of the fit.
        std::vector<double> dev;
        for (const BandShiftSample& s : samples) dev.push_back(std::hypot(s.shift.x - ms.x, s.shift.y - ms.y));
        const double limit = std::max(0.5, 3.0 * 1.4826 * medianOf(dev));
        std::vector<cv::Point2d> from, to;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (dev[i] > limit) continue;
            // Content of the warped band at c belongs to the reference at c - shift.
            from.push_back(samples[i].centre);
            to.push_back(samples[i].centre - samples[i].shift);
        }
        if (int(from.size()) < options.measure.minWindows) break;
        cv::Matx33d correction;
        if (!fitAffine(from, to, correction)) break;
        cv::Matx33d next = correction * result.refFromBand;
        if (std::fabs(next(2, 2)) > 1e-12) next *= 1.0 / next(2, 2);
        if (!validateHomography(cv::Mat(next), band.cols, band.rows)) break;
        result.refFromBand = next;
        ++result.rounds;
    }
    return result;
}

double cornerDistance(const cv::Matx33d& a, const cv::Matx33d& b, const cv::Size& size) {
    double worst = 0;
    for (const cv::Point2d& c : corners(size)) {
        const cv::Point2d d = apply(a, c) - apply(b, c);
        worst = std::max(worst, std::hypot(d.x, d.y));
    }
    return std::isfinite(worst) ? worst : 1e30;
}

cv::Matx33d consensusTransform(const std::vector<cv::Matx33d>& transforms, const cv::Size& size) {
    if (transforms.empty()) return cv::Matx33d::eye();
    if (transforms.size() == 1) return transforms.front();
    const std::vector<cv::Point2d> from = corners(size);
    std::vector<cv::Point2f> src, dst;
    for (const cv::Point2d& c : from) {
        std::vector<double> xs, ys;
        for (const cv::Matx33d& transform : transforms) {
            const cv::Point2d p = apply(transform, c);
            xs.push_back(p.x);
            ys.push_back(p.y);
        }
        src.emplace_back(float(c.x), float(c.y));
        dst.emplace_back(float(medianOf(xs)), float(medianOf(ys)));
    }
    const cv::Mat fitted = cv::getPerspectiveTransform(src, dst, cv::DECOMP_LU);
    cv::Matx33d out;
    for (int i = 0; i < 9; ++i) out.val[i] = fitted.at<double>(i / 3, i % 3);
    if (std::fabs(out(2, 2)) > 1e-12) out *= 1.0 / out(2, 2);
    return out;
}

}  // namespace refl
