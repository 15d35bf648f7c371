// The batched bispectrum kernel, written once over a vector type V and included by each
// instruction-set file inside its target region (so nothing here may instantiate library code).
//
// V supplies: Vec, Mask, kLanes, kMaxGroup, load (aligned), loadu, loadPart(p, n) and
// storePart(p, vec, n) (the first n lanes only, nothing touched beyond them), broadcast,
// storeu, mul, add, sub, laneMask(lo, hi) (lanes lo..hi on), addMasked(term, sum, mask) and
// pin(vec) (keeps a loaded vector in a register; may do nothing).
//
// For each vector of sums (consecutive ux, fixed uy, vy, vx) the frames of the batch are added
// one after the other while the sums stay in registers; a group of vx shares the F(u) loads. The
// per-lane arithmetic is the reference's, operation by operation.

namespace {

using korrin::detail::BatchKernelArgs;
using korrin::detail::kChunk;

// One group of G consecutive vx for one vector of x. The sums of vx + g lie at sumRe + g * stride
// (and sumIm likewise), lanes of them valid: fewer than a vector only in a row's last chunk.
template <class V, int G, bool Masked>
void runGroup(const BatchKernelArgs& a, const float* uRow, const float* tRow, const float* vRow,
              float* sumRe, float* sumIm, ptrdiff_t stride, int lanes,
              const typename V::Mask* masks) {
  using Vec = typename V::Vec;
  const int lanesPad = a.lanesPad;
  const int tRowLen = a.tRowLen;
  const int d2 = 2 * a.dkmax + 1;
  const ptrdiff_t uStride = 2 * ptrdiff_t{lanesPad};
  const ptrdiff_t tStride = 2 * ptrdiff_t{tRowLen};
  const ptrdiff_t vStride = 2 * ptrdiff_t{d2};
  const bool whole = lanes == V::kLanes;

  // The sums are walked in address order, one group after the other; asking for the next
  // group's lines now hides their trip from memory behind this group's arithmetic.
  // (By address: past the last group these lines lie beyond the sums, which a prefetch may touch
  // but a pointer may not.)
  const uintptr_t nextRe = reinterpret_cast<uintptr_t>(sumRe + G * stride);
  const uintptr_t nextIm = reinterpret_cast<uintptr_t>(sumIm + G * stride);
#pragma GCC unroll 16
  for (int i = 0; i <= G; ++i) {
    __builtin_prefetch(reinterpret_cast<const void*>(nextRe + i * 64u), 1, 3);
    __builtin_prefetch(reinterpret_cast<const void*>(nextIm + i * 64u), 1, 3);
  }

  Vec accRe[G];
  Vec accIm[G];
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) {
    accRe[g] = whole ? V::loadu(sumRe + g * stride) : V::loadPart(sumRe + g * stride, lanes);
    accIm[g] = whole ? V::loadu(sumIm + g * stride) : V::loadPart(sumIm + g * stride, lanes);
  }
  // One pointer per stream keeps every address a base plus a constant, so the loop needs no
  // more general registers than x86-64 has.
  const float* uRe = uRow;
  const float* uIm = uRow + lanesPad;
  const float* tRe = tRow;
  const float* tIm = tRow + tRowLen;
  const float* vRe = vRow;
  const float* vIm = vRow + d2;
  for (int b = a.frames; b > 0; --b) {
    const Vec fuRe = V::load(uRe);
    const Vec fuIm = V::load(uIm);
#pragma GCC unroll 16
    for (int g = 0; g < G; ++g) {
      const Vec fvRe = V::broadcast(vRe + g);
      const Vec fvIm = V::broadcast(vIm + g);
      // Each unaligned load feeds two multiplies; folded into both it would be issued twice.
      const Vec ftRe = V::pin(V::loadu(tRe + g));
      const Vec ftIm = V::pin(V::loadu(tIm + g));
      const Vec pr = V::sub(V::mul(fuRe, fvRe), V::mul(fuIm, fvIm));
      const Vec pi = V::add(V::mul(fuRe, fvIm), V::mul(fuIm, fvRe));
      const Vec br = V::sub(V::mul(ftRe, pr), V::mul(ftIm, pi));
      const Vec bi = V::add(V::mul(ftIm, pr), V::mul(ftRe, pi));
      if constexpr (Masked) {
        accRe[g] = V::addMasked(br, accRe[g], masks[g]);
        accIm[g] = V::addMasked(bi, accIm[g], masks[g]);
      } else {
        accRe[g] = V::add(br, accRe[g]);
        accIm[g] = V::add(bi, accIm[g]);
      }
    }
    uRe += uStride;
    uIm += uStride;
    tRe += tStride;
    tIm += tStride;
    vRe += vStride;
    vIm += vStride;
  }
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) {
    if (whole) {
      V::storeu(sumRe + g * stride, accRe[g]);
      V::storeu(sumIm + g * stride, accIm[g]);
    } else {
      V::storePart(sumRe + g * stride, accRe[g], lanes);
      V::storePart(sumIm + g * stride, accIm[g], lanes);
    }
  }
}

