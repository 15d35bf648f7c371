// The body of one worker task: loads, masks, transforms and accumulates every frame of its share.
#pragma once

#include <string>
#include <vector>

#include "spectral/star_annulus.h"

namespace korrin {

template <int Width>
void processFiles(const std::vector<std::string>& files, int kmax, int dkmax, int maskRadius,
                  int maskInterval, std::vector<float>& re, std::vector<float>& im,
                  std::vector<float>& bispRe, std::vector<float>& bispIm, std::vector<float>& power,
                  StarAnnulus& annulus);

// Keeps the pixels at the ascending targets and sets every other pixel to `fill`, in one pass.
// Targets below 0 each keep one pixel at the start; targets past the end are never reached.
void fillOutsideTargets(float* pixels, int pixelCount, const std::vector<int>& keepOffsets,
                        int centre, float fill);

}  // namespace korrin
