// What korrin-sim writes besides single frames: frames larger than the simulated window (the
// window sits off centre in a field of sky), SER video files and FITS cubes, so that the
// conversion of real camera recordings can be tried and tested on data with a known answer.
#pragma once

#include <fitsio.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/sim/speckle_sim.h"

namespace korrin {

// One frame's samples in the output type: rounded and clipped to 0..255 or 0..65535 for BITPIX
// 8 and 16 (`clipped` counts the bright pixels cut), unchanged floats for -32.
struct Samples {
  std::vector<unsigned char> bytes;
  std::vector<unsigned short> words;
  std::vector<float> floats;
  long clipped = 0;
};
void quantise(const std::vector<float>& pixels, int bitpix, Samples& out);

// Where the simulated window sits in a frame of frameWidth x frameHeight pixels: right of and
// below the centre (as rows count in the file), so that the star is clearly off centre.
struct FrameGeometry {
  int width = 0;
  int height = 0;
  int x0 = 0;
  int y0 = 0;
};
FrameGeometry placeSimWindow(int window, int frameWidth, int frameHeight);

// The frame: the window's pixels unchanged, every other pixel sky with photon and read noise
// drawn from a random stream of its own, so the window is the same as in a frame of its size.
void embedWindow(const std::vector<float>& window, int size, const FrameGeometry& geometry,
                 const SimParams& params, std::uint64_t index, std::vector<float>& frame);

// Header texts of a SER file.
struct SerText {
  std::string observer, instrument, telescope;
};

// A SER file (version 3) of 8- or 16-bit mono frames, little-endian, with a trailer of one UTC
// timestamp per frame. Frames may be written in any order from any thread.
class SerFileWriter {
 public:
  SerFileWriter(const std::string& path, int width, int height, int bitpix, long frames,
                const SerText& text, std::int64_t startTicks, std::int64_t tickStep);
  ~SerFileWriter();
  SerFileWriter(const SerFileWriter&) = delete;
  SerFileWriter& operator=(const SerFileWriter&) = delete;
  void write(long index, const Samples& samples);
  void finish();  // writes the trailer and closes; std::runtime_error on any write failure

 private:
  void put(const void* bytes, std::size_t count, std::uint64_t offset);
  std::string path_;
  int fd_ = -1;
  std::uint64_t frameBytes_;
  long frames_;
  std::int64_t startTicks_, tickStep_;
};

// A FITS cube of NAXIS3 = frames planes; writes are serialised (one cfitsio handle).
class CubeWriter {
 public:
  CubeWriter(const std::string& path, int width, int height, int bitpix, long frames,
             const std::string& object, const std::string& dateObs);
  ~CubeWriter();
  CubeWriter(const CubeWriter&) = delete;
  CubeWriter& operator=(const CubeWriter&) = delete;
  void write(long index, const Samples& samples);
  void finish();  // std::runtime_error when anything failed

 private:
  std::string path_;
  std::mutex mutex_;
  fitsfile* file_ = nullptr;
  long long planeSize_;
  int status_ = 0;
};

// 100-ns ticks since 0001-01-01 of a UTC date and time.
std::int64_t serTicks(int year, int month, int day, int hour, int minute, int second);

}  // namespace korrin
