// ImageFrame on files written by cfitsio: the fields a worker relies on, the stacking summary
// and the release rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fits/image_frame.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::FitsKey;
using test::SampleType;

class ImageFrameTest : public ::testing::Test {
 protected:
  ImageFrameTest() {
    std::memset(&frame_, 0, sizeof frame_);
    initFrame(&frame_);
  }
  ~ImageFrameTest() override { releaseFrame(&frame_); }

  int load(const std::string& path) {
    ::testing::internal::CaptureStderr();
    const int status = loadFrame(&frame_, path.c_str());
    err_ = ::testing::internal::GetCapturedStderr();
    return status;
  }

  std::string writeFrame(const std::vector<FitsKey>& keys, int width = 4, int height = 2) {
    const std::string path = dir_.file("frame.fits");
    std::vector<float> pixels(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>(i);
    test::writeFitsImage(path, width, height, SampleType::U16, pixels, keys);
    return path;
  }

  test::TempDir dir_;
  ImageFrame frame_;
  std::string err_;
};

TEST_F(ImageFrameTest, LoadedFrameOf128SquareSixteenBit) {
  std::vector<float> pixels(128 * 128);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>(i % 60000);
  const std::string path = dir_.file("f128.fits");
  test::writeFitsImage(path, 128, 128, SampleType::U16, pixels,
                       {{"EXPTIME", "0.015"}, {"FOCPOS", "4321"}, {"FILTER", "R", true}});
  ASSERT_EQ(load(path), 0) << err_;
  EXPECT_EQ(std::tuple(frame_.width, frame_.height, frame_.pixelCount, frame_.byteSize,
                       frame_.rowStride, frame_.pixelFormat, frame_.bytesPerPixel,
                       frame_.bytesPerSample, frame_.externalPixels),
            std::tuple(128, 128, 16384, 65536, 512, 8, 4, 4, false));
  ASSERT_NE(frame_.pixels, nullptr);
  EXPECT_EQ(std::vector<float>(frame_.pixels, frame_.pixels + 16384), pixels);
  // The descriptive values are copied, not re-read: one of each kind.
  EXPECT_EQ(frame_.exposure, 0.015f);
  EXPECT_EQ(frame_.focusPosition, 4321);
  EXPECT_STREQ(frame_.filterName, "R");
  EXPECT_STREQ(frame_.raText, "999");
  EXPECT_EQ(frame_.exposureCount, 1);
  EXPECT_EQ(frame_.totalExposure, 0.0f);
  // The reader's buffers are gone: the frame depends only on its own pixels.
  EXPECT_EQ(frame_.fits.fitsHeader, nullptr);
  EXPECT_EQ(frame_.fits.floatArray, nullptr);
}

TEST_F(ImageFrameTest, StackingSummaryFromFirstComment) {
  struct Case {
    std::string comment;
    int exposureCount;
    float totalExposure;
  };
  const std::vector<Case> cases = {
      {"mstack 10 nexp 25 exptotal 2.5", 25, 2.5f},
      {"mstack 3 nexp 7", 7, 0.0f},                  // stops after nexp
      {"mstack 3 frames 7 exptotal 2.5", 1, 0.0f},   // mismatch before nexp
      {"stacked 10 nexp 25 exptotal 2.5", 1, 0.0f},  // not a summary
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.comment);
    std::memset(&frame_, 0, sizeof frame_);
    initFrame(&frame_);
    ASSERT_EQ(load(writeFrame({{"QZCOM1", c.comment, true}})), 0);
    EXPECT_EQ(frame_.exposureCount, c.exposureCount);
    EXPECT_EQ(frame_.totalExposure, c.totalExposure);
    releaseFrame(&frame_);
  }
}

TEST_F(ImageFrameTest, FailedLoadLeavesTheFrameInitialised) {
  EXPECT_EQ(load(dir_.file("gone.fits")), -1);
  EXPECT_NE(err_, "");
  EXPECT_EQ(frame_.width, 0);
  EXPECT_EQ(frame_.pixelFormat, 7);
  EXPECT_EQ(frame_.pixels, nullptr);
  EXPECT_TRUE(frame_.externalPixels);
  releaseFrame(&frame_);
  releaseFrame(&frame_);
  EXPECT_EQ(frame_.pixels, nullptr);
}

TEST_F(ImageFrameTest, EmptyImageHasNoPixels) {
  const std::string path = dir_.file("empty.fits");
  test::writeBytes(path, test::fitsHeaderBlock({test::fitsValueCard("BITPIX", "16"),
                                                test::fitsValueCard("NAXIS1", "0"),
                                                test::fitsValueCard("NAXIS2", "128")}));
  ASSERT_EQ(load(path), 0) << err_;
  EXPECT_EQ(frame_.width, 0);
  EXPECT_EQ(frame_.height, 128);
  EXPECT_EQ(frame_.byteSize, 0);
  EXPECT_EQ(frame_.pixels, nullptr);
  EXPECT_TRUE(frame_.externalPixels);
}

TEST_F(ImageFrameTest, ReleasesMayBeRepeatedInAnyOrder) {
  ASSERT_EQ(load(writeFrame({})), 0);
  releaseFitsRecords(&frame_);  // loadFrame already released them
  releaseFitsRecords(&frame_);
  EXPECT_EQ(frame_.pixels[7], 7.0f);  // pixels survive the records' release
  releaseFrame(&frame_);
  EXPECT_EQ(frame_.pixels, nullptr);
  EXPECT_TRUE(frame_.externalPixels);
  releaseFrame(&frame_);

  // A frame cleared and initialised again loads the next file.
  std::memset(&frame_, 0, sizeof frame_);
  initFrame(&frame_);
  ASSERT_EQ(load(writeFrame({}, 3, 3)), 0);
  EXPECT_EQ(frame_.pixelCount, 9);
}

}  // namespace
}  // namespace korrin
