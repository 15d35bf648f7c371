// The run driver called in this process on an explicit frame list, so that the order of the frames
// (which no directory listing fixes) is the test's own. Link korrin_run.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/calc_krn.h"

namespace korrin::test {

struct DriverRun {
  int status = 0;
  std::string out;  // standard output, captured at the descriptor, so workers may write at once
  std::string err;
};

inline DriverRun runDriver(const std::vector<std::string>& files, int threads, int kmax, int dkmax,
                           const std::string& result, int maskRadius = 0) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = calcKRN(files, threads, kmax, dkmax, maskRadius, 10, result);
  std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
}

}  // namespace korrin::test
