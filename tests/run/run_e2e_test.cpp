// Whole runs through the real binary on FITS captures written by cfitsio.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <sstream>

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
  int processing = 0, announced = 0, workers = 0;
  std::istringstream lines(many.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("processing ") && line.ends_with(" files")) {
      announced += std::stoi(line.substr(11));
      ++workers;
    }
    processing += line.starts_with("Processing " + capture + "/star_");
  }
  EXPECT_EQ(announced, 7);
  EXPECT_EQ(processing, 7);
  EXPECT_NE(many.out.find("Using " + std::to_string(workers) + " threads\n"), std::string::npos);

  const auto one = readResult(dir.file("one.krn1"));
  const auto all = readResult(dir.file("all.krn1"));
  ASSERT_TRUE(one && all);
  EXPECT_TRUE(test::resultsAgree(*all, *one));
}

// A background of exactly 500 (so mean 500, sigma 0, threshold 500) and a star at the centre; the
// dirty copy adds a pixel of 100000 inside the star's disc, which only the hot-pixel repair can
// remove, and dark pixels far out, which only the mask sets to the mean (odd coordinates lie
// outside the background sample, and darker pixels are never repaired). Nothing else differs from
// 500 outside the disc, so the random fringe cannot change the result.
TEST(RunEndToEnd, MaskRepairsHotPixelsAndSetsFarPixelsToTheBackgroundMean) {
  TempDir dir;
  std::vector<float> clean(128 * 128, 500.0f);
  for (int y = 62; y <= 66; ++y)
    for (int x = 62; x <= 66; ++x) clean[y * 128 + x] = 4000.0f - 100.0f * std::abs(x - 64);
  // Dark below the hot pixel, and nowhere right of or below a star pixel: with sigma 0 the star
  // pixels are above the hot level too, and a dark neighbour would have them repaired.
  clean[67 * 128 + 58] = 400.0f;
  std::vector<float> dirty = clean;
  dirty[66 * 128 + 58] = 100000.0f;
  for (int y : {3, 41, 87, 125})
    for (int x : {5, 33, 95, 121}) dirty[y * 128 + x] = 100.0f;
  auto run = [&](const std::string& name, const std::vector<float>& pixels, bool masked) {
    std::filesystem::create_directory(dir.file(name));
    test::writeFitsImage(dir.file(name + "/s_1.fits"), 128, 128, SampleType::F32, pixels);
    std::vector<std::string> args{"--dir=" + dir.file(name), "--out=" + dir.file(name + ".krn1")};
    if (masked) args.push_back("--mask_radius=8");
    EXPECT_EQ(runKorrinBinary(args).exitCode, 0);
    return readResult(dir.file(name + ".krn1"));
  };
  const auto masked = run("masked", dirty, true);
  const auto reference = run("clean", clean, false);
  const auto raw = run("raw", dirty, false);
  ASSERT_TRUE(masked && reference && raw);
  EXPECT_TRUE(test::resultsAgree(*masked, *reference));
  EXPECT_FALSE(test::resultsAgree(*raw, *reference));
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
