#include "spectral/bispectrum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

#include "spectral/fft_engine.h"

namespace korrin {
namespace {

template <int W>
int centredIndex(int fx, int fy) {
  return (fy + W / 2) * W + (fx + W / 2);
}

std::vector<float> randomValues(std::size_t count, unsigned seed, float low, float high) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> values(count);
  for (float& v : values) v = dist(rng);
  return values;
}

struct Sums {
  Sums(int kmax, int dkmax)
      : re(static_cast<std::size_t>(bispectrumSize(kmax, dkmax)), 0.0f),
        im(static_cast<std::size_t>(bispectrumSize(kmax, dkmax)), 0.0f) {}
  std::vector<float> re;
  std::vector<float> im;
};

template <int W>
int64_t touchedByUnitSpectrum(int kmax, int dkmax) {
  // With F = 1 everywhere each accumulated term is exactly 1, so the sum counts visits.
  const std::vector<float> re(W * W, 1.0f), im(W * W, 0.0f);
  Sums sums(kmax, dkmax);
  accumulateBispectrum<W>(kmax, dkmax, re, im, sums.re, sums.im);
  int64_t touched = 0;
  for (float v : sums.re) {
    EXPECT_TRUE(v == 0.0f || v == 1.0f) << v;
    if (v != 0.0f) ++touched;
  }
  return touched;
}

TEST(Bispectrum, PowerAddsTheTwoSquaresFirstAndScaleIsExact) {
  // 1 + (2^-24 + 2^-24) = 1 + 2^-23, whereas (1 + 2^-24) + 2^-24 rounds back to 1.
  const float tiny = 1.0f / 4096.0f;
  std::vector<float> re{tiny, 3.0f}, im{tiny, 4.0f}, power{1.0f, 0.5f};
  accumulatePower(re, im, power);
  EXPECT_EQ(power[0], 1.0f + 1.0f / 8388608.0f);
  EXPECT_EQ(power[1], 25.5f);

  auto checkScale = [](auto width) {
    constexpr int W = decltype(width)::value;
    std::vector<float> sre(W * W, 3.0f), sim(W * W, -5.0f);
    scaleSpectrum<W>(sre, sim);
    const float s = 1.0f / (float(W) * float(W));
    EXPECT_EQ(std::count(sre.begin(), sre.end(), 3.0f * s), W * W) << W;
    EXPECT_EQ(std::count(sim.begin(), sim.end(), -5.0f * s), W * W) << W;
  };
  checkScale(std::integral_constant<int, 128>{});
  checkScale(std::integral_constant<int, 256>{});
  checkScale(std::integral_constant<int, 512>{});
  checkScale(std::integral_constant<int, 1024>{});
}

template <class T>
class BispectrumWidths : public ::testing::Test {};
using Widths =
    ::testing::Types<std::integral_constant<int, 128>, std::integral_constant<int, 256>,
                     std::integral_constant<int, 512>, std::integral_constant<int, 1024>>;
TYPED_TEST_SUITE(BispectrumWidths, Widths);

// The whole frame step on a constant image: power c^2 and bispectrum c^3 at zero frequency only.
TYPED_TEST(BispectrumWidths, ConstantFrameFillsOnlyTheZeroFrequency) {
  constexpr int W = TypeParam::value;
  constexpr int K = 60, D = 9;
  auto engine = std::make_unique<FFT<W, 0, std::mutex>>();
  const std::vector<float> frame(W * W, 3.0f);
  std::vector<float> re(W * W), im(W * W), power(W * W, 0.0f);
  Sums sums(K, D);
  for (int n = 1; n <= 2; ++n) {
    engine->loadFloat(frame.data());
    engine->forward(re, im, false);
    accumulateFrame<W>(K, D, re, im, power, sums.re, sums.im);
  }
  const int centre = centredIndex<W>(0, 0);
  EXPECT_EQ(power[centre], 18.0f);
  EXPECT_EQ(std::count(power.begin(), power.end(), 0.0f), W * W - 1);

  const int64_t zero = bispectrumIndex(K, D, 0, 0, 0, 0);
  EXPECT_EQ(zero, (60 * 19 + 9) * 19 + 9);
  EXPECT_EQ(sums.re[zero], 54.0f);
  EXPECT_EQ(std::count(sums.re.begin(), sums.re.end(), 0.0f), bispectrumSize(K, D) - 1);
  EXPECT_EQ(std::count(sums.im.begin(), sums.im.end(), 0.0f), bispectrumSize(K, D));
}

TEST(Bispectrum, ZeroLimitsGiveTheCubeOfTheMean) {
  constexpr int W = 128;
  FFT<W, 0, std::mutex> engine;
  const std::vector<float> frame = randomValues(W * W, 3u, 0.0f, 100.0f);
  double sum = 0.0;
  for (float v : frame) sum += v;
  const double mean = sum / (W * W);

  std::vector<float> re(W * W), im(W * W), power(W * W, 0.0f);
  Sums sums(0, 0);
  ASSERT_EQ(sums.re.size(), 1u);
  engine.loadFloat(frame.data());
  engine.forward(re, im, false);
  accumulateFrame<W>(0, 0, re, im, power, sums.re, sums.im);
  EXPECT_NEAR(sums.re[0], mean * mean * mean, 1e-5 * mean * mean * mean);
  EXPECT_EQ(sums.im[0], 0.0f);
}

TEST(Bispectrum, RangeTestAtWidth128SkipsExactlyTheTermsOutsideTheSpectrum) {
  constexpr int W = 128;
  constexpr int K = 60, D = 9;
  const std::vector<float> re(W * W, 1.0f), im(W * W, 0.0f);
  Sums sums(K, D);
  accumulateBispectrum<W>(K, D, re, im, sums.re, sums.im);
  auto at = [&](int ux, int uy, int vx, int vy) {
    return sums.re[bispectrumIndex(K, D, ux, uy, vx, vy)];
  };
  EXPECT_EQ(at(60, 60, 5, 5), 0.0f);    // cx = cy = -1
  EXPECT_EQ(at(60, 60, 4, 4), 1.0f);    // cx = cy = 0
  EXPECT_EQ(at(-60, 0, -4, 0), 0.0f);   // cx = 128
  EXPECT_EQ(at(-60, 0, -3, 0), 1.0f);   // cx = 127
  EXPECT_EQ(at(60, 60, 4, 5), 0.0f);    // only cy out of range
  EXPECT_EQ(at(-60, 60, -3, 4), 1.0f);  // cx = 127, cy = 0: both edges at once

  EXPECT_EQ(touchedByUnitSpectrum<128>(K, D), 2588872);

  // A second frame adds onto the first.
  accumulateBispectrum<W>(K, D, re, im, sums.re, sums.im);
  EXPECT_EQ(at(60, 60, 4, 4), 2.0f);
  EXPECT_EQ(at(60, 60, 5, 5), 0.0f);
}

TEST(Bispectrum, EveryElementIsTouchedFromWidth256On) {
  EXPECT_EQ(touchedByUnitSpectrum<256>(60, 9), 2664541);
  EXPECT_EQ(touchedByUnitSpectrum<512>(60, 9), 2664541);
  EXPECT_EQ(touchedByUnitSpectrum<1024>(60, 9), 2664541);
}

// An independent formulation: walk the accumulator in memory order, read frequencies by value
// and decide the range on -(u + v) itself.
template <int W>
void expectMatchesSlowLoop(int kmax, int dkmax, unsigned seed) {
  SCOPED_TRACE(::testing::Message() << "W " << W << " K " << kmax << " D " << dkmax);
  const std::vector<float> re1 = randomValues(W * W, seed, -1.0f, 1.0f);
  const std::vector<float> im1 = randomValues(W * W, seed + 1, -1.0f, 1.0f);
  const std::vector<float> re2 = randomValues(W * W, seed + 2, -1.0f, 1.0f);
  const std::vector<float> im2 = randomValues(W * W, seed + 3, -1.0f, 1.0f);

  Sums sums(kmax, dkmax);
  accumulateBispectrum<W>(kmax, dkmax, re1, im1, sums.re, sums.im);
  accumulateBispectrum<W>(kmax, dkmax, re2, im2, sums.re, sums.im);

  auto inside = [](int f) { return f >= -W / 2 && f <= W / 2 - 1; };
  int64_t position = 0;
  int64_t exactMismatches = 0;
  int64_t skipped = 0;
  double worst = 0.0;
  for (int uy = 0; uy <= kmax; ++uy) {
    for (int ux = -kmax; ux <= kmax; ++ux) {
      for (int vy = -dkmax; vy <= dkmax; ++vy) {
        for (int vx = -dkmax; vx <= dkmax; ++vx, ++position) {
          ASSERT_EQ(bispectrumIndex(kmax, dkmax, ux, uy, vx, vy), position);
          const float gotRe = sums.re[position];
          const float gotIm = sums.im[position];
          const int tx = -(ux + vx), ty = -(uy + vy);
          if (!inside(tx) || !inside(ty)) {
            ++skipped;
            if (gotRe != 0.0f || gotIm != 0.0f) ++exactMismatches;
            continue;
          }
          float sumRe = 0.0f, sumIm = 0.0f;
          std::complex<double> sumD = 0.0;
          for (int frame = 0; frame < 2; ++frame) {
            const std::vector<float>& fr = frame == 0 ? re1 : re2;
            const std::vector<float>& fi = frame == 0 ? im1 : im2;
            const int iu = centredIndex<W>(ux, uy), iv = centredIndex<W>(vx, vy),
                      it = centredIndex<W>(tx, ty);
            const float pr = fr[iu] * fr[iv] - fi[iu] * fi[iv];
            const float pi = fr[iu] * fi[iv] + fi[iu] * fr[iv];
            sumRe = (fr[it] * pr - fi[it] * pi) + sumRe;
            sumIm = (fi[it] * pr + fr[it] * pi) + sumIm;
            sumD += std::complex<double>(fr[iu], fi[iu]) * std::complex<double>(fr[iv], fi[iv]) *
                    std::complex<double>(fr[it], fi[it]);
          }
          if (gotRe != sumRe || gotIm != sumIm) ++exactMismatches;
          worst = std::max(worst, std::abs(std::complex<double>(gotRe, gotIm) - sumD));
        }
      }
    }
  }
  EXPECT_EQ(position, bispectrumSize(kmax, dkmax));
  EXPECT_EQ(exactMismatches, 0);
  EXPECT_LT(worst, 1e-5);
  if (kmax + dkmax < W / 2) {
    EXPECT_EQ(skipped, 0);
  } else {
    EXPECT_GT(skipped, 0);
  }
}

TEST(Bispectrum, MatchesAnIndependentSlowLoopBitForBit) {
  expectMatchesSlowLoop<128>(3, 2, 10u);
  expectMatchesSlowLoop<128>(63, 2, 20u);  // K at the limit: terms on the edge are skipped
  expectMatchesSlowLoop<128>(1, 63, 30u);  // D at the limit
  expectMatchesSlowLoop<256>(5, 3, 40u);
  expectMatchesSlowLoop<512>(2, 4, 50u);
  expectMatchesSlowLoop<1024>(4, 1, 60u);
}

TEST(Bispectrum, NegativeOrOversizedLimitsAccumulateNothing) {
  constexpr int W = 128;
  const std::vector<float> re(W * W, 1.0f), im(W * W, 1.0f);

  std::vector<float> empty;
  accumulateBispectrum<W>(-1, 3, re, im, empty, empty);
  EXPECT_TRUE(empty.empty());

  // D < 0: the layout still has (2K+1)(K+1) elements, none of which receives a term.
  std::vector<float> sumRe(static_cast<std::size_t>(bispectrumSize(2, -1)), 5.0f);
  std::vector<float> sumIm(sumRe);
  ASSERT_EQ(sumRe.size(), 15u);
  accumulateBispectrum<W>(2, -1, re, im, sumRe, sumIm);
  EXPECT_EQ(std::count(sumRe.begin(), sumRe.end(), 5.0f), 15);
  EXPECT_EQ(std::count(sumIm.begin(), sumIm.end(), 5.0f), 15);

  // Beyond W/2 - 1 the reads would leave the spectrum.
  Sums k64(64, 1), d64(1, 64);
  accumulateBispectrum<W>(64, 1, re, im, k64.re, k64.im);
  accumulateBispectrum<W>(1, 64, re, im, d64.re, d64.im);
  EXPECT_EQ(std::count(k64.re.begin(), k64.re.end(), 0.0f), bispectrumSize(64, 1));
  EXPECT_EQ(std::count(d64.re.begin(), d64.re.end(), 0.0f), bispectrumSize(1, 64));

  // Sums too small for the layout are left alone rather than overrun.
  std::vector<float> small(10, 0.0f), smallIm(10, 0.0f);
  accumulateBispectrum<W>(2, 1, re, im, small, smallIm);
  EXPECT_EQ(std::count(small.begin(), small.end(), 0.0f), 10);
}

// For a real frame the pairs (u, v) and (-u, -v) of the uy = 0 row are both kept and hold
// complex-conjugate sums; a transposed index or a wrong mirror breaks this.
TEST(Bispectrum, MirroredPairsOfARealFrameAreConjugate) {
  constexpr int W = 128;
  constexpr int K = 60, D = 9;
  FFT<W, 0, std::mutex> engine;
  const std::vector<float> frame = randomValues(W * W, 8u, 0.0f, 1000.0f);
  std::vector<float> re(W * W), im(W * W), power(W * W, 0.0f);
  Sums sums(K, D);
  engine.loadFloat(frame.data());
  engine.forward(re, im, false);
  accumulateFrame<W>(K, D, re, im, power, sums.re, sums.im);

  float largest = 0.0f;
  for (float v : sums.re) largest = std::max(largest, std::fabs(v));
  const float tolerance = largest * 1e-5f;
  int checked = 0, broken = 0;
  for (int ux = -K; ux <= K; ++ux) {
    for (int vy = -D; vy <= D; ++vy) {
      for (int vx = -D; vx <= D; ++vx) {
        // Both -(u + v) and u + v must lie inside the array for both terms to be kept.
        if (ux + vx < -(W / 2 - 1) || ux + vx > W / 2 - 1) continue;
        const int64_t a = bispectrumIndex(K, D, ux, 0, vx, vy);
        const int64_t b = bispectrumIndex(K, D, -ux, 0, -vx, -vy);
        ++checked;
        if (std::fabs(sums.re[a] - sums.re[b]) > tolerance ||
            std::fabs(sums.im[a] + sums.im[b]) > tolerance) {
          ++broken;
        }
      }
    }
  }
  EXPECT_GT(checked, 40000);
  EXPECT_EQ(broken, 0);

  int asymmetricPower = 0;
  for (int fy = -(W / 2 - 1); fy <= W / 2 - 1; ++fy) {
    for (int fx = -(W / 2 - 1); fx <= W / 2 - 1; ++fx) {
      const float p = power[centredIndex<W>(fx, fy)];
      const float q = power[centredIndex<W>(-fx, -fy)];
      if (std::fabs(p - q) > 1e-5f * std::max(p, 1.0f)) ++asymmetricPower;
    }
  }
  EXPECT_EQ(asymmetricPower, 0);
}

}  // namespace
}  // namespace korrin
