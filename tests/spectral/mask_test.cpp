// The star mask's parts: background statistics, hot-pixel repair and peak search on a frame, and
// the disc and random fringe of StarAnnulus.
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
  ImageFrame frame{};  // all zero, as the worker clears it before loading

  explicit TestFrame(float fill = 100.0f, int width = 128) : buffer(width * width, fill) {
    frame.width = frame.height = width;
    frame.pixelCount = width * width;
    frame.pixels = buffer.data();
    frame.externalPixels = true;
    frame.mean = 100.0f;
    frame.sigma = 2.0f;
    frame.threshold = 110.0f;
  }
  TestFrame(const TestFrame&) = delete;
  TestFrame& operator=(const TestFrame&) = delete;

  float& at(int x, int y) { return buffer[static_cast<size_t>(y) * frame.width + x]; }
  void expectPeak(float x, float y) const {
    EXPECT_EQ(frame.peakX, x);
    EXPECT_EQ(frame.peakY, y);
  }
};

// The sample of a 128 x 128 frame written out by hand: boxes end at 16 and 99, so the bottom band
// and the right part of the side bands sit on odd coordinates.
bool sampled128(int x, int y) {
  const bool evenX = x % 2 == 0;
  const bool fullRow = evenX && x >= 2 && x <= 124;
  if (y % 2 == 0 && y >= 2 && y <= 14) return fullRow;
  if (y % 2 == 1 && y >= 99 && y <= 125) return fullRow;
  if (y % 2 == 0 && y >= 16 && y <= 98) {
    return (evenX && x >= 2 && x <= 14) || (!evenX && x >= 99 && x <= 125);
  }
  return false;
}

TEST(BackgroundStatistics, ReadsExactlyTheOuterSampleOf128) {
  TestFrame t(1.0e6f);
  int count = 0;
  double s1 = 0.0, s2 = 0.0;
  for (int y = 0; y < 128; ++y) {
    for (int x = 0; x < 128; ++x) {
      if (!sampled128(x, y)) continue;
      // Small integers: every sum is exact, so the expected values do not depend on the order.
      const float v = static_cast<float>((x * 7 + y * 13) % 251);
      t.at(x, y) = v;
      s1 += v;
      s2 += static_cast<double>(v) * v;
      ++count;
    }
  }
  ASSERT_EQ(count, 2184);
  t.frame.backgroundStatistics();
  const double m = s1 / count;
  EXPECT_EQ(t.frame.mean, static_cast<float>(m));
  EXPECT_EQ(t.frame.sigma, static_cast<float>(std::sqrt(s2 / count - m * m)));

  // Squares are rounded in float: with half the sample 4097 (4097^2 = 16785409 becomes 16785408)
  // and half 4095 the variance is 0.5 rather than the exact 1.
  bool high = true;
  for (int y = 0; y < 128; ++y) {
    for (int x = 0; x < 128; ++x) {
      if (!sampled128(x, y)) continue;
      t.at(x, y) = high ? 4097.0f : 4095.0f;
      high = !high;
    }
  }
  t.frame.backgroundStatistics();
  EXPECT_EQ(t.frame.mean, 4096.0f);
  EXPECT_EQ(t.frame.sigma, static_cast<float>(std::sqrt(0.5)));
}

TEST(FrameStatistics, ConstantFrameIsLeftAlone) {
  // The float square of 4097 is one below the square of the mean: the negative variance is clamped.
  TestFrame t(4097.0f);
  t.frame.backgroundStatistics();
  EXPECT_EQ(t.frame.mean, 4097.0f);
  EXPECT_EQ(t.frame.sigma, 0.0f);
  t.frame.threshold = t.frame.mean;
  t.frame.peakValue = 12.0f;
  t.frame.findPeak();
  EXPECT_EQ(t.frame.peakValue, 0.0f);
  t.expectPeak(0.0f, 0.0f);
  EXPECT_EQ(t.buffer, std::vector<float>(128 * 128, 4097.0f));

  TestFrame tiny(50.0f, 4);  // too small for any sampled pixel
  tiny.frame.backgroundStatistics();
  EXPECT_EQ(tiny.frame.mean, 0.0f);
  EXPECT_EQ(tiny.frame.sigma, 1.0f);
}

