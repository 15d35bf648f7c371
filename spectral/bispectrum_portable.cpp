// The batched kernel with the compiler's generic 4-lane vectors: the baseline instruction set on
// x86-64 (SSE2) and whatever the target offers elsewhere.
#include <cstddef>
#include <cstring>

#include "spectral/bispectrum_kernel.h"

namespace korrin::detail {
namespace {

struct Portable {
  using Vec = float __attribute__((vector_size(16)));
  using Mask = int __attribute__((vector_size(16)));
  static constexpr int kLanes = 4;
  static constexpr int kMaxGroup = 4;

  static Vec load(const float* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static Vec loadu(const float* p) { return load(p); }
  static Vec broadcast(const float* p) { return Vec{*p, *p, *p, *p}; }
  static void storeu(float* p, Vec v) { std::memcpy(p, &v, sizeof v); }
  static Vec loadPart(const float* p, int n) {
    Vec v{};
    std::memcpy(&v, p, sizeof(float) * static_cast<size_t>(n));
    return v;
  }
  static void storePart(float* p, Vec v, int n) {
    std::memcpy(p, &v, sizeof(float) * static_cast<size_t>(n));
  }
  static Vec mul(Vec a, Vec b) { return a * b; }
  static Vec add(Vec a, Vec b) { return a + b; }
  static Vec sub(Vec a, Vec b) { return a - b; }
  static Mask laneMask(int lo, int hi) {
    const Mask lane = {0, 1, 2, 3};
    return (lane >= lo) & (lane <= hi);
  }
  static Vec addMasked(Vec term, Vec sum, Mask m) { return m ? term + sum : sum; }
  // The generic vectors leave register allocation to the compiler.
  static Vec pin(Vec v) { return v; }
};

#include "spectral/bispectrum_kernel.inl"

}  // namespace

void accumulateBatchPortable(const BatchKernelArgs& args) {
  accumulateBatch<Portable>(args);
}

}  // namespace korrin::detail
