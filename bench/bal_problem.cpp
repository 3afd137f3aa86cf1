#include "bal_problem.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <cstdio>
#include <memory>

void balProject(const double* cam, const double* X, double* uv) {
    // Rotation by the Rodrigues vector cam[0..2].
    const double theta = std::sqrt(cam[0] * cam[0] + cam[1] * cam[1] + cam[2] * cam[2]);
    double P[3];
    if (theta > 0) {
        const double v[3] = {cam[0] / theta, cam[1] / theta, cam[2] / theta};
        const double c = std::cos(theta), s = std::sin(theta);
        const double dot = X[0] * v[0] + X[1] * v[1] + X[2] * v[2];
        const double cross[3] = {v[1] * X[2] - v[2] * X[1], v[2] * X[0] - v[0] * X[2],
                                 v[0] * X[1] - v[1] * X[0]};
        for (int i = 0; i < 3; ++i) P[i] = c * X[i] + s * cross[i] + dot * (1 - c) * v[i];
    } else {
        P[0] = X[0];
        P[1] = X[1];
        P[2] = X[2];
    }
    for (int i = 0; i < 3; ++i) P[i] += cam[3 + i];
    const double px = -P[0] / P[2], py = -P[1] / P[2];
    const double n2 = px * px + py * py;
    const double r = 1 + cam[7] * n2 + cam[8] * n2 * n2;
    uv[0] = cam[6] * r * px;
    uv[1] = cam[6] * r * py;
}

void BalProblem::residuals(const double* x, double* r) const {
    const double* points = x + 9 * cameraCount;
    const int n = observationCount();
    for (int k = 0; k < n; ++k) {
        double uv[2];
        balProject(x + 9 * obsCamera[k], points + 3 * obsPoint[k], uv);
        r[2 * k] = uv[0] - observed[2 * k];
        r[2 * k + 1] = uv[1] - observed[2 * k + 1];
    }
}

std::vector<std::vector<int>> BalProblem::columnRows() const {
    std::vector<std::vector<int>> cols(9 * cameraCount + 3 * pointCount);
    for (int k = 0; k < observationCount(); ++k) {
        for (int j = 0; j < 9; ++j) {
            cols[9 * obsCamera[k] + j].push_back(2 * k);
            cols[9 * obsCamera[k] + j].push_back(2 * k + 1);
        }
        for (int j = 0; j < 3; ++j) {
            cols[9 * cameraCount + 3 * obsPoint[k] + j].push_back(2 * k);
            cols[9 * cameraCount + 3 * obsPoint[k] + j].push_back(2 * k + 1);
        }
    }
    return cols;
}

bool readBalProblem(const QString& path, BalProblem& problem) {
    problem = BalProblem();
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(QFile::encodeName(path).constData(), "r"),
                                            &std::fclose);
    if (!f) {
        qDebug() << "readBalProblem: cannot open" << path;
        return false;
    }
    // Read as long so that an oversized count is refused rather than wrapped around.
    long cams = 0, pts = 0, obs = 0;
    if (std::fscanf(f.get(), "%ld %ld %ld", &cams, &pts, &obs) != 3 || cams <= 0 || pts <= 0 || obs <= 0 ||
        cams > 10000000 || pts > 100000000 || obs > 200000000) {
        qDebug() << "readBalProblem: bad header in" << path;
        return false;
    }
    // Every observation takes at least 8 bytes ("0 0 0 0" and a separator), every parameter 2: a
    // header promising more than the file can hold is refused before anything is allocated.
    const uint64_t parameterCount = 9 * uint64_t(cams) + 3 * uint64_t(pts);
    const uint64_t leastBytes = 8 * uint64_t(obs) + 2 * parameterCount - 1;
    const QFileInfo info(path);
    if (uint64_t(info.size()) < leastBytes) {
        qDebug() << "readBalProblem: header promises" << cams << "cameras," << pts << "points and" << obs
                 << "observations, more than the" << info.size() << "bytes of" << path << "can hold";
        return false;
    }
    problem.cameraCount = int(cams);
    problem.pointCount = int(pts);
    problem.obsCamera.resize(obs);
    problem.obsPoint.resize(obs);
    problem.observed.resize(2 * size_t(obs));
    for (int k = 0; k < obs; ++k) {
        long c, p;
        double u, v;
        if (std::fscanf(f.get(), "%ld %ld %lf %lf", &c, &p, &u, &v) != 4) {
            qDebug() << "readBalProblem: observation" << k << "is unreadable in" << path;
            return false;
        }
        if (c < 0 || c >= cams || p < 0 || p >= pts || !std::isfinite(u) || !std::isfinite(v)) {
            qDebug() << "readBalProblem: observation" << k << "is out of range in" << path;
            return false;
        }
        problem.obsCamera[k] = int(c);
        problem.obsPoint[k] = int(p);
        problem.observed[2 * k] = u;
        problem.observed[2 * k + 1] = v;
    }
    const size_t count = size_t(parameterCount);
    problem.parameters.resize(count);
    for (size_t i = 0; i < count; ++i) {
        if (std::fscanf(f.get(), "%lf", &problem.parameters[i]) != 1 ||
            !std::isfinite(problem.parameters[i])) {
            qDebug() << "readBalProblem: parameter" << i << "is unreadable in" << path;
            return false;
        }
    }
    return true;
}
