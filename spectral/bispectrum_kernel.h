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
//   acc: [uy][vy+D][x/kAccLanes][vx+D][re|im][x%kAccLanes]  the private sums, in the order the
//                                                       kernel visits them
inline constexpr int kAccLanes = 16;

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
  float* acc;
};

void accumulateBatchPortable(const BatchKernelArgs& args);
void accumulateBatchAvx2(const BatchKernelArgs& args);
void accumulateBatchAvx512(const BatchKernelArgs& args);

}  // namespace korrin::detail
