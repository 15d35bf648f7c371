// readFits on files assembled byte by byte (files written by cfitsio are read by every run of the
// program's tests). Messages are compared byte for byte, line numbers and line endings included;
// the hostile corpus meets the reader's other refusals through the program. That loading a frame
// straight into a worker's buffers gives what loadFrame gives is the frame path's test; that
// workers reading at once stay apart, the run driver's (under ThreadSanitizer).
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

// Files assembled byte by byte: what the reader says and the pixels it delivers. 16-bit words are
// signed unless BZERO is exactly 32768, 8-bit bytes ignore BZERO, floats add it; missing samples
// read as 0 (BZERO included). Every file is read into the same record, so a buffer of an earlier
// read left behind shows up under LeakSanitizer.
TEST(FitsReader, FilesAssembledByteByByte) {
  const test::TempDir dir;
  FitsInfo info;
  initFitsInfo(&info);
  // The reader reports through stdio's stderr: the descriptor is captured, not std::cerr.
  const auto read = [](const std::string& path, FitsInfo* into) {
    ::testing::internal::CaptureStderr();
    const int status = readFits(path.c_str(), into);
    return std::pair(status, ::testing::internal::GetCapturedStderr());
  };
  const std::string words = samples16({0x8000, 0xFFFF, 0x0000, 0x7FFF, 0x0001});
  const std::string one = "\x3F\x80\x00\x00"s, bytes8 = "\x00\x01\x7F\x80\xFF\x10"s;
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
  const std::string path = dir.file("f.fits");
  const Case cases[] = {
      {header(geometry + "|BZERO=32768") + words, "", {0, 32767, 32768, 65535, 32769}},
      {header(geometry) + words, "", {32768, 65535, 0, 32767, 1}},
      {header(geometry + "|BZERO=-0.5") + words, "", {-32768.5f, -1.5f, -0.5f, 32766.5f, 0.5f}},
      {header("BITPIX=8|NAXIS1=6|NAXIS2=1|BZERO=100") + bytes8, "", {0, 1, 127, 128, 255, 16}},
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
      // Float buffers beyond 2^31 - 1 bytes, after the raw buffer of the samples was granted (the
      // reader's other refusals are the hostile corpus's, met through the program).
      {header("BITPIX=8|NAXIS1=536870912|NAXIS2=1"), message(1618, "can't malloc floatArray")},
      {header("NAXIS1=536870912|NAXIS2=1"), message(1583, "can't malloc floatArray")},
      // A header that runs past 64 MB is refused before its end card, not buffered whole.
      {header("COMMENT x*838861"), message(1464, "error parsing fits file <" + path + ">")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 400));
    test::writeBytes(path, c.bytes);
    EXPECT_EQ(read(path, &info), std::pair(c.err.empty() ? 0 : -1, c.err));
    if (!c.err.empty()) continue;
    ASSERT_NE(info.floatArray, nullptr);
    EXPECT_EQ(std::vector(info.floatArray, info.floatArray + size_t(info.naxis1) * info.naxis2),
              c.pixels);
    EXPECT_EQ(info.trailingBytes, c.trailing);
  }

  const std::string missing = dir.file("missing.fits");
  EXPECT_EQ(read(missing, &info).second, "fitsio.cpp (1454):  error opening file:  " + missing +
                                             ": No such file or directory\n");
  EXPECT_EQ(read(missing, nullptr), std::pair(-1, message(1447, "fitsInfoPtr is NULL")));
  releaseFitsInfo(&info);
}

}  // namespace
}  // namespace korrin
