// Writing square images: 32-bit float FITS for analysis, 16-bit grey PNG for a quick look.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korrin {

// A header keyword for the FITS file; numbers are written as doubles.
struct FitsKeyword {
  std::string name;
  double value = 0;
  std::string comment;
};

// Row 0 of `pixels` becomes the first row of the file, which FITS viewers show at the bottom.
// Each `history` line becomes HISTORY cards (long lines continue on further cards). Replaces an
// existing file. Returns an empty string on success, else what went wrong.
std::string writeFloatFits(const std::string& path, int width, const std::vector<float>& pixels,
                           const std::vector<FitsKeyword>& keywords = {},
                           const std::vector<std::string>& history = {});

// Written with row 0 as the bottom row of the picture, so the PNG looks the way the FITS file of
// the same image does in a FITS viewer. Returns an empty string on success, else what went wrong.
std::string writeGreyPng16(const std::string& path, int width, const std::vector<uint16_t>& pixels);

}  // namespace korrin
