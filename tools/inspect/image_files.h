// Writing square images: 32-bit float FITS for analysis, 16-bit grey PNG for a quick look.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

// A header keyword for the FITS file: a number, written as a double, or with `text` set a string.
struct FitsKeyword {
  std::string name;
  double value = 0;
  std::string comment;
  std::string text;
};

// The ORIGIN card of every image a companion program writes. korrin reads any FITS file in a
// capture directory as a frame; this card lets the pre-flight check tell such an image from a
// frame whatever its name.
inline bool isKorrinImageOrigin(std::string_view origin) {
  return origin.rfind("korrin-inspect", 0) == 0 || origin.rfind("korrin-reconstruct", 0) == 0;
}

// Empty when a FITS image may be written to `path`; else why not, in one sentence: its directory
// holds frames korrin would read (FITS files not written by a companion program), and korrin
// would read the image as one of them on the next run.
std::string fitsBesideFrames(const std::string& path);

// Row 0 of `pixels` becomes the first row of the file, which FITS viewers show at the bottom.
// The header gets ORIGIN = `origin` and DATE (now, UTC) before the given keywords. Each `history`
// line becomes HISTORY cards (long lines continue on further cards). Replaces an existing file.
// Returns an empty string on success, else what went wrong.
std::string writeFloatFits(const std::string& path, const std::string& origin, int width,
                           const std::vector<float>& pixels,
                           const std::vector<FitsKeyword>& keywords = {},
                           const std::vector<std::string>& history = {});

// Written with row 0 as the bottom row of the picture, so the PNG looks the way the FITS file of
// the same image does in a FITS viewer. Returns an empty string on success, else what went wrong.
std::string writeGreyPng16(const std::string& path, int width, const std::vector<uint16_t>& pixels);

}  // namespace korrin
