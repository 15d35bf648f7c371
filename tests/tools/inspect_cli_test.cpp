// korrin-inspect end to end: a simulated binary through korrin-sim, korrin and the inspector, its
// summary and messages, and the orientation of the images it writes.

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "result/result_file.h"
#include "spectral/bispectrum.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tools_test_util.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::TempDir;

ProcessResult inspect(std::vector<std::string> args) {
  return test::runTool(KORRIN_INSPECT_BINARY, std::move(args));
}

// 16-bit grey samples, top row of the picture first.
std::vector<uint16_t> readGreyPng(const std::string& path, unsigned& width) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  std::vector<uint16_t> pixels;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return pixels;
  EXPECT_EQ(image.format & PNG_FORMAT_FLAG_COLOR, 0u);
  image.format = PNG_FORMAT_LINEAR_Y;
  width = image.width;
  pixels.resize(PNG_IMAGE_SIZE(image) / 2);
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) pixels.clear();
  return pixels;
}

// The brightest lag that the seeing halo does not explain: the autocorrelation minus the mean of
// its ring, searched outside the central peak.
std::pair<int, int> companionPeak(const test::FitsImage& acf) {
  const long w = acf.width;
  const long c = w / 2;
  std::vector<double> sum(static_cast<size_t>(w), 0), count(static_cast<size_t>(w), 0);
  const auto ring = [c](long x, long y) {
    return static_cast<size_t>(std::lround(std::hypot(x - c, y - c)));
  };
  for (long y = 0; y < w; ++y)
    for (long x = 0; x < w; ++x) {
      sum[ring(x, y)] += acf.at(x, y);
      count[ring(x, y)] += 1;
    }
  double best = -INFINITY;
  std::pair<int, int> where{0, 0};
  for (long y = 0; y < w; ++y)
    for (long x = 0; x < w; ++x) {
      const size_t r = ring(x, y);
      if (r < 5 || r > static_cast<size_t>(w / 4)) continue;
      const double excess = acf.at(x, y) - sum[r] / count[r];
      if (excess > best) {
        best = excess;
        where = {static_cast<int>(x - c), static_cast<int>(y - c)};
      }
    }
  return where;
}

