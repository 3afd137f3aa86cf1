#include "sparse_jacobian.h"

#include "parallel_runner.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace refl {

bool SparsityPattern::setColumns(int rowCount, const std::vector<std::vector<int>> &columnRows)
{
    rows = rowCount;
    cols = int(columnRows.size());
    colStart.assign(cols + 1, 0);
    rowIndex.clear();
    for (int j = 0; j < cols; ++j) {
        std::vector<int> r = columnRows[j];
        std::sort(r.begin(), r.end());
        r.erase(std::unique(r.begin(), r.end()), r.end());
        if (!r.empty() && (r.front() < 0 || r.back() >= rowCount))
            return false;
        rowIndex.insert(rowIndex.end(), r.begin(), r.end());
        colStart[j + 1] = int(rowIndex.size());
    }
    return true;
}

std::vector<int> groupColumns(const SparsityPattern &p, int &groupCount)
{
    std::vector<int> group(p.cols, -1);
    std::vector<int> rowMark(p.rows, -1); // group that last claimed the row
    groupCount = 0;
    int firstFree = 0;
    while (true) {
        while (firstFree < p.cols && group[firstFree] >= 0)
            ++firstFree;
        if (firstFree >= p.cols)
            break;
        const int g = groupCount++;
        for (int j = firstFree; j < p.cols; ++j) {
            if (group[j] >= 0)
                continue;
            bool clash = false;
            for (int k = p.colStart[j]; k < p.colStart[j + 1] && !clash; ++k)
                clash = rowMark[p.rowIndex[k]] == g;
            if (clash)
                continue;
            group[j] = g;
            for (int k = p.colStart[j]; k < p.colStart[j + 1]; ++k)
                rowMark[p.rowIndex[k]] = g;
        }
    }
    return group;
}

void SparseJacobian::setPattern(const SparsityPattern &pattern)
{
    m_pattern = pattern;
    const int nnz = pattern.nonZeros();
    m_values.assign(nnz, 0.0);
    m_rowStart.assign(pattern.rows + 1, 0);
    for (int k = 0; k < nnz; ++k)
        ++m_rowStart[pattern.rowIndex[k] + 1];
    for (int i = 0; i < pattern.rows; ++i)
        m_rowStart[i + 1] += m_rowStart[i];
    m_rowCol.assign(nnz, 0);
    m_rowToValue.assign(nnz, 0);
    std::vector<int> fill(m_rowStart.begin(), m_rowStart.end() - 1);
    for (int j = 0; j < pattern.cols; ++j) {
        for (int k = pattern.colStart[j]; k < pattern.colStart[j + 1]; ++k) {
            const int pos = fill[pattern.rowIndex[k]]++;
            m_rowCol[pos] = j;
            m_rowToValue[pos] = k;
        }
    }
}

void SparseJacobian::scaleRows(const double *rowScale)
{
    const int nnz = int(m_values.size());
    for (int k = 0; k < nnz; ++k)
        m_values[k] *= rowScale[m_pattern.rowIndex[k]];
}

std::vector<double> SparseJacobian::columnNorms() const
{
    std::vector<double> out(m_pattern.cols, 0.0);
    for (int j = 0; j < m_pattern.cols; ++j) {
        double s = 0.0;
        for (int k = m_pattern.colStart[j]; k < m_pattern.colStart[j + 1]; ++k)
            s += m_values[k] * m_values[k];
        out[j] = std::sqrt(s);
    }
    return out;
}

namespace {

// Splits [0, count) into `parts` contiguous ranges.
void splitRange(int count, int parts, int part, int &begin, int &end)
{
    begin = int((long long)count * part / parts);
    end = int((long long)count * (part + 1) / parts);
}

} // namespace

