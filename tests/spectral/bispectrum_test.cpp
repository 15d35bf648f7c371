// The bispectrum accumulation: the straightforward loops against an independent formulation, and
// the optimised kernels against those loops.
#include "spectral/bispectrum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "spectral/bispectrum_batch.h"
#include "tests/spectral/spectral_test_util.h"

namespace korrin {
namespace {

using test::centredIndex;
using test::firstDifference;
using test::uniform;

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

// The batched kernels and the fused post-transform pass against the straightforward loops, word
// for word: any reordering of the additions, a contracted multiply-add or a term added where the
// reference skips it shows up as differing bits.
using Spectra = std::vector<std::vector<float>>;

// Normalised spectra of frames holding a bright blurred star on a noisy background: a large zero
// frequency and a slowly falling spectrum, as in real captures.
template <int W>
void starSpectra(int frames, unsigned seed, Spectra& res, Spectra& ims) {
  auto engine = std::make_unique<test::Engine<W>>();
  std::mt19937 rng(seed);
  std::vector<float> power(W * W, 0.0f);
  for (int f = 0; f < frames; ++f) {
    const std::vector<float> noise = uniform(W * W, rng, 0.0f, 40.0f);
    const float cx = W / 2.0f + static_cast<float>(f % 7);
    const float cy = W / 2.0f - static_cast<float>(f % 5);
    float* input = engine->inputData();
    for (int y = 0; y < W; ++y) {
      for (int x = 0; x < W; ++x) {
        const float r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        input[y * W + x] = 1000.0f + noise[y * W + x] + 30000.0f * std::exp(-r2 / 18.0f);
      }
    }
    res.emplace_back(W * W);
    ims.emplace_back(W * W);
    engine->forwardScaledPower(res.back(), ims.back(), power);
  }
}

void spectraFor(int width, bool star, int frames, unsigned seed, Spectra& res, Spectra& ims) {
  if (width == 128 && star) return starSpectra<128>(frames, seed, res, ims);
  if (width == 256 && star) return starSpectra<256>(frames, seed, res, ims);
  if (width == 1024 && star) return starSpectra<1024>(frames, seed, res, ims);
  std::mt19937 rng(seed);
  for (int f = 0; f < frames; ++f) {
    res.push_back(uniform(static_cast<std::size_t>(width) * width, rng, -2.0f, 2.0f));
    ims.push_back(uniform(static_cast<std::size_t>(width) * width, rng, -2.0f, 2.0f));
  }
}

class BatchedPath : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!kernelPathSupported(GetParam())) {
      GTEST_SKIP() << kernelPathName(GetParam()) << " is not supported by this CPU";
    }
  }

  // Both paths start from the same sums (non-zero unless asked), so a slip in moving them into
  // and out of the private layout shows as well as one in the arithmetic.
  void expectSameSums(int width, int kmax, int dkmax, int capacity, const Spectra& res,
                      const Spectra& ims, bool zeroStart = false) {
    const auto size = static_cast<std::size_t>(bispectrumSize(kmax, dkmax));
    std::mt19937 rng(7u);
    std::vector<float> refRe = zeroStart ? std::vector<float>(size) : uniform(size, rng, -1, 1);
    std::vector<float> refIm = zeroStart ? std::vector<float>(size) : uniform(size, rng, -1, 1);
    std::vector<float> optRe = refRe, optIm = refIm;
    accumulateBispectrumFrames(width, kmax, dkmax, KernelPath::Reference, 0, res, ims, refRe,
                               refIm);
    accumulateBispectrumFrames(width, kmax, dkmax, GetParam(), capacity, res, ims, optRe, optIm);
    const std::string where = "W=" + std::to_string(width) + " K=" + std::to_string(kmax) +
                              " D=" + std::to_string(dkmax) + " B=" + std::to_string(capacity) +
                              " frames=" + std::to_string(res.size());
    EXPECT_EQ(firstDifference(refRe, optRe), -1) << where;
    EXPECT_EQ(firstDifference(refIm, optIm), -1) << where;
  }
};

