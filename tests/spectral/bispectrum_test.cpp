#include "spectral/bispectrum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#include "tests/spectral/spectral_test_util.h"

namespace korrin {
namespace {

using test::centredIndex;

struct Sums {
  Sums(int kmax, int dkmax)
      : re(static_cast<std::size_t>(bispectrumSize(kmax, dkmax)), 0.0f), im(re) {}
  std::vector<float> re;
  std::vector<float> im;
};

template <class T>
class BispectrumWidths : public ::testing::Test {};
TYPED_TEST_SUITE(BispectrumWidths, test::AllWidths);

// The whole frame step on a constant image: scale by 1/(W*W) in float, power c^2 and bispectrum
// c^3 at zero frequency only, the second frame added onto the first.
TYPED_TEST(BispectrumWidths, ConstantFrameFillsOnlyTheZeroFrequency) {
  constexpr int W = TypeParam::value;
  constexpr int K = 60, D = 9;
  std::vector<float> sre(W * W, 3.0f), sim(W * W, -5.0f);
  scaleSpectrum<W>(sre, sim);
  const float s = 1.0f / (float(W) * float(W));
  EXPECT_EQ(std::count(sre.begin(), sre.end(), 3.0f * s), W * W);
  EXPECT_EQ(std::count(sim.begin(), sim.end(), -5.0f * s), W * W);

  auto engine = std::make_unique<test::Engine<W>>();
  const std::vector<float> frame(W * W, 3.0f);
  std::vector<float> re(W * W), im(W * W), power(W * W, 0.0f);
  Sums sums(K, D);
  for (int n = 1; n <= 2; ++n) {
    engine->loadFloat(frame.data());
    engine->forward(re, im, false);
    accumulateFrame<W>(K, D, re, im, power, sums.re, sums.im);
  }
  EXPECT_EQ(power[centredIndex<W>(0, 0)], 18.0f);
  EXPECT_EQ(std::count(power.begin(), power.end(), 0.0f), W * W - 1);
  const int64_t zero = bispectrumIndex(K, D, 0, 0, 0, 0);
  EXPECT_EQ(zero, (60 * 19 + 9) * 19 + 9);
  EXPECT_EQ(sums.re[zero], 54.0f);
  EXPECT_EQ(std::count(sums.re.begin(), sums.re.end(), 0.0f), bispectrumSize(K, D) - 1);
  EXPECT_EQ(std::count(sums.im.begin(), sums.im.end(), 0.0f), bispectrumSize(K, D));
}

TEST(Bispectrum, PowerAddsTheTwoSquaresFirst) {
  // 1 + (2^-24 + 2^-24) = 1 + 2^-23, whereas (1 + 2^-24) + 2^-24 rounds back to 1.
  const float tiny = 1.0f / 4096.0f;
  std::vector<float> re{tiny, 3.0f}, im{tiny, 4.0f}, power{1.0f, 0.5f};
  accumulatePower(re, im, power);
  EXPECT_EQ(power, (std::vector<float>{1.0f + 1.0f / 8388608.0f, 25.5f}));
}

// An independent formulation: walk the accumulator in memory order, read frequencies by value
// and decide the range on -(u + v) itself; two frames, so the order of the additions counts.
// With K or D at W/2 - 1, -(u + v) leaves the spectrum at its edges.
template <int W>
void expectMatchesSlowLoop(int kmax, int dkmax, unsigned seed) {
  SCOPED_TRACE(::testing::Message() << "W " << W << " K " << kmax << " D " << dkmax);
  std::vector<float> fr[2], fi[2];
  Sums sums(kmax, dkmax);
  for (int f = 0; f < 2; ++f) {
    fr[f] = test::uniform(W * W, seed + 2 * f, -1.0f, 1.0f);
    fi[f] = test::uniform(W * W, seed + 2 * f + 1, -1.0f, 1.0f);
    accumulateBispectrum<W>(kmax, dkmax, fr[f], fi[f], sums.re, sums.im);
  }
  auto inside = [](int f) { return f >= -W / 2 && f <= W / 2 - 1; };
  int64_t position = 0, mismatches = 0, skipped = 0;
  for (int uy = 0; uy <= kmax; ++uy) {
    for (int ux = -kmax; ux <= kmax; ++ux) {
      for (int vy = -dkmax; vy <= dkmax; ++vy) {
        for (int vx = -dkmax; vx <= dkmax; ++vx, ++position) {
          ASSERT_EQ(bispectrumIndex(kmax, dkmax, ux, uy, vx, vy), position);
          const int tx = -(ux + vx), ty = -(uy + vy);
          float sumRe = 0.0f, sumIm = 0.0f;
          if (!inside(tx) || !inside(ty)) {
            ++skipped;
          } else {
            const int iu = centredIndex<W>(ux, uy), iv = centredIndex<W>(vx, vy),
                      it = centredIndex<W>(tx, ty);
            for (int f = 0; f < 2; ++f) {
              const float pr = fr[f][iu] * fr[f][iv] - fi[f][iu] * fi[f][iv];
              const float pi = fr[f][iu] * fi[f][iv] + fi[f][iu] * fr[f][iv];
              sumRe = (fr[f][it] * pr - fi[f][it] * pi) + sumRe;
              sumIm = (fi[f][it] * pr + fr[f][it] * pi) + sumIm;
            }
          }
          mismatches += sums.re[position] != sumRe || sums.im[position] != sumIm;
        }
      }
    }
  }
  EXPECT_EQ(position, bispectrumSize(kmax, dkmax));
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(skipped > 0, kmax + dkmax >= W / 2);
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
  std::vector<float> sumRe(static_cast<std::size_t>(bispectrumSize(2, -1)), 5.0f), sumIm(sumRe);
  ASSERT_EQ(sumRe.size(), 15u);
  accumulateBispectrum<W>(2, -1, re, im, sumRe, sumIm);
  EXPECT_EQ(std::count(sumRe.begin(), sumRe.end(), 5.0f), 15);
  EXPECT_EQ(std::count(sumIm.begin(), sumIm.end(), 5.0f), 15);

  // Beyond W/2 - 1 the reads would leave the spectrum; sums too small for the layout would be
  // overrun.
  for (auto [k, d, size] :
       {std::tuple{64, 1, bispectrumSize(64, 1)}, std::tuple{1, 64, bispectrumSize(1, 64)},
        std::tuple{2, 1, int64_t{10}}}) {
    std::vector<float> sre(static_cast<std::size_t>(size), 0.0f), sim(sre);
    accumulateBispectrum<W>(k, d, re, im, sre, sim);
    EXPECT_EQ(std::count(sre.begin(), sre.end(), 0.0f), size) << k << " " << d;
  }
}

}  // namespace
}  // namespace korrin
