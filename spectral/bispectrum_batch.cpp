#include "spectral/bispectrum_batch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "spectral/bispectrum.h"
#include "spectral/bispectrum_kernel.h"

namespace korrin {

namespace {

// Whole vectors of the widest path, so one layout serves every path.
constexpr int kLaneMultiple = 16;
static_assert(kLaneMultiple % detail::kAccLanes == 0, "whole chunks of sums per row");
// Windows of this many bytes per worker keep the rows one (uy, vy) step reads in the caches.
constexpr int64_t kWindowBudget = int64_t{6} << 20;

struct Geometry {
  int lanesPad;
  int tRowLen;
  int64_t uFrame;  // floats of one frame's row, re and im
  int64_t tFrame;
  int64_t vFrame;
  int64_t uRows;
  int64_t tRows;
  int64_t vRows;
  int64_t accFloats;

  Geometry(int kmax, int dkmax) {
    const int64_t d2 = 2 * int64_t{dkmax} + 1;
    lanesPad = (2 * kmax + 1 + kLaneMultiple - 1) / kLaneMultiple * kLaneMultiple;
    tRowLen = lanesPad + 2 * dkmax;
    uFrame = 2 * int64_t{lanesPad};
    tFrame = 2 * int64_t{tRowLen};
    vFrame = 2 * d2;
    uRows = int64_t{kmax} + 1;
    tRows = int64_t{kmax} + 2 * int64_t{dkmax} + 1;
    vRows = d2;
    accFloats = uRows * d2 * d2 * 2 * lanesPad;
  }
  int64_t windowFloatsPerFrame() const { return uRows * uFrame + tRows * tFrame + vRows * vFrame; }
};

int autoCapacity(int kmax, int dkmax) {
  const Geometry g(kmax, dkmax);
  const int64_t frames = kWindowBudget / (g.windowFloatsPerFrame() * int64_t{sizeof(float)});
  return static_cast<int>(std::clamp<int64_t>(frames, 1, BispectrumBatch::kMaxFrames));
}

detail::AlignedFloats allocateZeroed(int64_t count) {
  // 64-byte rows for aligned vector loads; rounded up as aligned_alloc requires.
  const size_t bytes = (static_cast<size_t>(count) * sizeof(float) + 63) / 64 * 64;
  void* p = std::aligned_alloc(64, bytes == 0 ? 64 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  std::memset(p, 0, bytes);
  return detail::AlignedFloats(static_cast<float*>(p));
}

}  // namespace

void detail::AlignedFree::operator()(float* p) const {
  std::free(p);
}

bool kernelPathSupported(KernelPath path) {
  switch (path) {
    case KernelPath::Avx2:
      return __builtin_cpu_supports("avx2");
    case KernelPath::Avx512:
      return __builtin_cpu_supports("avx512f");
    default:
      return true;
  }
}

KernelPath resolveKernelPath(KernelPath path) {
  if (path != KernelPath::Auto) return path;
  if (kernelPathSupported(KernelPath::Avx512)) return KernelPath::Avx512;
  if (kernelPathSupported(KernelPath::Avx2)) return KernelPath::Avx2;
  return KernelPath::Portable;
}

const char* kernelPathName(KernelPath path) {
  switch (path) {
    case KernelPath::Auto:
      return "auto";
    case KernelPath::Reference:
      return "reference";
    case KernelPath::Portable:
      return "portable";
    case KernelPath::Avx2:
      return "avx2";
    case KernelPath::Avx512:
      return "avx512";
  }
  return "unknown";
}

int64_t BispectrumBatch::extraBytes(int /*width*/, int kmax, int dkmax, int capacity) {
  const Geometry g(kmax, dkmax);
  if (capacity <= 0) capacity = autoCapacity(kmax, dkmax);
  return (g.accFloats + g.windowFloatsPerFrame() * capacity) * int64_t{sizeof(float)};
}

bool BispectrumBatch::accepts(int width, int kmax, int dkmax) {
  const int limit = width / 2 - 1;
  if (kmax < 0 || kmax > limit || dkmax < 0 || dkmax > limit) return false;
  return extraBytes(width, kmax, dkmax, 0) <= kMaxExtraBytes;
}

BispectrumBatch::BispectrumBatch(int width, int kmax, int dkmax, KernelPath path, int capacity)
    : width_(width), kmax_(kmax), dkmax_(dkmax), path_(resolveKernelPath(path)) {
  const int limit = width / 2 - 1;
  if (kmax < 0 || kmax > limit || dkmax < 0 || dkmax > limit) {
    throw std::invalid_argument("bispectrum limits outside the spectrum");
  }
  if (path_ == KernelPath::Reference || !kernelPathSupported(path_)) {
    throw std::invalid_argument("kernel path not available for batches");
  }
  capacity_ = capacity <= 0 ? autoCapacity(kmax, dkmax) : std::min(capacity, kMaxFrames);
  const Geometry g(kmax, dkmax);
  lanesPad_ = g.lanesPad;
  tRowLen_ = g.tRowLen;
  uFrame_ = static_cast<size_t>(g.uFrame);
  tFrame_ = static_cast<size_t>(g.tFrame);
  vFrame_ = static_cast<size_t>(g.vFrame);
  accFloats_ = static_cast<size_t>(g.accFloats);
  // Window entries outside the spectrum and the lanes past 2K+1 stay zero for good; the kernel
  // never adds their terms.
  uWin_ = allocateZeroed(g.uRows * capacity_ * g.uFrame);
  tWin_ = allocateZeroed(g.tRows * capacity_ * g.tFrame);
  vWin_ = allocateZeroed(g.vRows * capacity_ * g.vFrame);
  acc_ = allocateZeroed(g.accFloats);
}

namespace {

// Visits every accumulator element once, in the order of the slot's sums, with its position in
// the private layout: [uy][vy][x / kAccLanes][vx][re|im][x % kAccLanes], so the imaginary part
// lies kAccLanes floats after the real part.
template <class Visit>
void walkElements(int kmax, int dkmax, size_t lanesPad, Visit visit) {
  constexpr size_t C = detail::kAccLanes;
  const int d2 = 2 * dkmax + 1;
  const int k2 = 2 * kmax + 1;
  size_t element = 0;
  for (int uy = 0; uy <= kmax; ++uy) {
    for (int x = 0; x < k2; ++x) {
      const size_t chunk = static_cast<size_t>(x) / C * d2 * 2 * C + static_cast<size_t>(x) % C;
      for (int vyi = 0; vyi < d2; ++vyi) {
        const size_t block = (static_cast<size_t>(uy) * d2 + vyi) * d2 * 2 * lanesPad + chunk;
        for (int vxi = 0; vxi < d2; ++vxi) {
          visit(block + static_cast<size_t>(vxi) * 2 * C, element++);
        }
      }
    }
  }
}

}  // namespace

void BispectrumBatch::loadSums(const std::vector<float>& bispRe, const std::vector<float>& bispIm) {
  const size_t lanes = static_cast<size_t>(lanesPad_);
  float* acc = acc_.get();
  walkElements(kmax_, dkmax_, lanes, [&](size_t at, size_t element) {
    acc[at] = bispRe[element];
    acc[at + detail::kAccLanes] = bispIm[element];
  });
}

void BispectrumBatch::storeSums(std::vector<float>& bispRe, std::vector<float>& bispIm) {
  flush();
  const size_t lanes = static_cast<size_t>(lanesPad_);
  const float* acc = acc_.get();
  walkElements(kmax_, dkmax_, lanes, [&](size_t at, size_t element) {
    bispRe[element] = acc[at];
    bispIm[element] = acc[at + detail::kAccLanes];
  });
}

namespace {

// Writes count values of a forward run of source entries to dst, dst + step, dst + 2*step, ...
// (step +1 or -1, known when compiled so that both directions vectorise).
template <int step>
void copyRun(const float* src, int count, float* dst) {
  for (int j = 0; j < count; ++j) dst[step * j] = src[j];
}

// The same for interleaved (re, im) entries, each multiplied by scale; conjugate negates the
// scaled imaginary part.
template <int step, bool conjugate>
void copyRun(const float* src, int count, float scale, float* dstRe, float* dstIm) {
  for (int j = 0; j < count; ++j) {
    dstRe[step * j] = src[2 * j] * scale;
    const float im = src[2 * j + 1] * scale;
    dstIm[step * j] = conjugate ? -im : im;
  }
}

// A spectrum reader fetches F(fx, fy) for fx = first, first + dir, ... (count values) into
// dstRe[0..count) and dstIm[0..count); dir is +1 or -1.

// The spectrum as the centred W x W arrays hold it: F(fx, fy) at row half + fy, column half + fx.
struct CentredRows {
  const float* re;
  const float* im;
  int width;