TEST(FindPeak, HotPixelIsKeptOnlyWhenRightAndLowerNeighboursAreBright) {
  const int deciding[4][2] = {{51, 50}, {49, 51}, {50, 51}, {51, 51}};
  {
    TestFrame t;
    t.at(50, 50) = 1000.0f;
    // At the threshold counts as bright; left and upper neighbours stay dark.
    for (const auto& n : deciding) t.at(n[0], n[1]) = 110.0f;
    t.frame.findPeak();
    EXPECT_EQ(t.at(50, 50), 1000.0f);
    t.expectPeak(50.0f, 50.0f);
    // Corners (100 + 100) + 110 + 110, edges (100 + 110) + 100 + 110: 420/16 + 420/8 + 500.
    EXPECT_EQ(t.frame.peakValue, 578.75f);
  }
  for (const auto& dark : deciding) {
    TestFrame t;
    t.at(50, 50) = 1000.0f;
    // Bright pixels above and to the left do not save it.
    t.at(49, 49) = t.at(50, 49) = t.at(51, 49) = t.at(49, 50) = 120.0f;
    for (const auto& n : deciding) t.at(n[0], n[1]) = 120.0f;
    t.at(dark[0], dark[1]) = 109.0f;
    t.frame.findPeak();
    EXPECT_EQ(t.at(50, 50), 100.0f) << "dark neighbour " << dark[0] << "," << dark[1];
    EXPECT_FALSE(t.frame.peakX == 50.0f && t.frame.peakY == 50.0f);
  }
}

TEST(FindPeak, PixelNotAboveTheHotLevelIsNeverRepaired) {
  for (float v : {111.0f, 125.0f, 130.0f}) {
    TestFrame t;
    t.at(60, 70) = v;
    t.frame.findPeak();
    EXPECT_EQ(t.at(60, 70), v);
    t.expectPeak(60.0f, 70.0f);
    EXPECT_EQ(t.frame.peakValue, 75.0f + v * 0.5f);
  }
}

TEST(FindPeak, RepairIsSeenByLaterPixels) {
  TestFrame t;
  t.at(50, 50) = 1000.0f;  // hot: (50, 51) below is dark
  t.at(51, 50) = 120.0f;   // candidate whose left neighbour is the repaired pixel
  t.frame.findPeak();
  EXPECT_EQ(t.at(50, 50), 100.0f);
  t.expectPeak(51.0f, 50.0f);
  EXPECT_EQ(t.frame.peakValue, 25.0f + 50.0f + 60.0f);
}

TEST(FindPeak, SmoothingSumsInTheirOwnOrder) {
  // Summed left to right in float, both neighbourhoods cancel to 0: 2^24 + 1 rounds back to 2^24.
  // Any other order leaves 1 in the corners or 2 at the edges.
  TestFrame t;
  const float big = 16777216.0f;
  t.at(40, 40) = 120.0f;
  t.at(39, 39) = 1.0f;  // corners: ((1 + 0) + 2^24) - 2^24
  t.at(41, 39) = 0.0f;
  t.at(41, 41) = big;
  t.at(39, 41) = -big;
  t.at(39, 40) = 1.0f;  // edges: ((1 + 2^24) + 1) - 2^24
  t.at(41, 40) = big;
  t.at(40, 39) = 1.0f;
  t.at(40, 41) = -big;
  t.frame.findPeak();
  t.expectPeak(40.0f, 40.0f);
  EXPECT_EQ(t.frame.peakValue, 60.0f);
  // Both 2^24 pixels had a dark right neighbour.
  EXPECT_EQ(t.at(41, 40), 100.0f);
  EXPECT_EQ(t.at(41, 41), 100.0f);
}

TEST(FindPeak, FirstOfEqualMaximaInRowMajorOrder) {
  TestFrame t;
  t.at(5, 40) = t.at(100, 6) = t.at(30, 6) = 120.0f;
  t.frame.findPeak();
  t.expectPeak(30.0f, 6.0f);
  t.at(5, 40) = 121.0f;  // strictly greater, later: it wins
  t.frame.findPeak();
  t.expectPeak(5.0f, 40.0f);
}

TEST(FrameStatistics, OuterTwoPixelMarginIsNeverTouched) {
  TestFrame t;
  auto inMargin = [](int x, int y) { return x < 2 || y < 2 || x > 125 || y > 125; };
  for (int y = 0; y < 128; ++y) {
    for (int x = 0; x < 128; ++x) {
      if (inMargin(x, y)) t.at(x, y) = 1.0e6f + static_cast<float>(x + y);
    }
  }
  const std::vector<float> before = t.buffer;
  t.frame.backgroundStatistics();
  EXPECT_EQ(t.frame.mean, 100.0f);
  EXPECT_EQ(t.frame.sigma, 0.0f);
  // The innermost scanned corners are still candidates.
  t.frame.sigma = 2.0f;
  t.frame.threshold = 110.0f;
  t.at(125, 125) = 120.0f;
  t.frame.findPeak();
  t.expectPeak(125.0f, 125.0f);
  t.at(125, 125) = 100.0f;
  EXPECT_EQ(t.buffer, before);

  TestFrame first;
  first.at(2, 2) = 120.0f;
  first.frame.findPeak();
  first.expectPeak(2.0f, 2.0f);
}

