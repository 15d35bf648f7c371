// The binary result file: mean power spectrum and bispectrum phases of a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korrin {

// Merges the slots in slot order in double precision (power divided by frameCount in float
// first), turns the bispectrum sums into phases and writes the little-endian file. Reports
// nothing: a file that cannot be created is simply not there.
void writeResultFile(const std::string& path, int32_t width, int32_t frameCount, int32_t kmax,
                     int32_t dkmax, const std::vector<std::vector<float>>& power,
                     const std::vector<std::vector<float>>& bispRe,
                     const std::vector<std::vector<float>>& bispIm);

// Number of phases in the file: the pairs whose -(u+v) lies inside the width x width spectrum.
int64_t phaseCount(int32_t width, int32_t kmax, int32_t dkmax);

}  // namespace korrin
