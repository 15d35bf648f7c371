#include "tools/prepare/fits_input.h"

#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

namespace korrin::prepare {

std::string cfitsioMessage(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  fits_clear_errmsg();
  return text;
}

FitsInput::FitsInput(const std::string& path) : name_(path) {
  int status = 0;
  // The disk-file variant takes the name literally: no cfitsio file-name syntax.
  if (fits_open_diskfile(&file_, path.c_str(), READONLY, &status) != 0) {
    file_ = nullptr;
    fail("not a readable FITS file", status);
  }
  std::error_code error;
  const auto bytes = std::filesystem::file_size(path, error);
  describe(error ? 0 : static_cast<uint64_t>(bytes));
}

FitsInput::FitsInput(const void* data, size_t size, const std::string& name) : name_(name) {
  // cfitsio's memory driver reads whole 2880-byte blocks and would run past a buffer that ends
  // inside one; a file on disk simply reads short.
  const auto* bytes = static_cast<const unsigned char*>(data);
  padded_.assign(bytes, bytes + size);
  padded_.resize((size + 2879) / 2880 * 2880 + 2880, 0);
  memory_ = padded_.data();
  memorySize_ = padded_.size();
  int status = 0;
  if (fits_open_memfile(&file_, name.c_str(), READONLY, &memory_, &memorySize_, 0, nullptr,
                        &status) != 0) {
    file_ = nullptr;
    fail("not a readable FITS file", status);
  }
  describe(size);
}

FitsInput::~FitsInput() {
  int status = 0;
  if (file_ != nullptr) fits_close_file(file_, &status);
}

void FitsInput::fail(const std::string& what, int status) {
  if (file_ != nullptr) {
    int ignored = 0;
    fits_close_file(file_, &ignored);
    file_ = nullptr;
  }
  throw InputError(name_ + ": " + what + (status != 0 ? " (" + cfitsioMessage(status) + ")" : ""));
}

void FitsInput::describe(uint64_t fileBytes) {
  // Constructors call fail() before their own destructor can run, so failures here close the
  // file themselves.
  int status = 0, naxis = 0;
  LONGLONG axes[9] = {};
  if (fits_get_img_paramll(file_, 9, &bitpix_, &naxis, axes, &status) != 0) {
    fail("not a readable FITS image", status);
  }
  if (naxis < 2) fail("holds no image (NAXIS = " + std::to_string(naxis) + ")", 0);
  if (naxis > 9) fail("has " + std::to_string(naxis) + " axes", 0);
  for (int i = 0; i < naxis; ++i) {
    if (axes[i] <= 0) {
      fail("NAXIS" + std::to_string(i + 1) + " = " + std::to_string(axes[i]) +
               ": an image needs a positive size on every axis",
           0);
    }
  }
  for (int i = 3; i < naxis; ++i) {
    if (axes[i] != 1) fail("has more than three axes of more than one pixel", 0);
  }
  constexpr LONGLONG kMaxSide = std::numeric_limits<int32_t>::max();
  if (axes[0] > kMaxSide || axes[1] > kMaxSide) fail("image larger than 2^31 pixels a side", 0);
  width_ = static_cast<int>(axes[0]);
  height_ = static_cast<int>(axes[1]);
  planes_ = naxis >= 3 ? axes[2] : 1;

  // The data must be there in full: cfitsio would fail halfway through a truncated cube.
  LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
  fits_get_hduaddrll(file_, &headStart, &dataStart, &dataEnd, &status);
  const long double needed =
      static_cast<long double>(dataStart) + std::abs(bitpix_) / 8.0L * axes[0] * axes[1] * planes_;
  if (status != 0 || needed > static_cast<long double>(fileBytes)) {
    // A hostile header can claim more bytes than any integer type holds: such claims are
    // printed in floating-point notation rather than converted.
    char claimed[64];
    std::snprintf(claimed, sizeof claimed, needed < 0x1p63L ? "%.0Lf" : "%.3Le", needed);
    fail(std::string("the header claims ") + claimed +
             " bytes of header and image data, but the file holds " + std::to_string(fileBytes),
         0);
  }

  double bzero = 0, bscale = 1;
  int keyStatus = 0;
  fits_read_key(file_, TDOUBLE, "BZERO", &bzero, nullptr, &keyStatus);
  if (keyStatus != 0) bzero = 0;
  keyStatus = 0;
  fits_read_key(file_, TDOUBLE, "BSCALE", &bscale, nullptr, &keyStatus);
  if (keyStatus != 0) bscale = 1;
  char date[FLEN_VALUE] = {};
  keyStatus = 0;
  if (fits_read_key(file_, TSTRING, "DATE-OBS", date, nullptr, &keyStatus) == 0) dateObs_ = date;
  fits_clear_errmsg();

  // Raw integer range by BITPIX, then the linear scaling cfitsio applies.
  double low = 0, high = 0;
  bool integral = bitpix_ > 0 && bscale == std::floor(bscale) && bzero == std::floor(bzero);
  switch (bitpix_) {
    case 8:
      low = 0, high = 255;
      break;
    case 16:
      low = -32768, high = 32767;
      break;
    case 32:
      low = -2147483648.0, high = 2147483647.0;
      break;
    case 64:
      low = -9.2233720368547758e18, high = 9.2233720368547758e18;
      break;
    default:
      low = -std::numeric_limits<double>::infinity();
      high = std::numeric_limits<double>::infinity();
      integral = false;
  }
  const double a = low * bscale + bzero, b = high * bscale + bzero;
  range_ = {std::min(a, b), std::max(a, b), integral};
  if (std::isnan(range_.low) || std::isnan(range_.high)) {
    range_ = {-INFINITY, INFINITY, false};
  }
}

void FitsInput::readPlane(int64_t index, float* out) {
  if (index < 0 || index >= planes_)
    throw InputError(name_ + ": no plane " + std::to_string(index + 1));
  const LONGLONG count = LONGLONG{width_} * height_;
  int status = 0, anyNull = 0;
  float nullValue = 0;  // 0: no test for undefined pixels; NaNs of float data pass unchanged
  if (fits_read_img(file_, TFLOAT, index * count + 1, count, &nullValue, out, &anyNull, &status) !=
      0) {
    throw InputError(name_ + ": cannot read plane " + std::to_string(index + 1) + " (" +
                     cfitsioMessage(status) + ")");
  }
}

}  // namespace korrin::prepare
