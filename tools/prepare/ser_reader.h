// SER video files (version 3): the 178-byte header, the frames that follow it and the optional
// trailer of one UTC timestamp per frame. All header fields are little-endian; the samples of
// 9..16-bit recordings are two bytes each, in a byte order that the header's LittleEndian flag is
// meant to give but that capture programs set inconsistently, so it can be decided from the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/prepare/byte_source.h"

namespace korrin::prepare {

inline constexpr int kSerHeaderBytes = 178;

enum class ByteOrder { kAuto, kLittle, kBig };

struct SerHeader {
  std::string fileId;  // "LUCAM-RECORDER"
  int32_t luId = 0;
  int32_t colorId = 0;  // 0 mono, 8..19 Bayer patterns, 100 RGB, 101 BGR
  int32_t littleEndian = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pixelDepth = 0;  // bits per sample, 1..16
  int32_t frameCount = 0;
  std::string observer, instrument, telescope;  // trailing blanks and NULs removed
  int64_t dateTime = 0;                         // local time, 100-ns ticks since 0001-01-01
  int64_t dateTimeUtc = 0;                      // the same in UTC
};

// Decodes the header fields; does not judge them.
SerHeader parseSerHeader(const unsigned char (&bytes)[kSerHeaderBytes]);

// Name of a Bayer pattern's ColorID ("RGGB" ...), empty for other IDs.
std::string bayerPattern(int32_t colorId);

// "YYYY-MM-DDThh:mm:ss.ssssss" for a count of 100-ns ticks since 0001-01-01, or empty when the
// count is 0 or outside the years 1 to 9999.
std::string isoFromTicks(int64_t ticks);

class SerReader {
 public:
  // Reads and checks the header against the source's length: InputError, naming the file, for
  // anything that cannot be a SER recording or holds no complete frame. `order` kAuto decides the
  // byte order of two-byte samples from the first frames.
  SerReader(const ByteSource& source, ByteOrder order);

  const SerHeader& header() const { return header_; }
  int planes() const { return planes_; }  // 3 for RGB and BGR, else 1
  int bytesPerSample() const { return bytesPerSample_; }
  uint64_t frameBytes() const { return frameBytes_; }
  int64_t frames() const { return frames_; }  // complete frames, at most the header's count
  bool hasTrailer() const { return hasTrailer_; }
  bool littleEndian() const { return littleEndian_; }
  // True when kAuto found the two byte orders distinguishable in the data (otherwise the
  // header's flag decided).
  bool orderFromData() const { return orderFromData_; }
  // Largest value a decoded pixel can take (planes summed).
  double maxValue() const;

  // Frame `index` (0-based) as width x height floats, row 0 first, RGB/BGR planes summed.
  // `raw` is the caller's scratch space for the file's bytes. InputError when the read fails.
  void readFrame(int64_t index, std::vector<unsigned char>& raw, float* out) const;
  // The UTC timestamp of frame `index` from the trailer (100-ns ticks), 0 without a trailer.
  int64_t timestamp(int64_t index) const;

 private:
  bool decideLittleEndian();

  const ByteSource& source_;
  SerHeader header_;
  int planes_ = 1;
  int bytesPerSample_ = 1;
  uint64_t frameBytes_ = 0;
  int64_t frames_ = 0;
  bool hasTrailer_ = false;
  bool littleEndian_ = true;
  bool orderFromData_ = false;
};

// Decodes one frame's bytes (samples of `bytesPerSample` bytes, `planes` interleaved per pixel)
// into pixels floats with the planes summed.
void decodeSerSamples(const unsigned char* raw, int64_t pixels, int planes, int bytesPerSample,
                      bool littleEndian, float* out);

}  // namespace korrin::prepare
