// Internal interface between the batch bookkeeping and the per-instruction-set kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korrin::detail {

// Window layouts (all floats, rows of a frame stored re then im):
//   u: [uy 0..K][frame][re|im][x 0..lanesPad-1]        F(u) with ux = x - K, zero past 2K+1
//   t: [uy+vy+D][frame][re|im][col 0..tRowLen-1]        F(-(u+v)) with ux+vx = col - K - D,
//                                                       flipped so it runs forward in ux
//   v: [vy+D][frame][re|im][vx+D]                       F(v)
// The sums, each of the caller's two vectors in the order the kernel visits it:
//   [uy][vy+D][x / kChunk][vx+D][x % kChunk], x = ux + K,
// the last chunk of a (uy, vy) row only as wide as the x left ((2K+1) mod kChunk, unless 0), so
// that the sums keep exactly the reference's size.
inline constexpr int kChunk = 16;

struct BatchKernelArgs {
  int kmax;
  int dkmax;
  int half;      // W/2
  int capacity;  // frames a window row has room for
  int frames;    // frames queued, 1..capacity
  int lanesPad;
  int tRowLen;
  const float* u;
  const float* t;
  const float* v;
  float* sumRe;
  float* sumIm;
};

void accumulateBatchPortable(const BatchKernelArgs& args);
void accumulateBatchAvx2(const BatchKernelArgs& args);
void accumulateBatchAvx512(const BatchKernelArgs& args);

}  // namespace korrin::detail
