// ImageFrame on files written by cfitsio: the fields a worker relies on, the stacking summary
// and the release rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fits/image_frame.h"
#include "tests/hostile/hostile_corpus.h"
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

TEST_F(ImageFrameTest, ReleasesMayBeRepeatedAfterAFailedLoadAndAfterASuccess) {
  EXPECT_EQ(load(dir_.file("gone.fits")), -1);
  EXPECT_NE(err_, "");
  EXPECT_EQ(std::tuple(frame_.width, frame_.pixelFormat, frame_.pixels, frame_.externalPixels),
            std::tuple(0, 7, nullptr, true));
  releaseFrame(&frame_);
  releaseFrame(&frame_);

  // A frame cleared and initialised again loads the next file.
  std::memset(&frame_, 0, sizeof frame_);
  initFrame(&frame_);
  ASSERT_EQ(load(writeFrame({}, 3, 3)), 0);
  EXPECT_EQ(frame_.pixelCount, 9);
  releaseFitsRecords(&frame_);  // loadFrame already released them
  releaseFitsRecords(&frame_);
  EXPECT_EQ(frame_.pixels[7], 7.0f);  // pixels survive the records' release
  releaseFrame(&frame_);
  EXPECT_EQ(frame_.pixels, nullptr);
  EXPECT_TRUE(frame_.externalPixels);
  releaseFrame(&frame_);
}

// The worker's route: frames of its size decoded straight into its buffer. Everything a caller
// can see must equal loadFrame's: status, message, fields and every pixel bit, for every
// sample type, a cut-short file, a file of another size (loaded the usual way) and a bad file.
TEST_F(ImageFrameTest, LoadingIntoCallerBuffersEqualsLoadFrame) {
  constexpr int kSide = 16;
  std::vector<float> values(kSide * kSide);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>((i * 37) % 251);
  values[5] = 250.75f;
  std::vector<std::string> paths;
  for (const auto& [name, type] :
       {std::pair{"u8.fits", SampleType::U8}, std::pair{"i16.fits", SampleType::I16},
        std::pair{"u16.fits", SampleType::U16}, std::pair{"f32.fits", SampleType::F32}}) {
    paths.push_back(dir_.file(name));
    test::writeFitsImage(paths.back(), kSide, kSide, type, values, {{"EXPTIME", "0.02"}});
  }
  paths.push_back(dir_.file("cut.fits"));
  std::vector<std::string> cards = test::imageCards("16", "16", "16");
  cards.push_back(test::valueCard("BZERO", "-5"));
  test::writeBytes(paths.back(), test::headerBlock(cards) + test::samples16({1, 2, 3}));
  paths.push_back(writeFrame({}, kSide, kSide + 1));
  paths.push_back(dir_.file("gone.fits"));

  std::vector<float> buffer(kSide * kSide);
  std::vector<unsigned char> raw(2 * buffer.size());
  const FitsSampleTarget target{buffer.data(), kSide, kSide, raw.data(),
                                static_cast<int64_t>(raw.size())};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    ImageFrame plain;
    std::memset(&plain, 0, sizeof plain);
    initFrame(&plain);
    const int plainStatus = load(path);
    std::swap(plain, frame_);
    const std::string plainErr = err_;

    std::fill(buffer.begin(), buffer.end(), std::numeric_limits<float>::quiet_NaN());
    ::testing::internal::CaptureStderr();
    const int status = loadFrameInto(&frame_, path.c_str(), target);
    err_ = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, plainStatus);
    EXPECT_EQ(err_, plainErr);
    const bool decodedHere = frame_.pixels == buffer.data();
    EXPECT_EQ(decodedHere, status == 0 && frame_.height == kSide);
    EXPECT_EQ(frame_.externalPixels, decodedHere || plain.externalPixels);
    ImageFrame a = plain;
    ImageFrame b = frame_;
    a.pixels = b.pixels = nullptr;
    a.externalPixels = b.externalPixels = false;
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "fields differ";
    if (plain.pixels != nullptr) {
      ASSERT_NE(frame_.pixels, nullptr);
      EXPECT_EQ(std::memcmp(plain.pixels, frame_.pixels, sizeof(float) * plain.pixelCount), 0);
    }
    releaseFrame(&plain);
    releaseFrame(&frame_);
    std::memset(&frame_, 0, sizeof frame_);
    initFrame(&frame_);
  }
}

}  // namespace
}  // namespace korrin
