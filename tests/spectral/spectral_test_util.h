// Helpers shared by the spectral tests: engines by width, random data, word comparison.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <mutex>
#include <random>
#include <type_traits>
#include <vector>

#include "spectral/fft_engine.h"

namespace korrin::test {

template <int W>
using Engine = FFT<W, 0, std::mutex>;

using AllWidths =
    ::testing::Types<std::integral_constant<int, 128>, std::integral_constant<int, 256>,
                     std::integral_constant<int, 512>, std::integral_constant<int, 1024>>;

template <int W>
int centredIndex(int fx, int fy) {
  return (fy + W / 2) * W + (fx + W / 2);
}

inline std::vector<float> uniform(std::size_t count, std::mt19937& rng, float low, float high) {
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> values(count);
  for (float& v : values) v = dist(rng);
  return values;
}

inline std::vector<float> uniform(std::size_t count, unsigned seed, float low, float high) {
  std::mt19937 rng(seed);
  return uniform(count, rng, low, high);
}

// Index of the first differing 32-bit word, or -1; compares bits, so NaNs and signed zeros count.
inline int64_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i])) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

}  // namespace korrin::test
