#include "tools/prepare/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korrin::prepare {

bool MemoryBytes::read(uint64_t offset, void* out, size_t count) const {
  if (offset > size_ || count > size_ - offset) return false;
  if (count > 0) std::memcpy(out, data_ + offset, count);
  return true;
}

FileBytes::FileBytes(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd_ < 0 || ::fstat(fd_, &status) != 0) {
    const std::string reason = std::strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    throw InputError(path_ + ": cannot open: " + reason);
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(fd_);
    throw InputError(path_ + ": not a regular file");
  }
  size_ = static_cast<uint64_t>(status.st_size);
  // Frames are read front to back: ask for generous read-ahead.
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

FileBytes::~FileBytes() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileBytes::read(uint64_t offset, void* out, size_t count) const {
  auto* bytes = static_cast<unsigned char*>(out);
  while (count > 0) {
    const ssize_t got = ::pread(fd_, bytes, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    offset += static_cast<uint64_t>(got);
    count -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace korrin::prepare
