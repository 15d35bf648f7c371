// FITS images and cubes read with cfitsio, from a file or from memory: the geometry, the
// BZERO/BSCALE scaling (cfitsio applies it to every BITPIX, 32 and -64 included) and one plane at
// a time as floats, so a cube of any length is read in constant memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <fitsio.h>

#include "tools/prepare/byte_source.h"

namespace korrin::prepare {

// cfitsio's text for a status code; clears its message stack.
std::string cfitsioMessage(int status);

// The values a pixel can take after scaling, to choose the output sample type.
struct SampleRange {
  double low = 0;
  double high = 0;
  bool integral = true;  // whole numbers only
};

class FitsInput {
 public:
  // InputError, naming the file, for anything that is not a readable image of at least two axes
  // whose data the file holds in full.
  explicit FitsInput(const std::string& path);
  FitsInput(const void* data, size_t size, const std::string& name);
  ~FitsInput();
  FitsInput(const FitsInput&) = delete;
  FitsInput& operator=(const FitsInput&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  int64_t planes() const { return planes_; }  // 1 for a single image; NAXIS3 for a cube
  int bitpix() const { return bitpix_; }
  const SampleRange& range() const { return range_; }
  const std::string& dateObs() const { return dateObs_; }  // empty when absent

  // Plane `index` (0-based) as width x height floats in file order, scaled.
  void readPlane(int64_t index, float* out);

 private:
  void describe(uint64_t fileBytes);
  [[noreturn]] void fail(const std::string& what, int status);

  std::string name_;
  fitsfile* file_ = nullptr;
  std::vector<unsigned char> padded_;  // a memory file's bytes, filled to whole FITS blocks
  void* memory_ = nullptr;             // cfitsio keeps pointers to these two
  size_t memorySize_ = 0;
  int width_ = 0;
  int height_ = 0;
  int64_t planes_ = 1;
  int bitpix_ = 0;
  SampleRange range_;
  std::string dateObs_;
};

}  // namespace korrin::prepare
