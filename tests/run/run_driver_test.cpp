// The run driver in this process with explicit frame lists, so that the order of the frames (which
// a directory listing does not fix) is under the test's control; then whole runs of the program.
#include "run/calc_krn.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "run/frame_worker.h"
#include "tests/hostile/hostile_corpus.h"
#include "tests/support/capture.h"
#include "tests/support/driver_run.h"
#include "tests/support/fits_fixture.h"

namespace korrin {
namespace {

using test::readResult;
using test::runDriver;

TEST(DealShares, PathsAreDealtInTurn) {
  using Shares = std::vector<std::vector<std::string>>;
  EXPECT_EQ(dealShares({"a", "b", "c"}, 2), (Shares{{"a", "c"}, {"b"}}));
  EXPECT_EQ(dealShares({"0", "1", "2", "3", "4"}, 4), (Shares{{"0", "4"}, {"1"}, {"2"}, {"3"}}));
}

// Targets are `offsets` shifted by `centre`; pixels keep the value 1 or become the fill 0.
TEST(FillWalk, KeepsOnePixelPerTargetAndFillsTheRest) {
  const std::vector<std::tuple<int, std::vector<int>, int, std::vector<float>>> cases{
      // clang-format off
      {12, {-1, 0, 3}, 5, {0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0}}, {4, {100}, 0, {0, 0, 0, 0}},
      // Targets -3 and -2 above the image keep pixels 0 and 1; 9 and 10 are never reached.
      {8, {-5, -4, 0, 7, 8}, 2, {1, 1, 1, 0, 0, 0, 0, 0}}, {4, {-10}, 0, {1, 0, 0, 0}},
      {6, {2, 2}, 0, {0, 0, 1, 1, 0, 0}},  // a repeated target keeps the next pixel
      // clang-format on
  };
  for (const auto& [count, offsets, centre, expected] : cases) {
    std::vector<float> pixels(static_cast<size_t>(count), 1.0f);
    fillOutsideTargets(pixels.data(), count, offsets, centre, 0.0f);
    EXPECT_EQ(pixels, expected) << offsets[0] << " at " << centre;
  }
}

class RunDriver : public ::testing::Test {
 protected:
  std::string frame(const std::string& name, int width, float value) {
    test::writeConstantFits(dir.file(name), width, value);
    return dir.file(name);
  }
  std::string out() const { return dir.file("out.krn1"); }

  test::TempDir dir;
};

TEST_F(RunDriver, OneWorkerWritesItsLinesInOrderAndStopsAtAFrameOfAnotherWidth) {
  const std::string a = frame("a.fits", 128, 2.0f);
  const std::string b = frame("b.fits", 256, 1.0f);
  const std::string c = frame("c.fits", 128, 5.0f);
  ASSERT_EQ(runDriver({a, b, c}, 1, 2, 1, out()).out,
            "Using 128x128 FFT\nprocessing 3 files\nProcessing " + a + "\nProcessing " + b +
                "\nSkipping " + b + " width 256\n");
  const auto r = readResult(out());
  ASSERT_TRUE(r);
  // Only the first frame was added, and the divisor still counts all three files.
  EXPECT_EQ(r->powerAt(0, 0), static_cast<double>(4.0f / 3.0f));
  EXPECT_EQ(r->powerAt(1, 0), 0.0);
}

// Frame 3 is not FITS; frame 7 was listed but is gone by the time its worker reaches it.
TEST_F(RunDriver, UnreadableFramesCountInTheDivisor) {
  std::vector<std::string> files;
  float sumOfSquares = 0.0f;
  for (int i = 0; i < 10; ++i) {
    files.push_back(dir.file(std::to_string(i) + "f.fits"));
    if (i == 3) test::writeBytes(files.back(), "not a FITS file");
    if (i == 3 || i == 7) continue;
    frame(std::to_string(i) + "f.fits", 128, static_cast<float>(i + 1));
    sumOfSquares = static_cast<float>((i + 1) * (i + 1)) + sumOfSquares;
  }
  const test::DriverRun run = runDriver(files, 1, 1, 1, out());
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("error opening file:  " + files[7]), std::string::npos);
  EXPECT_TRUE(test::hasLine(run.out, "Error loading " + files[3]));
  EXPECT_TRUE(test::hasLine(run.out, "Error loading " + files[7]));
  const auto r = readResult(out());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->powerAt(0, 0), static_cast<double>(sumOfSquares / 10.0f));
}

