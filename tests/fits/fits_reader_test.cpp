// readFits on real files: fixtures written by cfitsio and files assembled byte by byte. Messages
// are compared byte for byte, line numbers and line endings included; the hostile corpus meets
// the reader's other refusals through the program. That loading a frame straight into a worker's
// buffers gives what loadFrame gives is the frame path's test; that workers reading at once stay
// apart, the run driver's (under ThreadSanitizer).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "fits/fitsio.h"
#include "tests/hostile/hostile_corpus.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using namespace std::string_literals;
using test::header;
using test::samples16;
using test::SampleType;

std::string message(int line, const std::string& text) {
  return "fitsio.cpp (" + std::to_string(line) + "):  " + text + "\r\n";
}

class FitsReader : public ::testing::Test {
 protected:
  FitsReader() { initFitsInfo(&info_); }
  ~FitsReader() override { releaseFitsInfo(&info_); }

  // The reader reports through stdio's stderr: the descriptor is captured, not std::cerr.
  std::pair<int, std::string> read(const std::string& path, FitsInfo* info) {
    ::testing::internal::CaptureStderr();
    const int status = readFits(path.c_str(), info);
    return {status, ::testing::internal::GetCapturedStderr()};
  }

  std::vector<float> pixels() const {
    const size_t n = static_cast<size_t>(info_.naxis1) * static_cast<size_t>(info_.naxis2);
    return std::vector<float>(info_.floatArray, info_.floatArray + n);
  }

  test::TempDir dir_;
  FitsInfo info_;
};

// cfitsio as the reference writer: every supported sample type comes back with its values.
TEST_F(FitsReader, ReadsCfitsioImagesOfEverySampleType) {
  // Signed 16-bit without BZERO reads as unsigned words: -5 becomes 65531.
  const std::vector<std::tuple<SampleType, std::vector<float>, std::vector<float>, int>> cases{
      {SampleType::U16, {0, 1, 32767, 32768, 65535, 1234}, {0, 1, 32767, 32768, 65535, 1234}, 16},
      {SampleType::I16, {0, 1, -1, -5, 32767, -32768}, {0, 1, 65535, 65531, 32767, 32768}, 16},
      {SampleType::U8, {0, 1, 127, 128, 200, 255}, {0, 1, 127, 128, 200, 255}, 8},
      {SampleType::F32,
       {0.5f, -1.25f, 3e6f, 1e-7f, -0.0f, 42},
       {0.5f, -1.25f, 3e6f, 1e-7f, 0, 42},
       -32},
  };
  for (const auto& [type, written, expected, bitpix] : cases) {
    const std::string path = dir_.file(std::to_string(bitpix) + ".fits");
    test::writeFitsImage(path, 3, 2, type, written, {{"EXPTIME", 0.02}});
    EXPECT_EQ(read(path, &info_), std::pair(0, std::string()));
    EXPECT_EQ(std::tuple(info_.naxis1, info_.naxis2, info_.bitpix), std::tuple(3, 2, bitpix));
    EXPECT_EQ(pixels(), expected) << bitpix;
    EXPECT_EQ(info_.exposure, 0.02f);
    // cfitsio pads the data to a whole block; the fill is what follows the samples.
    EXPECT_EQ(info_.trailingBytes, 2880 - 6 * std::abs(bitpix) / 8);
  }
}

