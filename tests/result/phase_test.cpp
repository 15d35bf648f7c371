#include "result/phase.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace korrin {
namespace {

// Compares every result with the library's arc tangent rounded to float, bit for bit.
void expectLibraryPhases(const std::vector<double>& y, const std::vector<double>& x) {
  std::vector<float> out(y.size());
  phasesOf(y.data(), x.data(), out.data(), y.size());
  for (size_t i = 0; i < y.size(); ++i) {
    const auto expected = static_cast<float>(std::atan2(y[i], x[i]));
    uint32_t got = 0;
    uint32_t want = 0;
    std::memcpy(&got, &out[i], sizeof got);
    std::memcpy(&want, &expected, sizeof want);
    ASSERT_EQ(got, want) << std::hexfloat << "atan2(" << y[i] << ", " << x[i] << ")";
  }
}

TEST(Phase, SpecialValuesInEveryCombination) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const double tanEighth = std::tan(M_PI / 8);
  const std::vector<double> magnitudes = {0.0,
                                          std::numeric_limits<double>::denorm_min(),
                                          DBL_MIN,
                                          0x1p-520,
                                          1e-300,
                                          1.0,
                                          std::nextafter(1.0, 0.0),
                                          std::nextafter(1.0, 2.0),
                                          tanEighth,
                                          std::nextafter(tanEighth, 0.0),
                                          std::nextafter(tanEighth, 1.0),
                                          3.0,
                                          1e300,
                                          DBL_MAX,
                                          inf,
                                          nan};
  std::vector<double> values;
  for (const double m : magnitudes) {
    values.push_back(m);
    values.push_back(-m);
  }
  std::vector<double> y;
  std::vector<double> x;
  for (const double a : values) {
    for (const double b : values) {
      y.push_back(a);
      x.push_back(b);
    }
  }
  expectLibraryPhases(y, x);
}

TEST(Phase, RandomSumsOverTheWholeExponentRange) {
  std::mt19937_64 pick(20261206);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> y(1 << 20);
  std::vector<double> x(y.size());
  for (size_t i = 0; i < y.size(); ++i) {
    if (i % 2 == 0) {
      y[i] = uniform(pick);
      x[i] = uniform(pick);
    } else {
      y[i] = normal(pick) * std::exp2(std::round(normal(pick) * 60));
      x[i] = normal(pick) * std::exp2(std::round(normal(pick) * 60));
    }
  }
  expectLibraryPhases(y, x);
}

// Angles a hair's breadth from the midpoint between two neighbouring floats, where the
// approximation cannot decide the rounding and the library must.
TEST(Phase, AnglesNextToAFloatMidpoint) {
  std::mt19937 pick(7);
  std::uniform_real_distribution<float> angle(-3.14f, 3.14f);
  std::vector<double> y;
  std::vector<double> x;
  for (int i = 0; i < 20000; ++i) {
    const float f = angle(pick);
    const double mid = (static_cast<double>(f) + std::nextafter(f, 4.0f)) / 2;
    for (const double a : {mid, std::nextafter(mid, 0.0), std::nextafter(mid, 4.0)}) {
      y.push_back(std::sin(a) * 1000);
      x.push_back(std::cos(a) * 1000);
    }
  }
  expectLibraryPhases(y, x);
}

}  // namespace
}  // namespace korrin
