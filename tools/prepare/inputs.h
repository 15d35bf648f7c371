// The inputs of one conversion, whatever their kind: SER recordings, FITS cubes, single FITS
// images and directories of those, each seen as a numbered run of frames of one size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/prepare/fits_input.h"
#include "tools/prepare/ser_reader.h"

namespace korrin::prepare {

// What an output frame's header says about where it came from.
struct FrameTags {
  std::string dateObs;      // ISO time, empty when unknown
  std::string dateComment;  // what the time stands for
  std::string instrument, telescope, observer;
};

// Reads frames of one source; one per thread.
class FrameReader {
 public:
  virtual ~FrameReader() = default;
  // Frame `index` (0-based) as width x height floats, row 0 first.
  virtual void read(int64_t index, float* out, FrameTags& tags) = 0;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  const std::string& path() const { return path_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int64_t frames() const { return frames_; }
  const SampleRange& range() const { return range_; }
  // One line describing the source, then notes the user should see (byte order, Bayer data,
  // a short recording).
  const std::vector<std::string>& lines() const { return lines_; }
  virtual std::unique_ptr<FrameReader> open() const = 0;

 protected:
  std::string path_;
  int width_ = 0;
  int height_ = 0;
  int64_t frames_ = 0;
  SampleRange range_;
  std::vector<std::string> lines_;
};

// Opens one file, telling SER from FITS by its first bytes (InputError otherwise).
std::unique_ptr<FrameSource> openSource(const std::string& path, ByteOrder order);

// The arguments in the order given, a directory standing for its .ser, .fit, .fits and .fts
// files sorted by name. InputError for anything that cannot be read.
std::vector<std::unique_ptr<FrameSource>> openInputs(const std::vector<std::string>& arguments,
                                                     ByteOrder order);

}  // namespace korrin::prepare