TEST_F(RunDriver, LimitsBeyondTheSpectrumAreRefusedOnceTheWidthIsKnown) {
  const std::string a = frame("a.fits", 128, 1.0f);
  const std::pair<std::array<int, 3>, std::string> cases[] = {
      {{64, 9, 0}, "kmax 64 is out of range 0..63 for 128x128 frames\n"},
      {{-1, 9, 0}, "kmax -1 is out of range 0..63 for 128x128 frames\n"},
      {{63, 64, 0}, "dkmax 64 is out of range 0..63 for 128x128 frames\n"},
      {{10, -2, 0}, "dkmax -2 is out of range 0..63 for 128x128 frames\n"},
      {{10, 2, 129}, "mask_radius 129 is out of range 0..128 for 128x128 frames\n"},
  };
  for (const auto& [limits, message] : cases) {
    const test::DriverRun run = runDriver({a}, 1, limits[0], limits[1], out(), limits[2]);
    EXPECT_EQ(std::pair(run.status, run.out), std::pair(-1, message));
    EXPECT_FALSE(std::filesystem::exists(out()));
  }
}

TEST_F(RunDriver, ConstantFramePowerAndBispectrumAtEveryWidth) {
  for (int width : {128, 256, 512, 1024}) {
    const std::string a = frame(std::to_string(width) + ".fits", width, 3.0f);
    ASSERT_EQ(runDriver({a}, 1, 0, 0, out()).status, 0);
    const auto r = readResult(out());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->width, width);
    EXPECT_EQ(r->powerAt(0, 0), 9.0);
    EXPECT_EQ(r->powerChecksum, 9.0);
    EXPECT_EQ(r->phases, std::vector<float>{0.0f});  // c^3 is real and positive
  }
  // At the default limits W = 128 leaves out the pairs whose -(u + v) falls outside.
  for (const auto& [width, bytes] : {std::pair{128, 10486588u}, std::pair{1024, 19046800u}}) {
    ASSERT_EQ(runDriver({dir.file(std::to_string(width) + ".fits")}, 1, 60, 9, out()).status, 0);
    EXPECT_EQ(std::filesystem::file_size(out()), bytes);
  }
}

TEST_F(RunDriver, ResultInAMissingDirectoryStillSucceeds) {
  const std::string a = frame("a.fits", 128, 1.0f);
  EXPECT_EQ(runDriver({a}, 1, 60, 9, dir.file("missing/out.krn1")).status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

// With more than one worker the first one plans while the second prepares the first one's sums
// before its own; the first must then run on fully prepared sums (under TSan this also checks the
// hand-over). Three workers in one process share one plan, so the results agree with one worker
// up to the order of the float additions.
TEST_F(RunDriver, WorkersThatHandOverTheirSumsAgreeWithOneWorker) {
  std::vector<std::string> files;
  for (int i = 0; i < 7; ++i) {
    files.push_back(dir.file(std::to_string(i) + ".fits"));
    test::writeBytes(files.back(), test::validFrameBytes(128, 16, 100 + i));
  }
  ASSERT_EQ(runDriver(files, 1, 60, 9, dir.file("one.krn1")).status, 0);
  const test::DriverRun three = runDriver(files, 3, 60, 9, dir.file("three.krn1"));
  ASSERT_EQ(three.status, 0);
  const auto one = readResult(dir.file("one.krn1"));
  const auto all = readResult(dir.file("three.krn1"));
  ASSERT_TRUE(one && all);
  EXPECT_TRUE(test::resultsAgree(*all, *one));
  // Every frame is announced once, and the workers' counts add up to the frames.
  int processing = 0, announced = 0;
  std::istringstream lines(three.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("processing ")) announced += std::stoi(line.substr(11));
    processing += line.starts_with("Processing ");
  }
  EXPECT_EQ(std::pair(announced, processing), std::pair(7, 7));
  for (const auto& f : files) EXPECT_TRUE(test::hasLine(three.out, "Processing " + f));
}

// A background of exactly 500 (so mean 500, sigma 0, threshold 500) and a star at the centre; the
// dirty copy adds a pixel of 100000 inside the star's disc, which only the hot-pixel repair can
// remove, and dark pixels far out, which only the mask sets to the mean (odd coordinates lie
// outside the background sample, and darker pixels are never repaired). Nothing else differs from
// 500 outside the disc, so the random fringe cannot change the result.
TEST(RunEndToEnd, MaskRepairsHotPixelsAndSetsFarPixelsToTheBackgroundMean) {
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
  auto run = [](const std::vector<float>& pixels, bool masked) {
    const test::Capture c;
    test::writeFitsImage(c.dir().string() + "/s_1.fits", 128, 128, test::SampleType::F32, pixels);
    EXPECT_EQ(
        c.run({"--kmax=60", "--dkmax=9", masked ? "--mask_radius=8" : "--mask_radius=0"}).exitCode,
        0);
    return c.result();
  };
  const auto masked = run(dirty, true);
  const auto reference = run(clean, false);
  const auto raw = run(dirty, false);
  ASSERT_TRUE(masked && reference && raw);
  EXPECT_TRUE(test::resultsAgree(*masked, *reference));
  EXPECT_FALSE(test::resultsAgree(*raw, *reference));
}

}  // namespace
}  // namespace korrin
