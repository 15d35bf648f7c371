#include "spectral/fft_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <numbers>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/spectral/spectral_test_util.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::centredIndex;
using test::Engine;

template <int W>
std::vector<float> inputOf(Engine<W>& engine) {
  std::vector<float> out(W * W);
  engine.copyInput(out.data(), false);
  return out;
}

// What the call wrote to std::cerr.
template <class F>
std::string cerrOf(F&& call) {
  std::ostringstream buffer;
  std::streambuf* old = std::cerr.rdbuf(buffer.rdbuf());
  call();
  std::cerr.rdbuf(old);
  return buffer.str();
}

template <class T>
class FftEngineWidths : public ::testing::Test {};
TYPED_TEST_SUITE(FftEngineWidths, test::AllWidths);

TYPED_TEST(FftEngineWidths, CentredLayoutOfConstantImpulseAndRandomImages) {
  constexpr int W = TypeParam::value;
  constexpr int N = W * W;
  auto engine = std::make_unique<Engine<W>>();
  std::vector<float> re(N, std::numeric_limits<float>::quiet_NaN()), im(re);

  // Constant image: only the zero frequency, at the centre, holds the sum.
  const std::vector<float> constant(N, 2.5f);
  engine->loadFloat(constant.data());
  engine->forward(re, im, false);
  const int centre = centredIndex<W>(0, 0);
  EXPECT_EQ(re[centre], 2.5f * N);
  re[centre] = 0.0f;
  EXPECT_EQ(std::count(re.begin(), re.end(), 0.0f), N);
  EXPECT_EQ(std::count(im.begin(), im.end(), 0.0f), N);
  EXPECT_EQ(inputOf<W>(*engine), constant) << "forward must leave the input as it was";
  engine->forward(re, im, true);
  EXPECT_EQ(std::count(re.begin(), re.end(), 0.0f), N);

  // Impulse at (0, 0): a flat unit spectrum, every element rewritten.
  std::fill(re.begin(), re.end(), std::numeric_limits<float>::quiet_NaN());
  std::fill(im.begin(), im.end(), 7.0f);
  std::vector<float> impulse(N, 0.0f);
  impulse[0] = 1.0f;
  engine->loadFloat(impulse.data());
  engine->forward(re, im, false);
  EXPECT_EQ(std::count(re.begin(), re.end(), 1.0f), N);
  EXPECT_EQ(std::count(im.begin(), im.end(), 0.0f), N);

  // A real image has a conjugate-symmetric spectrum; wrong mirroring shows up here.
  const std::vector<float> image = test::uniform(N, 11u + W, 0.0f, 1.0f);
  engine->loadFloat(image.data());
  engine->forward(re, im, false);
  int asymmetric = 0;
  for (int fy = -(W / 2 - 1); fy <= W / 2 - 1; ++fy) {
    for (int fx = -(W / 2 - 1); fx <= W / 2 - 1; ++fx) {
      const int p = centredIndex<W>(fx, fy), q = centredIndex<W>(-fx, -fy);
      if (std::fabs(re[q] - re[p]) > 1e-3f || std::fabs(im[q] + im[p]) > 1e-3f) ++asymmetric;
    }
  }
  EXPECT_EQ(asymmetric, 0);
}

