// The star mask's parts: background statistics, hot-pixel repair and peak search on a frame, and
// the disc and random fringe of StarAnnulus. Masked frames feed sums compared bit for bit, so the
// order of every sum is pinned, not only its value.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <unordered_set>
#include <vector>

#include "fits/image_frame.h"
#include "spectral/star_annulus.h"

namespace korrin {
namespace {

// A frame over a test-owned pixel buffer, as loadFrame would leave it for the statistics; the
// default levels are background 100, threshold 110 and hot level 2 * 15 + 100 = 130.
struct TestFrame {
  std::vector<float> buffer;
  ImageFrame frame{};

  explicit TestFrame(float fill = 100.0f, int width = 128) : buffer(width * width, fill) {
    frame.width = frame.height = width;
    frame.pixelCount = width * width;
    frame.pixels = buffer.data();
    frame.externalPixels = true;
    frame.mean = 100.0f;
    frame.sigma = 2.0f;
    frame.threshold = 110.0f;
  }
  float& at(int x, int y) { return buffer[static_cast<size_t>(y) * frame.width + x]; }
  void set(std::initializer_list<std::tuple<int, int, float>> pixels) {
    for (const auto& [x, y, v] : pixels) at(x, y) = v;
  }
  // The peak findPeak finds.
  std::tuple<float, float, float> peak() {
    frame.findPeak();
    return {frame.peakX, frame.peakY, frame.peakValue};
  }
};

// The sample of a 128 x 128 frame written out by hand: boxes end at 16 and 99, so the bottom band
// and the right part of the side bands sit on odd coordinates.
bool sampled128(int x, int y) {
  const bool fullRow = x % 2 == 0 && x >= 2 && x <= 124;
  if ((y % 2 == 0 && y >= 2 && y <= 14) || (y % 2 == 1 && y >= 99 && y <= 125)) return fullRow;
  return y % 2 == 0 && y >= 16 && y <= 98 &&
         ((x % 2 == 0 && x >= 2 && x <= 14) || (x % 2 == 1 && x >= 99 && x <= 125));
}

TEST(BackgroundStatistics, ReadsExactlyTheOuterSampleOf128) {
  TestFrame t(1.0e6f);
  int count = 0;
  double s1 = 0.0, s2 = 0.0;
  bool high = true;
  TestFrame halves;  // half the sample 4097 (its square rounds to 16785408 in float), half 4095
  for (int y = 0; y < 128; ++y) {
    for (int x = 0; x < 128; ++x) {
      if (!sampled128(x, y)) continue;
      // Small integers: every sum is exact, so the expected values do not depend on the order.
      const float v = static_cast<float>((x * 7 + y * 13) % 251);
      t.at(x, y) = v;
      s1 += v;
      s2 += static_cast<double>(v) * v;
      ++count;
      halves.at(x, y) = high ? 4097.0f : 4095.0f;
      high = !high;
    }
  }
  ASSERT_EQ(count, 2184);
  t.frame.backgroundStatistics();
  const double m = s1 / count;
  EXPECT_EQ(t.frame.mean, static_cast<float>(m));
  EXPECT_EQ(t.frame.sigma, static_cast<float>(std::sqrt(s2 / count - m * m)));
  // Squares are rounded in float: the variance is 0.5 rather than the exact 1.
  halves.frame.backgroundStatistics();
  EXPECT_EQ(std::pair(halves.frame.mean, halves.frame.sigma),
            std::pair(4096.0f, static_cast<float>(std::sqrt(0.5))));
  // A constant 4097: its float square is one below the square of the mean, and the negative
  // variance is clamped.
  TestFrame constant(4097.0f);
  constant.frame.backgroundStatistics();
  EXPECT_EQ(std::pair(constant.frame.mean, constant.frame.sigma), std::pair(4097.0f, 0.0f));
}

// A pixel above the hot level is repaired (set to the mean) unless its right and three lower
// neighbours are all at or above the threshold; left and upper neighbours do not count, and the
// repair is seen by the pixels after it. A pixel not above the hot level is never repaired.
TEST(FindPeak, HotPixelRepair) {
  TestFrame kept;
  kept.set({{50, 50, 1000}, {51, 50, 110}, {49, 51, 110}, {50, 51, 110}, {51, 51, 110}});
  // Corners (100 + 100) + 110 + 110, edges (100 + 110) + 100 + 110: 420/16 + 420/8 + 500.
  EXPECT_EQ(kept.peak(), std::tuple(50.0f, 50.0f, 578.75f));
  for (const auto& [x, y] :
       {std::pair{51, 50}, std::pair{49, 51}, std::pair{50, 51}, std::pair{51, 51}}) {
    TestFrame t;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) t.at(50 + dx, 50 + dy) = 120.0f;
    t.set({{50, 50, 1000}, {x, y, 109}});
    t.peak();
    EXPECT_EQ(t.at(50, 50), 100.0f) << "dark neighbour " << x << "," << y;
  }
  TestFrame later, warm;
  later.set({{50, 50, 1000}, {51, 50, 120}});
  EXPECT_EQ(later.peak(), std::tuple(51.0f, 50.0f, 25.0f + 50.0f + 60.0f));
  warm.set({{60, 70, 130}});
  EXPECT_EQ(warm.peak(), std::tuple(60.0f, 70.0f, 75.0f + 65.0f));
}

TEST(FindPeak, SmoothingOrderTiesAndMargin) {
  // Summed left to right in float, corners ((1 + 0) + 2^24) - 2^24 and edges
  // ((1 + 2^24) + 1) - 2^24 cancel to 0: 2^24 + 1 rounds back to 2^24. Any other order leaves
  // 1 or 2. Both 2^24 pixels have a dark right neighbour and are repaired.
  TestFrame t;
  const float big = 16777216.0f;
  t.set({{40, 40, 120}, {39, 39, 1}, {41, 39, 0}, {41, 41, big}, {39, 41, -big}});  // corners
  t.set({{39, 40, 1}, {41, 40, big}, {40, 39, 1}, {40, 41, -big}});                 // edges
  EXPECT_EQ(t.peak(), std::tuple(40.0f, 40.0f, 60.0f));
  EXPECT_EQ(std::pair(t.at(41, 40), t.at(41, 41)), std::pair(100.0f, 100.0f));

  // The first of equal maxima in row-major order; a strictly greater later one wins.
  TestFrame ties;
  ties.set({{5, 40, 120}, {100, 6, 120}, {30, 6, 120}});
  EXPECT_EQ(std::get<0>(ties.peak()) + 128 * ties.frame.peakY, 30 + 128 * 6);
  ties.set({{5, 40, 121}});
  EXPECT_EQ(std::get<0>(ties.peak()) + 128 * ties.frame.peakY, 5 + 128 * 40);

  // The outer two-pixel margin is neither sampled nor searched; the innermost corners are.
  TestFrame margin, corner;
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x)
      if (x < 2 || y < 2 || x > 125 || y > 125) margin.at(x, y) = 1.0e6f + float(x + y);
  const std::vector<float> before = margin.buffer;
  margin.frame.backgroundStatistics();
  EXPECT_EQ(std::pair(margin.frame.mean, margin.frame.sigma), std::pair(100.0f, 0.0f));
  margin.frame.sigma = 2.0f;
  margin.set({{125, 125, 120}});
  corner.set({{2, 2, 120}});
  EXPECT_EQ(std::get<0>(margin.peak()) + 128 * margin.frame.peakY, 125 + 128 * 125);
  EXPECT_EQ(std::get<0>(corner.peak()) + 128 * corner.frame.peakY, 2 + 128 * 2);
  margin.at(125, 125) = 100.0f;
  EXPECT_EQ(margin.buffer, before);
}

