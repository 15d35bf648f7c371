#include "run/frame_worker.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>

#include "fits/image_frame.h"
#include "spectral/bispectrum.h"
#include "spectral/fft_engine.h"

namespace korrin {

void fillOutsideTargets(float* pixels, int pixelCount, const std::vector<int>& keepOffsets,
                        int centre, float fill) {
  // One merge of the ascending pixel index with the ascending targets. Each target at or below
  // the current pixel keeps exactly that pixel, so targets above the image (negative) keep the
  // first pixels and targets past the end are never reached. 64-bit: centre + offset may leave
  // the int range for large masks.
  const int64_t end = pixelCount;
  int64_t p = 0;
  const size_t m = keepOffsets.size();
  for (size_t j = 0; j < m && p < end; ++j) {
    const int64_t target = int64_t{centre} + keepOffsets[j];
    if (p < target) {
      const int64_t stop = std::min(target, end);
      std::fill(pixels + p, pixels + stop, fill);
      p = stop;
      if (p >= end) return;
    }
    ++p;  // pixel p keeps its value
    if (j + 1 == m) std::fill(pixels + p, pixels + end, fill);
  }
}

namespace {

// Workers share standard output without a lock of their own; one insertion per line keeps their
// lines whole.
void writeLine(const std::string& text) {
  std::cout << (text + "\n");
}

// Largest biased exponent of the pixels: 255 means an infinity or a NaN somewhere. Integer
// operations only, so the pass vectorises.
uint32_t maxExponent(const float* pixels, int count) {
  uint32_t largest = 0;
  for (int i = 0; i < count; ++i) {
    uint32_t bits;
    std::memcpy(&bits, pixels + i, sizeof bits);
    largest = std::max(largest, (bits >> 23) & 0xffu);
  }
  return largest;
}

// Pixels below 2^40 in magnitude keep every intermediate of one frame finite: the scaled
// spectrum stays below 2^40, its products below 2^81 and the bispectrum term below 2^122.
// Camera data (8 or 16 bits) is far below; only a float frame can reach it.
constexpr uint32_t kFirstTooLargeExponent = 127 + 40;

// True when every pixel is finite and below 2^40 in magnitude (a NaN fails the comparison): one
// pass of comparisons that vectorises well; maxExponent then tells a rejected frame's reason.
// Every frame goes through it, a megabyte at W = 512, so it also comes in wide-vector copies
// chosen by a run-time test of the CPU (not by resolver functions, which run before the thread
// sanitizer's runtime is ready).
__attribute__((always_inline)) inline bool rangeLoop(const float* pixels, int count) {
  int outside = 0;
  for (int i = 0; i < count; ++i) outside |= static_cast<int>(!(std::fabs(pixels[i]) < 0x1p40f));
  return outside == 0;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORRIN_WORKER_WIDE_VECTORS 1
__attribute__((target("avx512f"))) bool rangeAvx512(const float* pixels, int count) {
  return rangeLoop(pixels, count);
}
__attribute__((target("avx2"))) bool rangeAvx2(const float* pixels, int count) {
  return rangeLoop(pixels, count);
}
#endif

bool rangeBaseline(const float* pixels, int count) {
  return rangeLoop(pixels, count);
}

bool pixelsInRange(const float* pixels, int count) {
  using Loop = bool (*)(const float*, int);
  static const Loop loop = [] {
#if defined(KORRIN_WORKER_WIDE_VECTORS)
    if (__builtin_cpu_supports("avx512f")) return &rangeAvx512;
    if (__builtin_cpu_supports("avx2")) return &rangeAvx2;
#endif
    return &rangeBaseline;
  }();
  return loop(pixels, count);
}

void maskFrame(ImageFrame& frame, int width, int64_t fileIndex, int maskInterval,
               const StarAnnulus& annulus, std::vector<int>& keepOffsets) {
  if (fileIndex % (int64_t{maskInterval} + 1) == 0) annulus.buildMask(keepOffsets);
  frame.backgroundStatistics();
  frame.threshold = frame.sigma * 5.0f + frame.mean;
  frame.findPeak();
  const float centre = frame.peakY * static_cast<float>(width) + frame.peakX;
  if (!keepOffsets.empty()) {
    fillOutsideTargets(frame.pixels, width * width, keepOffsets, static_cast<int>(centre),
                       frame.mean);
  }
}

}  // namespace

KernelPath defaultKernelPath() {
#if defined(KORRIN_KERNEL_REFERENCE)
  return KernelPath::Reference;
#elif defined(KORRIN_KERNEL_PORTABLE)
  return KernelPath::Portable;
#elif defined(KORRIN_KERNEL_AVX2)
  return KernelPath::Avx2;
#else
  return KernelPath::Auto;
#endif
}

template <int Width>
struct FrameWorker<Width>::State {
  using Engine = FFT<Width, 0, std::mutex>;

