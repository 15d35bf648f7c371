// The batched kernel with 16-lane AVX-512 vectors; only called after a CPU feature check.
#include <immintrin.h>

#include <cstddef>

#include "spectral/bispectrum_kernel.h"

#pragma GCC push_options
#pragma GCC target("avx512f")

namespace korrin::detail {
namespace {

struct Avx512 {
  using Vec = __m512;
  using Mask = __mmask16;
  static constexpr int kLanes = 16;
  // 16 sums, two F(u) vectors and the temporaries fit the 32 registers.
  static constexpr int kMaxGroup = 8;

  static Vec load(const float* p) { return _mm512_load_ps(p); }
  static Vec loadu(const float* p) { return _mm512_loadu_ps(p); }
  static Vec broadcast(const float* p) { return _mm512_set1_ps(*p); }
  static void storeu(float* p, Vec v) { _mm512_storeu_ps(p, v); }
  static Vec loadPart(const float* p, int n) { return _mm512_maskz_loadu_ps(firstLanes(n), p); }
  static void storePart(float* p, Vec v, int n) { _mm512_mask_storeu_ps(p, firstLanes(n), v); }
  static Mask firstLanes(int n) { return static_cast<Mask>((1u << n) - 1u); }
  static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
  static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
  static Vec sub(Vec a, Vec b) { return _mm512_sub_ps(a, b); }
  static Mask laneMask(int lo, int hi) {
    if (lo > kLanes - 1 || hi < 0) return 0;
    if (lo < 0) lo = 0;
    if (hi > kLanes - 1) hi = kLanes - 1;
    const unsigned upTo = (1u << (hi + 1)) - 1u;
    const unsigned below = (1u << lo) - 1u;
    return static_cast<Mask>(upTo & ~below);
  }
  // Lanes off keep their sum untouched, exactly like a skipped term.
  static Vec addMasked(Vec term, Vec sum, Mask m) { return _mm512_mask_add_ps(sum, m, term, sum); }
  static Vec pin(Vec v) {
    asm("" : "+v"(v));
    return v;
  }
};

#include "spectral/bispectrum_kernel.inl"

}  // namespace

void accumulateBatchAvx512(const BatchKernelArgs& args) {
  accumulateBatch<Avx512>(args);
}

}  // namespace korrin::detail

#pragma GCC pop_options