template <class V, bool Masked, int G = V::kMaxGroup>
void dispatchGroup(int size, const BatchKernelArgs& a, const float* uRow, const float* tRow,
                   const float* vRow, float* sumRe, float* sumIm, ptrdiff_t stride, int lanes,
                   const typename V::Mask* masks) {
  if constexpr (G >= 1) {
    if (size == G) {
      runGroup<V, G, Masked>(a, uRow, tRow, vRow, sumRe, sumIm, stride, lanes, masks);
    } else {
      dispatchGroup<V, Masked, G - 1>(size, a, uRow, tRow, vRow, sumRe, sumIm, stride, lanes,
                                      masks);
    }
  }
}

template <class V>
void accumulateBatch(const BatchKernelArgs& a) {
  constexpr int L = V::kLanes;
  static_assert(kChunk % L == 0, "whole vectors per chunk");
  const int k = a.kmax;
  const int d2 = 2 * a.dkmax + 1;
  const int half = a.half;
  const int k2 = 2 * k + 1;
  const ptrdiff_t lanesPad = a.lanesPad;
  const ptrdiff_t cap = a.capacity;
  const ptrdiff_t rowFloats = ptrdiff_t{k2} * d2;

  typename V::Mask masks[V::kMaxGroup];
  for (int uy = 0; uy <= k; ++uy) {
    const float* uRow0 = a.u + uy * cap * 2 * lanesPad;
    for (int vyi = 0; vyi < d2; ++vyi) {
      // Row of -(u+v) is half - (uy + vy); the reference skips the whole row outside the array.
      const int t = uy + vyi - a.dkmax;
      if (t < -(half - 1) || t > half) continue;
      const float* tRow0 = a.t + ptrdiff_t{uy + vyi} * cap * 2 * a.tRowLen;
      const float* vRow0 = a.v + vyi * cap * 2 * d2;
      const ptrdiff_t row = (ptrdiff_t{uy} * d2 + vyi) * rowFloats;
      for (int x0 = 0; x0 < k2; x0 += L) {
        // The chunk holding x0: its width is the stride between the sums of consecutive vx.
        const int chunk = x0 / kChunk * kChunk;
        const int width = k2 - chunk < kChunk ? k2 - chunk : kChunk;
        const int lanes = width - (x0 - chunk) < L ? width - (x0 - chunk) : L;
        const ptrdiff_t chunkAt = row + ptrdiff_t{chunk} * d2 + (x0 - chunk);
        for (int g0 = 0; g0 < d2; g0 += V::kMaxGroup) {
          const int size = d2 - g0 < V::kMaxGroup ? d2 - g0 : V::kMaxGroup;
          // Lane l holds ux = x0 + l - K; with vx = vxi - D the column of -(u+v) is
          // half - (ux + vx), inside the array for -(half-1) <= ux + vx <= half.
          bool full = true;
          bool any = false;
          for (int g = 0; g < size; ++g) {
            const int vx = g0 + g - a.dkmax;
            const int lo = -(half - 1) + k - vx - x0;
            const int hi = half + k - vx - x0;
            full = full && lo <= 0 && hi >= L - 1;
            any = any || (lo <= L - 1 && hi >= 0);
            masks[g] = V::laneMask(lo, hi);
          }
          if (!any) continue;
          const float* uRow = uRow0 + x0;
          const float* tRow = tRow0 + x0 + g0;
          const float* vRow = vRow0 + g0;
          const ptrdiff_t at = chunkAt + ptrdiff_t{g0} * width;
          if (full) {
            dispatchGroup<V, false>(size, a, uRow, tRow, vRow, a.sumRe + at, a.sumIm + at, width,
                                    lanes, masks);
          } else {
            dispatchGroup<V, true>(size, a, uRow, tRow, vRow, a.sumRe + at, a.sumIm + at, width,
                                   lanes, masks);
          }
        }
      }
    }
  }
}

}  // namespace