  State(int kmax_, int dkmax_, std::vector<float>& re_, std::vector<float>& im_,
        std::vector<float>& bispRe_, std::vector<float>& bispIm_, std::vector<float>& power_,
        KernelPath path_)
      : kmax(kmax_),
        dkmax(dkmax_),
        re(re_),
        im(im_),
        bispRe(bispRe_),
        bispIm(bispIm_),
        power(power_),
        path(path_) {}

  int kmax;
  int dkmax;
  std::vector<float>& re;
  std::vector<float>& im;
  std::vector<float>& bispRe;
  std::vector<float>& bispIm;
  std::vector<float>& power;
  KernelPath path;
  bool fused = false;
  // The batched accumulation: it keeps the slot's sums in the order its kernel walks them from
  // prepareSums to the end of the share, when it adds a partial batch and puts them back.
  std::optional<BispectrumBatch> batch;
  std::vector<float> halfPower;
  std::optional<Engine> engine;
};

template <int Width>
FrameWorker<Width>::FrameWorker(int kmax, int dkmax, std::vector<float>& re, std::vector<float>& im,
                                std::vector<float>& bispRe, std::vector<float>& bispIm,
                                std::vector<float>& power, KernelPath path)
    : state_(std::make_unique<State>(kmax, dkmax, re, im, bispRe, bispIm, power, path)) {
  if (!kernelPathSupported(state_->path)) state_->path = KernelPath::Portable;
}

template <int Width>
FrameWorker<Width>::~FrameWorker() = default;

template <int Width>
void FrameWorker<Width>::prepareSums() {
  State& w = *state_;
  // Decided here, not at construction: the run driver sizes the slot's vectors just before.
  constexpr size_t pixels = size_t{Width} * Width;
  const auto elements = static_cast<size_t>(bispectrumSize(w.kmax, w.dkmax));
  w.fused = w.path != KernelPath::Reference && w.re.size() >= pixels && w.im.size() >= pixels &&
            w.power.size() >= pixels && BispectrumBatch::accepts(Width, w.kmax, w.dkmax) &&
            w.bispRe.size() >= elements && w.bispIm.size() >= elements;
  if (w.fused) {
    w.batch.emplace(Width, w.kmax, w.dkmax, w.path);
    w.batch->attachSums(w.bispRe, w.bispIm);
  }
  // With a batch the power is kept on the half spectrum and spread at the end, which starts the
  // sums at zero: taken only when the slot's power is still all zero bits, as it is in a run.
  if (w.fused && std::all_of(w.power.begin(), w.power.end(),
                             [](float v) { return std::bit_cast<uint32_t>(v) == 0u; })) {
    w.halfPower.assign(size_t{Width} * (Width / 2 + 1), 0.0f);
  }
}

template <int Width>
void FrameWorker<Width>::prepareEngine() {
  state_->engine.emplace();
}

template <int Width>
void FrameWorker<Width>::run(const std::vector<std::string>& files, int maskRadius,
                             int maskInterval, StarAnnulus& annulus) {
  State& w = *state_;
  typename State::Engine& engine = *w.engine;
  std::optional<BispectrumBatch>& batch = w.batch;
  std::vector<float>& halfPower = w.halfPower;
  std::vector<float>& re = w.re;
  std::vector<float>& im = w.im;
  const bool fused = w.fused;
  writeLine("processing " + std::to_string(files.size()) + " files");

  // The optimised path decodes each frame of the share's size straight into the engine; on
  // either path a frame of another size is known from its header alone, so a hostile header
  // claiming gigapixels costs nothing.
  std::vector<unsigned char> raw(fused ? size_t{Width} * Width * 2 : 0);
  const FitsSampleTarget target{.pixels = fused ? engine.inputData() : nullptr,
                                .width = Width,
                                .height = Width,
                                .raw = raw.data(),
                                .rawBytes = static_cast<int64_t>(raw.size()),
                                .onlyThisSize = true};

  std::vector<int> keepOffsets;
  ImageFrame frame;
  // Whatever leaves the loop (an exception included), the frame gives its buffers back.
  struct FrameGuard {
    ImageFrame& f;
    ~FrameGuard() { releaseFrame(&f); }
  };
  std::memset(&frame, 0, sizeof frame);
  initFrame(&frame);
  FrameGuard guard{frame};

  const auto n = static_cast<int64_t>(files.size());
  for (int64_t i = 0; i < n; ++i) {
    const std::string& path = files[static_cast<size_t>(i)];
    writeLine("Processing " + path);
    std::memset(&frame, 0, sizeof frame);
    initFrame(&frame);
    const int loaded = loadFrameInto(&frame, path.c_str(), target);
    if (loaded < 0) {
      writeLine("Error loading " + path);
      releaseFrame(&frame);
      continue;
    }
    if (frame.width != Width) {
      writeLine("Skipping " + path + " width " + std::to_string(frame.width));
      releaseFrame(&frame);
      break;
    }
    // The engine copies Width x Width pixels; a shorter frame would be read past its end.
    if (frame.height != Width) {
      writeLine("Skipping " + path + " height " + std::to_string(frame.height));
      releaseFrame(&frame);
      break;
    }
    if (maskRadius >= 1) maskFrame(frame, Width, i, maskInterval, annulus, keepOffsets);
    // One NaN or infinity, or a value whose transform overflows, would turn every sum of the
    // run into NaN. Tested on what reaches the transform: a bad pixel that the mask replaces by
    // the background does no harm (one in the background sample spoils the mean, and with it
    // every replaced pixel, and is caught here all the same).
    const uint32_t exponent =
        pixelsInRange(frame.pixels, Width * Width) ? 0u : maxExponent(frame.pixels, Width * Width);
    if (exponent >= kFirstTooLargeExponent) {
      writeLine("Skipping " + path +
                (exponent == 0xffu ? ": non-finite pixel values" : ": pixel values too large"));
      releaseFrame(&frame);
      continue;
    }

    if (frame.pixels != engine.inputData()) engine.loadFloat(frame.pixels);
    if (fused && !halfPower.empty()) {
      engine.forwardHalfPower(halfPower.data());
      batch->addHalfSpectrum(&engine.spectrumData()[0][0]);
    } else if (fused) {
      engine.forwardScaledPower(re, im, w.power);
      batch->add(re.data(), im.data());
    } else {
      engine.forward(re, im, false);
      accumulateFrame<Width>(w.kmax, w.dkmax, re, im, w.power, w.bispRe, w.bispIm);
    }

    releaseFitsRecords(&frame);
    releaseFrame(&frame);
  }
  if (fused) batch->detachSums();
  if (!halfPower.empty()) State::Engine::spreadHalfPower(halfPower.data(), w.power);
}

template <int Width>
void processFiles(const std::vector<std::string>& files, int kmax, int dkmax, int maskRadius,
                  int maskInterval, std::vector<float>& re, std::vector<float>& im,
                  std::vector<float>& bispRe, std::vector<float>& bispIm, std::vector<float>& power,
                  StarAnnulus& annulus) {
  processFilesOnPath<Width>(files, kmax, dkmax, maskRadius, maskInterval, re, im, bispRe, bispIm,
                            power, annulus, defaultKernelPath());
}

template <int Width>
void processFilesOnPath(const std::vector<std::string>& files, int kmax, int dkmax, int maskRadius,
                        int maskInterval, std::vector<float>& re, std::vector<float>& im,
                        std::vector<float>& bispRe, std::vector<float>& bispIm,
                        std::vector<float>& power, StarAnnulus& annulus, KernelPath path) {
  FrameWorker<Width> worker(kmax, dkmax, re, im, bispRe, bispIm, power, path);
  // Memory first: another worker may hold the planner for a while, and this one's memory is
  // ready by then.
  worker.prepareSums();
  worker.prepareEngine();
  worker.run(files, maskRadius, maskInterval, annulus);
}

#define KORRIN_INSTANTIATE_WORKER(W)                                                           \
  template class FrameWorker<W>;                                                               \
  template void processFiles<W>(const std::vector<std::string>&, int, int, int, int,           \
                                std::vector<float>&, std::vector<float>&, std::vector<float>&, \
                                std::vector<float>&, std::vector<float>&, StarAnnulus&);       \
  template void processFilesOnPath<W>(const std::vector<std::string>&, int, int, int, int,     \
                                      std::vector<float>&, std::vector<float>&,                \
                                      std::vector<float>&, std::vector<float>&,                \
                                      std::vector<float>&, StarAnnulus&, KernelPath);
KORRIN_INSTANTIATE_WORKER(128)
KORRIN_INSTANTIATE_WORKER(256)
KORRIN_INSTANTIATE_WORKER(512)
KORRIN_INSTANTIATE_WORKER(1024)
#undef KORRIN_INSTANTIATE_WORKER

}  // namespace korrin
