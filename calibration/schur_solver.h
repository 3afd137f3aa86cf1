#pragma once

#include <Eigen/Core>
#include <vector>

#include "sparse_jacobian.h"

namespace refl {

class ParallelRunner;

// Exact solution of the regularised normal equations
//     (D J^T J D + diag(reg)) p = rhs,   D = diag(d),
// for a sparse Jacobian whose columns split into small blocks that share no rows (the points of
// a bundle adjustment) and the rest (cameras, intrinsics). The blocks are eliminated: the rest
// solves the dense Schur complement by Cholesky, the blocks follow by back-substitution.
//
// Every sum runs in a fixed order over fixed pieces of work, so the result does not depend on
// the number of threads of the runner.
class SchurSolver {
public:
    // Finds the blocks to eliminate. False when the pattern has no use for it: the rest would
    // be larger than `maxReduced` columns (its dense Cholesky would cost too much).
    bool analyse(const SparsityPattern& pattern, int maxReduced = 1500);

    int reducedCount() const { return int(m_reduced.size()); }
    int blockCount() const { return int(m_blocks.size()); }

    // J^T J of the Jacobian's current values, once per Jacobian.
    void assemble(const SparseJacobian& J, ParallelRunner* runner);

    // p for the given scaling, regularisation and right-hand side (all of n entries). False
    // when the system is not positive definite even after a small diagonal shift.
    bool solve(const double* d, const double* reg, const double* rhs, double* p, ParallelRunner* runner);

private:
    struct EBlock {
        int firstCol = 0;              // columns firstCol .. firstCol + size - 1
        int size = 0;                  // at most kMaxBlock
        std::vector<int> rows;         // the rows of the block (shared by its columns)
        std::vector<int> reducedCols;  // reduced indices touching those rows, ascending
        int hStart = 0;                // into m_blockH: size x size, column-major
        int wStart = 0;                // into m_blockW, m_blockWs, m_blockY: reducedCols.size() x size
        int runStart = 0, runCount = 0;  // runs of consecutive reducedCols in m_blockRuns
    };
    // Columns first .. first + size - 1 over the same `rows` rows: a block that may be eliminated.
    struct BlockSpan {
        int first, size, rows;
    };
    static std::vector<BlockSpan> chooseBlocks(const SparsityPattern& pattern, std::vector<int>& claimed);
    void indexRows(const SparsityPattern& pattern, const std::vector<BlockSpan>& taken,
                   const std::vector<int>& blockOfCol);
    void describeBlocks(const SparsityPattern& pattern, const std::vector<BlockSpan>& taken);
    // Steps of solve().
    bool eliminateBlocks(const double* d, const double* reg, const double* rhs, ParallelRunner* runner);
    bool solveReduced(const double* d, const double* reg, const double* rhs, double* p,
                      ParallelRunner* runner);
    void backSubstitute(double* p, ParallelRunner* runner);

    // One non-zero of a row: reduced index (or block column offset) and value index.
    struct Entry {
        int index;
        int value;
    };

    int m_cols = 0;
    std::vector<int> m_reduced;      // reduced index -> column
    std::vector<int> m_reducedOf;    // column -> reduced index or -1
    std::vector<EBlock> m_blocks;
    // Per row: its reduced entries and its eliminated entries (block offsets).
    std::vector<int> m_rowReducedStart, m_rowBlockStart;
    std::vector<Entry> m_rowReduced, m_rowBlock;
    std::vector<int> m_blockRuns;        // per run: first and end position in reducedCols
    std::vector<int> m_rowReducedLocal;
    std::vector<double> m_rowReducedValue, m_rowBlockValue;  // the entries' values of the current Jacobian  // per reduced entry: its place in the owning block's reducedCols
    std::vector<int> m_rowOwner;  // block of each row or -1

    std::vector<double> m_Hrr;  // J^T J over the reduced columns, row-major lower triangle
    std::vector<double> m_blockH, m_blockW;
    // Per solve.
    // D_U W_b D_b (column-major), Ws A_bb^-1 (row-major), A_bb^-1 rhs_b.
    std::vector<double> m_blockWs, m_blockY, m_blockT;
    std::vector<unsigned char> m_blockOk;
    std::vector<double> m_S;  // row-major lower triangle
    Eigen::VectorXd m_v;
};

}  // namespace refl
