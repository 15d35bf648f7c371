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
using Spectra = std::vector<std::vector<float>>;

std::vector<float> zeroSums(int kmax, int dkmax) {
  return std::vector<float>(static_cast<std::size_t>(bispectrumSize(kmax, dkmax)), 0.0f);
}

template <class T>
class BispectrumWidths : public ::testing::Test {};
TYPED_TEST_SUITE(BispectrumWidths, test::AllWidths);

// The whole frame step on a constant image: scale by 1/(W*W) in float, power c^2 and bispectrum
// c^3 at zero frequency only, the second frame added onto the first.
TYPED_TEST(BispectrumWidths, ConstantFrameFillsOnlyTheZeroFrequency) {
  constexpr int W = TypeParam::value;
  constexpr int K = 60, D = 9;
  auto engine = std::make_unique<test::Engine<W>>();
  const std::vector<float> frame(W * W, 3.0f);
  std::vector<float> re(W * W), im(W * W), power(W * W, 0.0f);
  std::vector<float> sumRe = zeroSums(K, D), sumIm = zeroSums(K, D);
  for (int n = 1; n <= 2; ++n) {
    engine->loadFloat(frame.data());
    engine->forward(re, im, false);
    accumulateFrame<W>(K, D, re, im, power, sumRe, sumIm);
  }
  EXPECT_EQ(power[centredIndex<W>(0, 0)], 18.0f);
  EXPECT_EQ(std::count(power.begin(), power.end(), 0.0f), W * W - 1);
  EXPECT_EQ(sumRe[bispectrumIndex(K, D, 0, 0, 0, 0)], 54.0f);
  EXPECT_EQ(std::count(sumRe.begin(), sumRe.end(), 0.0f), bispectrumSize(K, D) - 1);
  EXPECT_EQ(std::count(sumIm.begin(), sumIm.end(), 0.0f), bispectrumSize(K, D));
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
  std::vector<float> sumRe = zeroSums(kmax, dkmax), sumIm = zeroSums(kmax, dkmax);
  for (int f = 0; f < 2; ++f) {
    fr[f] = uniform(W * W, seed + 2 * f, -1.0f, 1.0f);
    fi[f] = uniform(W * W, seed + 2 * f + 1, -1.0f, 1.0f);
    accumulateBispectrum<W>(kmax, dkmax, fr[f], fi[f], sumRe, sumIm);
  }
  auto inside = [](int f) { return f >= -W / 2 && f <= W / 2 - 1; };
  int64_t position = 0, mismatches = 0, skipped = 0;
  for (int uy = 0; uy <= kmax; ++uy) {
    for (int ux = -kmax; ux <= kmax; ++ux) {
      for (int vy = -dkmax; vy <= dkmax; ++vy) {
        for (int vx = -dkmax; vx <= dkmax; ++vx, ++position) {
          ASSERT_EQ(bispectrumIndex(kmax, dkmax, ux, uy, vx, vy), position);
          const int tx = -(ux + vx), ty = -(uy + vy);
          float re = 0.0f, im = 0.0f;
          if (!inside(tx) || !inside(ty)) {
            ++skipped;
          } else {
            const int iu = centredIndex<W>(ux, uy), iv = centredIndex<W>(vx, vy),
                      it = centredIndex<W>(tx, ty);
            for (int f = 0; f < 2; ++f) {
              const float pr = fr[f][iu] * fr[f][iv] - fi[f][iu] * fi[f][iv];
              const float pi = fr[f][iu] * fi[f][iv] + fi[f][iu] * fr[f][iv];
              re = (fr[f][it] * pr - fi[f][it] * pi) + re;
              im = (fi[f][it] * pr + fr[f][it] * pi) + im;
            }
          }
          mismatches += sumRe[position] != re || sumIm[position] != im;
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
  // K < 0 (no sums at all), D < 0 (15 elements, none receiving a term), limits beyond W/2 - 1
  // (reads outside the spectrum) and sums too small for the layout (writes outside them).
  for (auto [k, d, size] :
       {std::tuple{-1, 3, int64_t{0}}, std::tuple{2, -1, int64_t{15}},
        std::tuple{64, 1, bispectrumSize(64, 1)}, std::tuple{1, 64, bispectrumSize(1, 64)},
        std::tuple{2, 1, int64_t{10}}}) {
    std::vector<float> sre(static_cast<std::size_t>(size), 5.0f), sim(sre);
    accumulateBispectrum<W>(k, d, re, im, sre, sim);
    EXPECT_EQ(std::count(sre.begin(), sre.end(), 5.0f) + std::count(sim.begin(), sim.end(), 5.0f),
              2 * size)
        << k << " " << d;
  }
}

// What a table row feeds the kernels: uniform noise as centred spectra, the same with infinities
// and a NaN next to terms the reference skips, or frames of camera-like pixels through the
// transform, given to the batch as half spectra (the worker's route) and to the reference as the
// centred arrays of the same transform.
enum class Input { Noise, Infinite, Transform };

struct Row {
  int width, kmax, dkmax;
  int capacity;  // 0: chosen by the batch
  int frames;
  Input input;
};

template <int W>
void transformed(int frames, std::mt19937& rng, Spectra& res, Spectra& ims, Spectra& halves) {
  auto engine = std::make_unique<test::Engine<W>>();
  std::vector<float> power(W * W), halfPower(W * (W / 2 + 1));
  for (int f = 0; f < frames; ++f) {
    engine->loadFloat(uniform(W * W, rng, 0.0f, 65535.0f).data());
    res.emplace_back(W * W);
    ims.emplace_back(W * W);
    engine->forwardScaledPower(res.back(), ims.back(), power);
    engine->forwardHalfPower(halfPower.data());
    const float* half = &engine->spectrumData()[0][0];
    halves.emplace_back(half, half + W * (W / 2 + 1) * 2);
  }
}

void makeInput(const Row& row, Spectra& res, Spectra& ims, Spectra& halves) {
  const int w = row.width;
  std::mt19937 rng(static_cast<unsigned>(w + row.kmax * 131 + row.dkmax));
  if (row.input == Input::Transform) {
    if (w == 128) return transformed<128>(row.frames, rng, res, ims, halves);
    if (w == 256) return transformed<256>(row.frames, rng, res, ims, halves);
    if (w == 512) return transformed<512>(row.frames, rng, res, ims, halves);
    return transformed<1024>(row.frames, rng, res, ims, halves);
  }
  for (int f = 0; f < row.frames; ++f) {
    res.push_back(uniform(static_cast<std::size_t>(w) * w, rng, -2.0f, 2.0f));
    ims.push_back(uniform(static_cast<std::size_t>(w) * w, rng, -2.0f, 2.0f));
  }
  if (row.input != Input::Infinite) return;
  // At W = 128, K = 60, D = 9: F(60, 60) and F(-60, 0) infinite, and their pairs whose -(u+v)
  // falls outside must stay untouched; a term computed as inf * 0 would make them NaN.
  const auto at = [w](int fx, int fy) { return static_cast<std::size_t>((fy + 64) * w + fx + 64); };
  const float inf = std::numeric_limits<float>::infinity();
  res[0][at(60, 60)] = inf;
  ims[1][at(60, 60)] = -inf;
  res[2][at(-60, 0)] = inf;
  ims[0][at(-60, 0)] = inf;
  res[1][at(-20, 30)] = std::bit_cast<float>(0xffc00000u);
}

// Every batched path against the straightforward loops, word for word: any reordering of the
// additions, a contracted multiply-add, a term added where the reference skips it or a slip in
// putting the sums into the kernel's order and back (they start non-zero) shows as differing
// bits.
class BatchedPaths : public ::testing::TestWithParam<Row> {};

TEST_P(BatchedPaths, SumsEqualTheReferenceBitForBit) {
  const Row& row = GetParam();
  SCOPED_TRACE(::testing::Message() << row.width << " K " << row.kmax << " D " << row.dkmax);
  Spectra res, ims, halves;
  makeInput(row, res, ims, halves);
  std::vector<float> startRe = zeroSums(row.kmax, row.dkmax), startIm = startRe;
  for (std::size_t i = 0; i < startRe.size(); ++i) {
    startRe[i] = static_cast<float>(i % 997) / 499.0f - 1.0f;
    startIm[i] = static_cast<float>(i % 991) / 496.0f - 1.0f;
  }
  std::vector<float> refRe = startRe, refIm = startIm;
  accumulateBispectrumFrames(row.width, row.kmax, row.dkmax, res, ims, refRe, refIm);
  for (const KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512}) {
    if (!kernelPathSupported(path)) continue;
    SCOPED_TRACE(kernelPathName(path));
    std::vector<float> re = startRe, im = startIm;
    BispectrumBatch batch(row.width, row.kmax, row.dkmax, path, row.capacity);
    batch.attachSums(re, im);
    for (std::size_t f = 0; f < res.size(); ++f) {
      if (halves.empty()) batch.add(res[f].data(), ims[f].data());
      if (!halves.empty()) batch.addHalfSpectrum(halves[f].data());
    }
    batch.detachSums();
    EXPECT_EQ(firstDifference(refRe, re), -1);
    EXPECT_EQ(firstDifference(refIm, im), -1);
  }
}

// The kernel's order splits a (uy, vy) row of 2K+1 sums into chunks of 16 x; the last chunk is
// 9 wide at K = 60, 15 at K = 63 and 127, 5 at K = 10, 1 at K = 40 and 120, 7 at K = 3.
INSTANTIATE_TEST_SUITE_P(
    Rows, BatchedPaths,
    ::testing::Values(
        // The defaults: terms skipped at W = 128's far corners, next to infinities, full batches.
        Row{128, 60, 9, 0, 5, Input::Transform}, Row{128, 60, 9, 2, 3, Input::Infinite},
        Row{256, 60, 9, 16, 16, Input::Transform}, Row{1024, 60, 9, 0, 3, Input::Transform},
        // K = W/2 - 1: two full batches and a partial one; windows reaching the column -W/2.
        Row{128, 63, 9, 4, 9, Input::Noise}, Row{128, 63, 9, 2, 3, Input::Transform},
        Row{256, 127, 3, 2, 3, Input::Noise},
        // D = W/2 - 1 > K (rows of -(u+v) outside); D > K with a row narrower than one chunk;
        // D >> K, runs of 601 sums reordered.
        Row{128, 10, 63, 3, 4, Input::Noise}, Row{128, 3, 40, 2, 3, Input::Noise},
        Row{1024, 2, 300, 1, 2, Input::Noise},
        // One element (the cube of the mean), K = 0, D = 0 in exactly one full batch.
        Row{128, 0, 0, 1, 3, Input::Transform}, Row{128, 0, 6, 2, 2, Input::Noise},
        Row{128, 7, 0, 5, 5, Input::Noise},
        // Batches of one frame, of 32, and large limits in two batches.
        Row{512, 60, 9, 1, 3, Input::Noise}, Row{512, 40, 12, 32, 5, Input::Noise},
        Row{512, 70, 9, 2, 3, Input::Transform}, Row{1024, 20, 4, 6, 7, Input::Noise},
        Row{1024, 120, 20, 2, 3, Input::Transform}));

TEST(BatchGeometry, EveryAcceptedLimitFitsTheMemoryAllowance) {
  EXPECT_FALSE(BispectrumBatch::accepts(128, 64, 9));
  EXPECT_FALSE(BispectrumBatch::accepts(128, 60, -1));
  // Every limit a run accepts (at most 2^31 - 1 sums) fits; the largest windows are those of
  // K = 0, D = 511.
  int64_t largest = 0;
  for (int k = 0; k <= 511; ++k) {
    for (int d = 0; d <= 511 && bispectrumSize(k, d) <= std::numeric_limits<int32_t>::max(); ++d) {
      largest = std::max(largest, BispectrumBatch::extraBytes(k, d));
    }
  }
  EXPECT_LE(largest, BispectrumBatch::kMaxExtraBytes);
  EXPECT_GT(largest, int64_t{16} << 20);
}

// forwardScaledPower against forward + scaleSpectrum + accumulatePower, two frames in a row into
// a power sum that does not start at zero; and the power kept on the half spectrum, spread once.
template <class T>
class FusedPass : public ::testing::Test {};
TYPED_TEST_SUITE(FusedPass, test::AllWidths);

TYPED_TEST(FusedPass, EqualsForwardScaleAndPowerBitForBit) {
  constexpr int W = TypeParam::value;
  auto fused = std::make_unique<test::Engine<W>>();
  auto plain = std::make_unique<test::Engine<W>>();
  std::mt19937 rng(W);
  std::vector<float> powerFused = uniform(W * W, rng, 0.0f, 5.0f);
  std::vector<float> powerPlain = powerFused, powerFresh(W * W), halfPower(W * (W / 2 + 1));
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
    accumulatePower(reP, imP, powerFresh);
    fused->forwardHalfPower(halfPower.data());
  }
  std::vector<float> spread(W * W, -1.0f);
  test::Engine<W>::spreadHalfPower(halfPower.data(), spread);
  EXPECT_EQ(firstDifference(powerFresh, spread), -1);
}

}  // namespace
}  // namespace korrin
