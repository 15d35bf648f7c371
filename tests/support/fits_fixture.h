// FITS fixtures: well-formed files written by cfitsio (the field's reference writer) and raw
// card-by-card builders for malformed ones.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace korrin::test {

enum class SampleType {
  U8,          // BITPIX 8
  I16,         // BITPIX 16, signed, no BZERO
  U16,         // BITPIX 16 with BZERO 32768 (cfitsio's unsigned 16-bit convention)
  F32,         // BITPIX -32
};

// One header keyword: name and value text as it should appear (strings quoted by cfitsio).
struct FitsKey {
  std::string name;
  std::string value;
  bool isString = false;
};

// Writes a width x height primary image with cfitsio; pixels are row-major, row 0 first, and are
// converted to the sample type by cfitsio (rounding for integer types). Throws on failure.
void writeFitsImage(const std::string& path, int width, int height, SampleType type,
                    const std::vector<float>& pixels, const std::vector<FitsKey>& keys = {});

// Convenience: a constant frame.
void writeConstantFits(const std::string& path, int width, float value,
                       SampleType type = SampleType::F32);

// One 80-byte card: text padded with blanks (or cut) to 80 characters.
std::string fitsCard(const std::string& text);
// "NAME    = value" card, value right-aligned in columns 11-30 as FITS writers do.
std::string fitsValueCard(const std::string& name, const std::string& value);
// The cards, an END card and blank cards up to the next multiple of 2880 bytes.
std::string fitsHeaderBlock(const std::vector<std::string>& cards);
// Big-endian samples of a BITPIX 16 image.
std::string bigEndian16(const std::vector<int>& samples);
// Pads bytes with `fill` to the next multiple of 2880.
std::string padToBlock(std::string bytes, char fill = '\0');

}  // namespace korrin::test
