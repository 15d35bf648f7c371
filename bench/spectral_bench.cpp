// Per-frame costs of the spectral kernels at every width: the transform with its spread into
// the centred arrays, and the reference bispectrum accumulation at the default limits.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "spectral/bispectrum.h"
#include "spectral/fft_engine.h"

namespace korrin {
namespace {

constexpr int kDefaultKmax = 60;
constexpr int kDefaultDkmax = 9;

std::vector<float> noise(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(0.0f, 1000.0f);
  std::vector<float> values(count);
  for (float& v : values) v = dist(rng);
  return values;
}

template <int W>
void BM_Forward(benchmark::State& state) {
  auto engine = std::make_unique<FFT<W, 0, std::mutex>>();
  const std::vector<float> frame = noise(W * W, 1u);
  std::vector<float> re(W * W), im(W * W);
  engine->loadFloat(frame.data());
  for (auto _ : state) {
    engine->forward(re, im, false);
    benchmark::DoNotOptimize(re.data());
    benchmark::DoNotOptimize(im.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

template <int W>
void BM_AccumulateBispectrum(benchmark::State& state) {
  // A real frame's normalised spectrum, so the arithmetic sees realistic magnitudes.
  auto engine = std::make_unique<FFT<W, 0, std::mutex>>();
  const std::vector<float> frame = noise(W * W, 2u);
  std::vector<float> re(W * W), im(W * W);
  engine->loadFloat(frame.data());
  engine->forward(re, im, false);
  scaleSpectrum<W>(re, im);

  const auto size = static_cast<std::size_t>(bispectrumSize(kDefaultKmax, kDefaultDkmax));
  std::vector<float> bispRe(size, 0.0f), bispIm(size, 0.0f);
  for (auto _ : state) {
    accumulateBispectrum<W>(kDefaultKmax, kDefaultDkmax, re, im, bispRe, bispIm);
    benchmark::DoNotOptimize(bispRe.data());
    benchmark::DoNotOptimize(bispIm.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Forward<128>);
BENCHMARK(BM_Forward<256>);
BENCHMARK(BM_Forward<512>);
BENCHMARK(BM_Forward<1024>);
BENCHMARK(BM_AccumulateBispectrum<128>);
BENCHMARK(BM_AccumulateBispectrum<256>);
BENCHMARK(BM_AccumulateBispectrum<512>);
BENCHMARK(BM_AccumulateBispectrum<1024>);

}  // namespace
}  // namespace korrin
