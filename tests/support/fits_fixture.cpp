#include "tests/support/fits_fixture.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace korrin::test {

namespace {

void check(int status, const char* what) {
  if (status != 0) {
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    throw std::runtime_error(std::string("cfitsio ") + what + ": " + text);
  }
}

}  // namespace

void writeFitsImage(const std::string& path, int width, int height, SampleType type,
                    const std::vector<float>& pixels,
                    const std::vector<std::pair<std::string, FitsKeyValue>>& keys) {
  if (pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) {
    throw std::invalid_argument("pixel count does not match the geometry");
  }
  std::remove(path.c_str());
  fitsfile* file = nullptr;
  int status = 0;
  // A leading '!' would ask cfitsio to overwrite; the file was removed above instead.
  fits_create_file(&file, path.c_str(), &status);
  // In the order of SampleType.
  constexpr int kBitpix[] = {BYTE_IMG, SHORT_IMG, USHORT_IMG, FLOAT_IMG};
  long axes[2] = {width, height};
  fits_create_img(file, kBitpix[static_cast<int>(type)], 2, axes, &status);
  for (auto [name, value] : keys) {
    if (auto* number = std::get_if<double>(&value)) {
      fits_update_key(file, TDOUBLE, name.c_str(), number, nullptr, &status);
    } else {
      fits_update_key(file, TSTRING, name.c_str(), std::get<std::string>(value).data(), nullptr,
                      &status);
    }
  }
  fits_write_img(file, TFLOAT, 1, static_cast<LONGLONG>(pixels.size()),
                 const_cast<float*>(pixels.data()), &status);
  fits_close_file(file, &status);
  check(status, path.c_str());
}

void writeConstantFits(const std::string& path, int width, float value, SampleType type) {
  writeFitsImage(path, width, width, type,
                 std::vector<float>(static_cast<size_t>(width) * width, value));
}

FitsImage readFitsImage(const std::string& path) {
  FitsImage image;
  fitsfile* file = nullptr;
  int status = 0, naxis = 0;
  long axes[2] = {0, 0};
  fits_open_diskfile(&file, path.c_str(), READONLY, &status);
  fits_get_img_param(file, 2, &image.bitpix, &naxis, axes, &status);
  EXPECT_EQ(naxis, 2) << path;
  image.width = axes[0];
  image.height = axes[1];
  for (auto [key, value] :
       {std::pair{"BZERO", &image.bzero}, {"CRPIX1", &image.crpix1}, {"CRPIX2", &image.crpix2}}) {
    int keyStatus = 0;
    fits_read_key(file, TDOUBLE, key, value, nullptr, &keyStatus);
  }
  image.pixels.resize(static_cast<size_t>(axes[0] * axes[1]));
  int anyNull = 0;
  fits_read_img(file, TDOUBLE, 1, static_cast<LONGLONG>(image.pixels.size()), nullptr,
                image.pixels.data(), &anyNull, &status);
  int closeStatus = 0;
  fits_close_file(file, &closeStatus);
  EXPECT_EQ(status, 0) << path;
  return image;
}

}  // namespace korrin::test