  template <int dir>
  void fetch(int fy, int first, int count, float* dstRe, float* dstIm) const {
    if (count <= 0) return;
    const int half = width / 2;
    const int low = dir > 0 ? first : first - (count - 1);  // the run's smallest fx
    const size_t at = static_cast<size_t>(half + fy) * width + (half + low);
    const int n0 = dir > 0 ? 0 : count - 1;  // where fx = low goes
    copyRun<dir>(re + at, count, dstRe + n0);
    copyRun<dir>(im + at, count, dstIm + n0);
  }
};

// The transform's half spectrum (interleaved re, im; W rows of W/2 + 1), scaled on the way:
// fx >= 0 and fx = -W/2 come from row fy, the other negative fx from row -fy conjugated, as the
// engine's spread places them.
struct HalfSpectrumRows {
  const float* spectrum;
  int width;
  float scale;

  template <int dir>
  void fetch(int fy, int first, int count, float* dstRe, float* dstIm) const {
    if (count <= 0) return;
    const int half = width / 2;
    const size_t rowFloats = 2 * static_cast<size_t>(half + 1);
    const float* direct = spectrum + static_cast<size_t>(fy & (width - 1)) * rowFloats;
    const float* mirror = spectrum + static_cast<size_t>(-fy & (width - 1)) * rowFloats;
    // The run covers fx = low .. high (never beyond -W/2 .. W/2 - 1); fx lands at dir * (fx -
    // first). Each source is one forward run of columns.
    const int low = dir > 0 ? first : first - (count - 1);
    const int high = dir > 0 ? first + (count - 1) : first;
    const auto at = [&](int fx) { return dir * (fx - first); };
    if (high >= 0) {
      const int a = std::max(low, 0);
      copyRun<dir, false>(direct + 2 * a, high - a + 1, scale, dstRe + at(a), dstIm + at(a));
    }
    if (low == -half) {
      dstRe[at(-half)] = direct[2 * half] * scale;
      dstIm[at(-half)] = direct[2 * half + 1] * scale;
    }
    // -W/2 < fx < 0: column -fx of row -fy, conjugated; columns ascending means fx descending.
    const int a = std::max(low, -half + 1);
    const int b = std::min(high, -1);
    if (a <= b) {
      copyRun<-dir, true>(mirror + 2 * (-b), b - a + 1, scale, dstRe + at(b), dstIm + at(b));
    }
  }
};

}  // namespace

void BispectrumBatch::add(const float* re, const float* im) {
  addWindows(CentredRows{re, im, width_});
}

void BispectrumBatch::addHalfSpectrum(const float* spectrum) {
  const float n = static_cast<float>(width_);
  addWindows(HalfSpectrumRows{spectrum, width_, 1.0f / (n * n)});
}

template <class Rows>
void BispectrumBatch::addWindows(const Rows& rows) {
  const int half = width_ / 2;
  const int k = kmax_;
  const int d = dkmax_;
  const size_t b = static_cast<size_t>(count_);
  const size_t cap = static_cast<size_t>(capacity_);

  // F(u) for fx = -K .. K, fy = uy.
  for (int uy = 0; uy <= k; ++uy) {
    float* dst = uWin_.get() + (uy * cap + b) * uFrame_;
    rows.template fetch<1>(uy, -k, 2 * k + 1, dst, dst + lanesPad_);
  }
  // F(-(u+v)) for t = uy + vy and s = ux + vx at fy = -t, fx = -s. Column col of a flipped row
  // holds s = col - K - D, i.e. fx = K + D - col; only entries inside the spectrum are written,
  // the others stay zero.
  const int colLo = std::max(0, k + d - (half - 1));
  const int colHi = std::min(tRowLen_ - 1, k + d + half);
  for (int tr = 0; tr <= k + 2 * d; ++tr) {
    const int t = tr - d;
    if (t < -(half - 1) || t > half) continue;
    float* dstRe = tWin_.get() + (tr * cap + b) * tFrame_;
    rows.template fetch<-1>(-t, k + d - colLo, colHi - colLo + 1, dstRe + colLo,
                            dstRe + tRowLen_ + colLo);
  }
  // F(v) for fx, fy = -D .. D.
  const int d2 = 2 * d + 1;
  for (int vyi = 0; vyi < d2; ++vyi) {
    float* dst = vWin_.get() + (vyi * cap + b) * vFrame_;
    rows.template fetch<1>(vyi - d, -d, d2, dst, dst + d2);
  }
  if (++count_ == capacity_) flush();
}

void BispectrumBatch::flush() {
  if (count_ == 0) return;
  const detail::BatchKernelArgs args{kmax_,       dkmax_,      width_ / 2, capacity_,
                                     count_,      lanesPad_,   tRowLen_,   uWin_.get(),
                                     tWin_.get(), vWin_.get(), acc_.get()};
  switch (path_) {
    case KernelPath::Avx512:
      detail::accumulateBatchAvx512(args);
      break;
    case KernelPath::Avx2:
      detail::accumulateBatchAvx2(args);
      break;
    default:
      detail::accumulateBatchPortable(args);
      break;
  }
  count_ = 0;
}

void accumulateBispectrumFrames(int width, int kmax, int dkmax, KernelPath path, int capacity,
                                const std::vector<std::vector<float>>& res,
                                const std::vector<std::vector<float>>& ims,
                                std::vector<float>& bispRe, std::vector<float>& bispIm) {
  if (path == KernelPath::Reference) {
    for (size_t f = 0; f < res.size(); ++f) {
      switch (width) {
        case 128:
          accumulateBispectrum<128>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
          break;
        case 256:
          accumulateBispectrum<256>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
          break;
        case 512:
          accumulateBispectrum<512>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
          break;
        default:
          accumulateBispectrum<1024>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
          break;
      }
    }
    return;
  }
  BispectrumBatch batch(width, kmax, dkmax, path, capacity);
  batch.loadSums(bispRe, bispIm);
  for (size_t f = 0; f < res.size(); ++f) batch.add(res[f].data(), ims[f].data());
  batch.storeSums(bispRe, bispIm);
}

}  // namespace korrin
