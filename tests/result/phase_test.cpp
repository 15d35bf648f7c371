// The phases against the library's arc tangent rounded to float, bit for bit, for every input.
#include "result/phase.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace korrin {
namespace {

void expectLibraryPhases(const std::vector<double>& y, const std::vector<double>& x) {
  std::vector<float> out(y.size());
  phasesOf(y.data(), x.data(), out.data(), y.size());
  for (size_t i = 0; i < y.size(); ++i) {
    ASSERT_EQ(std::bit_cast<uint32_t>(out[i]),
              std::bit_cast<uint32_t>(static_cast<float>(std::atan2(y[i], x[i]))))
        << std::hexfloat << "atan2(" << y[i] << ", " << x[i] << ")";
  }
}

// Every pair of special magnitudes and signs; random sums over the whole exponent range; angles a
// hair's breadth from the midpoint between two neighbouring floats, where the approximation
// cannot decide the rounding and the library must.
TEST(Phase, EqualsTheLibraryBitForBit) {
  const double tanEighth = std::tan(M_PI / 8);
  std::vector<double> values;
  for (const double m : {0.0, std::numeric_limits<double>::denorm_min(), DBL_MIN, 0x1p-520, 1e-300,
                         1.0, std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), tanEighth,
                         std::nextafter(tanEighth, 0.0), std::nextafter(tanEighth, 1.0), 3.0, 1e300,
                         DBL_MAX, double(INFINITY), double(NAN)}) {
    values.push_back(m);
    values.push_back(-m);
  }
  std::vector<double> y, x;
  for (const double a : values) {
    for (const double b : values) {
      y.push_back(a);
      x.push_back(b);
    }
  }
  std::mt19937_64 pick(20261206);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int i = 0; i < (1 << 20); ++i) {
    const bool wide = i % 2 == 1;
    y.push_back(wide ? normal(pick) * std::exp2(std::round(normal(pick) * 60)) : uniform(pick));
    x.push_back(wide ? normal(pick) * std::exp2(std::round(normal(pick) * 60)) : uniform(pick));
  }
  std::uniform_real_distribution<float> angle(-3.14f, 3.14f);
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
