// Runs a program (usually the real korrin binary) and captures what it writes and how it ends.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace korrin::test {

struct ProcessResult {
  int exitCode = -1;   // 0..255 when the process exited, -1 otherwise
  int termSignal = 0;  // the signal that ended it, 0 when it exited
  std::string out;     // standard output
  std::string err;     // standard error
};

// argv[0] is the program path and also the invocation name it sees. `cwd` empty: inherit.
// The child gets an empty environment, as korrin must not depend on one.
// `whileRunning`, when given, is called with the child's pid once it has started.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd = "",
                         const std::function<void(pid_t)>& whileRunning = {});

// Path of the korrin binary under test.
std::string korrinBinary();

// runProcess with `binary` as argv[0] followed by args.
ProcessResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd = "");

// runProgram with korrinBinary().
ProcessResult runKorrinBinary(const std::vector<std::string>& args, const std::string& cwd = "");

}  // namespace korrin::test
