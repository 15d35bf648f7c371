// The run driver in-process with explicit frame lists, so that the order of the frames (which a
// directory listing does not fix) is under the test's control.
#include "run/calc_krn.h"

#include <gtest/gtest.h>

#include <cmath>
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

TEST(FillWalk, KeepsTargetsAndFillsEverythingElse) {
  std::vector<float> pixels(16);
  for (int i = 0; i < 16; ++i) pixels[i] = static_cast<float>(i + 100);
  fillOutsideTargets(pixels.data(), 16, {-1, 0, 3}, 5, 0.0f);  // targets 4, 5, 8
  const std::vector<float> expected{0, 0, 0, 0, 104, 105, 0, 0, 108, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(pixels, expected);
}

TEST(FillWalk, TargetsAboveTheImageKeepTheFirstPixelsAndTargetsPastTheEndNothing) {
  std::vector<float> pixels(8, 1.0f);
  // Targets -3, -2 keep pixels 0 and 1; target 2 keeps pixel 2; targets 9 and 10 are never reached.
  fillOutsideTargets(pixels.data(), 8, {-5, -4, 0, 7, 8}, 2, 0.0f);
  EXPECT_EQ(pixels, (std::vector<float>{1, 1, 1, 0, 0, 0, 0, 0}));
  std::vector<float> all(4, 1.0f);
  fillOutsideTargets(all.data(), 4, {100}, 0, 0.0f);
  EXPECT_EQ(all, (std::vector<float>{0, 0, 0, 0}));
  std::vector<float> none(4, 1.0f);
  fillOutsideTargets(none.data(), 4, {-10}, 0, 0.0f);  // keeps pixel 0, fills the rest
  EXPECT_EQ(none, (std::vector<float>{1, 0, 0, 0}));
}

TEST(FillWalk, DuplicateTargetsKeepTheNextPixel) {
  std::vector<float> pixels(6, 1.0f);
  fillOutsideTargets(pixels.data(), 6, {2, 2}, 0, 0.0f);
  EXPECT_EQ(pixels, (std::vector<float>{0, 0, 1, 1, 0, 0}));
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

TEST_F(RunDriver, AFrameOfAnotherHeightEndsTheShare) {
  const std::string a = frame("a.fits", 128, 2.0f);
  const std::string b = frame("b.fits", 128, 1.0f, 64);
  StdoutCapture capture;
  ASSERT_EQ(calcKRN({a, b}, 1, 0, 0, 0, 10, out()), 0);
  EXPECT_NE(capture.text().find("Skipping " + b + " height 64\n"), std::string::npos);
}

TEST_F(RunDriver, UnreadableFramesCountInTheDivisor) {
  std::vector<std::string> files;
  float sumOfSquares = 0.0f;
  for (int i = 0; i < 10; ++i) {
    const std::string name = std::to_string(i) + "f.fits";
    if (i == 3 || i == 7) {
      test::writeBytes(dir.file(name), "not a FITS file");
      files.push_back(dir.file(name));
    } else {
      files.push_back(frame(name, 128, static_cast<float>(i + 1)));
    }
  }
  StdoutCapture capture;
  ASSERT_EQ(calcKRN(files, 1, 1, 1, 0, 10, out()), 0);
  EXPECT_NE(capture.text().find("Error loading " + files[3] + "\n"), std::string::npos);
  EXPECT_NE(capture.text().find("Error loading " + files[7] + "\n"), std::string::npos);
  for (int i = 0; i < 10; ++i) {
    if (i != 3 && i != 7) sumOfSquares = static_cast<float>((i + 1) * (i + 1)) + sumOfSquares;
  }
  const auto r = readResult(out());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->powerAt(0, 0), static_cast<double>(sumOfSquares / 10.0f));
}

TEST_F(RunDriver, UnreadableFirstFrameRefusesTheRun) {
  test::writeBytes(dir.file("bad.fits"), "");
  const std::string good = frame("good.fits", 128, 1.0f);
  StdoutCapture capture;
  EXPECT_EQ(calcKRN({dir.file("bad.fits"), good}, 1, 60, 9, 0, 10, out()), -1);
  EXPECT_EQ(capture.text(),
            "Error loading " + dir.file("bad.fits") + "\nUnsupported image width -1\n");
  EXPECT_FALSE(std::filesystem::exists(out()));
}

TEST_F(RunDriver, UnsupportedFirstWidthRefusesTheRun) {
  const std::string odd = frame("odd.fits", 200, 1.0f);
  StdoutCapture capture;
  EXPECT_EQ(calcKRN({odd}, 1, 60, 9, 0, 10, out()), -1);
  EXPECT_EQ(capture.text(), "Unsupported image width 200\n");
  EXPECT_FALSE(std::filesystem::exists(out()));
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

TEST_F(RunDriver, NonFiniteFramesAreSkippedButCounted) {
  const std::string a = frame("a.fits", 128, 3.0f);
  std::vector<float> pixels(128 * 128, 1.0f);
  pixels[5000] = std::nanf("");
  test::writeFitsImage(dir.file("nan.fits"), 128, 128, SampleType::F32, pixels);
  pixels[5000] = INFINITY;
  test::writeFitsImage(dir.file("inf.fits"), 128, 128, SampleType::F32, pixels);
  // 2^40 is the first magnitude whose transform could overflow; just below it is still summed.
  pixels[5000] = -std::ldexp(1.0f, 40);
  test::writeFitsImage(dir.file("huge.fits"), 128, 128, SampleType::F32, pixels);
  pixels[5000] = std::nextafter(std::ldexp(1.0f, 40), 0.0f);
  test::writeFitsImage(dir.file("large.fits"), 128, 128, SampleType::F32, pixels);
  StdoutCapture capture;
  ASSERT_EQ(calcKRN({dir.file("nan.fits"), a, dir.file("inf.fits"), dir.file("huge.fits")}, 1, 4, 2,
                    0, 10, out()),
            0);
  EXPECT_NE(capture.text().find("Skipping " + dir.file("huge.fits") + ": pixel values too large\n"),
            std::string::npos);
  ASSERT_EQ(calcKRN({dir.file("large.fits")}, 1, 4, 2, 0, 10, dir.file("large.krn1")), 0);
  EXPECT_EQ(capture.text().find("large.fits: "), std::string::npos);
  EXPECT_NE(capture.text().find("Skipping " + dir.file("nan.fits") + ": non-finite pixel values\n"),
            std::string::npos);
  EXPECT_NE(capture.text().find("Skipping " + dir.file("inf.fits") + ": non-finite pixel values\n"),
            std::string::npos);
  const auto r = readResult(out());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->powerAt(0, 0), static_cast<double>(9.0f / 4.0f));
  for (double v : r->power) ASSERT_TRUE(std::isfinite(v));
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
