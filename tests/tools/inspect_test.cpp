// The result reader against files the real writer produced, and the autocorrelation against a
// case worked out by hand.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "result/result_file.h"
#include "spectral/bispectrum.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tools_test_util.h"
#include "tools/inspect/previews.h"
#include "tools/inspect/result_reader.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::TempDir;
using Slots = std::vector<std::vector<float>>;

// A result file from the product's writer: one slot, one frame, power = its index + 1 and
// bispectrum sums (index + 1, -(index % 7 + 1)), so every value tells where it came from.
std::string writtenResult(int width, int kmax, int dkmax) {
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(width);
  const auto elements = static_cast<size_t>(bispectrumSize(kmax, dkmax));
  Slots power(1, std::vector<float>(pixels)), re(1, std::vector<float>(elements)),
      im(1, std::vector<float>(elements));
  for (size_t i = 0; i < pixels; ++i) power[0][i] = static_cast<float>(i + 1);
  for (size_t i = 0; i < elements; ++i) {
    re[0][i] = static_cast<float>(i + 1);
    im[0][i] = -static_cast<float>(i % 7 + 1);
  }
  test::TempDir tmp;
  const std::string path = tmp.file("r.krn1");
  writeResultFile(path, width, 1, kmax, dkmax, power, re, im);
  return test::readBytes(path);
}

// The phase writtenResult's sums give the pair (u, v).
float expectedPhase(int kmax, int dkmax, int ux, int uy, int vx, int vy) {
  const auto i = static_cast<double>(bispectrumIndex(kmax, dkmax, ux, uy, vx, vy));
  return static_cast<float>(std::atan2(-(std::fmod(i, 7.0) + 1), i + 1));
}

// Every pair of the boxes is found where the writer put it, or nowhere when the writer left it
// out. (128, 62, 3) drops pairs on the high and the low side of x; (128, 4, 63) whole rows.
TEST(ResultReader, FindsEveryValueWhereTheWriterPutIt) {
  for (const auto& [w, k, d] : std::vector<std::tuple<int, int, int>>{
           {128, 62, 3}, {128, 0, 0}, {256, 5, 2}, {128, 63, 6}, {128, 4, 63}}) {
    SCOPED_TRACE(std::to_string(w) + " " + std::to_string(k) + " " + std::to_string(d));
    const ReadOutcome outcome = parseResult(writtenResult(w, k, d));
    ASSERT_TRUE(outcome.result) << outcome.error;
    const ResultData& r = *outcome.result;
    EXPECT_EQ(std::tuple(r.width, r.kmax, r.dkmax), std::tuple(w, k, d));
    // Memory order in the writer's slot, column by column in the file, memory order again here.
    const int h = w / 2;
    for (const auto& [fx, fy] :
         std::vector<std::pair<int, int>>{{0, 0}, {-h, -h}, {h - 1, -h}, {-h, h - 1}, {5, -17}}) {
      EXPECT_EQ(r.powerAt(fx, fy), (fy + h) * w + (fx + h) + 1) << fx << "," << fy;
    }
    const PhaseLayout layout(w, k, d);
    int64_t found = 0, wrong = 0;
    for (int ux = -k; ux <= k; ++ux)
      for (int uy = 0; uy <= k; ++uy)
        for (int vx = -d; vx <= d; ++vx)
          for (int vy = -d; vy <= d; ++vy) {
            const int64_t at = layout.position(ux, uy, vx, vy);
            if (at < 0) continue;
            ++found;
            wrong += r.phases[static_cast<size_t>(at)] != expectedPhase(k, d, ux, uy, vx, vy);
          }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(found, phaseCount(w, k, d));
    EXPECT_EQ(layout.count(), found);
  }
  const ResultData r = *parseResult(writtenResult(128, 62, 3)).result;
  EXPECT_EQ(r.phaseAt(-62, 61, -1, 3), expectedPhase(62, 3, -62, 61, -1, 3));
  EXPECT_FALSE(r.phaseAt(62, 0, 3, 0));  // -(u+v) beyond the spectrum's edge: not in the file
  // Outside the boxes altogether.
  const PhaseLayout layout(256, 4, 2);
  EXPECT_EQ(layout.position(5, 0, 0, 0), -1);
  EXPECT_EQ(layout.position(0, -1, 0, 0), -1);
  EXPECT_EQ(layout.position(0, 0, 3, 0), -1);
  EXPECT_EQ(layout.position(0, 0, 0, -3), -1);
}

