// The body of one worker task: loads, masks, transforms and accumulates every frame of its share.
#pragma once

#include <string>
#include <vector>

#include "spectral/bispectrum_batch.h"
#include "spectral/star_annulus.h"

namespace korrin {

template <int Width>
void processFiles(const std::vector<std::string>& files, int kmax, int dkmax, int maskRadius,
                  int maskInterval, std::vector<float>& re, std::vector<float>& im,
                  std::vector<float>& bispRe, std::vector<float>& bispIm, std::vector<float>& power,
                  StarAnnulus& annulus);

// processFiles with the accumulation path chosen by the caller (tests, benchmarks). Every path
// gives the same sums bit for bit; a path the CPU cannot run is replaced by the portable one, and
// limits whose private sums would be too large keep the straightforward bispectrum loop.
template <int Width>
void processFilesOnPath(const std::vector<std::string>& files, int kmax, int dkmax, int maskRadius,
                        int maskInterval, std::vector<float>& re, std::vector<float>& im,
                        std::vector<float>& bispRe, std::vector<float>& bispIm,
                        std::vector<float>& power, StarAnnulus& annulus, KernelPath path);

// The path the first overload uses: Auto, unless the build chose another.
KernelPath defaultKernelPath();

// Keeps the pixels at the ascending targets and sets every other pixel to `fill`, in one pass.
// Targets below 0 each keep one pixel at the start; targets past the end are never reached.
void fillOutsideTargets(float* pixels, int pixelCount, const std::vector<int>& keepOffsets,
                        int centre, float fill);

}  // namespace korrin
