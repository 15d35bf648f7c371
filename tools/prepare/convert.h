// One conversion: inputs in, a capture directory of square FITS frames out.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/prepare/ser_reader.h"

namespace korrin::prepare {

struct ConvertOptions {
  std::vector<std::string> inputs;
  std::string out;
  int size = 0;                              // 0: 256 when the frames allow it, else 128
  std::optional<std::pair<int, int>> fixed;  // window centre (column, row)
  std::string dark;
  int64_t first = 1;   // 1-based over all inputs' frames
  int64_t count = -1;  // -1: all
  int64_t every = 1;
  ByteOrder byteOrder = ByteOrder::kAuto;
  std::string prefix;     // empty: the first input's base name
  bool progress = false;  // progress lines even when standard error is not a terminal
  int threads = 0;        // 0: one per hardware thread, at most 8
};

// Returns the exit status; what it did goes to `out`, progress to standard error. Bad inputs
// and failures throw InputError (nothing is then left in the capture directory).
int convert(const ConvertOptions& options, std::ostream& out);

}  // namespace korrin::prepare
