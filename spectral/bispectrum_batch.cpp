#include "spectral/bispectrum_batch.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "spectral/bispectrum.h"
#include "spectral/bispectrum_kernel.h"

namespace korrin {

namespace {

// Whole vectors of the widest path, so one window layout serves every path.
constexpr int kLaneMultiple = 16;
static_assert(kLaneMultiple % detail::kChunk == 0, "F(u) rows of whole chunks");

struct Geometry {
  int lanesPad;
  int tRowLen;
  int64_t uFrame;  // floats of one frame's row, re and im
  int64_t tFrame;
  int64_t vFrame;
  int64_t uRows;
  int64_t tRows;
  int64_t vRows;
  int64_t blocks;         // runs of 2D+1 sums per uy: (2K+1)(2D+1)
  int64_t scratchFloats;  // one run, and one chunk of runs

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
    blocks = (2 * int64_t{kmax} + 1) * d2;
    scratchFloats = (1 + detail::kChunk) * d2;
  }
  int64_t windowBytesPerFrame() const {
    return (uRows * uFrame + tRows * tFrame + vRows * vFrame) * int64_t{sizeof(float)};
  }
  int64_t scratchBytes() const { return scratchFloats * int64_t{sizeof(float)} + blocks / 8 + 1; }
};

// As many frames as the allowance holds, up to kMaxFrames: the sums then travel through memory
// once per kMaxFrames frames up to large limits (K = 120, D = 20 keeps 32), and a step's window
// rows (a few hundred kilobytes at most then) stay in the core's own cache.
int autoCapacity(const Geometry& g) {
  const int64_t budget = BispectrumBatch::kMaxExtraBytes - g.scratchBytes();
  return static_cast<int>(
      std::clamp<int64_t>(budget / g.windowBytesPerFrame(), 1, BispectrumBatch::kMaxFrames));
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

int64_t BispectrumBatch::extraBytes(int kmax, int dkmax, int capacity) {
  const Geometry g(kmax, dkmax);
  if (capacity <= 0) capacity = autoCapacity(g);
  return capacity * g.windowBytesPerFrame() + g.scratchBytes();
}

bool BispectrumBatch::accepts(int width, int kmax, int dkmax) {
  const int limit = width / 2 - 1;
  return kmax >= 0 && kmax <= limit && dkmax >= 0 && dkmax <= limit;
}

BispectrumBatch::BispectrumBatch(int width, int kmax, int dkmax, KernelPath path, int capacity)
    : width_(width), kmax_(kmax), dkmax_(dkmax), path_(resolveKernelPath(path)) {
  if (!accepts(width, kmax, dkmax)) {
    throw std::invalid_argument("bispectrum limits outside the spectrum");
  }
  if (path_ == KernelPath::Reference || !kernelPathSupported(path_)) {
    throw std::invalid_argument("kernel path not available for batches");
  }
  const Geometry g(kmax, dkmax);
  capacity_ = capacity <= 0 ? autoCapacity(g) : std::min(capacity, kMaxFrames);
  lanesPad_ = g.lanesPad;
  tRowLen_ = g.tRowLen;
  uFrame_ = static_cast<size_t>(g.uFrame);
  tFrame_ = static_cast<size_t>(g.tFrame);
  vFrame_ = static_cast<size_t>(g.vFrame);
  // Window entries outside the spectrum and the lanes past 2K+1 stay zero for good; the kernel
  // never adds their terms.
  uWin_ = allocateZeroed(g.uRows * capacity_ * g.uFrame);
  tWin_ = allocateZeroed(g.tRows * capacity_ * g.tFrame);
  vWin_ = allocateZeroed(g.vRows * capacity_ * g.vFrame);
  // Allocated now, so that putting the sums back can never fail.
  scratch_ = allocateZeroed(g.scratchFloats);
  moved_.reserve(static_cast<size_t>(g.blocks));
}

BispectrumBatch::~BispectrumBatch() {
  if (sumRe_ != nullptr) reorder(false);
}

namespace {

// Transposes, in place, a rows x cols matrix of blocks of blockFloats floats: the block at
// (r, c) moves to (c, r). Each cycle of the permutation is followed once through one block of
// scratch; moved marks the positions done and must have room for rows * cols flags.
void transposeBlocks(float* base, size_t rows, size_t cols, size_t blockFloats, float* scratch,
                     std::vector<bool>& moved) {
  const size_t count = rows * cols;
  const size_t bytes = blockFloats * sizeof(float);
  // The block at position i of the result, (i / rows, i % rows), was at (i % rows, i / rows).
  const auto source = [&](size_t i) { return i % rows * cols + i / rows; };
  moved.assign(count, false);
  for (size_t start = 0; start < count; ++start) {
    if (moved[start]) continue;
    moved[start] = true;
    size_t at = start;
    size_t from = source(start);
    if (from == start) continue;
    std::memcpy(scratch, base + start * blockFloats, bytes);
    for (; from != start; at = from, from = source(at)) {
      std::memcpy(base + at * blockFloats, base + from * blockFloats, bytes);
      moved[from] = true;
    }
    std::memcpy(base + at * blockFloats, scratch, bytes);
  }
}

}  // namespace

void BispectrumBatch::reorder(bool toKernel) {
  // Per uy the reference holds [x][vy][vx], the kernel [vy][x / C][vx][x % C] with a narrower
  // last chunk (see bispectrum_kernel.h). The runs of 2D+1 sums [vx] are transposed from
  // [x][vy] to [vy][x] as blocks, then each chunk of runs [x % C][vx] to [vx][x % C]: in place
  // but for one chunk, so the scratch stays small however large the sums are.
  constexpr size_t C = detail::kChunk;
  const size_t d2 = 2 * static_cast<size_t>(dkmax_) + 1;
  const size_t k2 = 2 * static_cast<size_t>(kmax_) + 1;
  float* block = scratch_.get();
  float* chunk = block + d2;
  for (std::vector<float>* sums : {sumRe_, sumIm_}) {
    for (size_t uy = 0; uy <= static_cast<size_t>(kmax_); ++uy) {
      float* slab = sums->data() + uy * k2 * d2 * d2;
      // Zeros read the same in either order: a run's fresh sums need no work.
      if (std::all_of(slab, slab + k2 * d2 * d2,
                      [](float v) { return std::bit_cast<uint32_t>(v) == 0u; })) {
        continue;
      }
      if (toKernel) transposeBlocks(slab, k2, d2, d2, block, moved_);
      for (size_t vy = 0; vy < d2; ++vy) {
        for (size_t x0 = 0; x0 < k2; x0 += C) {
          const size_t width = std::min(C, k2 - x0);
          float* runs = slab + (vy * k2 + x0) * d2;
          std::memcpy(chunk, runs, width * d2 * sizeof(float));
          for (size_t vx = 0; vx < d2; ++vx) {
            for (size_t l = 0; l < width; ++l) {
              if (toKernel) {
                runs[vx * width + l] = chunk[l * d2 + vx];
              } else {
                runs[l * d2 + vx] = chunk[vx * width + l];
              }
            }
          }
        }
      }
      if (!toKernel) transposeBlocks(slab, d2, k2, d2, block, moved_);
    }
  }
}

void BispectrumBatch::attachSums(std::vector<float>& bispRe, std::vector<float>& bispIm) {
  const auto size = static_cast<size_t>(bispectrumSize(kmax_, dkmax_));
  if (bispRe.size() < size || bispIm.size() < size || sumRe_ != nullptr) {
    throw std::invalid_argument("bispectrum sums smaller than the limits need, or attached twice");
  }
  sumRe_ = &bispRe;
  sumIm_ = &bispIm;
  reorder(true);
}

void BispectrumBatch::detachSums() {
  flush();
  if (sumRe_ != nullptr) reorder(false);
  sumRe_ = nullptr;
  sumIm_ = nullptr;
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
  if (sumRe_ == nullptr) throw std::logic_error("bispectrum batch flushed without sums");
  const detail::BatchKernelArgs args{kmax_,       dkmax_,      width_ / 2,     capacity_,
                                     count_,      lanesPad_,   tRowLen_,       uWin_.get(),
                                     tWin_.get(), vWin_.get(), sumRe_->data(), sumIm_->data()};
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

}  // namespace korrin
