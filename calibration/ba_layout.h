#pragma once

#include <array>
#include <functional>
#include <vector>

namespace refl {

using Vec3 = std::array<double, 3>;

// One observation of the adjustment: a view, an index into the point list, a pixel.
struct BaObservation {
    int view = 0;
    int point = 0;
    double u = 0;
    double v = 0;
};

// The adjustment's inputs as plain arrays: the prior camera, one pose per view (rotation
// vector and translation, camera = R * world + t), the points of the selected tracks in
// list order and the observations of registered views in track order.
struct BaInput {
    double fx = 0, fy = 0, cx = 0, cy = 0;  // prior camera matrix entries
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0;  // prior distortion (k3 is not adjusted)
    int width = 0;
    int height = 0;
    std::vector<Vec3> rvecs;
    std::vector<Vec3> tvecs;
    std::vector<Vec3> points;
    std::vector<BaObservation> observations;
    int viewA = 0;  // gauge: keeps its pose
    int viewB = 1;  // gauge: keeps its largest translation component
    double focalPriorRatio = 0.1;
    double principalPriorSigma = 24.0;
    double radialPriorSigma = 0.05;
    // Rows of residuals beyond the Huber scale are weighted by sqrt(rho') (true) rather
    // than by the floored sqrt(rho' + 2 rho'' r^2) (false, SciPy's weighting). With the
    // latter those rows all but vanish from the Gauss-Newton model and the inflated
    // residuals end LSMR early, so the intrinsics hardly move within 120 evaluations.
    bool reweightOutliers = true;
    double huberScale = 1.5;  // px
    double tolerance = 1e-6;  // the solver's cost, step and gradient tolerances
    // Intrinsics (fx fy cx cy k1 k2 p1 p2) kept at their prior value: not parameters of the
    // solver (their prior residuals stay 0).
    std::array<bool, 8> heldIntrinsics{};
};

// Rotation matrix (row-major) of a rotation vector, as OpenCV's Rodrigues computes it.
std::array<double, 9> rodriguesToMatrix(const Vec3& r);
// Rotation vector of a rotation matrix (row-major), as OpenCV's Rodrigues computes it.
Vec3 rodriguesFromMatrix(const std::array<double, 9>& R);

// OpenCV's pinhole projection with distortion (k1, k2, p1, p2, k3 = 0).
void projectPoint(const double* intrinsics, const double* rvec, const double* tvec, const double* X,
                  double& u, double& v);
// The same with the rotation matrix of rvec already at hand.
void projectPointRotated(const double* intrinsics, const std::array<double, 9>& R, const double* tvec,
                         const double* X, double& u, double& v);

// Where each unknown sits in the parameter vector, the priors, the bounds, the residuals
// and the residual rows each parameter touches.
//   x = [fx fy cx cy k1 k2 p1 p2 | per view except a: r(3) t(3) (view b: t without its
//        largest component) | per point: X Y Z]
//   residuals = [per observation: u error, v error | 8 prior residuals]
class BaLayout {
public:
    // False (with a log line) on inconsistent input: sizes, indices, gauge views.
    bool build(const BaInput& input);

    int parameterCount() const { return m_parameterCount; }
    int residualCount() const { return 2 * int(m_in.observations.size()) + 8; }
    int rotationIndex(int view) const { return m_rotIndex[view]; }                 // -1 for view a
    int translationIndex(int view, int k) const { return m_transIndex[view][k]; }  // -1 fixed
    int pointIndex(int point) const { return m_pointStart + 3 * point; }
    int fixedTranslationComponent() const { return m_fixedComponent; }

    // The start point: prior intrinsics pulled inside the bounds, the poses, the points.
    std::vector<double> initialParameters() const;
    const std::vector<double>& lower() const { return m_lower; }
    const std::vector<double>& upper() const { return m_upper; }
    const std::array<double, 8>& priorValues() const { return m_prior; }
    const std::array<double, 8>& priorSigmas() const { return m_sigma; }

    void residuals(const double* x, double* r) const;
    std::vector<std::vector<int>> columnRows() const;

    // Pose of a view at x (fixed entries from the input).
    void pose(const double* x, int view, double* rvec, double* tvec) const;

private:
    BaInput m_in;
    int m_parameterCount = 0;
    int m_pointStart = 0;
    int m_fixedComponent = 0;
    std::vector<int> m_rotIndex;
    std::vector<std::array<int, 3>> m_transIndex;
    std::vector<double> m_lower, m_upper;
    std::array<double, 8> m_prior{};
    std::array<double, 8> m_sigma{};
};

}  // namespace refl
