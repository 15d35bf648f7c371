// The whole run of one invocation: options, capture scan, thread count, the timed run, the report.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <system_error>
#include <vector>

namespace korrin {

// Returns the process exit status.
int runKorrin(int argc, char** argv);

// What the run sequence takes from its surroundings; runKorrin(argc, argv) uses the console, the
// system and calcKRN. Tests substitute their own.
struct RunEnvironment {
  using Driver =
      std::function<int(const std::vector<std::string>& files, int nthreads, int kmax, int dkmax,
                        int maskRadius, int maskInterval, std::string outPath)>;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  unsigned hardwareThreads = 0;  // 0: the system cannot tell
  std::function<std::filesystem::path(std::error_code&)> currentDirectory;
  Driver driver;
};

int runKorrin(int argc, const char* const* argv, const RunEnvironment& environment);

// t from nprocs and the hardware thread count: at most the hardware, at most the frames, and
// never below 1, which the run driver needs.
int threadCount(int nprocs, int hardwareThreads, int frameCount);

// The report line after the run, the seconds in the stream's default floating-point format.
std::string timingLine(int frameCount, int threads, double seconds);

}  // namespace korrin
