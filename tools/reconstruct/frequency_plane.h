// The frequency plane of a result: the centred W x W layout the result reader gives back, the
// half plane that holds one of each pair f, -f, and the one-cycle rings the modulus is averaged
// over.
#pragma once

#include <cmath>
#include <cstddef>

namespace korrin::reconstruct {

struct FrequencyPlane {
  int width = 0;

  int half() const { return width / 2; }
  std::size_t size() const { return static_cast<std::size_t>(width) * width; }
  // Frequency (fx, fy), both in -W/2 .. W/2 - 1, at row fy + W/2, column fx + W/2.
  std::size_t index(int fx, int fy) const {
    return static_cast<std::size_t>(fy + half()) * width + static_cast<std::size_t>(fx + half());
  }
  int fxAt(std::size_t i) const { return static_cast<int>(i % width) - half(); }
  int fyAt(std::size_t i) const { return static_cast<int>(i / width) - half(); }
  bool contains(int fx, int fy) const {
    return fx >= -half() && fx < half() && fy >= -half() && fy < half();
  }
};

// One of each pair f, -f: fy > 0, or fy = 0 and fx > 0. The zero frequency is in neither half.
inline bool inUpperHalf(int fx, int fy) {
  return fy > 0 || (fy == 0 && fx > 0);
}

// Ring k holds the frequencies with k - 1/2 <= |f| < k + 1/2.
inline int ringOf(int fx, int fy) {
  return static_cast<int>(std::lround(std::sqrt(static_cast<double>(fx * fx + fy * fy))));
}

}  // namespace korrin::reconstruct