void SparseJacobian::multiply(const double *x, const double *colScale, double *y,
                              ParallelRunner *runner) const
{
    const int parts = runner ? runner->threadCount() : 1;
    auto job = [&](int part) {
        int b, e;
        splitRange(m_pattern.rows, parts, part, b, e);
        for (int i = b; i < e; ++i) {
            double s = 0.0;
            if (colScale) {
                for (int k = m_rowStart[i]; k < m_rowStart[i + 1]; ++k) {
                    const int j = m_rowCol[k];
                    s += m_values[m_rowToValue[k]] * (colScale[j] * x[j]);
                }
            } else {
                for (int k = m_rowStart[i]; k < m_rowStart[i + 1]; ++k)
                    s += m_values[m_rowToValue[k]] * x[m_rowCol[k]];
            }
            y[i] = s;
        }
    };
    if (runner)
        runner->run(parts, job);
    else
        job(0);
}

void SparseJacobian::multiplyTransposed(const double *x, const double *colScale, double *y,
                                        ParallelRunner *runner) const
{
    const int parts = runner ? runner->threadCount() : 1;
    auto job = [&](int part) {
        int b, e;
        splitRange(m_pattern.cols, parts, part, b, e);
        for (int j = b; j < e; ++j) {
            double s = 0.0;
            for (int k = m_pattern.colStart[j]; k < m_pattern.colStart[j + 1]; ++k)
                s += m_values[k] * x[m_pattern.rowIndex[k]];
            y[j] = colScale ? colScale[j] * s : s;
        }
    };
    if (runner)
        runner->run(parts, job);
    else
        job(0);
}

std::vector<double> forwardDifferenceSteps(const std::vector<double> &x,
                                           const std::vector<double> &lower,
                                           const std::vector<double> &upper)
{
    const double relStep = std::sqrt(std::numeric_limits<double>::epsilon());
    const int n = int(x.size());
    std::vector<double> h(n);
    for (int j = 0; j < n; ++j) {
        const double sign = x[j] >= 0 ? 1.0 : -1.0;
        h[j] = relStep * sign * std::max(1.0, std::fabs(x[j]));
        if (lower.empty() || upper.empty())
            continue;
        const double lo = lower[j], up = upper[j];
        const double lowerDist = x[j] - lo, upperDist = up - x[j];
        const double xt = x[j] + h[j];
        const bool violated = xt < lo || xt > up;
        const bool fitting = std::fabs(h[j]) <= std::max(lowerDist, upperDist);
        if (violated && fitting)
            h[j] = -h[j];
        else if (!fitting)
            h[j] = upperDist >= lowerDist ? upperDist : -lowerDist;
    }
    return h;
}

int forwardDifferenceJacobian(const ResidualFunction &fun, const std::vector<double> &x,
                              const std::vector<double> &f0, const std::vector<double> &lower,
                              const std::vector<double> &upper, const std::vector<int> &groups,
                              int groupCount, SparseJacobian &jac, ParallelRunner *runner)
{
    const SparsityPattern &p = jac.pattern();
    const std::vector<double> h = forwardDifferenceSteps(x, lower, upper);
    std::vector<double> &values = jac.values();

    // Columns of each group.
    std::vector<std::vector<int>> members(groupCount);
    for (int j = 0; j < p.cols; ++j)
        members[groups[j]].push_back(j);

    const int workers = runner ? runner->threadCount() : 1;
    std::vector<std::vector<double>> xs(workers, x), fs(workers, std::vector<double>(p.rows));
    auto job = [&](int worker) {
        std::vector<double> &xw = xs[worker];
        std::vector<double> &fw = fs[worker];
        for (int g = worker; g < groupCount; g += workers) {
            for (int j : members[g])
                xw[j] = x[j] + h[j];
            fun(xw.data(), fw.data());
            for (int j : members[g]) {
                const double dx = xw[j] - x[j];
                for (int k = p.colStart[j]; k < p.colStart[j + 1]; ++k) {
                    const int i = p.rowIndex[k];
                    values[k] = (fw[i] - f0[i]) / dx;
                }
                xw[j] = x[j];
            }
        }
    };
    if (runner && workers > 1)
        runner->run(workers, job);
    else
        job(0);
    return groupCount;
}

} // namespace refl
