// The binary result file: mean power spectrum and bispectrum phases of a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korrin {

struct ResultWrite {
  bool written = false;
  std::string reason;  // why not, from the failing call, when not written
};

// Merges the slots in slot order in double precision (power divided by frameCount in float
// first), turns the bispectrum sums into phases and writes the little-endian file. A file that
// was not written completely is not left behind, and an older result at `path` stays as it was
// (except a file with several hard links: it is rewritten in place, and left empty when that
// fails).
ResultWrite writeResultFile(const std::string& path, int32_t width, int32_t frameCount,
                            int32_t kmax, int32_t dkmax,
                            const std::vector<std::vector<float>>& power,
                            const std::vector<std::vector<float>>& bispRe,
                            const std::vector<std::vector<float>>& bispIm);

// Number of phases in the file: the pairs whose -(u+v) lies inside the width x width spectrum.
int64_t phaseCount(int32_t width, int32_t kmax, int32_t dkmax);

}  // namespace korrin
