// Images derived from a result: the mean power spectrum, its autocorrelation, and their 16-bit
// log-stretched display versions. All images are width x width, row-major, with the zero
// frequency or zero lag at row width/2, column width/2.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/inspect/result_reader.h"

namespace korrin {

std::vector<float> powerSpectrumImage(const ResultData& result);

// The mean over frames of the frame's autocovariance: at lag (lx, ly) the mean over pixels of
// (I(x, y) - m) * (I(x + lx, y + ly) - m), m the frame mean, taken cyclically over the frame.
std::vector<float> autocorrelationImage(const ResultData& result);

// Log stretches for looking at the images; they pick their own levels from the image.
std::vector<uint16_t> powerSpectrumDisplay(int width, const std::vector<float>& power);
std::vector<uint16_t> autocorrelationDisplay(int width, const std::vector<float>& autocorrelation);

}  // namespace korrin
