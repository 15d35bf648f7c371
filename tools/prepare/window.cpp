#include "tools/prepare/window.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace korrin::prepare {

Centroid speckleCentroid(const float* pixels, int width, int height) {
  const int64_t count = int64_t{width} * height;
  if (count <= 0) return {};
  // About 4,000 evenly spread samples; an odd stride keeps them off a column pattern.
  int64_t stride = std::max<int64_t>(1, count / 4096) | 1;
  std::vector<float> sample;
  sample.reserve(static_cast<size_t>(count / stride + 1));
  for (int64_t i = 0; i < count; i += stride) {
    if (std::isfinite(pixels[i])) sample.push_back(pixels[i]);
  }
  if (sample.empty()) return {};
  const auto middle = sample.begin() + static_cast<long>(sample.size() / 2);
  std::nth_element(sample.begin(), middle, sample.end());
  const float background = *middle;
  for (float& v : sample) v = std::fabs(v - background);
  std::nth_element(sample.begin(), middle, sample.end());
  const double spread = 1.4826 * *middle;
  // Integer sky often has no spread at all; then anything above the background counts.
  const double floor = std::max(1e-6 * std::fabs(background), 1e-30);
  const auto threshold = static_cast<float>(background + std::max(5 * spread, floor));

  // Column sums of the weights and of the weights times the row: element-wise adds the compiler
  // vectorises (a running float sum would not be, as its order would change), and the centroid
  // follows from them in one pass over the columns.
  std::vector<float> columnSum(static_cast<size_t>(width), 0.0f);
  std::vector<float> columnRowSum(static_cast<size_t>(width), 0.0f);
  float* const sums = columnSum.data();
  float* const rowSums = columnRowSum.data();
  for (int y = 0; y < height; ++y) {
    const float* row = pixels + int64_t{y} * width;
    const auto rowIndex = static_cast<float>(y);
    for (int x = 0; x < width; ++x) {
      const float v = row[x];
      const float w = v > threshold ? v - background : 0.0f;  // false for NaN
      sums[x] += w;
      rowSums[x] += w * rowIndex;
    }
  }
  double sum = 0, sumX = 0, sumY = 0;
  for (int x = 0; x < width; ++x) {
    sum += sums[x];
    sumX += static_cast<double>(sums[x]) * x;
    sumY += rowSums[x];
  }
  if (!(sum > 0) || !std::isfinite(sum)) return {};
  return {true, sumX / sum, sumY / sum};
}

Window placeWindow(double cx, double cy, int width, int height, int size) {
  const auto place = [size](double centre, int extent, bool& moved) {
    const double start = std::floor(centre + 0.5) - size / 2;
    const double last = extent - size;
    const double clamped = std::clamp(start, 0.0, last);
    // A frame no larger than the window leaves no choice, which is not worth reporting.
    if (clamped != start && extent > size) moved = true;
    return static_cast<int>(clamped);
  };
  Window window;
  window.x0 = place(cx, width, window.movedInside);
  window.y0 = place(cy, height, window.movedInside);
  return window;
}

void cropWindow(const float* pixels, int width, const Window& window, int size, float* out) {
  for (int y = 0; y < size; ++y) {
    std::memcpy(out + int64_t{y} * size, pixels + int64_t{window.y0 + y} * width + window.x0,
                sizeof(float) * static_cast<size_t>(size));
  }
}

}  // namespace korrin::prepare