TEST_P(BatchedPath, SumsEqualTheReferenceBitForBit) {
  struct Case {
    int width, kmax, dkmax;
    int capacity;  // 0: chosen by the batch
    int frames;
    bool star;
  };
  const Case cases[] = {
      {128, 60, 9, 0, 5, true},    // defaults; out-of-range terms at the far corners
      {128, 63, 9, 4, 9, false},   // K = W/2 - 1: two full batches and a partial one
      {128, 10, 63, 3, 4, false},  // D = W/2 - 1: whole rows of -(u+v) outside
      {128, 0, 0, 1, 3, true},     // one element: the cube of the mean
      {128, 0, 6, 2, 2, false},    // K = 0
      {128, 7, 0, 5, 5, false},    // D = 0, exactly one full batch
      {256, 60, 9, 16, 16, true},  // defaults, full batch of 16
      {256, 127, 3, 2, 3, false},  // K = W/2 - 1 at 256
      {512, 60, 9, 1, 3, false},   // batches of one frame
      {512, 40, 12, 32, 5, false}, {1024, 60, 9, 0, 3, true}, {1024, 20, 4, 6, 7, false},
  };
  unsigned seed = 11;
  for (const Case& c : cases) {
    Spectra res, ims;
    spectraFor(c.width, c.star, c.frames, seed++, res, ims);
    expectSameSums(c.width, c.kmax, c.dkmax, c.capacity, res, ims);
  }
}

TEST_P(BatchedPath, SkippedTermsStaySkippedNextToInfiniteValues) {
  // F(u) infinite for u = (60, 60) and (-60, 0) at W = 128: their pairs whose -(u+v) falls outside
  // the spectrum must stay untouched; a term computed as inf * 0 would make them NaN. One default
  // NaN elsewhere spreads through the in-range terms the same way on both paths.
  constexpr int W = 128, K = 60, D = 9;
  Spectra res, ims;
  spectraFor(W, false, 3, 99u, res, ims);
  const float inf = std::numeric_limits<float>::infinity();
  const auto at = [](int fx, int fy) { return static_cast<std::size_t>((fy + 64) * W + fx + 64); };
  res[0][at(60, 60)] = inf;
  ims[1][at(60, 60)] = -inf;
  res[2][at(-60, 0)] = inf;
  ims[0][at(-60, 0)] = inf;
  res[1][at(-20, 30)] = std::bit_cast<float>(0xffc00000u);
  expectSameSums(W, K, D, 2, res, ims, true);

  const auto size = static_cast<std::size_t>(bispectrumSize(K, D));
  std::vector<float> re(size), im(size);
  accumulateBispectrumFrames(W, K, D, GetParam(), 2, res, ims, re, im);
  const auto index = [](int ux, int uy, int vx, int vy) {
    return static_cast<std::size_t>(bispectrumIndex(K, D, ux, uy, vx, vy));
  };
  EXPECT_EQ(std::bit_cast<uint32_t>(re[index(60, 60, 5, 5)]), 0u);
  EXPECT_EQ(std::bit_cast<uint32_t>(im[index(60, 60, 5, 5)]), 0u);
  EXPECT_EQ(std::bit_cast<uint32_t>(re[index(-60, 0, -4, 0)]), 0u);
  EXPECT_FALSE(std::isfinite(re[index(60, 60, 4, 4)]));
  EXPECT_FALSE(std::isfinite(re[index(-60, 0, -3, 0)]));
}

INSTANTIATE_TEST_SUITE_P(Paths, BatchedPath,
                         ::testing::Values(KernelPath::Portable, KernelPath::Avx2,
                                           KernelPath::Avx512),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                           return std::string(kernelPathName(info.param));
                         });

