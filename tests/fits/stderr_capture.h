// Captures what the code under test writes to file descriptor 2 (the reader reports through
// stdio's stderr, so an ostream redirect would miss it).
#pragma once

#include <string>

namespace korrin::test {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores standard error (once) and returns everything written since construction.
  std::string finish();

 private:
  int savedFd_ = -1;
  std::string path_;
  std::string text_;
};

}  // namespace korrin::test
