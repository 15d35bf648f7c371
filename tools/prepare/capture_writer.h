// The output capture: frames are written into a temporary directory beside the capture directory
// and renamed into place only when all of them are there, so a failed or interrupted conversion
// never leaves half a capture, and two captures are never mixed.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korrin::prepare {

// A header card of an output frame: text or integer value.
struct Card {
  std::string name;
  std::string text;
  long long number = 0;
  bool isText = true;
  std::string comment;
};

// Sample type of the output frames: 8 (0..255), 16 (0..65535, BZERO 32768) or -32.
int outputBitpix(double low, double high, bool integral);

class CaptureWriter {
 public:
  // The directory must not exist or be empty (InputError otherwise); missing parents are
  // created. Makes the temporary directory and arranges for SIGINT, SIGTERM and SIGHUP to stop
  // the conversion (see interrupted()) instead of killing the process.
  explicit CaptureWriter(std::filesystem::path directory);
  ~CaptureWriter();  // removes the temporary directory unless committed
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  // Writes one size x size frame into the temporary directory with cfitsio. Thread-safe; `scratch`
  // is the calling thread's buffer for integer samples.
  void write(const std::string& name, const float* pixels, int size, int bitpix,
             const std::vector<Card>& cards, std::vector<unsigned char>& scratch) const;
  // Moves the frames into place (InputError when that fails; the temporary directory goes).
  void commit();

  // The signal that asked the conversion to stop, 0 while none has.
  static int interrupted();

 private:
  std::filesystem::path directory_;
  std::filesystem::path staging_;
  bool committed_ = false;
};

}  // namespace korrin::prepare