TEST(BatchGeometry, AcceptsOnlyLimitsInsideTheSpectrumAndTheMemoryBudget) {
  EXPECT_TRUE(BispectrumBatch::accepts(128, 63, 9));
  EXPECT_FALSE(BispectrumBatch::accepts(128, 64, 9));
  EXPECT_FALSE(BispectrumBatch::accepts(128, 60, -1));
  EXPECT_TRUE(BispectrumBatch::accepts(256, 60, 9));
  EXPECT_LT(BispectrumBatch::extraBytes(256, 60, 9, 0), int64_t{32} << 20);
  // K = D = 511 would need far more than the reference's own sums; it keeps the plain loop.
  EXPECT_FALSE(BispectrumBatch::accepts(1024, 511, 511));
  EXPECT_EQ(resolveKernelPath(KernelPath::Reference), KernelPath::Reference);
  EXPECT_NE(resolveKernelPath(KernelPath::Auto), KernelPath::Auto);
}

// forwardScaledPower against forward + scaleSpectrum + accumulatePower, two frames in a row into
// a power sum that does not start at zero.
template <class T>
class FusedPass : public ::testing::Test {};
TYPED_TEST_SUITE(FusedPass, test::AllWidths);

TYPED_TEST(FusedPass, EqualsForwardScaleAndPowerBitForBit) {
  constexpr int W = TypeParam::value;
  auto fused = std::make_unique<test::Engine<W>>();
  auto plain = std::make_unique<test::Engine<W>>();
  std::mt19937 rng(W);
  std::vector<float> powerFused = uniform(W * W, rng, 0.0f, 5.0f);
  std::vector<float> powerPlain = powerFused;
  std::vector<float> reF(W * W), imF(W * W), reP(W * W), imP(W * W);
  for (int frame = 0; frame < 2; ++frame) {
    std::vector<float> pixels = uniform(W * W, rng, 0.0f, 65535.0f);
    // Tiny and huge values: subnormal scaled terms and squares near the float range.
    pixels[3] = 1e-30f;
    pixels[W + 1] = 1e17f;
    fused->loadFloat(pixels.data());
    plain->loadFloat(pixels.data());
    fused->forwardScaledPower(reF, imF, powerFused);
    plain->forward(reP, imP, false);
    scaleSpectrum<W>(reP, imP);
    accumulatePower(reP, imP, powerPlain);
    EXPECT_EQ(firstDifference(reP, reF), -1);
    EXPECT_EQ(firstDifference(imP, imF), -1);
    EXPECT_EQ(firstDifference(powerPlain, powerFused), -1);
  }
}

// The half-spectrum route of the frame step: power kept on the half spectrum and spread at the
// end, windows read straight from the transform, against the centred arrays. K = W/2 - 1 at
// W = 128 reaches the unpaired column -W/2.
TYPED_TEST(FusedPass, HalfSpectrumRouteEqualsCentredArraysBitForBit) {
  constexpr int W = TypeParam::value;
  const int kmax = std::min(W / 2 - 1, 70);
  const int dkmax = 9;
  auto engine = std::make_unique<test::Engine<W>>();
  std::mt19937 rng(W + 1);
  std::vector<float> re(W * W), im(W * W), power(W * W), halfPower(W * (W / 2 + 1));
  const auto size = static_cast<std::size_t>(bispectrumSize(kmax, dkmax));
  std::vector<float> centredRe(size), centredIm(size), halfRe(size), halfIm(size);
  BispectrumBatch centred(W, kmax, dkmax, KernelPath::Auto, 2);
  BispectrumBatch direct(W, kmax, dkmax, KernelPath::Auto, 2);
  for (int frame = 0; frame < 3; ++frame) {
    const std::vector<float> pixels = uniform(W * W, rng, 0.0f, 65535.0f);
    engine->loadFloat(pixels.data());
    engine->forwardScaledPower(re, im, power);
    centred.add(re.data(), im.data());
    engine->forwardHalfPower(halfPower.data());
    direct.addHalfSpectrum(&engine->spectrumData()[0][0]);
  }
  std::vector<float> spread(W * W, -1.0f);
  test::Engine<W>::spreadHalfPower(halfPower.data(), spread);
  EXPECT_EQ(firstDifference(power, spread), -1);
  centred.storeSums(centredRe, centredIm);
  direct.storeSums(halfRe, halfIm);
  EXPECT_EQ(firstDifference(centredRe, halfRe), -1);
  EXPECT_EQ(firstDifference(centredIm, halfIm), -1);
}

}  // namespace
}  // namespace korrin