TEST(ResultReader, NamesWhatIsWrongWithADamagedFile) {
  const int w = 128, k = 2, d = 1;
  const std::string good = writtenResult(w, k, d);
  const size_t powerEnd = 4 + 8 * 128 * 128;
  const auto with = [&good](size_t at, const void* value, size_t size) {
    std::string bytes = good;
    std::memcpy(bytes.data() + at, value, size);
    return bytes;
  };
  const int32_t width100 = 100, kmax64 = 64, dkmaxMinus = -1;
  const double power = 1e30;
  const float phase = 3.0f;
  const struct {
    const char* what;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"empty", "", "file is 0 bytes long, too short to hold even the width"},
      {"width", with(0, &width100, 4),
       "width field is 100, not one of 128, 256, 512, 1024: not a result file"},
      {"short power", good.substr(0, 1000),
       "file is 1000 bytes long, too short for a width of 128 (at least 131100 bytes)"},
      {"kmax", with(powerEnd + 8, &kmax64, 4), "kmax field is 64, outside 0..63 for width 128"},
      {"dkmax", with(powerEnd + 12, &dkmaxMinus, 4),
       "dkmax field is -1, outside 0..63 for width 128"},
      {"one byte more", good + "x",
       "file is 131641 bytes long, but width 128, kmax 2 and dkmax 1 need 131640 bytes (135 "
       "phases)"},
  };
  ASSERT_EQ(good.size(), 131640u);
  for (const auto& c : cases) {
    const ReadOutcome outcome = parseResult(c.bytes);
    EXPECT_FALSE(outcome.result) << c.what;
    EXPECT_EQ(outcome.error, c.error) << c.what;
  }
  // One changed value in either section breaks its checksum, and the message says which.
  const ReadOutcome badPower = parseResult(with(4 + 8 * 500, &power, 8));
  EXPECT_EQ(badPower.error.rfind("power checksum does not match: stored ", 0), 0u)
      << badPower.error;
  const ReadOutcome badPhase = parseResult(with(powerEnd + 16 + 4 * 44, &phase, 4));
  EXPECT_EQ(badPhase.error.rfind("phase checksum does not match: stored ", 0), 0u)
      << badPhase.error;
  // Stored checksum edited instead of a value: same verdict.
  const double checksum = 0.5;
  EXPECT_NE(parseResult(with(powerEnd, &checksum, 8)).error.find("power checksum"),
            std::string::npos);
  EXPECT_NE(parseResult(with(good.size() - 8, &checksum, 8)).error.find("phase checksum"),
            std::string::npos);

  EXPECT_EQ(readResultFile("/").error, "is a directory");
}

TEST(Autocorrelation, TwoPointImageGivesItsPeaksAtThePlusAndMinusSeparation) {
  // I = delta at p plus a * delta at p + s. Per frame the file holds |F / W^2|^2 =
  // (1 + a^2 + 2a cos(2 pi f.s / W)) / W^4; the autocovariance is (1/W^2) sum I(x) I(x + lag)
  // minus the squared mean m^2: (1 + a^2)/W^2 - m^2 at 0, a/W^2 - m^2 at +-s, -m^2 elsewhere.
  const int w = 128, sx = 3, sy = -5;
  const double a = 0.5;
  ResultData r;
  r.width = w;
  r.power.resize(static_cast<size_t>(w) * w);
  const double w2 = static_cast<double>(w) * w;
  for (int fy = -w / 2; fy < w / 2; ++fy) {
    for (int fx = -w / 2; fx < w / 2; ++fx) {
      const double phase = 2 * std::numbers::pi * (fx * sx + fy * sy) / w;
      r.power[static_cast<size_t>((fy + w / 2) * w + fx + w / 2)] =
          (1 + a * a + 2 * a * std::cos(phase)) / (w2 * w2);
    }
  }
  const std::vector<float> image = autocorrelationImage(r);
  const double m2 = (1 + a) * (1 + a) / (w2 * w2);
  const auto at = [&](int lx, int ly) {
    return image[static_cast<size_t>((ly + w / 2) * w + lx + w / 2)];
  };
  const double tolerance = 1e-3 / w2;
  EXPECT_NEAR(at(0, 0), (1 + a * a) / w2 - m2, tolerance);
  EXPECT_NEAR(at(sx, sy), a / w2 - m2, tolerance);
  EXPECT_NEAR(at(-sx, -sy), a / w2 - m2, tolerance);
  // Swapped axes or a lost sign would put the peak here instead.
  EXPECT_NEAR(at(sy, sx), -m2, tolerance);
  EXPECT_NEAR(at(sx, -sy), -m2, tolerance);
  EXPECT_NEAR(at(1, 0), -m2, tolerance);
  EXPECT_NEAR(at(-w / 2, -w / 2), -m2, tolerance);
}

// korrin-inspect end to end: a simulated binary through korrin-sim, korrin and the inspector, its
// summary and messages, and the orientation of the images it writes.

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
  fs::create_directory(tmp.file("frames"));
  test::writeConstantFits(tmp.file("frames/f.fits"), 128, 1.0f);

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
       "korrin-inspect: unexpected argument '" + path + "'\nTry korrin-inspect --help\n"},
      {{path, "--png-power"},
       2,
       "korrin-inspect: --png-power: 1 required FILE missing\nTry korrin-inspect --help\n"},
      {{path, "--fits-power=" + tmp.file("frames/p.fits")},
       1,
       "korrin-inspect: will not write " + tmp.file("frames/p.fits") + ": " + tmp.file("frames") +
           " holds frames (f.fits) and korrin would read the image as one of them; write it "
           "elsewhere\n"},
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
  EXPECT_NE(help.out.find("Usage: korrin-inspect"), std::string::npos);
}

}  // namespace
}  // namespace korrin