// The mask built the slow, literal way: every pixel of both squares visited, the duplicate test a
// look-up over everything listed so far.
std::vector<int> literalMask(int width, int radius, int gap, uint32_t seed) {
  std::vector<int> list;
  const int64_t reach = int64_t{radius} + gap + 10, rr = int64_t{radius} * radius;
  for (int64_t dy = -reach; dy <= reach; ++dy)
    for (int64_t dx = -reach; dx <= reach; ++dx)
      if (dx * dx + dy * dy <= rr && list.size() < 1000000) list.push_back(int(dy * width + dx));
  std::unordered_multiset<int> listed(list.begin(), list.end());
  std::mt19937 engine(seed);
  const int64_t outer = int64_t{radius} + gap, RR = outer * outer;
  for (int64_t dy = -outer; dy <= outer; ++dy) {
    for (int64_t dx = -outer; dx <= outer; ++dx) {
      const int64_t d2 = dx * dx + dy * dy;
      if (d2 < rr || d2 >= RR) continue;
      const float u = std::ldexp(static_cast<float>(engine() / 256u), -24);
      const float keepChance = static_cast<float>(RR - d2) / static_cast<float>(RR - rr);
      const int o = static_cast<int>(dy * width + dx);
      if (u > 1.0f - keepChance && listed.count(o) == 0) {
        list.push_back(o);
        listed.insert(o);
      }
    }
  }
  std::sort(list.begin(), list.end());
  return list;
}

std::vector<int> built(const StarAnnulus& a, uint32_t seed) {
  std::vector<int> keep{42, 43};  // replaced, not appended to
  a.buildMask(keep, seed);
  return keep;
}

TEST(StarAnnulus, MatchesTheLiteralConstruction) {
  const int cases[][3] = {
      // {width, radius, gap}; gap 0: the disc alone; 600: the disc is cut at its capacity, so
      // boundary pixels come from the fringe; radii beyond the frame, as a run takes them.
      {16, 1, 1}, {64, 3, 3},     {64, 6, 6},      {64, 0, 5},     {64, -3, -3}, {64, -2, 9},
      {16, 5, 5}, {8, 4, 4},      {3, 2, 2},       {0, 2, 2},      {-5, 2, 3},   {128, 10, 25},
      {64, 4, 0}, {1024, 600, 5}, {128, 129, 129}, {128, 200, 200}};
  for (const auto& [width, radius, gap] : cases) {
    StarAnnulus a;
    a.init(width, width, radius, gap);
    for (uint32_t seed : {5u, 77u}) {
      EXPECT_EQ(built(a, seed), literalMask(width, radius, gap, seed))
          << "width " << width << " radius " << radius << " gap " << gap;
    }
  }
  StarAnnulus a;
  EXPECT_TRUE(built(a, 1).empty()) << "a default slot is empty but usable";
  // Radii a frame cannot hold fill the table without overflowing anything.
  for (int r : {10000, INT_MAX}) {
    a.init(1024, 1024, r, r);
    const std::vector<int> keep = built(a, 3);
    EXPECT_EQ(std::pair(a.discCount, keep.size()),
              std::pair(StarAnnulus::kDiscCapacity, size_t(1000000)));
    EXPECT_TRUE(std::is_sorted(keep.begin(), keep.end()));
  }
  a.init(128, 128, INT_MIN, INT_MIN);
  EXPECT_TRUE(built(a, 3).empty());
  // Without a seed, every rebuild draws a fresh fringe.
  std::vector<int> first, second;
  a.init(128, 128, 10, 10);
  a.buildMask(first);
  a.buildMask(second);
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace korrin
