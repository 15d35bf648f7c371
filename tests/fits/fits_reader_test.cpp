// readFits and loadFrame on real files: fixtures written by cfitsio and malformed files assembled
// byte by byte. Messages are compared byte for byte, line numbers and line endings included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "fits/fitsio.h"
#include "fits/image_frame.h"
#include "tests/hostile/hostile_corpus.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::card;
using test::FitsKey;
using test::headerBlock;
using test::padded;
using test::samples16;
using test::SampleType;
using test::valueCard;

struct ReadResult {
  int status;
  std::string err;
};

class FitsReaderTest : public ::testing::Test {
 protected:
  FitsReaderTest() { initFitsInfo(&info_); }
  ~FitsReaderTest() override { releaseFitsInfo(&info_); }

  ReadResult read(const std::string& path) {
    // The reader reports through stdio's stderr: the descriptor is captured, not std::cerr.
    ::testing::internal::CaptureStderr();
    const int status = readFits(path.c_str(), &info_);
    return {status, ::testing::internal::GetCapturedStderr()};
  }

  // The cards' header followed by `data`.
  std::string write(const std::string& name, const std::vector<std::string>& cards,
                    const std::string& data = "") {
    const std::string path = dir_.file(name);
    test::writeBytes(path, headerBlock(cards) + data);
    return path;
  }

  // A primary header of the given geometry plus extra cards.
  static std::vector<std::string> image(int bitpix, int width, int height,
                                        std::vector<std::string> extra = {}) {
    std::vector<std::string> cards =
        test::imageCards(std::to_string(bitpix), std::to_string(width), std::to_string(height));
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
  }

  static std::string message(int line, const std::string& text) {
    return "fitsio.cpp (" + std::to_string(line) + "):  " + text + "\r\n";
  }

  std::vector<float> pixels() const {
    const size_t n = static_cast<size_t>(info_.naxis1) * static_cast<size_t>(info_.naxis2);
    return std::vector<float>(info_.floatArray, info_.floatArray + n);
  }

  test::TempDir dir_;
  FitsInfo info_;
};

// cfitsio as the reference writer: every supported sample type comes back with its values.
TEST_F(FitsReaderTest, ReadsCfitsioImagesOfEverySampleType) {
  struct Case {
    SampleType type;
    std::vector<float> written;
    std::vector<float> expected;
    int bitpix;
  };
  // Signed 16-bit without BZERO reads as unsigned words: -5 becomes 65531.
  const std::vector<Case> cases = {
      {SampleType::U16, {0, 1, 32767, 32768, 65535, 1234}, {0, 1, 32767, 32768, 65535, 1234}, 16},
      {SampleType::I16, {0, 1, -1, -5, 32767, -32768}, {0, 1, 65535, 65531, 32767, 32768}, 16},
      {SampleType::U8, {0, 1, 127, 128, 200, 255}, {0, 1, 127, 128, 200, 255}, 8},
      {SampleType::F32,
       {0.5f, -1.25f, 3e6f, 1e-7f, -0.0f, 42},
       {0.5f, -1.25f, 3e6f, 1e-7f, 0, 42},
       -32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bitpix);
    const std::string path = dir_.file("image.fits");
    test::writeFitsImage(path, 3, 2, c.type, c.written,
                         {{"EXPTIME", "0.02"}, {"OBJECT", "Vega", true}});
    const auto r = read(path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::tuple(info_.naxis1, info_.naxis2, info_.bitpix), std::tuple(3, 2, c.bitpix));
    EXPECT_EQ(pixels(), c.expected);
    EXPECT_EQ(info_.exposure, 0.02f);
    EXPECT_STREQ(info_.object, "Vega");
    // cfitsio pads the data to a whole block; the fill is what follows the samples.
    const int dataBytes = 6 * std::abs(c.bitpix) / 8;
    EXPECT_EQ(info_.trailingBytes, 2880 - dataBytes);
    releaseFitsInfo(&info_);
  }
}

