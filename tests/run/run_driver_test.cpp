// The run driver in-process with explicit frame lists, so that the order of the frames (which a
// directory listing does not fix) is under the test's control.
#include "run/calc_krn.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "run/frame_worker.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/result_reader.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::readResult;
using test::SampleType;
using test::TempDir;

// Captures what the driver writes to std::cout. Only for single-worker runs: several workers
// writing into one stringstream would race.
class StdoutCapture {
 public:
  StdoutCapture() : old_(std::cout.rdbuf(text_.rdbuf())) {}
  ~StdoutCapture() { std::cout.rdbuf(old_); }
  std::string text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* old_;
};

TEST(DealShares, PathsAreDealtInTurn) {
  const std::vector<std::string> three{"a", "b", "c"};
  EXPECT_EQ(dealShares(three, 2), (std::vector<std::vector<std::string>>{{"a", "c"}, {"b"}}));
  const std::vector<std::string> five{"0", "1", "2", "3", "4"};
  EXPECT_EQ(dealShares(five, 4),
            (std::vector<std::vector<std::string>>{{"0", "4"}, {"1"}, {"2"}, {"3"}}));
  EXPECT_EQ(dealShares({"x"}, 1), (std::vector<std::vector<std::string>>{{"x"}}));
}

// Targets are `offsets` shifted by `centre`; pixels keep the value 1 or become the fill 0.
TEST(FillWalk, KeepsOnePixelPerTargetAndFillsTheRest) {
  const struct {
    int pixels;
    std::vector<int> offsets;
    int centre;
    std::vector<float> expected;
  } cases[] = {
      {12, {-1, 0, 3}, 5, {0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0}},
      // Targets -3 and -2 above the image keep pixels 0 and 1; 9 and 10 are never reached.
      {8, {-5, -4, 0, 7, 8}, 2, {1, 1, 1, 0, 0, 0, 0, 0}},
      {4, {100}, 0, {0, 0, 0, 0}},
      {4, {-10}, 0, {1, 0, 0, 0}},
      {6, {2, 2}, 0, {0, 0, 1, 1, 0, 0}},  // a repeated target keeps the next pixel
  };
  for (const auto& c : cases) {
    std::vector<float> pixels(static_cast<size_t>(c.pixels), 1.0f);
    fillOutsideTargets(pixels.data(), c.pixels, c.offsets, c.centre, 0.0f);
    EXPECT_EQ(pixels, c.expected) << c.offsets[0] << " at " << c.centre;
  }
}

class RunDriver : public ::testing::Test {
 protected:
  std::string frame(const std::string& name, int width, float value, int height = 0) {
    const std::string path = dir.file(name);
    if (height == 0) height = width;
    test::writeFitsImage(path, width, height, SampleType::F32,
                         std::vector<float>(static_cast<size_t>(width) * height, value));
    return path;
  }
  std::string out() const { return dir.file("out.krn1"); }

  TempDir dir;
};

TEST_F(RunDriver, OneWorkerWritesItsLinesInOrderAndStopsAtAFrameOfAnotherWidth) {
  const std::string a = frame("a.fits", 128, 2.0f);
  const std::string b = frame("b.fits", 256, 1.0f);
  const std::string c = frame("c.fits", 128, 5.0f);
  StdoutCapture capture;
  ASSERT_EQ(calcKRN({a, b, c}, 1, 2, 1, 0, 10, out()), 0);
  EXPECT_EQ(capture.text(), "Using 128x128 FFT\nprocessing 3 files\nProcessing " + a +
                                "\nProcessing " + b + "\nSkipping " + b + " width 256\n");
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
  StdoutCapture capture;
  ASSERT_EQ(calcKRN(files, 1, 1, 1, 0, 10, out()), 0);
  EXPECT_NE(capture.text().find("Error loading " + files[3] + "\n"), std::string::npos);
  EXPECT_NE(capture.text().find("Error loading " + files[7] + "\n"), std::string::npos);
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
    StdoutCapture capture;
    EXPECT_EQ(calcKRN({a}, 1, limits[0], limits[1], limits[2], 10, out()), -1);
    EXPECT_EQ(capture.text(), message);
    EXPECT_FALSE(std::filesystem::exists(out()));
  }
}

TEST_F(RunDriver, ConstantFramePowerAndBispectrumAtEveryWidth) {
  for (int width : {128, 256, 512, 1024}) {
    const std::string a = frame(std::to_string(width) + ".fits", width, 3.0f);
    std::filesystem::remove(out());
    ASSERT_EQ(calcKRN({a}, 1, 0, 0, 0, 10, out()), 0);
    const auto r = readResult(out());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->width, width);
    EXPECT_EQ(r->powerAt(0, 0), 9.0);
    EXPECT_EQ(r->powerChecksum, 9.0);
    ASSERT_EQ(r->phases.size(), 1u);
    EXPECT_EQ(r->phases[0], 0.0f);  // c^3 is real and positive
  }
}

TEST_F(RunDriver, ResultInAMissingDirectoryStillSucceeds) {
  const std::string a = frame("a.fits", 128, 1.0f);
  StdoutCapture capture;
  EXPECT_EQ(calcKRN({a}, 1, 60, 9, 0, 10, dir.file("missing/out.krn1")), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

}  // namespace
}  // namespace korrin
