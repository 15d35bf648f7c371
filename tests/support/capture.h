// A capture for the real program: a scratch capture directory, korrin run on it with small
// bispectrum limits, and the result read back. The result goes into a directory of its own, so
// that anything else a run leaves behind (a temporary file) shows.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/result_reader.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace korrin::test {

class Capture {
 public:
  Capture();

  const std::filesystem::path& dir() const { return dir_; }
  const std::string& resultPath() const { return result_; }
  // Writes the capture's file `name` and returns its path.
  std::string add(const std::string& name, const std::string& bytes) const;
  // --dir, --out, --kmax=16, --dkmax=3 and --nprocs=1, then `more` (a repeated key wins).
  std::vector<std::string> args(const std::vector<std::string>& more = {}) const;
  ProcessResult run(const std::vector<std::string>& more = {}) const {
    return runKorrinBinary(args(more));
  }
  // The result, when the output directory holds the complete result file (length and both
  // checksums right) and nothing else; empty when it holds nothing; a failed expectation else.
  std::optional<ResultContents> result() const;

 private:
  TempDir tmp_;
  std::filesystem::path dir_;
  std::filesystem::path outDir_;
  std::string result_;
};

// True when `line` is one whole line of `text`.
bool hasLine(const std::string& text, const std::string& line);

}  // namespace korrin::test
