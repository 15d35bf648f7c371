// Small weighted least-squares problems (a handful of parameters, thousands of samples) and
// their covariance when the samples' errors are correlated within known blocks.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace korrin::reconstruct::detail {

constexpr int kMaxParameters = 4;
using Vector = std::array<double, kMaxParameters>;
using Matrix = std::array<Vector, kMaxParameters>;

// Solves a x = b for the leading n x n block by Gaussian elimination with partial pivoting; false
// when a is singular.
bool solveLinear(Matrix a, Vector b, int n, Vector& x);

// One linearisation: per sample the Jacobian row, the residual (data minus model), the weight
// (1 / sigma^2 up to a common factor) and the block it belongs to.
struct Linearised {
  std::vector<Vector> jacobian;
  std::vector<double> residual, weight;
  std::vector<int> block;
  int parameters = 0;

  // Sizes every array for `samples` samples, keeping their storage.
  void reset(std::size_t samples, int parameterCount) {
    parameters = parameterCount;
    jacobian.resize(samples);
    residual.resize(samples);
    weight.resize(samples);
    block.resize(samples);
  }
  double chiSquare() const;
  // The normal equations J^T W J (h) and J^T W r (g) of the first `parameters` parameters.
  void normal(Matrix& h, Vector& g) const;
  // The parameters' covariance from the residuals summed over blocks (a cluster-robust sandwich
  // estimate), which holds when errors are correlated within blocks and independent between
  // them, whatever their common scale; false when the fit is degenerate or the blocks too few.
  bool covariance(Matrix& cov) const;
};

}  // namespace korrin::reconstruct::detail
