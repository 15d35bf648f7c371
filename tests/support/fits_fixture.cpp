#include "tests/support/fits_fixture.h"

#include <fitsio.h>

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
                    const std::vector<float>& pixels, const std::vector<FitsKey>& keys) {
  if (pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) {
    throw std::invalid_argument("pixel count does not match the geometry");
  }
  std::remove(path.c_str());
  fitsfile* file = nullptr;
  int status = 0;
  // A leading '!' would ask cfitsio to overwrite; the file was removed above instead.
  fits_create_file(&file, path.c_str(), &status);
  check(status, "create");
  int bitpix = FLOAT_IMG;
  switch (type) {
    case SampleType::U8: bitpix = BYTE_IMG; break;
    case SampleType::I16: bitpix = SHORT_IMG; break;
    case SampleType::U16: bitpix = USHORT_IMG; break;
    case SampleType::F32: bitpix = FLOAT_IMG; break;
  }
  long axes[2] = {width, height};
  fits_create_img(file, bitpix, 2, axes, &status);
  check(status, "create image");
  for (const auto& key : keys) {
    if (key.isString) {
      fits_update_key(file, TSTRING, key.name.c_str(), const_cast<char*>(key.value.c_str()),
                      nullptr, &status);
    } else {
      double value = std::strtod(key.value.c_str(), nullptr);
      fits_update_key(file, TDOUBLE, key.name.c_str(), &value, nullptr, &status);
    }
    check(status, "write key");
  }
  if (!pixels.empty()) {
    fits_write_img(file, TFLOAT, 1, static_cast<LONGLONG>(pixels.size()),
                   const_cast<float*>(pixels.data()), &status);
    check(status, "write pixels");
  }
  fits_close_file(file, &status);
  check(status, "close");
}

void writeConstantFits(const std::string& path, int width, float value, SampleType type) {
  writeFitsImage(path, width, width, type,
                 std::vector<float>(static_cast<size_t>(width) * width, value));
}

std::string fitsCard(const std::string& text) {
  std::string card = text.substr(0, 80);
  card.resize(80, ' ');
  return card;
}

std::string fitsValueCard(const std::string& name, const std::string& value) {
  std::string card = name;
  card.resize(8, ' ');
  card += "= ";
  if (value.size() < 20) card += std::string(20 - value.size(), ' ');
  card += value;
  return fitsCard(card);
}

std::string fitsHeaderBlock(const std::vector<std::string>& cards) {
  std::string header;
  for (const auto& c : cards) header += fitsCard(c);
  header += fitsCard("END");
  return padToBlock(header, ' ');
}

std::string bigEndian16(const std::vector<int>& samples) {
  std::string bytes;
  for (int s : samples) {
    const auto u = static_cast<unsigned>(s) & 0xFFFFu;
    bytes.push_back(static_cast<char>(u >> 8));
    bytes.push_back(static_cast<char>(u & 0xFF));
  }
  return bytes;
}

std::string padToBlock(std::string bytes, char fill) {
  const size_t rest = bytes.size() % 2880;
  if (rest != 0) bytes.append(2880 - rest, fill);
  return bytes;
}

}  // namespace korrin::test
