// The batched kernels and the fused post-transform pass against the straightforward loops, word
// for word: any reordering of the additions, a contracted multiply-add or a term added where the
// reference skips it shows up as differing bits.
#include "spectral/bispectrum_batch.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "spectral/bispectrum.h"
#include "spectral/fft_engine.h"

namespace korrin {
namespace {

using Spectra = std::vector<std::vector<float>>;

std::vector<float> uniform(std::size_t count, std::mt19937& rng, float low, float high) {
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> values(count);
  for (float& v : values) v = dist(rng);
  return values;
}

// Index of the first differing 32-bit word, or -1.
int64_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i])) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

template <int W>
std::unique_ptr<FFT<W, 0, std::mutex>> makeEngine() {
  return std::make_unique<FFT<W, 0, std::mutex>>();
}

// Normalised spectra of frames holding a bright blurred star on a noisy background: a large zero
// frequency and a slowly falling spectrum, as in real captures.
template <int W>
void starSpectra(int frames, unsigned seed, Spectra& res, Spectra& ims) {
  auto engine = makeEngine<W>();
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

void randomSpectra(int width, int frames, unsigned seed, Spectra& res, Spectra& ims) {
  std::mt19937 rng(seed);
  const auto pixels = static_cast<std::size_t>(width) * width;
  for (int f = 0; f < frames; ++f) {
    res.push_back(uniform(pixels, rng, -2.0f, 2.0f));
    ims.push_back(uniform(pixels, rng, -2.0f, 2.0f));
  }
}

void spectraFor(int width, bool star, int frames, unsigned seed, Spectra& res, Spectra& ims) {
  if (!star) return randomSpectra(width, frames, seed, res, ims);
  switch (width) {
    case 128:
      return starSpectra<128>(frames, seed, res, ims);
    case 256:
      return starSpectra<256>(frames, seed, res, ims);
    case 512:
      return starSpectra<512>(frames, seed, res, ims);
    default:
      return starSpectra<1024>(frames, seed, res, ims);
  }
}

class BatchedPath : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!kernelPathSupported(GetParam())) {
      GTEST_SKIP() << kernelPathName(GetParam()) << " is not supported by this CPU";
    }
  }

  // Both paths start from the same non-zero sums, so a slip in moving them into and out of the
  // private layout shows as well as one in the arithmetic.
  void expectSameSums(int width, int kmax, int dkmax, int capacity, const Spectra& res,
                      const Spectra& ims, bool zeroStart = false) {
    const auto size = static_cast<std::size_t>(bispectrumSize(kmax, dkmax));
    std::mt19937 rng(7u);
    std::vector<float> refRe = zeroStart ? std::vector<float>(size) : uniform(size, rng, -1, 1);
    std::vector<float> refIm = zeroStart ? std::vector<float>(size) : uniform(size, rng, -1, 1);
    std::vector<float> optRe = refRe;
    std::vector<float> optIm = refIm;
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

struct SumsCase {
  int width;
  int kmax;
  int dkmax;
  int capacity;  // 0: chosen by the batch
  int frames;
  bool star;
};

TEST_P(BatchedPath, SumsEqualTheReferenceBitForBit) {
  const SumsCase cases[] = {
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
  for (const SumsCase& c : cases) {
    Spectra res, ims;
    spectraFor(c.width, c.star, c.frames, seed++, res, ims);
    expectSameSums(c.width, c.kmax, c.dkmax, c.capacity, res, ims);
  }
}

TEST_P(BatchedPath, SkippedTermsStaySkippedNextToInfiniteValues) {
  // F(u) infinite for u = (60, 60) and (-60, 0) at W = 128: their pairs whose -(u+v) falls outside
  // the spectrum must stay untouched; a term computed as inf * 0 would make them NaN. One default
  // NaN elsewhere spreads through the in-range terms the same way on both paths.
  constexpr int W = 128;
  constexpr int K = 60;
  constexpr int D = 9;
  Spectra res, ims;
  randomSpectra(W, 3, 99u, res, ims);
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::bit_cast<float>(0xffc00000u);
  const auto at = [](int fx, int fy) { return static_cast<std::size_t>((fy + 64) * W + fx + 64); };
  res[0][at(60, 60)] = inf;
  ims[1][at(60, 60)] = -inf;
  res[2][at(-60, 0)] = inf;
  ims[0][at(-60, 0)] = inf;
  res[1][at(-20, 30)] = nan;
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
  EXPECT_TRUE(std::isnan(re[index(60, 60, 4, 4)]) || std::isinf(re[index(60, 60, 4, 4)]));
  EXPECT_TRUE(std::isnan(re[index(-60, 0, -3, 0)]) || std::isinf(re[index(-60, 0, -3, 0)]));
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
template <int W>
void expectFusedPassMatches(unsigned seed) {
  auto fused = makeEngine<W>();
  auto plain = makeEngine<W>();
  std::mt19937 rng(seed);
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
    EXPECT_EQ(firstDifference(reP, reF), -1) << "W=" << W;
    EXPECT_EQ(firstDifference(imP, imF), -1) << "W=" << W;
    EXPECT_EQ(firstDifference(powerPlain, powerFused), -1) << "W=" << W;
  }
}

TEST(FusedPass, EqualsForwardScaleAndPowerBitForBit) {
  expectFusedPassMatches<128>(1u);
  expectFusedPassMatches<256>(2u);
  expectFusedPassMatches<512>(3u);
  expectFusedPassMatches<1024>(4u);
}

}  // namespace
}  // namespace korrin
