#pragma once

#include <QString>
#include <vector>

// A problem in the "Bundle Adjustment in the Large" text format: per camera a Rodrigues
// rotation, a translation, focal f and radial k1, k2 (9 numbers); per point 3 numbers;
// per observation the camera, the point and the observed image point.
struct BalProblem {
    int cameraCount = 0;
    int pointCount = 0;
    std::vector<int> obsCamera;
    std::vector<int> obsPoint;
    std::vector<double> observed;    // 2 per observation
    std::vector<double> parameters;  // 9 per camera, then 3 per point

    int observationCount() const { return int(obsCamera.size()); }
    int residualCount() const { return 2 * observationCount(); }

    // Residuals (projection minus observation, x then y) of every observation at x.
    void residuals(const double* x, double* r) const;
    // Residual rows each parameter touches.
    std::vector<std::vector<int>> columnRows() const;
};

// Reads a problem; false with one log line on a short, malformed or inconsistent file.
bool readBalProblem(const QString& path, BalProblem& problem);

// BAL camera model: P = R(w) X + t, p = -P[:2]/P[2], r = 1 + k1|p|^2 + k2|p|^4, f r p.
void balProject(const double* camera, const double* point, double* uv);
