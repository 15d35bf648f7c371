// Random access to the bytes of one input: a file read with pread, or a block of memory (the
// fuzz targets and tests). Readers take their bytes only through this, so they make no
// assumption about where the bytes live, and a file is never mapped or read whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace korrin::prepare {

// A bad input or a failed read; the text names the file and says what is wrong.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual const std::string& name() const = 0;
  virtual uint64_t size() const = 0;
  // Exactly `count` bytes from `offset`; false when the source ends before them or cannot be read.
  virtual bool read(uint64_t offset, void* out, size_t count) const = 0;
};

class MemoryBytes final : public ByteSource {
 public:
  MemoryBytes(const void* data, size_t size, std::string name)
      : data_(static_cast<const unsigned char*>(data)), size_(size), name_(std::move(name)) {}
  const std::string& name() const override { return name_; }
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t count) const override;

 private:
  const unsigned char* data_;
  size_t size_;
  std::string name_;
};

// pread is safe to call from several threads on one descriptor, so one FileBytes serves them all.
class FileBytes final : public ByteSource {
 public:
  explicit FileBytes(std::string path);  // InputError when the file cannot be opened
  ~FileBytes() override;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  const std::string& name() const override { return path_; }
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t count) const override;

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace korrin::prepare