// Checks sign convention, axis order and centring against an exact transform in double.
TEST(FftEngine, ForwardAgreesWithDirectTransformInDouble) {
  constexpr int W = 128;
  constexpr int N = W * W;
  const std::vector<float> image = test::uniform(N, 2024u, 0.0f, 1.0f);
  Engine<W> engine;
  engine.loadFloat(image.data());
  std::vector<float> re(N), im(N);
  engine.forward(re, im, false);

  std::vector<std::complex<double>> twiddle(W), rows(N);
  for (int k = 0; k < W; ++k) twiddle[k] = std::polar(1.0, -2.0 * std::numbers::pi * k / W);
  // Rows first (along x), then columns (along y): the 2-D sum is separable.
  for (int y = 0; y < W; ++y) {
    for (int fx = 0; fx < W; ++fx) {
      std::complex<double> sum = 0.0;
      for (int x = 0; x < W; ++x) sum += double{image[y * W + x]} * twiddle[(fx * x) % W];
      rows[y * W + fx] = sum;
    }
  }
  double worst = 0.0;
  for (int fy = 0; fy < W; ++fy) {
    for (int fx = 0; fx < W; ++fx) {
      std::complex<double> sum = 0.0;
      for (int y = 0; y < W; ++y) sum += rows[y * W + fx] * twiddle[(fy * y) % W];
      const int k = centredIndex<W>(fx < W / 2 ? fx : fx - W, fy < W / 2 ? fy : fy - W);
      worst = std::max(worst, std::abs(std::complex<double>(re[k], im[k]) - sum));
    }
  }
  EXPECT_LT(worst, 2e-3);
}

TEST(FftEngine, ImagesOfTheInput) {
  constexpr int W = 128;
  constexpr int N = W * W;
  Engine<W> engine;
  std::vector<float> image = test::uniform(N, 5u, 0.0f, 1.0f);

  // The power image holds |F|^2 at the positions forward uses, mirrored half included.
  engine.loadFloat(image.data());
  std::vector<float> re(N), im(N);
  engine.forward(re, im, false);
  engine.powerImage(false);
  std::vector<float> power = inputOf<W>(engine);
  int mismatches = 0;
  for (int k = 0; k < N; ++k) mismatches += power[k] != re[k] * re[k] + im[k] * im[k];
  EXPECT_EQ(mismatches, 0);

  engine.loadFloat(image.data());
  engine.makeImage(2);
  power[centredIndex<W>(0, 0)] = 0.0f;
  EXPECT_EQ(inputOf<W>(engine), power) << "mode 2 is the power image without zero frequency";

  // Autocorrelation: shifted to a minimum of exactly 0, its peak at zero lag in the centre.
  for (int y = 40; y < 48; ++y) {
    for (int x = 60; x < 70; ++x) image[y * W + x] += 20.0f;
  }
  engine.loadFloat(image.data());
  engine.autocorrelationImage();
  const std::vector<float> ac = inputOf<W>(engine);
  EXPECT_EQ(*std::min_element(ac.begin(), ac.end()), 0.0f);
  EXPECT_EQ(std::max_element(ac.begin(), ac.end()) - ac.begin(), centredIndex<W>(0, 0));
  engine.loadFloat(image.data());
  engine.makeImage(3);
  EXPECT_EQ(inputOf<W>(engine), ac);

  const std::vector<float> constant(N, 9.0f);
  engine.loadFloat(constant.data());
  engine.autocorrelationImage();
  EXPECT_EQ(inputOf<W>(engine), std::vector<float>(N, 0.0f))
      << "nothing is left of a constant once its mean is gone";

  std::vector<uint16_t> pixels(N);
  for (int k = 0; k < N; ++k) pixels[k] = static_cast<uint16_t>(k * 4 + 3);
  engine.loadU16(pixels.data());
  EXPECT_EQ(inputOf<W>(engine)[N - 1], 65535.0f) << "16-bit pixels are unsigned";
}

TEST(FftEngine, DisplayStretchSelectsBoundsFromTheFractions) {
  constexpr int W = 128;
  constexpr int N = W * W;
  Engine<W> engine;
  std::vector<uint16_t> out(N, 1234);

  const std::vector<float> constant(N, 42.0f);
  engine.loadFloat(constant.data());
  engine.toDisplay16(out.data(), 0, 0, 0.0f, 1.0f);
  EXPECT_EQ(std::count(out.begin(), out.end(), uint16_t{0}), N) << "the bounds coincide";

  // The input becomes log(|x| + 1): negative values mirror positive ones.
  std::vector<float> ramp(N);
  for (int k = 0; k < N; ++k) ramp[k] = static_cast<float>(k);
  ramp[1] = -5.0f;
  ramp[2] = 5.0f;
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, 0.0f, 1.0f);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[N - 1], 65535);
  EXPECT_EQ(out[1], out[2]);

  // lo = trunc(0.25 * 16383) = 4095 and hi = trunc(12288 * 0.5 + 4095) = 10239 on an increasing
  // ramp: everything up to rank lo is black, everything from rank hi on is white.
  ramp[1] = 1.0f;
  ramp[2] = 2.0f;
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, 0.25f, 0.5f);
  EXPECT_EQ(out[4095], 0);
  EXPECT_GT(out[4096], 0);
  EXPECT_LT(out[10238], 65535);
  EXPECT_EQ(out[10239], 65535);

  // Fractions a caller should never pass still stay inside the image.
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, 2.0f, -1.0f);
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, std::numeric_limits<float>::quiet_NaN(), 0.5f);
}

