// Running the other Korrin programs as child processes, so each behaves exactly as when run by
// hand, with everything it writes kept for the capture's log.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace korrin::night {

// Where the programs korrin-night runs are: beside its own executable (as installed, and in the
// build tree's bin/), else on the PATH.
struct Programs {
  std::string korrin, prepare, inspect, reconstruct;
};
// Throws std::runtime_error naming a program that cannot be found.
Programs findPrograms();

struct StepResult {
  int status = -1;     // the exit status; -1 when the program did not exit normally
  int signal = 0;      // the signal that ended it, 0 when it exited
  std::string output;  // standard output and standard error, interleaved as written
  double seconds = 0;
  // "exit status 1", "killed by signal 9" or "cannot start: REASON"
  std::string how() const;
};

// Runs argv (argv[0] a path) to its end with standard input from /dev/null and both output
// streams into `scratch`, a file that is removed again.
StepResult runStep(const std::vector<std::string>& argv, const std::filesystem::path& scratch);

}  // namespace korrin::night
