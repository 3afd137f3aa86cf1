#pragma once

#include <functional>
#include <vector>

namespace refl {

class ParallelRunner;

// Which residual rows each parameter (column) influences, stored by column with the
// row indices of a column sorted ascending and unique.
struct SparsityPattern {
    int rows = 0;
    int cols = 0;
    std::vector<int> colStart; // cols + 1 entries
    std::vector<int> rowIndex;

    // Builds the pattern from per-column row lists; false if a row index is out of range.
    bool setColumns(int rowCount, const std::vector<std::vector<int>> &columnRows);
    int nonZeros() const { return int(rowIndex.size()); }
};

// Greedy colouring of the columns: columns in one group share no row, so a single
// evaluation with all of them perturbed yields every one of their difference columns.
// Returns the group of each column; `groupCount` receives the number of groups.
std::vector<int> groupColumns(const SparsityPattern &pattern, int &groupCount);

// Sparse matrix over a pattern: values in column order, with a row-ordered mirror of
// the indices so that both products can be split over threads without write conflicts.
class SparseJacobian {
public:
    void setPattern(const SparsityPattern &pattern);
    const SparsityPattern &pattern() const { return m_pattern; }
    std::vector<double> &values() { return m_values; }
    const std::vector<double> &values() const { return m_values; }

    void scaleRows(const double *rowScale);
    // Euclidean norm of every column.
    std::vector<double> columnNorms() const;
    // y = J * diag(colScale) * x   (colScale may be null)
    void multiply(const double *x, const double *colScale, double *y, ParallelRunner *runner) const;
    // y = diag(colScale) * J^T * x (colScale may be null)
    void multiplyTransposed(const double *x, const double *colScale, double *y,
                            ParallelRunner *runner) const;

private:
    SparsityPattern m_pattern;
    std::vector<double> m_values;
    std::vector<int> m_rowStart;   // rows + 1
    std::vector<int> m_rowCol;     // column of each entry, row order
    std::vector<int> m_rowToValue; // index into m_values of each entry, row order
};

using ResidualFunction = std::function<void(const double *x, double *r)>;

// Forward-difference Jacobian at x with residuals f0 = f(x). The step of entry j is
// sqrt(eps)*sign(x_j)*max(1,|x_j|) (sign(0) = +1), turned back or shortened so that x
// plus the step stays inside [lower, upper] (empty vectors: unbounded). Returns the
// number of residual evaluations spent.
int forwardDifferenceJacobian(const ResidualFunction &fun, const std::vector<double> &x,
                              const std::vector<double> &f0, const std::vector<double> &lower,
                              const std::vector<double> &upper, const std::vector<int> &groups,
                              int groupCount, SparseJacobian &jac, ParallelRunner *runner);

// The absolute forward-difference step of every entry (bounds-adjusted as above).
std::vector<double> forwardDifferenceSteps(const std::vector<double> &x,
                                           const std::vector<double> &lower,
                                           const std::vector<double> &upper);

} // namespace refl
