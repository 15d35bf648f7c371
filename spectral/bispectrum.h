// Per-frame accumulation of the power spectrum and the bispectrum into one worker's sums.
//
// The arithmetic is fixed operation by operation in 32-bit float; these straightforward loops are
// the reference every optimised kernel is tested against bit for bit.
#pragma once

#include <cstdint>
#include <vector>

namespace korrin {

// Elements of one bispectrum accumulator: (2K+1)(K+1)(2D+1)^2, in 64-bit so it cannot wrap.
inline int64_t bispectrumSize(int kmax, int dkmax) {
  const int64_t k = kmax;
  const int64_t d = dkmax;
  return (2 * k + 1) * (k + 1) * (2 * d + 1) * (2 * d + 1);
}

// Accumulator index of the pair u = (ux, uy), v = (vx, vy): vx fastest, then vy, ux, uy.
inline int64_t bispectrumIndex(int kmax, int dkmax, int ux, int uy, int vx, int vy) {
  const int64_t k2 = 2 * int64_t{kmax} + 1;
  const int64_t d2 = 2 * int64_t{dkmax} + 1;
  return ((k2 * uy + (ux + kmax)) * d2 + (vy + dkmax)) * d2 + (vx + dkmax);
}

// re, im *= 1/(W*W) in float.
template <int W>
void scaleSpectrum(std::vector<float>& re, std::vector<float>& im);

// power[i] = power[i] + (re[i]*re[i] + im[i]*im[i]).
void accumulatePower(const std::vector<float>& re, const std::vector<float>& im,
                     std::vector<float>& power);

// Adds B(u, v) = F(u) F(v) F(-(u+v)) for |ux| <= K, 0 <= uy <= K, |vx|, |vy| <= D, skipping pairs
// whose -(u+v) lies outside the W x W centred spectrum. Nothing is accumulated for K < 0 or D < 0,
// nor when K or D exceed W/2 - 1 or a vector is smaller than its layout needs (the caller's duty).
template <int W>
void accumulateBispectrum(int kmax, int dkmax, const std::vector<float>& re,
                          const std::vector<float>& im, std::vector<float>& bispRe,
                          std::vector<float>& bispIm);

// accumulateBispectrum for each frame's centred, normalised spectrum in turn, for a width known
// only at run time (tests, benchmarks): 128, 256, 512 or 1024.
void accumulateBispectrumFrames(int width, int kmax, int dkmax,
                                const std::vector<std::vector<float>>& res,
                                const std::vector<std::vector<float>>& ims,
                                std::vector<float>& bispRe, std::vector<float>& bispIm);

// The frame step after the transform: scale, add power, add bispectrum.
template <int W>
void accumulateFrame(int kmax, int dkmax, std::vector<float>& re, std::vector<float>& im,
                     std::vector<float>& power, std::vector<float>& bispRe,
                     std::vector<float>& bispIm) {
  scaleSpectrum<W>(re, im);
  accumulatePower(re, im, power);
  accumulateBispectrum<W>(kmax, dkmax, re, im, bispRe, bispIm);
}

}  // namespace korrin