// The mask built the slow, literal way: every pixel of both squares visited, the duplicate test a
// look-up over everything listed so far.
std::vector<int> literalMask(int width, int radius, int gap, uint32_t seed) {
  std::vector<int> list;
  const int64_t reach = int64_t{radius} + gap + 10;
  const int64_t rr = int64_t{radius} * radius;
  for (int64_t dy = -reach; dy <= reach; ++dy) {
    for (int64_t dx = -reach; dx <= reach; ++dx) {
      if (dx * dx + dy * dy <= rr && list.size() < 1000000) {
        list.push_back(static_cast<int>(dy * width + dx));
      }
    }
  }
  std::unordered_multiset<int> listed(list.begin(), list.end());
  std::mt19937 engine(seed);
  const int64_t outer = int64_t{radius} + gap;
  const int64_t RR = outer * outer;
  for (int64_t dy = -outer; dy <= outer; ++dy) {
    for (int64_t dx = -outer; dx <= outer; ++dx) {
      const int64_t d2 = dx * dx + dy * dy;
      if (d2 < rr || d2 >= RR) continue;
      const uint32_t x = engine();
      const float u = std::ldexp(static_cast<float>(x / 256u), -24);
      const float keepChance = static_cast<float>(RR - d2) / static_cast<float>(RR - rr);
      if (u > 1.0f - keepChance) {
        const int o = static_cast<int>(dy * width + dx);
        if (listed.count(o) == 0) {
          list.push_back(o);
          listed.insert(o);
        }
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

TEST(StarAnnulus, DiscIsRowMajorWithItsBoundaryUpToItsCapacity) {
  StarAnnulus a;
  EXPECT_EQ(a.discCount, 0);
  ASSERT_NE(a.disc, nullptr);
  EXPECT_TRUE(built(a, 1).empty()) << "a default slot is empty but usable";
  a.init(128, 64, 1, 1);
  EXPECT_EQ(a.height, 64);
  EXPECT_EQ(std::vector<int>(a.disc.get(), a.disc.get() + a.discCount),
            (std::vector<int>{-128, -1, 0, 1, 128}));

  a.init(1024, 1024, 600, 600);
  EXPECT_EQ(a.discCount, StarAnnulus::kDiscCapacity);
  EXPECT_EQ(a.disc[0], -600 * 1024);
  // Radii a frame cannot hold still fill the table without overflowing anything.
  for (int r : {10000, INT_MAX}) {
    a.init(1024, 1024, r, r);
    EXPECT_EQ(a.discCount, StarAnnulus::kDiscCapacity);
    const std::vector<int> keep = built(a, 3);
    EXPECT_EQ(keep.size(), static_cast<size_t>(StarAnnulus::kDiscCapacity));
    EXPECT_TRUE(std::is_sorted(keep.begin(), keep.end()));
  }
  a.init(128, 128, INT_MIN, INT_MIN);
  EXPECT_EQ(a.discCount, 0);
  EXPECT_TRUE(built(a, 3).empty());
}

TEST(StarAnnulus, DiagonalsAreKeptTwoTimesInThree) {
  StarAnnulus a;
  a.init(32, 32, 1, 1);
  int kept = 0;
  const int trials = 3000;
  for (uint32_t seed = 0; seed < trials; ++seed) {
    const std::vector<int> keep = built(a, seed * 7919u + 11u);
    ASSERT_GE(keep.size(), 5u);
    ASSERT_LE(keep.size(), 9u);
    kept += static_cast<int>(keep.size()) - 5;
  }
  // 4 * 3000 * 2/3 = 8000 expected, standard deviation about 52.
  EXPECT_NEAR(kept, 8000, 300);
}

TEST(StarAnnulus, MatchesTheLiteralConstruction) {
  struct Case {
    int width, radius, gap;
  };
  const Case cases[] =
      {
          {16, 1, 1},     {64, 3, 3},    {64, 6, 6}, {64, 0, 5}, {64, -3, -3},
          {64, -2, 9},    {16, 5, 5},    {8, 4, 4},  {3, 2, 2},  {0, 2, 2},
          {-5, 2, 3},     {128, 10, 25}, {64, 4, 0},  // gap 0: no fringe, the disc alone
          {1024, 600, 5},  // the disc is cut at its capacity: boundary pixels come from the fringe
      };
  for (const Case& c : cases) {
    StarAnnulus a;
    a.init(c.width, c.width, c.radius, c.gap);
    for (uint32_t seed : {5u, 77u}) {
      EXPECT_EQ(built(a, seed), literalMask(c.width, c.radius, c.gap, seed))
          << "width " << c.width << " radius " << c.radius << " gap " << c.gap;
    }
  }
}

TEST(StarAnnulus, EveryRebuildDrawsAFreshSeed) {
  StarAnnulus a;
  a.init(128, 128, 10, 10);
  std::vector<int> first;
  a.buildMask(first);
  int differing = 0;
  for (int i = 0; i < 3; ++i) {
    std::vector<int> next;
    a.buildMask(next);
    ASSERT_TRUE(std::is_sorted(next.begin(), next.end()));
    ASSERT_TRUE(std::includes(next.begin(), next.end(), a.disc.get(), a.disc.get() + a.discCount));
    differing += next != first;
  }
  EXPECT_GT(differing, 0);
}

}  // namespace
}  // namespace korrin
