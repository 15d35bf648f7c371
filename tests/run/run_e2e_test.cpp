// Whole runs through the real binary on FITS captures written by cfitsio.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "tests/support/fits_fixture.h"
#include "tests/support/result_reader.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::readResult;
using test::runKorrinBinary;
using test::SampleType;
using test::TempDir;

// A speckle-like frame: background, a few bright blobs around the centre, noise.
std::vector<float> speckleFrame(int width, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 3.0f);
  std::uniform_real_distribution<float> where(-6.0f, 6.0f);
  std::vector<float> pixels(static_cast<size_t>(width) * width);
  for (auto& p : pixels) p = 200.0f + noise(rng);
  for (int blob = 0; blob < 5; ++blob) {
    const float cx = width / 2.0f + where(rng);
    const float cy = width / 2.0f + where(rng);
    for (int y = 0; y < width; ++y)
      for (int x = 0; x < width; ++x) {
        const float d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        if (d2 < 36.0f)
          pixels[static_cast<size_t>(y) * width + x] += 3000.0f * std::exp(-d2 / 4.0f);
      }
  }
  for (auto& p : pixels) p = std::round(std::clamp(p, 0.0f, 65535.0f));
  return pixels;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(text.substr(start, end - start));
  }
  return out;
}

TEST(RunEndToEnd, SeveralWorkersProcessEveryFrameOnceAndMatchOneWorker) {
  TempDir dir;
  const std::string capture = dir.file("capture");
  std::filesystem::create_directory(capture);
  for (int i = 0; i < 7; ++i) {
    test::writeFitsImage(capture + "/star_" + std::to_string(i) + ".fits", 128, 128,
                         SampleType::U16, speckleFrame(128, 100 + i));
  }
  const auto single =
      runKorrinBinary({"--dir=" + capture, "--nprocs=1", "--out=" + dir.file("one.krn1")});
  ASSERT_EQ(single.exitCode, 0) << single.err;
  const auto many =
      runKorrinBinary({"--dir=" + capture, "--nprocs=0", "--out=" + dir.file("all.krn1")});
  ASSERT_EQ(many.exitCode, 0) << many.err;

  // Every frame is announced exactly once, and the per-worker counts add up to the capture.
  int processing = 0;
  int announced = 0;
  int workers = 0;
  const std::string share = "processing ";
  for (const auto& line : lines(many.out)) {
    if (line.rfind(share, 0) == 0 && line.ends_with(" files")) {
      announced += std::stoi(line.substr(share.size()));
      ++workers;
    }
    if (line.rfind("Processing " + capture + "/star_", 0) == 0) ++processing;
  }
  EXPECT_EQ(announced, 7);
  EXPECT_EQ(processing, 7);
  EXPECT_NE(many.out.find("Using " + std::to_string(workers) + " threads\n"), std::string::npos);

  const auto one = readResult(dir.file("one.krn1"));
  const auto all = readResult(dir.file("all.krn1"));
  ASSERT_TRUE(one);
  ASSERT_TRUE(all);
  ASSERT_EQ(one->power.size(), all->power.size());
  for (size_t i = 0; i < one->power.size(); ++i) {
    ASSERT_NEAR(all->power[i], one->power[i], 1e-5 * std::abs(one->power[i]) + 1e-9) << i;
  }
  ASSERT_EQ(one->phases.size(), all->phases.size());
  size_t differing = 0;
  for (size_t i = 0; i < one->phases.size(); ++i) {
    float d = std::abs(all->phases[i] - one->phases[i]);
    d = std::min(d, static_cast<float>(2 * M_PI) - d);
    if (d > 1e-3f) ++differing;
  }
  // Sums in another order differ only in rounding; a phase near zero magnitude may flip.
  EXPECT_LT(differing, one->phases.size() / 10000);
}

// The mask keeps the star and its surroundings and sets everything farther than twice the radius
// to the background mean: a frame with dark pixels far away must give exactly the result of the
// same frame with those pixels already at the mean.
TEST(RunEndToEnd, MaskSetsFarPixelsToTheBackgroundMean) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("dirty"));
  std::filesystem::create_directory(dir.file("clean"));
  std::vector<float> clean(128 * 128, 500.0f);
  for (int y = 62; y <= 66; ++y)
    for (int x = 62; x <= 66; ++x) clean[y * 128 + x] = 4000.0f - 100.0f * std::abs(x - 64);
  std::vector<float> dirty = clean;
  // Odd coordinates lie outside the background sample, and darker pixels are never repaired as
  // hot pixels, so only the mask can change them.
  for (int y : {3, 41, 87, 125})
    for (int x : {5, 33, 95, 121}) dirty[y * 128 + x] = 100.0f;
  test::writeFitsImage(dir.file("dirty/s_1.fits"), 128, 128, SampleType::F32, dirty);
  test::writeFitsImage(dir.file("clean/s_1.fits"), 128, 128, SampleType::F32, clean);

  const auto masked = runKorrinBinary(
      {"--dir=" + dir.file("dirty"), "--mask_radius=8", "--out=" + dir.file("masked.krn1")});
  ASSERT_EQ(masked.exitCode, 0) << masked.err;
  const auto plain =
      runKorrinBinary({"--dir=" + dir.file("clean"), "--out=" + dir.file("plain.krn1")});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  const auto unmasked =
      runKorrinBinary({"--dir=" + dir.file("dirty"), "--out=" + dir.file("raw.krn1")});
  ASSERT_EQ(unmasked.exitCode, 0);

  const auto a = readResult(dir.file("masked.krn1"));
  const auto b = readResult(dir.file("plain.krn1"));
  const auto c = readResult(dir.file("raw.krn1"));
  ASSERT_TRUE(a && b && c);
  EXPECT_TRUE(test::resultsAgree(*a, *b));
  EXPECT_FALSE(test::resultsAgree(*c, *b));
}

TEST(RunEndToEnd, UnreadableFirstFrameEndsWithStatus255AndNoResult) {
  TempDir dir;
  test::writeBytes(dir.file("x_1.fits"), "SIMPLE  =                    T");
  const auto r = runKorrinBinary({"--dir=" + dir.path().string()});
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 255);
  const std::string path = dir.file("x_1.fits");
  EXPECT_NE(r.out.find("Using 1 threads\nError loading " + path +
                       "\nUnsupported image width -1\ncalcKRN execution time with 1 files and 1 "
                       "threads: "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Output written to " + dir.file("x.krn1") + "\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.krn1")));
}

TEST(RunEndToEnd, ResultSizesAtTheDefaultLimits) {
  TempDir dir;
  for (int width : {128, 1024}) {
    const std::string sub = dir.file(std::to_string(width) + "w");
    std::filesystem::create_directory(sub);
    test::writeFitsImage(sub + "/t_01.fits", width, width, SampleType::U16, speckleFrame(width, 7));
    const auto r = runKorrinBinary({"--dir=" + sub});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Using " + std::to_string(width) + "x" + std::to_string(width) + " FFT\n"),
              std::string::npos);
    const uintmax_t expected = width == 128 ? 10486588u : 19046800u;
    EXPECT_EQ(std::filesystem::file_size(sub + "/t.krn1"), expected);
    const auto result = readResult(sub + "/t.krn1");
    ASSERT_TRUE(result);
    double total = 0;
    for (double v : result->power) total += v;
    EXPECT_EQ(result->powerChecksum, total);
  }
}

}  // namespace
}  // namespace korrin
