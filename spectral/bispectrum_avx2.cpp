// The batched kernel with 8-lane AVX2 vectors; only called after a CPU feature check.
#include <immintrin.h>

#include <cstddef>

#include "spectral/bispectrum_kernel.h"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace korrin::detail {
namespace {

struct Avx2 {
  using Vec = __m256;
  using Mask = __m256;
  static constexpr int kLanes = 8;
  // 16 registers: eight sums, two F(u) vectors and the temporaries of one term.
  static constexpr int kMaxGroup = 4;

  static Vec load(const float* p) { return _mm256_load_ps(p); }
  static Vec loadu(const float* p) { return _mm256_loadu_ps(p); }
  static Vec broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  static void storeu(float* p, Vec v) { _mm256_storeu_ps(p, v); }
  // Lanes off are neither read nor written, so a part at the end of the sums stays inside them.
  static Vec loadPart(const float* p, int n) { return _mm256_maskload_ps(p, firstLanes(n)); }
  static void storePart(float* p, Vec v, int n) { _mm256_maskstore_ps(p, firstLanes(n), v); }
  static __m256i firstLanes(int n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
  static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
  static Vec sub(Vec a, Vec b) { return _mm256_sub_ps(a, b); }
  static Mask laneMask(int lo, int hi) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i atLeastLo = _mm256_cmpgt_epi32(lane, _mm256_set1_epi32(lo - 1));
    const __m256i atMostHi = _mm256_cmpgt_epi32(_mm256_set1_epi32(hi + 1), lane);
    return _mm256_castsi256_ps(_mm256_and_si256(atLeastLo, atMostHi));
  }
  // The blend picks the old sum in lanes that are off, so their term is never added.
  static Vec addMasked(Vec term, Vec sum, Mask m) {
    return _mm256_blendv_ps(sum, _mm256_add_ps(term, sum), m);
  }
  static Vec pin(Vec v) {
    asm("" : "+x"(v));
    return v;
  }
};

#include "spectral/bispectrum_kernel.inl"

}  // namespace

void accumulateBatchAvx2(const BatchKernelArgs& args) {
  accumulateBatch<Avx2>(args);
}

}  // namespace korrin::detail

#pragma GCC pop_options