// Samples assembled byte by byte: 16-bit words are signed unless BZERO is exactly 32768, 8-bit
// bytes ignore BZERO, floats add it. Every file is read into the same record, so a buffer of an
// earlier read left behind shows up under LeakSanitizer.
TEST_F(FitsReaderTest, SamplesFollowTheBzeroRules) {
  const std::string words = samples16({0x8000, 0xFFFF, 0x0000, 0x7FFF, 0x0001});
  const struct {
    int bitpix;
    const char* bzero;  // nullptr: no card
    std::string data;
    std::vector<float> expected;
  } cases[] = {
      {16, "32768", words, {0, 32767, 32768, 65535, 32769}},
      {16, nullptr, words, {32768, 65535, 0, 32767, 1}},
      {16, "-0.5", words, {-32768.5f, -1.5f, -0.5f, 32766.5f, 0.5f}},
      {8, "100", {'\x00', '\x01', '\x7F', '\x80', '\xFF', '\x10'}, {0, 1, 127, 128, 255, 16}},
      {-32, "10", {'\x3F', '\x80', '\x00', '\x00', '\xC0', '\x00', '\x00', '\x00'}, {11, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bitpix) + " BZERO " + (c.bzero ? c.bzero : "none"));
    const int width = static_cast<int>(c.expected.size());
    std::vector<std::string> extra;
    if (c.bzero) extra.push_back(valueCard("BZERO", c.bzero));
    const auto r = read(write("samples.fits", image(c.bitpix, width, 1, extra), c.data));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pixels(), c.expected);
    EXPECT_EQ(info_.trailingBytes, 0);  // exactly header plus data
  }
}

TEST_F(FitsReaderTest, EndCardPositionDecidesTheHeaderLength) {
  // 35 cards and END fill the first block exactly: the data follow at byte 2880.
  std::vector<std::string> cards = image(8, 2, 1);
  while (cards.size() < 35) cards.push_back(card("COMMENT filler"));
  auto r = read(write("end36.fits", cards, "\x05\x06"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(info_.headerBytes, 2880);
  EXPECT_EQ(pixels(), (std::vector<float>{5, 6}));

  // END as the first card of the second block: 35 blank cards more.
  cards.push_back(card("COMMENT filler"));
  r = read(write("end37.fits", cards, "\x07\x08"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(info_.headerBytes, 5760);
  EXPECT_EQ(pixels(), (std::vector<float>{7, 8}));
  EXPECT_EQ(std::string(info_.fitsHeader + 2880, 4), "END ");
}

TEST_F(FitsReaderTest, NewlineInsideTheHeaderShortensACard) {
  // The line read stops after the newline, so every later card sits 70 bytes earlier and the
  // header ends 70 bytes before the block boundary.
  std::string header;
  for (const auto& card : image(8, 2, 1)) header += card;
  header += "HISTORY x\n";
  header += card("END");
  for (int i = 0; i < 28; ++i) header += card("");
  header += std::string(70, ' ') + "DEC     =7";  // lands in the lookup's last, short card
  const std::string path = dir_.file("newline.fits");
  test::writeBytes(path, header + "\x09\x0A");
  const auto r = read(path);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(info_.headerBytes, 2810);
  EXPECT_EQ(info_.dec, 7.0f);
  EXPECT_EQ(pixels(), (std::vector<float>{9, 10}));
}

TEST_F(FitsReaderTest, MissingOrUnreadableGeometryIsRefused) {
  struct Case {
    std::vector<std::string> cards;
    std::string expected;
  };
  // One of each kind of refusal; the full set of messages is met through the program by the
  // hostile-input tests, which cannot see what is left in the record.
  const std::vector<Case> cases = {
      {{valueCard("BITPIX", "8"), valueCard("NAXIS2", "2")},
       message(1502, "can't read fits param NAXIS1")},
      {{valueCard("BITPIX", "8"), valueCard("NAXIS1", "2"),
        valueCard("NAXIS2", "4294967298")},  // 2^32 + 2 must not pass for 2
       message(1515, "can't read fits param NAXIS2")},
      {{valueCard("BITPIX", "8"), valueCard("NAXIS1", "-5"), valueCard("NAXIS2", "2")},
       "negative x size read from fits header\n"},
      {image(-64, 2, 2), message(1642, "unsupported FITS format: -64")},
  };
  // A buffer from an earlier file survives every one of these failures untouched.
  float* previous = static_cast<float*>(std::malloc(sizeof(float)));
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].expected);
    info_.floatArray = previous;
    const auto r =
        read(write("bad" + std::to_string(i) + ".fits", cases[i].cards, std::string(64, '\x01')));
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, cases[i].expected);
    EXPECT_EQ(info_.fitsHeader, nullptr);
    EXPECT_EQ(info_.floatArray, previous);
  }
}

TEST_F(FitsReaderTest, OpenFailureAndNullRecordAreReported) {
  const std::string missing = dir_.file("missing.fits");
  auto r = read(missing);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.err, "fitsio.cpp (1454):  error opening file:  " + missing +
                       ": No such file or directory\n");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(readFits(missing.c_str(), nullptr), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), message(1447, "fitsInfoPtr is NULL"));
}

