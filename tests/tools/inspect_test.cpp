// The autocorrelation against a case worked out by hand, and korrin-inspect as a program on files
// the real writer produced. The simulator's binary, measured in the
// inspector's autocorrelation, is the demo's (scripts/demo): the pieces of that road are each
// tested where they are made.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "result/result_file.h"
#include "spectral/bispectrum.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/inspect/previews.h"
#include "tools/inspect/result_reader.h"

namespace korrin {
namespace {

using test::ProcessResult;

// A result file from the product's writer, one slot and one frame: power 1, with `mark` at
// frequency (20, 30), and all phases 0.
std::string writtenResult(int width, int kmax, int dkmax, float mark = 1.0f) {
  std::vector<std::vector<float>> power(1, std::vector<float>(size_t(width) * width, 1.0f)),
      re(1, std::vector<float>(size_t(bispectrumSize(kmax, dkmax)), 1.0f)),
      im(1, std::vector<float>(re[0].size(), 0.0f));
  power[0][(30 + width / 2) * width + (20 + width / 2)] = mark;
  const test::TempDir tmp;
  writeResultFile(tmp.file("r.krn1"), width, 1, kmax, dkmax, power, re, im);
  return test::readBytes(tmp.file("r.krn1"));
}

// I = delta at p plus a * delta at p + s. Per frame the file holds |F / W^2|^2 =
// (1 + a^2 + 2a cos(2 pi f.s / W)) / W^4; the autocovariance is (1/W^2) sum I(x) I(x + lag)
// minus the squared mean m^2: (1 + a^2)/W^2 - m^2 at 0, a/W^2 - m^2 at +-s, -m^2 elsewhere.
TEST(Autocorrelation, TwoPointImageGivesItsPeaksAtThePlusAndMinusSeparation) {
  const int w = 128, sx = 3, sy = -5;
  const double a = 0.5, w2 = w * w, m2 = (1 + a) * (1 + a) / (w2 * w2);
  ResultData r;
  r.width = w;
  for (int fy = -w / 2; fy < w / 2; ++fy)
    for (int fx = -w / 2; fx < w / 2; ++fx)
      r.power.push_back(
          (1 + a * a + 2 * a * std::cos(2 * std::numbers::pi * (fx * sx + fy * sy) / w)) /
          (w2 * w2));
  const std::vector<float> image = autocorrelationImage(r);
  const auto at = [&](int lx, int ly) { return image[(ly + w / 2) * w + lx + w / 2]; };
  EXPECT_NEAR(at(0, 0), (1 + a * a) / w2 - m2, 1e-3 / w2);
  // Swapped axes or a lost sign would put the peaks elsewhere.
  const std::tuple<int, int, double> lags[] = {{sx, sy, a / w2 - m2}, {-sx, -sy, a / w2 - m2},
                                               {sy, sx, -m2},         {sx, -sy, -m2},
                                               {1, 0, -m2},           {-64, -64, -m2}};
  for (const auto& [lx, ly, value] : lags) {
    EXPECT_NEAR(at(lx, ly), value, 1e-3 / w2) << lx << "," << ly;
  }
}

ProcessResult inspect(const std::vector<std::string>& args) {
  return test::runProgram(KORRIN_INSPECT_BINARY, args);
}

// 16-bit grey samples, top row of the picture first.
std::vector<uint16_t> readGreyPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  std::vector<uint16_t> pixels;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return pixels;
  EXPECT_EQ(image.format & PNG_FORMAT_FLAG_COLOR, 0u);
  image.format = PNG_FORMAT_LINEAR_Y;
  pixels.resize(PNG_IMAGE_SIZE(image) / 2);
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) pixels.clear();
  return pixels;
}

TEST(InspectProgram, SummaryAndImagesKeepZeroFrequencyCentredAndPositiveYUp) {
  const test::TempDir tmp;
  const std::string path = tmp.file("marked.krn1"), dir = tmp.file("out/previews");
  test::writeBytes(path, writtenResult(128, 3, 1, 1000.0f));
  const ProcessResult r = inspect({path, "--previews=" + dir});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Result file:    " + path +
                       "\nWidth:          128 x 128\nkmax:           3\ndkmax:          1\n"
                       "Phases:         252\nPower range:    1 .. 1000 (zero frequency 1)\n"
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
  const std::vector<uint16_t> png = readGreyPng(dir + "/marked-power.png");
  ASSERT_EQ(png.size(), 128u * 128u);
  const auto brightest = std::max_element(png.begin(), png.end()) - png.begin();
  EXPECT_EQ(std::pair(brightest % 128, brightest / 128), std::pair(64L + 20, 127L - (64 + 30)));
  EXPECT_FALSE(readGreyPng(dir + "/marked-autocorr.png").empty());
}