TEST(FftEngine, RawImageFilesAndTheirErrors) {
  constexpr int W = 128;
  constexpr int N = W * W;
  test::TempDir dir;
  const std::string path = dir.file("frame.raw");
  std::vector<float> image = test::uniform(N, 9u, 0.0f, 1.0f);
  image[0] = 1.0f;
  image[N - 1] = -2.0f;
  Engine<W> engine;
  engine.loadFloat(image.data());
  EXPECT_EQ(cerrOf([&] { engine.saveInput(path); }), "");
  engine.saveInput(path);  // truncates rather than appends
  const std::string bytes = test::readBytes(path);
  ASSERT_EQ(bytes.size(), std::size_t{N} * 4);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x00\x00\x80\x3f", 4)) << "little-endian floats";
  EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\x00\x00\x00\xc0", 4));
  Engine<W> reader;
  EXPECT_EQ(cerrOf([&] { reader.loadInput(path); }), "");
  EXPECT_EQ(inputOf<W>(reader), image);

  const std::string missing = dir.file("missing.raw");
  EXPECT_EQ(cerrOf([&] { engine.loadInput(missing); }),
            "Error: Could not open the file: " + missing +
                "\nError: Could not read the file correctly: " + missing + "\n");

  // A short file is read as far as it goes and reported once.
  const std::string shortFile = dir.file("short.raw");
  test::writeBytes(shortFile, bytes.substr(0, bytes.size() - 1));
  const std::vector<float> ones(N, 1.0f);
  engine.loadFloat(ones.data());
  EXPECT_EQ(cerrOf([&] { engine.loadInput(shortFile); }),
            "Error: Could not read the file correctly: " + shortFile + "\n");
  EXPECT_EQ(inputOf<W>(engine)[1], image[1]);

  const std::string unwritable = dir.file("no-such-dir/out.raw");
  EXPECT_EQ(cerrOf([&] { engine.saveInput(unwritable); }),
            "Error: Could not open the output file: " + unwritable + "\n");
  EXPECT_FALSE(std::filesystem::exists(unwritable));
}

// Plans are created and destroyed under the planner mutex; engines of several widths come and go
// on several threads at once (run under TSan too).
TEST(FftEngine, EnginesAreCreatedAndDestroyedConcurrently) {
  constexpr int kThreads = 4;
  std::vector<int> failures(kThreads, 0);
  auto check = [](auto engine, float value) {
    constexpr int W = std::remove_reference_t<decltype(*engine)>::kPixels;
    const std::vector<float> constant(W, value);
    std::vector<float> re(W), im(W);
    engine->loadFloat(constant.data());
    engine->forward(re, im, false);
    return re[engine->width() / 2 * (engine->width() + 1)] == value * W;
  };
  auto work = [&](int thread) {
    const float value = static_cast<float>(thread + 1);
    for (int round = 0; round < 6; ++round) {
      const int pick = (thread + round) % 3;
      const bool ok = pick == 0   ? check(std::make_unique<Engine<128>>(), value)
                      : pick == 1 ? check(std::make_unique<Engine<256>>(), value)
                                  : check(std::make_unique<Engine<512>>(), value);
      failures[thread] += !ok;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

}  // namespace
}  // namespace korrin
