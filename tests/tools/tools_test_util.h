// Helpers shared by the companion tools' tests: the tools as programs, their truth files and the
// FITS images they write, read back with cfitsio.
#pragma once

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace korrin::test {

inline ProcessResult runTool(const std::string& binary, std::vector<std::string> args) {
  args.insert(args.begin(), binary);
  return runProcess(args);
}

// The number after "key": in a JSON file; NaN when absent.
inline double jsonNumber(const std::string& json, const std::string& key) {
  const std::string tag = "\"" + key + "\": ";
  const std::size_t at = json.find(tag);
  return at == std::string::npos ? NAN : std::strtod(json.c_str() + at + tag.size(), nullptr);
}

struct FitsImage {
  int bitpix = 0;
  long width = 0, height = 0;
  double bzero = 0, crpix1 = 0, crpix2 = 0;  // 0 when absent
  std::vector<double> pixels;                // physical values (BZERO applied), row 0 first
  double at(long x, long y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

inline FitsImage readFitsImage(const std::string& path) {
  FitsImage image;
  fitsfile* file = nullptr;
  int status = 0, naxis = 0;
  long axes[2] = {0, 0};
  fits_open_diskfile(&file, path.c_str(), READONLY, &status);
  fits_get_img_param(file, 2, &image.bitpix, &naxis, axes, &status);
  EXPECT_EQ(naxis, 2);
  image.width = axes[0];
  image.height = axes[1];
  for (auto [key, value] :
       {std::pair{"BZERO", &image.bzero}, {"CRPIX1", &image.crpix1}, {"CRPIX2", &image.crpix2}}) {
    int keyStatus = 0;
    fits_read_key(file, TDOUBLE, key, value, nullptr, &keyStatus);
  }
  image.pixels.resize(static_cast<std::size_t>(axes[0] * axes[1]));
  int anyNull = 0;
  fits_read_img(file, TDOUBLE, 1, static_cast<LONGLONG>(image.pixels.size()), nullptr,
                image.pixels.data(), &anyNull, &status);
  int closeStatus = 0;
  fits_close_file(file, &closeStatus);
  EXPECT_EQ(status, 0) << path;
  return image;
}

}  // namespace korrin::test
