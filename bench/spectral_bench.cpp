// Per-frame costs of the spectral kernels at every width: the transform with its spread into
// the centred arrays, alone and fused with scaling and power; the half-spectrum route with its
// window copy; the reference bispectrum accumulation and the batched kernels at the default
// limits.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "spectral/bispectrum.h"
#include "spectral/bispectrum_batch.h"
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

// An engine holding a frame of noise: every benchmark of a width transforms the same input.
template <int W>
std::unique_ptr<FFT<W, 0, std::mutex>> loadedEngine(unsigned seed) {
  auto engine = std::make_unique<FFT<W, 0, std::mutex>>();
  const std::vector<float> frame = noise(W * W, seed);
  engine->loadFloat(frame.data());
  return engine;
}

// One frame step per iteration. The steps write through functions of another translation unit,
// so the clobber is enough to keep their work.
template <class Step>
void perFrame(benchmark::State& state, Step step) {
  for (auto _ : state) {
    step();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

template <int W>
void BM_Forward(benchmark::State& state) {
  auto engine = loadedEngine<W>(1u);
  std::vector<float> re(W * W), im(W * W);
  perFrame(state, [&] { engine->forward(re, im, false); });
}

template <int W>
void BM_AccumulateBispectrum(benchmark::State& state) {
  // A real frame's normalised spectrum, so the arithmetic sees realistic magnitudes.
  auto engine = loadedEngine<W>(2u);
  std::vector<float> re(W * W), im(W * W);
  engine->forward(re, im, false);
  scaleSpectrum<W>(re, im);
  const auto size = static_cast<std::size_t>(bispectrumSize(kDefaultKmax, kDefaultDkmax));
  std::vector<float> bispRe(size, 0.0f), bispIm(size, 0.0f);
  perFrame(state,
           [&] { accumulateBispectrum<W>(kDefaultKmax, kDefaultDkmax, re, im, bispRe, bispIm); });
}

// The three post-transform steps as the reference runs them.
template <int W>
void BM_ForwardScalePower(benchmark::State& state) {
  auto engine = loadedEngine<W>(1u);
  std::vector<float> re(W * W), im(W * W), power(W * W);
  perFrame(state, [&] {
    engine->forward(re, im, false);
    scaleSpectrum<W>(re, im);
    accumulatePower(re, im, power);
  });
}

template <int W>
void BM_ForwardScaledPower(benchmark::State& state) {
  auto engine = loadedEngine<W>(1u);
  std::vector<float> re(W * W), im(W * W), power(W * W);
  perFrame(state, [&] { engine->forwardScaledPower(re, im, power); });
}

// The batched worker's route: power kept on the half spectrum, windows read from the transform.
template <int W>
void BM_ForwardHalfPowerWindows(benchmark::State& state) {
  auto engine = loadedEngine<W>(1u);
  std::vector<float> halfPower(W * (W / 2 + 1));
  // A full batch would time the kernel too; the batch is rebuilt outside the timed region
  // before it fills.
  auto batch = std::make_unique<BispectrumBatch>(W, kDefaultKmax, kDefaultDkmax, KernelPath::Auto);
  perFrame(state, [&] {
    if (batch->pending() == batch->capacity() - 1) {
      state.PauseTiming();
      batch = std::make_unique<BispectrumBatch>(W, kDefaultKmax, kDefaultDkmax, KernelPath::Auto);
      state.ResumeTiming();
    }
    engine->forwardHalfPower(halfPower.data());
    batch->addHalfSpectrum(&engine->spectrumData()[0][0]);
  });
}

// Batched accumulation per frame: the window copy of every frame plus one pass per batch.
// Arguments: path, batch capacity (0: the default choice), kmax, dkmax.
template <int W>
void BM_BatchedBispectrum(benchmark::State& state) {
  const auto path = static_cast<KernelPath>(state.range(0));
  if (!kernelPathSupported(path)) {
    state.SkipWithError("path not supported by this CPU");
    return;
  }
  const auto kmax = static_cast<int>(state.range(2));
  const auto dkmax = static_cast<int>(state.range(3));
  auto engine = loadedEngine<W>(2u);
  std::vector<float> re(W * W), im(W * W);
  engine->forward(re, im, false);
  scaleSpectrum<W>(re, im);

  const auto size = static_cast<std::size_t>(bispectrumSize(kmax, dkmax));
  std::vector<float> sumRe(size), sumIm(size);
  BispectrumBatch batch(W, kmax, dkmax, path, static_cast<int>(state.range(1)));
  batch.attachSums(sumRe, sumIm);
  for (auto _ : state) {
    batch.add(re.data(), im.data());
  }
  batch.detachSums();
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::string(kernelPathName(path)) + " B=" + std::to_string(batch.capacity()));
}

void batchArgs(benchmark::internal::Benchmark* b) {
  for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512}) {
    b->Args({static_cast<int64_t>(path), 0, kDefaultKmax, kDefaultDkmax});
  }
  b->Args({static_cast<int64_t>(KernelPath::Avx512), 8, kDefaultKmax, kDefaultDkmax});
  b->Args({static_cast<int64_t>(KernelPath::Avx512), 32, kDefaultKmax, kDefaultDkmax});
}

// Limits users of large frames raise.
void largeLimitArgs(benchmark::internal::Benchmark* b) {
  for (KernelPath path : {KernelPath::Avx2, KernelPath::Avx512}) {
    b->Args({static_cast<int64_t>(path), 0, 100, 15});
    b->Args({static_cast<int64_t>(path), 0, 120, 20});
  }
}

BENCHMARK(BM_ForwardScalePower<128>);
BENCHMARK(BM_ForwardScalePower<256>);
BENCHMARK(BM_ForwardScalePower<512>);
BENCHMARK(BM_ForwardScalePower<1024>);
BENCHMARK(BM_ForwardScaledPower<128>);
BENCHMARK(BM_ForwardScaledPower<256>);
BENCHMARK(BM_ForwardScaledPower<512>);
BENCHMARK(BM_ForwardScaledPower<1024>);
BENCHMARK(BM_ForwardHalfPowerWindows<128>);
BENCHMARK(BM_ForwardHalfPowerWindows<256>);
BENCHMARK(BM_ForwardHalfPowerWindows<512>);
BENCHMARK(BM_ForwardHalfPowerWindows<1024>);
BENCHMARK(BM_BatchedBispectrum<128>)->Apply(batchArgs);
BENCHMARK(BM_BatchedBispectrum<256>)->Apply(batchArgs);
BENCHMARK(BM_BatchedBispectrum<512>)->Apply(batchArgs);
BENCHMARK(BM_BatchedBispectrum<1024>)->Apply(batchArgs);
BENCHMARK(BM_BatchedBispectrum<1024>)->Apply(largeLimitArgs)->Unit(benchmark::kMillisecond);
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
