#include "tools/reconstruct/least_squares.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <utility>

namespace korrin::reconstruct::detail {

namespace {

bool invert(const Matrix& a, int n, Matrix& inverse) {
  for (int col = 0; col < n; ++col) {
    Vector unit{}, column{};
    unit[col] = 1;
    if (!solveLinear(a, unit, n, column)) return false;
    for (int row = 0; row < n; ++row) inverse[row][col] = column[row];
  }
  return true;
}

}  // namespace

bool solveLinear(Matrix a, Vector b, int n, Vector& x) {
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    for (int row = col + 1; row < n; ++row) {
      if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
    }
    if (!(std::fabs(a[pivot][col]) > 0)) return false;
    std::swap(a[col], a[pivot]);
    std::swap(b[col], b[pivot]);
    for (int row = col + 1; row < n; ++row) {
      const double f = a[row][col] / a[col][col];
      for (int k = col; k < n; ++k) a[row][k] -= f * a[col][k];
      b[row] -= f * b[col];
    }
  }
  for (int row = n - 1; row >= 0; --row) {
    double s = b[row];
    for (int k = row + 1; k < n; ++k) s -= a[row][k] * x[k];
    x[row] = s / a[row][row];
  }
  return true;
}

double Linearised::chiSquare() const {
  double s = 0;
  for (std::size_t i = 0; i < residual.size(); ++i) s += weight[i] * residual[i] * residual[i];
  return s;
}

void Linearised::normal(Matrix& h, Vector& g) const {
  h = Matrix{};
  g = Vector{};
  for (std::size_t i = 0; i < residual.size(); ++i) {
    for (int p = 0; p < parameters; ++p) {
      g[p] += weight[i] * residual[i] * jacobian[i][p];
      for (int q = 0; q < parameters; ++q) h[p][q] += weight[i] * jacobian[i][p] * jacobian[i][q];
    }
  }
}

bool Linearised::covariance(Matrix& cov) const {
  Matrix h, hInverse;
  Vector g;
  normal(h, g);
  if (!invert(h, parameters, hInverse)) return false;
  std::map<int, Vector> sums;  // per block: sum of w r J
  for (std::size_t i = 0; i < residual.size(); ++i) {
    Vector& s = sums[block[i]];
    for (int p = 0; p < parameters; ++p) s[p] += weight[i] * residual[i] * jacobian[i][p];
  }
  const double clusters = static_cast<double>(sums.size());
  if (clusters <= parameters) return false;
  Matrix meat{};
  for (const auto& [id, s] : sums) {
    for (int p = 0; p < parameters; ++p) {
      for (int q = 0; q < parameters; ++q) meat[p][q] += s[p] * s[q];
    }
  }
  // The usual small-sample correction for a handful of parameters estimated from the clusters.
  const double correction = clusters / (clusters - parameters);
  for (int p = 0; p < parameters; ++p) {
    for (int q = 0; q < parameters; ++q) {
      double v = 0;
      for (int a = 0; a < parameters; ++a) {
        for (int b = 0; b < parameters; ++b) v += hInverse[p][a] * meat[a][b] * hInverse[b][q];
      }
      cov[p][q] = v * correction;
    }
  }
  return true;
}

}  // namespace korrin::reconstruct::detail
