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

// The spectrum as the centred W x W arrays hold it: F(fx, fy) at row half + fy, column half + fx.
struct CentredRows {
  const float* re;
  const float* im;
  int width;

  void fetch(int fy, int first, int dir, int count, float* dstRe, float* dstIm) const {
    const int half = width / 2;
    const size_t at = static_cast<size_t>(half + fy) * width + (half + first);
    const float* r = re + at;
    const float* i = im + at;
    for (int n = 0; n < count; ++n) {
      dstRe[n] = r[dir * n];
      dstIm[n] = i[dir * n];
    }
  }
};

// The transform's half spectrum (interleaved re, im; W rows of W/2 + 1), scaled on the way:
// fx >= 0 and fx = -W/2 come from row fy, the other negative fx from row -fy conjugated, as the
// engine's spread places them.
struct HalfSpectrumRows {
  const float* spectrum;
  int width;
  float scale;

  void fetch(int fy, int first, int dir, int count, float* dstRe, float* dstIm) const {
    const int half = width / 2;
    const size_t rowFloats = 2 * static_cast<size_t>(half + 1);
    const float* direct = spectrum + static_cast<size_t>(fy & (width - 1)) * rowFloats;
    const float* mirror = spectrum + static_cast<size_t>(-fy & (width - 1)) * rowFloats;
    // fx runs monotonically, so each source is one range of n (no branch per value).
    const int nonNegLo = dir > 0 ? std::clamp(-first, 0, count) : 0;
    const int nonNegHi = dir > 0 ? count : std::clamp(first + 1, 0, count);
    for (int n = nonNegLo; n < nonNegHi; ++n) {
      const int fx = first + dir * n;
      dstRe[n] = direct[2 * fx] * scale;
      dstIm[n] = direct[2 * fx + 1] * scale;
    }
    int negLo = dir > 0 ? 0 : nonNegHi;
    int negHi = dir > 0 ? nonNegLo : count;
    // fx = -W/2, the most negative frequency, can only be the first or last of that range.
    const int nHalf = dir > 0 ? -half - first : first + half;
    if (negLo < negHi && (nHalf == negLo || nHalf == negHi - 1)) {
      dstRe[nHalf] = direct[2 * half] * scale;
      dstIm[nHalf] = direct[2 * half + 1] * scale;
      if (nHalf == negLo) {
        ++negLo;
      } else {
        --negHi;
      }
    }
    for (int n = negLo; n < negHi; ++n) {
      const int m = -(first + dir * n);
      dstRe[n] = mirror[2 * m] * scale;
      dstIm[n] = -(mirror[2 * m + 1] * scale);
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
    rows.fetch(uy, -k, 1, 2 * k + 1, dst, dst + lanesPad_);
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
    rows.fetch(-t, k + d - colLo, -1, colHi - colLo + 1, dstRe + colLo, dstRe + tRowLen_ + colLo);
  }
  // F(v) for fx, fy = -D .. D.
  const int d2 = 2 * d + 1;
  for (int vyi = 0; vyi < d2; ++vyi) {
    float* dst = vWin_.get() + (vyi * cap + b) * vFrame_;
    rows.fetch(vyi - d, -d, 1, d2, dst, dst + d2);
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
