#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <unordered_set>
#include <vector>

#include "spectral/star_annulus.h"

namespace korrin {
namespace {

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
