#pragma once

#include <functional>
#include <string>
#include <vector>

namespace refl {

// A linear map A (rows x cols) given by its two products. `apply` computes y = A*x
// (x has cols entries, y rows entries), `applyTransposed` computes y = A^T*x.
struct LinearOperator {
    int rows = 0;
    int cols = 0;
    std::function<void(const double* x, double* y)> apply;
    std::function<void(const double* x, double* y)> applyTransposed;
    // Optional: u <- A*x - alpha*u and w <- A^T*u (the new u) in one pass over A. When set,
    // LSMR uses it for the bidiagonalisation and scales w by 1/|u| afterwards instead of
    // scaling u first (the same products, rounded once more).
    std::function<void(const double* x, double alpha, double* u, double* w)> applyBoth;
};

// The stopping tests of Fong and Saunders' paper, with their names.
struct LsmrOptions {
    double damp = 0.0;       // Tikhonov damping: minimises |A x - b|^2 + damp^2 |x|^2
    double atol = 1e-6;      // relative accuracy of A (stops on |A^T r| small against |A| |r|)
    double btol = 1e-6;      // relative accuracy of b (stops on |r| small against |A| |x| + |b|)
    double conlim = 1e8;     // stops when the estimated condition of A exceeds this (0: never)
    int maxIterations = -1;  // -1: min(rows, cols)

    // Empty when the options can be used, else which one is out of range.
    std::string validate() const;
};

struct LsmrResult {
    std::vector<double> x;
    // -1 options out of range (x = 0), 0 x=0 solves, 1 compatible, 2 least squares, 3 cond,
    // 4-6 eps, 7 iterations
    int stopReason = 0;
    int iterations = 0;
    double normR = 0.0;
    double normAR = 0.0;
    double normA = 0.0;
    double condA = 0.0;
    double normX = 0.0;
};

// Least-squares solution of min |A x - b|^2 + damp^2 |x|^2 by LSMR (Fong and Saunders,
// 2011), started from x = 0.
LsmrResult lsmr(const LinearOperator& A, const std::vector<double>& b,
                const LsmrOptions& options = LsmrOptions());

// Givens rotation (c, s, r) with [c s; -s c] [a; b] = [r; 0], stable for any signs.
void symOrtho(double a, double b, double& c, double& s, double& r);

}  // namespace refl
