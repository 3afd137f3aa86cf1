#include "lens_straightness.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace reflsample {

namespace {

cv::Mat distortionMat(const cv::Vec<double, 5>& d) {
    return (cv::Mat_<double>(5, 1) << d[0], d[1], d[2], d[3], d[4]);
}

cv::Matx33d newMatrixOf(const LensModel& m, cv::Size size, bool newMatrixIsK) {
    if (newMatrixIsK) return m.K;
    const cv::Mat nk =
        cv::getOptimalNewCameraMatrix(cv::Mat(m.K), distortionMat(m.D), size, 0.0, size, nullptr, false);
    return cv::Matx33d(nk);
}

bool inside(const cv::Point2d& p, cv::Size size) {
    return p.x >= 0 && p.y >= 0 && p.x <= size.width - 1 && p.y <= size.height - 1;
}

}  // namespace

std::vector<cv::Point2d> correctedPositions(const std::vector<cv::Point2d>& raw, const LensModel& model,
                                            cv::Size size, bool newMatrixIsK) {
    std::vector<cv::Point2d> out;
    if (raw.empty()) return out;
    const cv::Matx33d P = newMatrixOf(model, size, newMatrixIsK);
    // The correction's map sends a corrected pixel forward through the distortion to its raw source;
    // the inverse of that, solved to convergence, is where a raw pixel lands.
    cv::undistortPoints(raw, out, cv::Mat(model.K), distortionMat(model.D), cv::noArray(), cv::Mat(P),
                        cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-14));
    return out;
}

std::vector<std::vector<cv::Point2d>> straightLinesThroughLens(const LensModel& trueLens, cv::Size size,
                                                               int linesPerDirection) {
    std::vector<std::vector<cv::Point2d>> lines;
    const double w = size.width, h = size.height;
    const double step = std::max(2.0, std::min(w, h) / 120.0);
    // Straight lines of the true pinhole image are images of straight scene lines. They are drawn over
    // a margin around the frame, because the lens pulls the far field inwards.
    const double mx = 0.25 * w, my = 0.25 * h;
    std::vector<std::pair<cv::Point2d, cv::Point2d>> ends;
    const int n = std::max(2, linesPerDirection);
    for (int i = 0; i < n; ++i) {
        const double y = (h - 1) * (i + 0.5) / n, x = (w - 1) * (i + 0.5) / n;
        ends.push_back({{-mx, y}, {w - 1 + mx, y}});
        ends.push_back({{x, -my}, {x, h - 1 + my}});
    }
    ends.push_back({{-mx, -my}, {w - 1 + mx, h - 1 + my}});
    ends.push_back({{-mx, h - 1 + my}, {w - 1 + mx, -my}});
    const cv::Matx33d Kinv = trueLens.K.inv();
    for (const auto& e : ends) {
        const double len = std::hypot(e.second.x - e.first.x, e.second.y - e.first.y);
        const int count = int(len / step) + 1;
        std::vector<cv::Point3d> rays;
        for (int k = 0; k < count; ++k) {
            const double s = double(k) / (count - 1);
            const cv::Vec3d q = Kinv * cv::Vec3d(e.first.x + s * (e.second.x - e.first.x),
                                                 e.first.y + s * (e.second.y - e.first.y), 1.0);
            rays.emplace_back(q[0], q[1], 1.0);
        }
        std::vector<cv::Point2d> raw;
        cv::projectPoints(rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cv::Mat(trueLens.K),
                          distortionMat(trueLens.D), raw);
        std::vector<cv::Point2d> kept;
        for (const cv::Point2d& p : raw)
            if (inside(p, size)) kept.push_back(p);
        if (kept.size() >= 20) lines.push_back(kept);
    }
    return lines;
}

StraightnessFigures correctedStraightness(const LensModel& trueLens, const LensModel& model, cv::Size size,
                                          bool newMatrixIsK) {
    StraightnessFigures f;
    const std::vector<std::vector<cv::Point2d>> lines = straightLinesThroughLens(trueLens, size);
    double sum = 0;
    std::vector<cv::Point2d> allCorrected, allIdeal;
    for (const std::vector<cv::Point2d>& raw : lines) {
        const std::vector<cv::Point2d> c = correctedPositions(raw, model, size, newMatrixIsK);
        // Where the true lens says the points belong (its own pinhole image) for the projective check.
        std::vector<cv::Point2d> ideal;
        cv::undistortPoints(raw, ideal, cv::Mat(trueLens.K), distortionMat(trueLens.D), cv::noArray(),
                            cv::Mat(trueLens.K),
                            cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-14));
        allCorrected.insert(allCorrected.end(), c.begin(), c.end());
        allIdeal.insert(allIdeal.end(), ideal.begin(), ideal.end());
        std::vector<cv::Point2f> pf(c.begin(), c.end());
        cv::Vec4f line;
        cv::fitLine(pf, line, cv::DIST_L2, 0, 1e-6, 1e-6);
        double lineSum = 0;
        for (const cv::Point2d& p : c) {
            const double d = std::abs((p.x - line[2]) * line[1] - (p.y - line[3]) * line[0]);
            lineSum += d * d;
            f.maxPx = std::max(f.maxPx, d);
        }
        f.worstLineRmsPx = std::max(f.worstLineRmsPx, std::sqrt(lineSum / double(c.size())));
        sum += lineSum;
        f.points += int(c.size());
        ++f.lines;
    }
    if (f.points > 0) f.rmsPx = std::sqrt(sum / f.points);
    if (allCorrected.size() >= 4) {
        const cv::Mat H = cv::findHomography(allIdeal, allCorrected, 0);
        if (!H.empty()) {
            const cv::Matx33d h(H);
            double s2 = 0;
            for (size_t i = 0; i < allIdeal.size(); ++i) {
                const cv::Vec3d q = h * cv::Vec3d(allIdeal[i].x, allIdeal[i].y, 1.0);
                const double dx = q[0] / q[2] - allCorrected[i].x, dy = q[1] / q[2] - allCorrected[i].y;
                s2 += dx * dx + dy * dy;
            }
            f.projectiveRmsPx = std::sqrt(s2 / double(allIdeal.size()));
        }
    }
    return f;
}

}  // namespace reflsample
