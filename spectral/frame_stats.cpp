// Background level, hot-pixel repair and star search on one loaded frame. These run only when the
// star mask is on; the order of every sum is fixed because masked frames feed an accumulation whose
// results are compared bit for bit between builds.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fits/image_frame.h"

namespace korrin {

namespace {

constexpr double kBoxStart = 0.125;
// The excluded central box is deliberately off-centre: it ends at 0.775, not 0.875.
constexpr double kBoxEnd = 0.775;
constexpr int kMargin = 2;
constexpr int kStep = 2;
constexpr float kHotFactor = 15.0f;

struct Moments {
  double s1 = 0.0;
  double s2 = 0.0;
  int64_t n = 0;

  void add(float v) {
    s1 += static_cast<double>(v);
    // The square is taken in float on purpose; only the running sums need the range of double.
    s2 += static_cast<double>(v * v);
    ++n;
  }
};

}  // namespace

void ImageFrame::backgroundStatistics() {
  const int x0 = static_cast<int>(width * kBoxStart);
  const int x1 = static_cast<int>(width * kBoxEnd);
  const int y0 = static_cast<int>(height * kBoxStart);
  const int y1 = static_cast<int>(height * kBoxEnd);
  // 64-bit limits so that no bound of an absurd geometry can overflow.
  const int64_t xEnd = static_cast<int64_t>(width) - kMargin;
  const int64_t yEnd = static_cast<int64_t>(height) - kMargin;

  Moments m;
  auto sampleRow = [&](int64_t y, int64_t from, int64_t to) {
    const float* row = pixels + static_cast<std::ptrdiff_t>(y) * width;
    for (int64_t x = from; x < to; x += kStep) m.add(row[x]);
  };

  for (int64_t y = kMargin; y < y0; y += kStep) sampleRow(y, kMargin, xEnd);
  for (int64_t y = y1; y < yEnd; y += kStep) sampleRow(y, kMargin, xEnd);
  for (int64_t y = y0; y < y1; y += kStep) {
    sampleRow(y, kMargin, x0);
    sampleRow(y, x1, xEnd);
  }

  if (m.n == 0) {
    mean = 0.0f;
    sigma = 1.0f;
    return;
  }
  const double n = static_cast<double>(m.n);
  const double avg = m.s1 / n;
  const double q = m.s2 / n;
  mean = static_cast<float>(avg);
  double var = q - avg * avg;
  if (var < 0.0) var = 0.0;
  sigma = static_cast<float>(std::sqrt(var));
}

void ImageFrame::findPeak() {
  const float hot = sigma * kHotFactor + mean;
  peakValue = 0.0f;
  const int64_t xLast = static_cast<int64_t>(width) - 3;
  const int64_t yLast = static_cast<int64_t>(height) - 3;
  const std::ptrdiff_t w = width;

  for (int64_t y = 2; y <= yLast; ++y) {
    float* row = pixels + static_cast<std::ptrdiff_t>(y) * w;
    const float* above = row - w;
    const float* below = row + w;
    for (int64_t x = 2; x <= xLast; ++x) {
      const float v = row[x];
      if (!(v > threshold)) continue;
      // Left and upper neighbours are deliberately not consulted: the scan may already have set
      // them to the mean, and a hot pixel is judged only by the pixels still ahead of it.
      if (v > hot && (row[x + 1] < threshold || below[x] < threshold || below[x - 1] < threshold ||
                      below[x + 1] < threshold)) {
        row[x] = mean;
        continue;
      }
      const float corners = ((above[x - 1] + above[x + 1]) + below[x + 1]) + below[x - 1];
      const float edges = ((row[x - 1] + row[x + 1]) + above[x]) + below[x];
      const float s = static_cast<float>(static_cast<double>(corners) * 0.0625 +
                                         static_cast<double>(edges) * 0.125) +
                      static_cast<float>(static_cast<double>(v) * 0.5);
      if (s > peakValue) {
        peakValue = s;
        peakX = static_cast<float>(x);
        peakY = static_cast<float>(y);
      }
    }
  }
}

}  // namespace korrin