TEST_F(FitsReaderTest, DataCutShortReadsMissingSamplesAsZero) {
  struct Case {
    int bitpix;
    std::string data;
    std::vector<float> expected;
  };
  const std::string one = {'\x3F', '\x80', '\x00', '\x00'};
  const std::vector<Case> cases = {
      {8, "\x03", {3, 0, 0, 0}},
      {16, samples16({7}) + "\x01", {7, 0, 0, 0}},  // half a sample is no sample
      {-32, one + "\x3F\x80", {1, 0, 0, 0}},
      {16, "", {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bitpix);
    auto r = read(write("short.fits", image(c.bitpix, 2, 2, {valueCard("BZERO", "0")}), c.data));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(pixels(), c.expected);
    EXPECT_EQ(info_.trailingBytes, 0);
  }
  // BZERO does not reach samples the file never had.
  auto r = read(
      write("short16.fits", image(16, 2, 1, {valueCard("BZERO", "32768")}), samples16({0x8001})));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(pixels(), (std::vector<float>{1, 0}));
}

TEST_F(FitsReaderTest, TrailingBytesCountWhatFollowsTheSamples) {
  const std::string data = samples16({1, 2, 3, 4});
  auto r = read(write("padded.fits", image(16, 2, 2), padded(data)));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(info_.trailingBytes, 2880 - 8);

  // NAXIS = 3 is not consulted: the first plane is read, the rest is trailing.
  r = read(write("cube.fits", image(16, 2, 2, {valueCard("NAXIS3", "2")}), data + data));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(pixels(), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(info_.trailingBytes, 8);

  r = read(write("zero.fits", image(16, 0, 128), "abc"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(info_.floatArray, nullptr) << "an empty image is a success";
  EXPECT_EQ(info_.trailingBytes, 3);
}

TEST_F(FitsReaderTest, OversizedBuffersFailWithTheirOwnAllocationMessage) {
  struct Case {
    int bitpix;
    std::string width;
    std::string height;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // 2^16 x 2^16 wraps to 0 in 32 bits; it must not pass as an empty image.
      {-32, "65536", "65536", message(1549, "can't malloc floatArray")},
      {8, "46341", "46341", message(1607, "can't malloc fileArray")},  // 2^31 + 4633 bytes
      // The raw buffer fits 2^31 - 1 bytes, the float buffer does not.
      {8, "536870912", "1", message(1618, "can't malloc floatArray")},
      {16, "536870912", "1", message(1583, "can't malloc floatArray")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width + " x " + c.height + " @ " + std::to_string(c.bitpix));
    const auto r = read(write("huge.fits",
                              {valueCard("BITPIX", std::to_string(c.bitpix)),
                               valueCard("NAXIS1", c.width), valueCard("NAXIS2", c.height)},
                              "\x01\x02\x03\x04"));
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, c.expected);
    EXPECT_EQ(info_.fitsHeader, nullptr);
    EXPECT_EQ(info_.floatArray, nullptr);
  }
}

TEST_F(FitsReaderTest, LargeTruncatedImageIsZeroFilled) {
  // 32 Mi samples announced, one present: the rest must read as zero, not as whatever the
  // allocator handed out.
  const auto r = read(write("big.fits", image(8, 8192, 4096), "\x2A"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> all = pixels();
  EXPECT_EQ(all[0], 42.0f);
  EXPECT_EQ(std::count(all.begin(), all.end(), 0.0f), all.size() - 1);
}

TEST_F(FitsReaderTest, ConcurrentReadsOfDifferentFilesStayApart) {
  // Workers read their frames at the same time; nothing in the reader may be shared.
  constexpr int kThreads = 4;
  for (int t = 0; t < kThreads; ++t) {
    test::writeFitsImage(dir_.file(std::to_string(t) + "t.fits"), 16, 16, SampleType::U16,
                         std::vector<float>(256, static_cast<float>(1000 * t + 7)),
                         {{"OBJECT", std::to_string(t) + " star", true}});
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string path = dir_.file(std::to_string(t) + "t.fits");
      const std::string object = std::to_string(t) + " star";
      for (int round = 0; round < 50; ++round) {
        FitsInfo info;
        initFitsInfo(&info);
        if (readFits(path.c_str(), &info) != 0 || object != info.object ||
            info.floatArray[255] != static_cast<float>(1000 * t + 7)) {
          ++mismatches[t];
        }
        releaseFitsInfo(&info);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

// ImageFrame on files written by cfitsio: the fields a worker relies on, the stacking summary
// and the release rules.

// Cleared and initialised, as the worker prepares its frame before every file.
void freshFrame(ImageFrame& frame) {
  std::memset(&frame, 0, sizeof frame);
  initFrame(&frame);
}

class ImageFrameTest : public ::testing::Test {
 protected:
  ImageFrameTest() { freshFrame(frame_); }
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
    freshFrame(frame_);
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
  freshFrame(frame_);
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
    freshFrame(plain);
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
    freshFrame(frame_);
  }
}

}  // namespace
}  // namespace korrin
