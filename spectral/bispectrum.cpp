#include "spectral/bispectrum.h"

#include <cstddef>

namespace korrin {

template <int W>
void scaleSpectrum(std::vector<float>& re, std::vector<float>& im) {
  // A power of two, so the scaled spectrum is exact unless it leaves the normal range.
  constexpr float s = 1.0f / static_cast<float>(W * W);
  for (std::size_t i = 0; i < std::size_t{W} * W; ++i) {
    re[i] = re[i] * s;
    im[i] = im[i] * s;
  }
}

void accumulatePower(const std::vector<float>& re, const std::vector<float>& im,
                     std::vector<float>& power) {
  for (std::size_t i = 0; i < power.size(); ++i) {
    power[i] = power[i] + (re[i] * re[i] + im[i] * im[i]);
  }
}

template <int W>
void accumulateBispectrum(int kmax, int dkmax, const std::vector<float>& re,
                          const std::vector<float>& im, std::vector<float>& bispRe,
                          std::vector<float>& bispIm) {
  constexpr int half = W / 2;
  if (kmax < 0) return;
  // The run driver keeps K and D within the spectrum; this only guards against reading outside
  // re and im or writing outside the sums if a caller does not.
  if (kmax > half - 1 || dkmax > half - 1) return;
  if (re.size() < std::size_t{W} * W || im.size() < std::size_t{W} * W) return;
  if (dkmax >= 0) {
    const int64_t size = bispectrumSize(kmax, dkmax);
    if (static_cast<int64_t>(bispRe.size()) < size || static_cast<int64_t>(bispIm.size()) < size) {
      return;
    }
  }

  const int64_t k2 = 2 * int64_t{kmax} + 1;
  const int64_t d2 = 2 * int64_t{dkmax} + 1;
  const float* const fRe = re.data();
  const float* const fIm = im.data();
  float* const sumRe = bispRe.data();
  float* const sumIm = bispIm.data();

  for (int ux = -kmax; ux <= kmax; ++ux) {
    for (int uy = 0; uy <= kmax; ++uy) {
      const int uIndex = (half + uy) * W + (half + ux);
      const float uRe = fRe[uIndex];
      const float uIm = fIm[uIndex];
      const int64_t uBase = (k2 * uy + (ux + kmax)) * d2;
      for (int vx = -dkmax; vx <= dkmax; ++vx) {
        // Column of -(u + v); it does not change with vy.
        const int cx = half - (ux + vx);
        if (cx < 0 || cx > W - 1) continue;
        for (int vy = -dkmax; vy <= dkmax; ++vy) {
          const int cy = half - (uy + vy);
          if (cy < 0 || cy > W - 1) continue;
          const int vIndex = (half + vy) * W + (half + vx);
          const int tIndex = cy * W + cx;
          const float vRe = fRe[vIndex];
          const float vIm = fIm[vIndex];
          const float tRe = fRe[tIndex];
          const float tIm = fIm[tIndex];

          const float pr = uRe * vRe - uIm * vIm;
          const float pi = uRe * vIm + uIm * vRe;
          const float br = tRe * pr - tIm * pi;
          const float bi = tIm * pr + tRe * pi;

          const int64_t index = (uBase + (vy + dkmax)) * d2 + (vx + dkmax);
          sumRe[index] = br + sumRe[index];
          sumIm[index] = bi + sumIm[index];
        }
      }
    }
  }
}

void accumulateBispectrumFrames(int width, int kmax, int dkmax,
                                const std::vector<std::vector<float>>& res,
                                const std::vector<std::vector<float>>& ims,
                                std::vector<float>& bispRe, std::vector<float>& bispIm) {
  for (std::size_t f = 0; f < res.size(); ++f) {
    switch (width) {
      case 128:
        accumulateBispectrum<128>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
        break;
      case 256:
        accumulateBispectrum<256>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
        break;
      case 512:
        accumulateBispectrum<512>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
        break;
      default:
        accumulateBispectrum<1024>(kmax, dkmax, res[f], ims[f], bispRe, bispIm);
        break;
    }
  }
}

template void scaleSpectrum<128>(std::vector<float>&, std::vector<float>&);
template void scaleSpectrum<256>(std::vector<float>&, std::vector<float>&);
template void scaleSpectrum<512>(std::vector<float>&, std::vector<float>&);
template void scaleSpectrum<1024>(std::vector<float>&, std::vector<float>&);

template void accumulateBispectrum<128>(int, int, const std::vector<float>&,
                                        const std::vector<float>&, std::vector<float>&,
                                        std::vector<float>&);
template void accumulateBispectrum<256>(int, int, const std::vector<float>&,
                                        const std::vector<float>&, std::vector<float>&,
                                        std::vector<float>&);
template void accumulateBispectrum<512>(int, int, const std::vector<float>&,
                                        const std::vector<float>&, std::vector<float>&,
                                        std::vector<float>&);
template void accumulateBispectrum<1024>(int, int, const std::vector<float>&,
                                         const std::vector<float>&, std::vector<float>&,
                                         std::vector<float>&);

}  // namespace korrin
