// Batched bispectrum accumulation: the same sums as accumulateBispectrum, bit for bit, at a
// fraction of the cost.
//
// Frames are gathered in small windows (only the part of each spectrum the bispectrum reads) and
// added B at a time in one pass over the sums, so the large sums travel through memory once per
// batch instead of once per frame. Every element still receives frame 1's term, then frame 2's,
// ..., with the same operations in the same order as the reference loop, and the terms the
// reference skips (-(u+v) outside the spectrum) are skipped lane by lane, never added as a
// computed zero (which would turn into NaN next to an infinite value).
//
// The pass walks the sums in the order of its vectors, not the reference's. While a batch holds
// the caller's sums it keeps them in that order, in place: they are reordered when attached and
// put back when detached. So the extra memory is the windows and a little scratch, whatever
// kmax and dkmax are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korrin {

// Which implementation accumulates: the straightforward loops, or the batched kernel for an
// instruction set. Auto picks the widest one the running CPU supports.
enum class KernelPath { Auto, Reference, Portable, Avx2, Avx512 };

// True when the running CPU can execute the path (Auto, Reference and Portable always).
bool kernelPathSupported(KernelPath path);

// Auto resolved to the concrete batched path for this CPU; any other value is returned as is.
KernelPath resolveKernelPath(KernelPath path);

const char* kernelPathName(KernelPath path);

namespace detail {
struct AlignedFree {
  void operator()(float* p) const;
};
using AlignedFloats = std::unique_ptr<float[], AlignedFree>;
}  // namespace detail

class BispectrumBatch {
 public:
  static constexpr int kMaxFrames = 32;
  // Windows and scratch stay below this for any limits a run accepts (at most 2^31 - 1 sums), so
  // a worker needs little more memory than the straightforward loop, which needs none.
  static constexpr int64_t kMaxExtraBytes = int64_t{30} << 20;

  // Extra bytes a batch of these limits allocates (windows and scratch); capacity as for the
  // constructor.
  static int64_t extraBytes(int kmax, int dkmax, int capacity = 0);
  // Whether the batched kernel takes these limits: K and D within the spectrum.
  static bool accepts(int width, int kmax, int dkmax);

  // path must be Portable, Avx2, Avx512 or Auto (resolved here); capacity 1..kMaxFrames, or 0 for
  // as many frames as the allowance holds. All buffers are allocated here, none per frame.
  BispectrumBatch(int width, int kmax, int dkmax, KernelPath path, int capacity = 0);
  // Puts attached sums back in order (without the frames still pending).
  ~BispectrumBatch();

  BispectrumBatch(const BispectrumBatch&) = delete;
  BispectrumBatch& operator=(const BispectrumBatch&) = delete;

  // The sums the frames are added to, (2K+1)(K+1)(2D+1)^2 elements each, in the reference's
  // layout. Until detachSums they belong to the batch and hold its own order. Call before the
  // first frame.
  void attachSums(std::vector<float>& bispRe, std::vector<float>& bispIm);
  // Adds any pending frames and puts the sums back in the reference's layout.
  void detachSums();

  // Queues one centred, normalised spectrum (W*W floats each); flushes when the batch is full.
  void add(const float* re, const float* im);
  // The same as add for the spectrum given as the transform's half spectrum (interleaved re, im,
  // W rows of W/2 + 1), not yet scaled: the window entries are scaled by 1/(W*W) and mirrored
  // (conjugated) exactly as the centred arrays would have them, so the centred arrays need not
  // be written at all.
  void addHalfSpectrum(const float* spectrum);
  // Adds the queued frames to the attached sums.
  void flush();

  int capacity() const { return capacity_; }
  int pending() const { return count_; }
  KernelPath path() const { return path_; }

 private:
  // Copies one frame's windows from a spectrum reader (Rows::fetch gives F(fx, fy) for a run
  // of fx in one row) into the next free batch place.
  template <class Rows>
  void addWindows(const Rows& rows);
  // Reorders the attached sums into the kernel's order, or back.
  void reorder(bool toKernel);

  int width_;
  int kmax_;
  int dkmax_;
  int capacity_;
  int count_ = 0;
  KernelPath path_;
  int lanesPad_;   // ux extent 2K+1 rounded up to whole vectors of every path
  int tRowLen_;    // columns of a flipped F(-(u+v)) window row
  size_t uFrame_;  // floats per frame and row of each window
  size_t tFrame_;
  size_t vFrame_;
  std::vector<float>* sumRe_ = nullptr;
  std::vector<float>* sumIm_ = nullptr;
  detail::AlignedFloats uWin_;
  detail::AlignedFloats tWin_;
  detail::AlignedFloats vWin_;
  detail::AlignedFloats scratch_;  // for reordering: 2D+1 sums and a chunk of 16 times as many
  std::vector<bool> moved_;
};

}  // namespace korrin
