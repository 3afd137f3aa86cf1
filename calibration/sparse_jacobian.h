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
    std::vector<int> colStart;  // cols + 1 entries
    std::vector<int> rowIndex;

    // Builds the pattern from per-column row lists; false if a row index is out of range.
    bool setColumns(int rowCount, const std::vector<std::vector<int>>& columnRows);
    int nonZeros() const { return int(rowIndex.size()); }
};

// Greedy colouring of the columns: columns in one group share no row, so a single
// evaluation with all of them perturbed yields every one of their difference columns.
// Returns the group of each column; `groupCount` receives the number of groups.
std::vector<int> groupColumns(const SparsityPattern& pattern, int& groupCount);

// Sparse matrix over a pattern, values in column order. For the products the values are
// also kept row by row in blocks of consecutive rows with the same columns, so that a
// block's column indices are read once. J*x splits the rows over the threads (each entry is
// one row's sum). J^T*x scatters fixed ranges of rows, as many as the problem's size asks
// for, into one accumulator each and adds the accumulators in range order: the products
// give the same bits whatever the number of threads.
class SparseJacobian {
public:
    void setPattern(const SparsityPattern& pattern);
    const SparsityPattern& pattern() const { return m_pattern; }
    // Writable values (column order); the block copies are refreshed before the next product.
    std::vector<double>& values() {
        m_dirty = true;
        return m_values;
    }
    const std::vector<double>& values() const { return m_values; }

    void scaleRows(const double* rowScale);
    // Euclidean norm of every column.
    std::vector<double> columnNorms() const;
    // y = J * diag(colScale) * x   (colScale may be null)
    void multiply(const double* x, const double* colScale, double* y, ParallelRunner* runner) const;
    // y = diag(colScale) * J^T * x (colScale may be null)
    void multiplyTransposed(const double* x, const double* colScale, double* y, ParallelRunner* runner) const;

    // In one pass: u <- J * diag(colScale) * x - alpha * u, then
    // w <- diag(colScale) * J^T * u (with the new u). colScale may be null.
    void multiplyBoth(const double* x, const double* colScale, double alpha, double* u, double* w,
                      ParallelRunner* runner) const;

    int rowBlockCount() const { return int(m_rowBlocks.size()) - 1; }

private:
    struct Block {
        int first = 0;       // first row
        int indexStart = 0;  // into m_rowBlockCols
        int valueStart = 0;  // into m_rowValues
    };
    void refresh() const;

    SparsityPattern m_pattern;
    std::vector<double> m_values;
    std::vector<Block> m_rowBlocks;     // + sentinel
    std::vector<int> m_rowBlockCols;    // columns of each row block
    std::vector<int> m_rowSource;       // m_values index of each row-block value
    std::vector<int> m_rowBlockRuns;    // runs of consecutive columns: first column, length
    std::vector<int> m_runStarts;       // first run of each row block + sentinel
    std::vector<int> m_rowValueStarts;  // value offsets of the row blocks (thread split)
    mutable std::vector<double> m_rowValues;
    mutable std::vector<double> m_scratch;
    mutable std::vector<std::vector<double>> m_accumulators;  // per row range, for J^T*x
    int m_scatterParts = 1;  // row ranges of J^T*x (fixed by the size)
    mutable bool m_dirty = true;
};

using ResidualFunction = std::function<void(const double* x, double* r)>;

// Forward-difference Jacobian at x with residuals f0 = f(x). The step of entry j is
// sqrt(eps)*sign(x_j)*max(1,|x_j|) (sign(0) = +1), turned back or shortened so that x
// plus the step stays inside [lower, upper] (empty vectors: unbounded). Returns the
// number of residual evaluations spent.
int forwardDifferenceJacobian(const ResidualFunction& fun, const std::vector<double>& x,
                              const std::vector<double>& f0, const std::vector<double>& lower,
                              const std::vector<double>& upper, const std::vector<int>& groups,
                              int groupCount, SparseJacobian& jac, ParallelRunner* runner);

// The absolute forward-difference step of every entry (bounds-adjusted as above).
std::vector<double> forwardDifferenceSteps(const std::vector<double>& x, const std::vector<double>& lower,
                                           const std::vector<double>& upper);

}  // namespace refl
