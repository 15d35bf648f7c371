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

// A file that is not FITS, and one listed but gone by the time its worker reaches it, are
// reported and skipped; they still count in the divisor.
TEST_F(RunDriver, UnreadableFramesCountInTheDivisor) {
  const std::string text = dir.file("text.fits"), gone = dir.file("gone.fits");
  test::writeBytes(text, "not a FITS file");
  const test::DriverRun run = runDriver(
      {frame("a.fits", 128, 2.0f), text, gone, frame("b.fits", 128, 3.0f)}, 1, 1, 1, out());
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("error opening file:  " + gone), std::string::npos);
  EXPECT_TRUE(test::hasLine(run.out, "Error loading " + text));
  EXPECT_TRUE(test::hasLine(run.out, "Error loading " + gone));
  EXPECT_EQ(readResult(out())->powerAt(0, 0), static_cast<double>(13.0f / 4.0f));
}

TEST_F(RunDriver, LimitsBeyondTheSpectrumAreRefusedOnceTheWidthIsKnown) {
  const std::string a = frame("a.fits", 128, 1.0f);
  const std::pair<std::array<int, 3>, std::string> cases[] = {
      {{64, 9, 0}, "kmax 64 is out of range 0..63 for 128x128 frames\n"},
      {{-1, 9, 0}, "kmax -1 is out of range 0..63 for 128x128 frames\n"},
      {{63, 64, 0}, "dkmax 64 is out of range 0..63 for 128x128 frames\n"},
      {{10, -2, 0}, "dkmax -2 is out of range 0..63 for 128x128 frames\n"},
      {{63, 1, 0}, ""},  // each limit at its edge is taken
      {{1, 63, 0}, ""},
      {{1, 1, 200}, ""},  // and any mask radius, even beyond the frame
  };
  for (const auto& [limits, message] : cases) {
    const test::DriverRun run = runDriver({a}, 1, limits[0], limits[1], out(), limits[2]);
    EXPECT_EQ(run.status == 0, message.empty());
    EXPECT_EQ(run.out.starts_with("Using 128x128 FFT\n") ? "" : run.out, message);
    EXPECT_EQ(std::filesystem::exists(out()), message.empty());
  }
}

// Power c^2 and one phase of 0 (c^3 is real and positive) at every width; at the default limits
// W = 128 leaves out the pairs whose -(u + v) falls outside.
TEST_F(RunDriver, ConstantFramePowerAndBispectrumAtEveryWidth) {
  for (int width : {128, 256, 512, 1024}) {
    ASSERT_EQ(runDriver({frame(std::to_string(width), width, 3.0f)}, 1, 0, 0, out()).status, 0);
    const auto r = readResult(out());
    EXPECT_EQ(std::tuple(r->width, r->powerAt(0, 0), r->powerChecksum, r->phases),
              std::tuple(width, 9.0, 9.0, std::vector<float>{0.0f}));
  }
  for (const auto& [width, bytes] : {std::pair{128, 10486588u}, std::pair{1024, 19046800u}}) {
    ASSERT_EQ(runDriver({dir.file(std::to_string(width))}, 1, 60, 9, out()).status, 0);
    EXPECT_EQ(std::filesystem::file_size(out()), bytes);
  }
}

// A result that was not written must not look written: the run fails and says why.
TEST_F(RunDriver, ResultThatCannotBeWrittenFailsTheRun) {
  const std::string a = frame("a.fits", 128, 1.0f);
  const test::DriverRun run = runDriver({a}, 1, 60, 9, dir.file("missing/out.krn1"));
  EXPECT_EQ(std::pair(run.status, run.err),
            std::pair(-1, "Cannot write result file " + dir.file("missing/out.krn1") +
                              ": No such file or directory\n"));
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

// A star at the centre, ringed by pixels bright enough that it is never taken for hot pixels, on
// a background of 500 whose sampled bands alone vary (by +-10, so mean 500, sigma 7.7, threshold
// 5 sigma 538.6, hot level 615.8). The dirty copy adds that noise, a pixel of 100000 in the star's
// disc whose right and lower neighbours (530) are below the threshold, so only the hot-pixel
// repair can remove it, and dark pixels and one NaN far out (odd coordinates, outside the sample),
// which only the mask sets to the mean. Nothing else differs from 500 within twice the mask
// radius, so the random fringe cannot change the result: masked, the dirty frame gives the clean
// one's, while unmasked its NaN would reach the transform and the frame is skipped.
TEST(RunEndToEnd, MaskRepairsHotPixelsAndSetsFarPixelsToTheBackgroundMean) {
  std::vector<float> clean(128 * 128, 500.0f);
  for (int y = 61; y <= 67; ++y)
    for (int x = 61; x <= 67; ++x)
      clean[y * 128 + x] = x % 6 == 1 || y % 6 == 1 ? 600.0f : 4000.0f - 100.0f * std::abs(x - 64);
  clean[67 * 128 + 59] = clean[67 * 128 + 60] = 530.0f;
  std::vector<float> dirty = clean;
  dirty[66 * 128 + 60] = 100000.0f;
  for (int y : {3, 41, 87, 125})
    for (int x : {5, 33, 95, 121}) dirty[y * 128 + x] = 100.0f;
  dirty[41 * 128 + 33] = NAN;
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128 && (y < 16 || y > 98); x += 2) dirty[y * 128 + x] += x % 4 ? 10 : -10;
  auto run = [](const std::vector<float>& pixels, bool masked) {
    const test::Capture c;
    test::writeFitsImage(c.dir().string() + "/s_1.fits", 128, 128, test::SampleType::F32, pixels);
    const test::ProcessResult r =
        c.run({"--kmax=60", "--dkmax=9", masked ? "--mask_radius=8" : "--mask_radius=0"});
    EXPECT_EQ(r.exitCode, 0);
    return std::pair(c.result(), r.out.find(": non-finite pixel values") != std::string::npos);
  };
  const auto [masked, maskedSkipped] = run(dirty, true);
  const auto [reference, referenceSkipped] = run(clean, false);
  const auto [raw, rawSkipped] = run(dirty, false);
  ASSERT_TRUE(masked && reference && raw);
  EXPECT_TRUE(test::resultsAgree(*masked, *reference));
  EXPECT_EQ(std::tuple(maskedSkipped, referenceSkipped, rawSkipped),
            std::tuple(false, false, true));
}

}  // namespace
}  // namespace korrin
