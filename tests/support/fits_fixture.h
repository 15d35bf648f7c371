// FITS fixtures: well-formed files written and read by cfitsio (the field's reference). Malformed
// files are assembled card by card with the builders of tests/hostile/hostile_corpus.h.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace korrin::test {

enum class SampleType {
  U8,   // BITPIX 8
  I16,  // BITPIX 16, signed, no BZERO
  U16,  // BITPIX 16 with BZERO 32768 (cfitsio's unsigned 16-bit convention)
  F32,  // BITPIX -32
};

// Writes a width x height primary image with cfitsio, with numeric keywords; pixels are
// row-major, row 0 first, and are converted to the sample type by cfitsio (rounding for integer
// types). Throws on failure.
using FitsKeyValue = std::variant<double, std::string>;
void writeFitsImage(const std::string& path, int width, int height, SampleType type,
                    const std::vector<float>& pixels,
                    const std::vector<std::pair<std::string, FitsKeyValue>>& keys = {});

// Convenience: a constant frame.
void writeConstantFits(const std::string& path, int width, float value,
                       SampleType type = SampleType::F32);

// A two-dimensional primary image as cfitsio reads it (failed expectations when it cannot).
struct FitsImage {
  int bitpix = 0;
  long width = 0, height = 0;
  double bzero = 0, crpix1 = 0, crpix2 = 0;  // 0 when absent
  std::vector<double> pixels;                // physical values (BZERO applied), row 0 first
  double at(long x, long y) const { return pixels[static_cast<size_t>(y * width + x)]; }
};
FitsImage readFitsImage(const std::string& path);

}  // namespace korrin::test
