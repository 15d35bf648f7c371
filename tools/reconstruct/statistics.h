// Robust location and spread, for noise levels that a few outliers (a hot detector frequency, a
// companion's own peak) must not move.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace korrin::reconstruct::detail {

// The upper median of a non-empty set.
inline double median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// The median absolute deviation from `centre`, scaled to the standard deviation of a Gaussian.
inline double robustSpread(std::vector<double> values, double centre) {
  for (double& v : values) v = std::fabs(v - centre);
  return 1.4826 * median(std::move(values));
}

}  // namespace korrin::reconstruct::detail
