// Independent reader of result files for tests: parses the documented layout byte by byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korrin::test {

struct ResultContents {
  int32_t width = 0;
  std::vector<double> power;  // in file order: column by column
  double powerChecksum = 0;
  int32_t kmax = 0;
  int32_t dkmax = 0;
  std::vector<float> phases;  // in file order
  double phaseChecksum = 0;

  // Mean power at frequency (fx, fy), fx, fy in [-W/2, W/2 - 1].
  double powerAt(int fx, int fy) const {
    return power[static_cast<size_t>(fx + width / 2) * width + (fy + width / 2)];
  }
};

// Two runs over the same frames agree to rounding: in another process FFTW's measuring planner may
// pick another algorithm, which rounds differently, so results of separate runs are compared with
// a tolerance rather than bit for bit. Power: within 1e-5 of the largest value; phases: at most
// 1 % of them more than 0.01 rad apart (phases of near-zero sums are pure rounding).
bool resultsAgree(const ResultContents& a, const ResultContents& b);

// Parses a result file; nullopt when it is too short for its header or ends inside a phase.
// Whether the phases are complete shows in their checksum (the last value).
std::optional<ResultContents> readResult(const std::string& path);

}  // namespace korrin::test