// Files assembled byte by byte: what the reader says and the pixels it delivers. 16-bit words are
// signed unless BZERO is exactly 32768, 8-bit bytes ignore BZERO, floats add it; missing samples
// read as 0 (BZERO included). Every file is read into the same record, so a buffer of an earlier
// read left behind shows up under LeakSanitizer.
TEST_F(FitsReader, FilesAssembledByteByByte) {
  const std::string words = samples16({0x8000, 0xFFFF, 0x0000, 0x7FFF, 0x0001});
  const std::string one = {'\x3F', '\x80', '\x00', '\x00'};
  // A newline in a card: the line read stops after it, so the header ends 70 bytes early.
  std::string shifted = header("BITPIX=8|NAXIS1=2|NAXIS2=1").substr(0, 400) + "HISTORY x\n";
  shifted += test::card("END") + std::string(28 * 80 + 80, ' ');
  struct Case {
    std::string bytes;
    std::string err{};
    std::vector<float> pixels{};
    int trailing = 0;
  };
  const std::string geometry = "BITPIX=16|NAXIS1=5|NAXIS2=1";
  const Case cases[] = {
      {header(geometry + "|BZERO=32768") + words, "", {0, 32767, 32768, 65535, 32769}},
      {header(geometry) + words, "", {32768, 65535, 0, 32767, 1}},
      {header(geometry + "|BZERO=-0.5") + words, "", {-32768.5f, -1.5f, -0.5f, 32766.5f, 0.5f}},
      {header("BITPIX=8|NAXIS1=6|NAXIS2=1|BZERO=100") + "\x00\x01\x7F\x80\xFF\x10"s,
       "",
       {0, 1, 127, 128, 255, 16}},
      {header("BITPIX=-32|NAXIS1=2|NAXIS2=1|BZERO=10") + one + "\xC0\x00\x00\x00"s, "", {11, 8}},
      // The END card decides where the data start: last card of the first block, first of the
      // second; a newline that shortens a card moves it.
      {header("BITPIX=8|NAXIS1=2|NAXIS2=1|HISTORY x*30") + "\x05\x06", "", {5, 6}},
      {header("BITPIX=8|NAXIS1=2|NAXIS2=1|HISTORY x*31") + "\x07\x08", "", {7, 8}},
      {shifted.substr(0, 2810) + "\x09\x0A", "", {9, 10}},
      // Cut short: a half sample is no sample.
      {header("BITPIX=8|NAXIS1=2|NAXIS2=2") + "\x03", "", {3, 0, 0, 0}},
      {header("NAXIS1=2|NAXIS2=2") + samples16({7}) + "\x01", "", {7, 0, 0, 0}},
      {header("BITPIX=-32|NAXIS1=2|NAXIS2=2|BZERO=0") + one + "\x3F\x80", "", {1, 0, 0, 0}},
      {header("NAXIS1=2|NAXIS2=1|BZERO=32768") + samples16({0x8001}), "", {1, 0}},
      // What follows the samples: block fill, further planes (NAXIS3 is not consulted).
      {header("NAXIS1=2|NAXIS2=2") + test::padded(samples16({1, 2, 3, 4})), "", {1, 2, 3, 4}, 2872},
      {header("NAXIS=3|NAXIS1=2|NAXIS2=1|NAXIS3=2") + samples16({1, 2, 3, 4}), "", {1, 2}, 4},
      {header("NAXIS1=0") + "abc", "", {}, 3},  // an empty image is a success
      // Refusals: geometry, sample format, and buffers beyond 2^31 - 1 bytes (2^16 x 2^16 wraps
      // to 0 in 32 bits and must not pass as an empty image).
      {header("-NAXIS1"), message(1502, "can't read fits param NAXIS1")},
      {header("NAXIS2=4294967298"), message(1515, "can't read fits param NAXIS2")},
      {header("NAXIS1=-5"), "negative x size read from fits header\n"},
      {header("BITPIX=-64"), message(1642, "unsupported FITS format: -64")},
      {header("BITPIX=-32|NAXIS1=65536|NAXIS2=65536"), message(1549, "can't malloc floatArray")},
      {header("BITPIX=8|NAXIS1=46341|NAXIS2=46341"), message(1607, "can't malloc fileArray")},
      {header("BITPIX=8|NAXIS1=536870912|NAXIS2=1"), message(1618, "can't malloc floatArray")},
      {header("NAXIS1=536870912|NAXIS2=1"), message(1583, "can't malloc floatArray")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 400));
    const std::string path = dir_.file("f.fits");
    test::writeBytes(path, c.bytes);
    EXPECT_EQ(read(path, &info_), std::pair(c.err.empty() ? 0 : -1, c.err));
    if (!c.err.empty()) continue;
    EXPECT_NE(info_.floatArray, nullptr);
    EXPECT_EQ(pixels(), c.pixels);
    EXPECT_EQ(info_.trailingBytes, c.trailing);
  }

  const std::string missing = dir_.file("missing.fits");
  EXPECT_EQ(read(missing, &info_).second, "fitsio.cpp (1454):  error opening file:  " + missing +
                                              ": No such file or directory\n");
  EXPECT_EQ(read(missing, nullptr), std::pair(-1, message(1447, "fitsInfoPtr is NULL")));
}

}  // namespace
}  // namespace korrin
