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
    // The rotation matrix of every camera once per evaluation instead of a sine and a cosine per
    // observation: R = c I + (1 - c) v v^T + s [v]x, as balProject() applies it.
    std::vector<double> R(9 * size_t(cameraCount));
    for (int c = 0; c < cameraCount; ++c) {
        const double* w = x + 9 * c;
        double* m = R.data() + 9 * c;
        const double theta = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
        if (!(theta > 0)) {
            for (int k = 0; k < 9; ++k) m[k] = k % 4 == 0 ? 1.0 : 0.0;
            continue;
        }
        const double v[3] = {w[0] / theta, w[1] / theta, w[2] / theta};
        const double co = std::cos(theta), si = std::sin(theta), t = 1 - co;
        m[0] = co + t * v[0] * v[0];
        m[1] = t * v[0] * v[1] - si * v[2];
        m[2] = t * v[0] * v[2] + si * v[1];
        m[3] = t * v[1] * v[0] + si * v[2];
        m[4] = co + t * v[1] * v[1];
        m[5] = t * v[1] * v[2] - si * v[0];
        m[6] = t * v[2] * v[0] - si * v[1];
        m[7] = t * v[2] * v[1] + si * v[0];
        m[8] = co + t * v[2] * v[2];
    }
    const double* points = x + 9 * cameraCount;
    const int n = observationCount();
    for (int k = 0; k < n; ++k) {
        const double* cam = x + 9 * obsCamera[k];
        const double* m = R.data() + 9 * obsCamera[k];
        const double* X = points + 3 * obsPoint[k];
        const double P0 = m[0] * X[0] + m[1] * X[1] + m[2] * X[2] + cam[3];
        const double P1 = m[3] * X[0] + m[4] * X[1] + m[5] * X[2] + cam[4];
        const double P2 = m[6] * X[0] + m[7] * X[1] + m[8] * X[2] + cam[5];
        const double px = -P0 / P2, py = -P1 / P2;
        const double n2 = px * px + py * py;
        const double rad = 1 + cam[7] * n2 + cam[8] * n2 * n2;
        r[2 * k] = cam[6] * rad * px - observed[2 * k];
        r[2 * k + 1] = cam[6] * rad * py - observed[2 * k + 1];
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
