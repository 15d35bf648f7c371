#include "tests/fits/stderr_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace korrin::test {

StderrCapture::StderrCapture() {
  char name[] = "/tmp/korrin-stderr-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path_ = name;
  std::fflush(stderr);
  savedFd_ = dup(2);
  dup2(fd, 2);
  close(fd);
}

StderrCapture::~StderrCapture() {
  finish();
}

std::string StderrCapture::finish() {
  if (savedFd_ >= 0) {
    std::fflush(stderr);
    dup2(savedFd_, 2);
    close(savedFd_);
    savedFd_ = -1;
    text_ = readBytes(path_);
    std::remove(path_.c_str());
  }
  return text_;
}

}  // namespace korrin::test
