// The whole run of one invocation: options, capture scan, thread count, the timed run, the report.
#pragma once

namespace korrin {

// Returns the process exit status.
int runKorrin(int argc, char** argv);

}  // namespace korrin
