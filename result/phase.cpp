#include "result/phase.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORRIN_PHASE_WIDE_VECTORS 1
#endif

namespace korrin {
namespace detail {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kQuarterPi = 0.7853981633974483;
constexpr double kTanEighthPi = 0.41421356237309503;

// atan(s) = s * (1 - s^2/3 + s^4/5 - ...). For |s| <= tan(pi/8), s^2 <= 0.1716 and the terms
// left out are below 2^-56 of the value.
constexpr int kTerms = 20;
constexpr double kSeries[kTerms] = {1.0,       -1.0 / 3,  1.0 / 5,   -1.0 / 7,  1.0 / 9,
                                    -1.0 / 11, 1.0 / 13,  -1.0 / 15, 1.0 / 17,  -1.0 / 19,
                                    1.0 / 21,  -1.0 / 23, 1.0 / 25,  -1.0 / 27, 1.0 / 29,
                                    -1.0 / 31, 1.0 / 33,  -1.0 / 35, 1.0 / 37,  -1.0 / 39};

// The candidate is within a few double ulps (below 2^-48 relative) of the true arc tangent, as
// is the library's. Both therefore lie within 2^-40 of the candidate's magnitude, and where the
// two ends of that interval round to the same float, so does every double inside it.
// ok[i] = 0 marks the values the caller must take from std::atan2: zeros, infinities, NaNs,
// ratios so small that the value nears the subnormal range, and the rare values this close to
// the midpoint between two floats.
//
// Written once and compiled into a copy per instruction set below; which copy runs does not
// change a result (see phasesOf).
#if defined(KORRIN_PHASE_WIDE_VECTORS)
__attribute__((always_inline))
#endif
inline void
candidateLoop(const double* y, const double* x, float* out, unsigned char* ok, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const double ax = std::fabs(x[i]);
    const double ay = std::fabs(y[i]);
    const double big = ax > ay ? ax : ay;
    const double small = ax > ay ? ay : ax;
    // atan(t) for t = small / big in [0, 1]; above tan(pi/8) through
    // atan(t) = pi/4 + atan((t - 1) / (t + 1)), which keeps the series argument small.
    // Both sides of every choice are computed and one is selected, which keeps the loop free
    // of branches (the compiler may not move floating-point operations into a branch).
    const bool upper = small > kTanEighthPi * big;
    const double below = small - big;
    const double above = small + big;
    const double s = (upper ? below : small) / (upper ? above : big);
    const double z = s * s;
    double p = kSeries[kTerms - 1];
#pragma GCC unroll 32
    for (int k = kTerms - 2; k >= 0; --k) p = p * z + kSeries[k];
    const double sp = s * p;
    const double shifted = sp + kQuarterPi;
    double a = upper ? shifted : sp;
    const double fromHalf = kHalfPi - a;
    a = ay > ax ? fromHalf : a;
    const double fromPi = kPi - a;
    a = x[i] < 0.0 ? fromPi : a;
    a = std::copysign(a, y[i]);
    const double margin = std::fabs(a) * 0x1p-40;
    const auto low = static_cast<float>(a - margin);
    const auto high = static_cast<float>(a + margin);
    out[i] = low;
    // Bitwise and, so the loop has no branch and vectorises.
    const int usable = static_cast<int>(small > 0.0) & static_cast<int>(big <= DBL_MAX) &
                       static_cast<int>(small >= big * 0x1p-500) & static_cast<int>(low == high);
    ok[i] = static_cast<unsigned char>(usable);
  }
}

#if defined(KORRIN_PHASE_WIDE_VECTORS)
// Chosen by a run-time test of the CPU rather than by the linker's resolver functions, which run
// before the thread sanitizer's runtime is ready.
__attribute__((target("avx512f"))) void candidatesAvx512(const double* y, const double* x,
                                                         float* out, unsigned char* ok, size_t n) {
  candidateLoop(y, x, out, ok, n);
}

__attribute__((target("avx2"))) void candidatesAvx2(const double* y, const double* x, float* out,
                                                    unsigned char* ok, size_t n) {
  candidateLoop(y, x, out, ok, n);
}
#endif

void candidatesBaseline(const double* y, const double* x, float* out, unsigned char* ok, size_t n) {
  candidateLoop(y, x, out, ok, n);
}

}  // namespace

void phaseCandidates(const double* y, const double* x, float* out, unsigned char* ok, size_t n) {
  using Loop = void (*)(const double*, const double*, float*, unsigned char*, size_t);
  static const Loop loop = [] {
#if defined(KORRIN_PHASE_WIDE_VECTORS)
    if (__builtin_cpu_supports("avx512f")) return &candidatesAvx512;
    if (__builtin_cpu_supports("avx2")) return &candidatesAvx2;
#endif
    return &candidatesBaseline;
  }();
  loop(y, x, out, ok, n);
}

}  // namespace detail

void phasesOf(const double* y, const double* x, float* out, size_t n) {
  constexpr size_t kBlock = 512;
  unsigned char ok[kBlock];
  for (size_t at = 0; at < n; at += kBlock) {
    const size_t m = std::min(kBlock, n - at);
    detail::phaseCandidates(y + at, x + at, out + at, ok, m);
    for (size_t i = 0; i < m; ++i) {
      if (ok[i] == 0) out[at + i] = static_cast<float>(std::atan2(y[at + i], x[at + i]));
    }
  }
}

}  // namespace korrin
