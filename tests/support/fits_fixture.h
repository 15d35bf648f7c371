// FITS fixtures: well-formed files written by cfitsio (the field's reference writer). Malformed
// files are assembled card by card with the builders of tests/hostile/hostile_corpus.h.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace korrin::test {

enum class SampleType {
  U8,   // BITPIX 8
  I16,  // BITPIX 16, signed, no BZERO
  U16,  // BITPIX 16 with BZERO 32768 (cfitsio's unsigned 16-bit convention)
  F32,  // BITPIX -32
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

}  // namespace korrin::test