// A damaged file is named with what is wrong with it, status 1; a bad command line, status 2.
TEST(InspectProgram, RefusesDamagedFilesAndBadCommandLines) {
  const test::TempDir tmp;
  const std::string path = tmp.file("r.krn1"), good = writtenResult(128, 2, 1);
  test::writeBytes(path, good);
  ASSERT_EQ(good.size(), 131640u);
  const size_t powerEnd = 4 + 8 * 128 * 128;
  int files = 0;
  const auto damaged = [&](const std::string& bytes) {
    const std::string file = tmp.file(std::to_string(files++) + ".krn1");
    test::writeBytes(file, bytes);
    return std::vector<std::string>{file};
  };
  const auto with = [&](size_t at, auto value) {
    std::string bytes = good;
    std::memcpy(bytes.data() + at, &value, sizeof value);
    return damaged(bytes);
  };
  const std::string help = "\nTry korrin-inspect --help\n";
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases{
      {damaged(""), 1, "file is 0 bytes long, too short to hold even the width\n"},
      {with(0, int32_t{100}), 1,
       "width field is 100, not one of 128, 256, 512, 1024: not a result file\n"},
      {damaged(good.substr(0, 1000)), 1,
       "file is 1000 bytes long, too short for a width of 128 (at least 131100 bytes)\n"},
      {with(powerEnd + 8, int32_t{64}), 1, "kmax field is 64, outside 0..63 for width 128\n"},
      {with(powerEnd + 12, int32_t{-1}), 1, "dkmax field is -1, outside 0..63 for width 128\n"},
      {damaged(good + "x"), 1,
       "file is 131641 bytes long, but width 128, kmax 2 and dkmax 1 need 131640 bytes (135 "
       "phases)\n"},
      // One changed value in either section breaks that section's checksum.
      {with(4 + 8 * 500, 1e30), 1, "power checksum does not match: stored "},
      {with(powerEnd + 16 + 4 * 44, 3.0f), 1, "phase checksum does not match: stored "},
      {{tmp.file("missing.krn1")}, 1, "cannot open: No such file or directory\n"},
      {{tmp.path().string()}, 1, "is a directory\n"},
      {{}, 2, "no result file given" + help},
      {{path, path}, 2, "unexpected argument '" + path + "'" + help},
      {{path, "--png-power"}, 2, "--png-power: 1 required FILE missing" + help},
      {{path, "--colour=red"}, 2, "unknown option --colour" + help},
  };
  for (const auto& [args, status, err] : cases) {
    const ProcessResult r = inspect(args);
    EXPECT_EQ(r.exitCode, status) << err;
    const std::string file = status == 1 ? args[0] + ": " : "";
    EXPECT_TRUE(r.err.starts_with("korrin-inspect: " + file + err)) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // The summary still comes out when only an image cannot be written.
  const ProcessResult unwritable = inspect({path, "--fits-power=" + tmp.file("no/dir/p.fits")});
  EXPECT_EQ(unwritable.exitCode, 1);
  EXPECT_NE(unwritable.out.find("Checksums:      OK"), std::string::npos);
  EXPECT_TRUE(
      unwritable.err.starts_with("korrin-inspect: cannot write " + tmp.file("no/dir/p.fits")));
  // A FITS image beside frames would be read as one by the next run.
  test::writeConstantFits(tmp.file("f.fits"), 128, 1.0f);
  const ProcessResult beside = inspect({path, "--fits-power=" + tmp.file("p.fits")});
  EXPECT_EQ(beside.exitCode, 1);
  EXPECT_EQ(beside.err, "korrin-inspect: will not write " + tmp.file("p.fits") + ": " +
                            tmp.path().string() +
                            " holds frames (f.fits) and korrin would read the image as one of "
                            "them; write it elsewhere\n");
  EXPECT_NE(inspect({"--help"}).out.find("Usage: korrin-inspect"), std::string::npos);
}

}  // namespace
}  // namespace korrin
