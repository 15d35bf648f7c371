// Bispectrum phases: the double-precision arc tangent of the summed bispectrum, rounded to float.
#pragma once

#include <cstddef>

namespace korrin {

// out[i] = (float) std::atan2(y[i], x[i]) for i < n, bit for bit, for every input (zeros,
// infinities and NaNs included).
//
// Millions of library arc tangents are a noticeable part of a run; most of them are replaced
// by a vectorised approximation whose error is far below half a float ulp, accepted only where
// every double within its error bound rounds to the same float (so the library's own result,
// which lies within that bound, does too). The few others, and every special input, go to
// std::atan2.
void phasesOf(const double* y, const double* x, float* out, size_t n);

}  // namespace korrin