TEST(InspectProgram, AutocorrelationOfASimulatedBinaryPeaksAtItsSeparation) {
  // Two position angles in different quadrants, so a swap of the axes or a lost sign shows.
  for (const char* angle : {"30", "250"}) {
    SCOPED_TRACE(std::string("angle ") + angle);
    TempDir tmp;
    const std::string capture = tmp.file("capture");
    const ProcessResult sim =
        test::runProcess({KORRIN_SIM_BINARY, "--out=" + capture, "--frames=80", "--width=128",
                          "--separation=12", std::string("--angle=") + angle, "--ratio=0.5"});
    ASSERT_EQ(sim.exitCode, 0) << sim.err;
    const ProcessResult run = test::runKorrinBinary({"--dir=" + capture, "--nprocs=2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string acfPath = tmp.file("acf.fits");
    const ProcessResult shown = inspect({capture + "/binary.krn1", "--fits-autocorr=" + acfPath});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;

    const std::string truth = test::readBytes(capture + "/binary_truth.json");
    const double dx = test::jsonNumber(truth, "dx"), dy = test::jsonNumber(truth, "dy");
    const test::FitsImage acf = test::readFitsImage(acfPath);
    ASSERT_EQ(std::tuple(acf.bitpix, acf.width, acf.height), std::tuple(FLOAT_IMG, 128L, 128L));
    EXPECT_EQ(acf.crpix1, 65);
    EXPECT_EQ(acf.crpix2, 65);
    const auto [px, py] = companionPeak(acf);
    // The autocorrelation is symmetric: the companion and its mirror image are equally bright.
    const double off = std::min(std::hypot(px - dx, py - dy), std::hypot(px + dx, py + dy));
    EXPECT_LE(off, 1.0) << "peak at lag (" << px << ", " << py << "), truth (" << dx << ", " << dy
                        << ")";
  }
}

// A result whose power is 1 everywhere except 1000 at frequency (20, 30).
std::string writeMarkedResult(const TempDir& tmp) {
  const int w = 128;
  std::vector<std::vector<float>> power(1, std::vector<float>(w * w, 1.0f));
  power[0][(30 + w / 2) * w + (20 + w / 2)] = 1000.0f;
  const auto elements = static_cast<size_t>(bispectrumSize(3, 1));
  std::vector<std::vector<float>> re(1, std::vector<float>(elements, 1.0f));
  std::vector<std::vector<float>> im(1, std::vector<float>(elements, 0.0f));
  const std::string path = tmp.file("marked.krn1");
  writeResultFile(path, w, 1, 3, 1, power, re, im);
  return path;
}

TEST(InspectProgram, SummaryAndImagesKeepZeroFrequencyCentredAndPositiveYUp) {
  TempDir tmp;
  const std::string path = writeMarkedResult(tmp);
  const ProcessResult r = inspect({path, "--previews=" + tmp.file("out/previews")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dir = tmp.file("out/previews");
  EXPECT_EQ(r.out, "Result file:    " + path +
                       "\n"
                       "Width:          128 x 128\n"
                       "kmax:           3\n"
                       "dkmax:          1\n"
                       "Phases:         252\n"
                       "Power range:    1 .. 1000 (zero frequency 1)\n"
                       "Checksums:      OK (power 17383, phases 0)\n"
                       "Wrote power spectrum (FITS): " +
                       dir + "/marked-power.fits\nWrote power spectrum preview (PNG): " + dir +
                       "/marked-power.png\nWrote autocorrelation (FITS): " + dir +
                       "/marked-autocorr.fits\nWrote autocorrelation preview (PNG): " + dir +
                       "/marked-autocorr.png\n");

  const test::FitsImage power = test::readFitsImage(dir + "/marked-power.fits");
  EXPECT_EQ(power.crpix1, 65);
  EXPECT_EQ(power.at(64 + 20, 64 + 30), 1000.0f);  // x = column, y = row, zero at (64, 64)
  EXPECT_EQ(power.at(64 + 30, 64 + 20), 1.0f);

  // The preview shows +y up: the mark is 30 rows above the centre row of the picture.
  unsigned width = 0;
  const std::vector<uint16_t> png = readGreyPng(dir + "/marked-power.png", width);
  ASSERT_EQ(width, 128u);
  ASSERT_EQ(png.size(), 128u * 128u);
  const auto brightest = std::max_element(png.begin(), png.end()) - png.begin();
  EXPECT_EQ(brightest % 128, 64 + 20);
  EXPECT_EQ(brightest / 128, 127 - (64 + 30));
  EXPECT_FALSE(readGreyPng(dir + "/marked-autocorr.png", width).empty());
}

TEST(InspectProgram, RefusesDamagedFilesAndBadCommandLines) {
  TempDir tmp;
  const std::string path = writeMarkedResult(tmp);
  std::string bytes = test::readBytes(path);
  bytes.pop_back();
  const std::string shortPath = tmp.file("short.krn1");
  test::writeBytes(shortPath, bytes);

  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{shortPath},
       1,
       "korrin-inspect: " + shortPath +
           ": file is 132107 bytes long, but width 128, kmax 3 and dkmax 1 need 132108 bytes "
           "(252 phases)\n"},
      {{tmp.file("missing.krn1")},
       1,
       "korrin-inspect: " + tmp.file("missing.krn1") +
           ": cannot open: No such file or directory\n"},
      {{}, 2, "korrin-inspect: no result file given\nTry korrin-inspect --help\n"},
      {{path, path},
       2,
       "korrin-inspect: only one result file, not also '" + path +
           "'\nTry korrin-inspect --help\n"},
      {{path, "--png-power"},
       2,
       "korrin-inspect: --png-power needs a file name: --png-power=NAME\nTry korrin-inspect "
       "--help\n"},
      {{path, "--colour=red"},
       2,
       "korrin-inspect: unknown option --colour\nTry korrin-inspect --help\n"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = inspect(c.args);
    EXPECT_EQ(r.exitCode, c.status) << r.err;
    EXPECT_EQ(r.err, c.err);
  }
  // The summary still comes out when only an image cannot be written.
  const ProcessResult unwritable = inspect({path, "--fits-power=" + tmp.file("no/dir/p.fits")});
  EXPECT_EQ(unwritable.exitCode, 1);
  EXPECT_NE(unwritable.out.find("Checksums:      OK"), std::string::npos);
  EXPECT_EQ(unwritable.err.rfind("korrin-inspect: cannot write " + tmp.file("no/dir/p.fits"), 0),
            0u);

  const ProcessResult help = inspect({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: korrin-inspect FILE.krn1 [options]\n", 0), 0u);
}

}  // namespace
}  // namespace korrin
