// The star's disc is fixed per slot; the fringe around it is redrawn on every rebuild, so that no
// fixed mask edge imprints a ring on the accumulated spectra.
#include "spectral/star_annulus.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>

namespace korrin {

namespace {

// The disc table spans this many pixels beyond the fringe's outer radius.
constexpr int64_t kDiscReachMargin = 10;

// Outer fringe radius beyond which the fringe is not drawn further out. It is well past the
// diagonal of the largest frame (1449 pixels for 1024 x 1024); without it an absurd mask radius
// would draw billions of numbers and gigabytes of offsets on every rebuild.
constexpr int64_t kMaxFringeRadius = 2048;

// 2^-24: maps the top 24 bits of a draw onto [0, 1) without rounding.
constexpr float kDrawScale = 5.9604644775390625e-08f;

// floor(sqrt(n)) for 0 <= n < 2^62.
int64_t isqrt(int64_t n) {
  auto r = static_cast<int64_t>(std::sqrt(static_cast<double>(n)));
  while (r > 0 && r * r > n) --r;
  while ((r + 1) * (r + 1) <= n) ++r;
  return r;
}

// Largest |dx| with dx*dx <= limit, or -1 when there is none.
int64_t halfSpan(int64_t limit) {
  return limit < 0 ? -1 : isqrt(limit);
}

// Offsets are 32-bit; outside that range they wrap, which only absurd geometries reach.
int32_t offsetOf(int64_t dx, int64_t dy, int64_t width) {
  return static_cast<int32_t>(static_cast<uint64_t>(dy) * static_cast<uint64_t>(width) +
                              static_cast<uint64_t>(dx));
}

}  // namespace

StarAnnulus::StarAnnulus() : disc(std::make_unique_for_overwrite<int32_t[]>(kDiscCapacity)) {}

void StarAnnulus::init(int frameWidth, int frameHeight, int discRadius, int fringeGap) {
  radius = discRadius;
  gap = fringeGap;
  width = frameWidth;
  height = frameHeight;
  discCount = 0;

  const int64_t reach = static_cast<int64_t>(discRadius) + fringeGap + kDiscReachMargin;
  const int64_t rr = static_cast<int64_t>(discRadius) * discRadius;
  // Row-major over the square of half-side `reach`, keeping dx*dx + dy*dy <= rr. Rows and columns
  // outside the disc hold nothing, so only the disc's own span is visited: a large radius costs no
  // more than the table it fills.
  const int64_t dyFrom = std::max(-reach, -halfSpan(rr));
  const int64_t dyTo = std::min(reach, halfSpan(rr));
  for (int64_t dy = dyFrom; dy <= dyTo; ++dy) {
    const int64_t span = std::min(reach, halfSpan(rr - dy * dy));
    for (int64_t dx = -span; dx <= span; ++dx) {
      if (discCount >= kDiscCapacity) return;
      disc[discCount++] = offsetOf(dx, dy, frameWidth);
    }
  }
}

void StarAnnulus::buildMask(std::vector<int>& keepOffsets) const {
  std::random_device device;
  buildMask(keepOffsets, static_cast<uint32_t>(device()));
}

void StarAnnulus::buildMask(std::vector<int>& keepOffsets, uint32_t seed) const {
  std::mt19937 engine(seed);
  // Clamped below as well: a negative outer radius has no fringe, and its square must not overflow.
  const int64_t outer =
      std::clamp(static_cast<int64_t>(radius) + gap, int64_t{-1}, kMaxFringeRadius);
  const int64_t rr = static_cast<int64_t>(radius) * radius;
  const int64_t RR = outer * outer;

  // Membership in the disc part is a binary search. The disc is already ascending unless it is
  // wide enough to wrap across rows; only then is a sorted copy needed.
  const int32_t* discBegin = disc.get();
  const int32_t* discEnd = discBegin + discCount;
  std::vector<int32_t> sortedCopy;
  if (!std::is_sorted(discBegin, discEnd)) {
    sortedCopy.assign(discBegin, discEnd);
    std::sort(sortedCopy.begin(), sortedCopy.end());
    discBegin = sortedCopy.data();
    discEnd = discBegin + sortedCopy.size();
  }

  std::vector<int> fringe;
  if (outer >= 0 && RR > rr) {
    const float band = static_cast<float>(RR - rr);
    for (int64_t dy = -outer; dy <= outer; ++dy) {
      const int64_t dy2 = dy * dy;
      // The fringe of this row: rr <= d2 < RR. Pixels inside the disc (d2 < rr) are skipped
      // without a draw, so only the two outer segments are walked.
      const int64_t outerSpan = halfSpan(RR - 1 - dy2);
      if (outerSpan < 0) continue;
      const int64_t innerSpan = halfSpan(rr - 1 - dy2);
      auto visit = [&](int64_t dx) {
        const int64_t d2 = dx * dx + dy2;
        const float u = static_cast<float>(engine() >> 8) * kDrawScale;
        const float t = 1.0f - static_cast<float>(RR - d2) / band;
        if (!(u > t)) return;
        const int32_t o = offsetOf(dx, dy, width);
        if (!std::binary_search(discBegin, discEnd, o)) fringe.push_back(o);
      };
      if (innerSpan < 0) {
        for (int64_t dx = -outerSpan; dx <= outerSpan; ++dx) visit(dx);
      } else {
        for (int64_t dx = -outerSpan; dx < -innerSpan; ++dx) visit(dx);
        for (int64_t dx = innerSpan + 1; dx <= outerSpan; ++dx) visit(dx);
      }
    }
  }

  // While the fringe is narrower than a row (and its offsets fit in 32 bits), distinct pixels have
  // distinct offsets and the row-major walk already yields them ascending. Otherwise two pixels can
  // share an offset, and the offset must be kept once.
  const bool rowsOverlap = 2 * outer >= static_cast<int64_t>(width) ||
                           outer * (static_cast<int64_t>(width) + 1) > INT32_MAX;
  if (rowsOverlap) {
    std::sort(fringe.begin(), fringe.end());
    fringe.erase(std::unique(fringe.begin(), fringe.end()), fringe.end());
  }

  keepOffsets.clear();
  keepOffsets.reserve(static_cast<size_t>(discEnd - discBegin) + fringe.size());
  std::merge(discBegin, discEnd, fringe.begin(), fringe.end(), std::back_inserter(keepOffsets));
}

}  // namespace korrin
