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
#include <numeric>
#include <random>
#include <sstream>
#include <thread>
#include <type_traits>
#include <vector>

#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

template <int W>
using Engine = FFT<W, 0, std::mutex>;

template <class E>
struct WidthOf;
template <int W>
struct WidthOf<Engine<W>> {
  static constexpr int value = W;
};
template <class EnginePtr>
constexpr int widthOf = WidthOf<typename EnginePtr::element_type>::value;

template <int W>
int centredIndex(int fx, int fy) {
  return (fy + W / 2) * W + (fx + W / 2);
}

std::vector<float> randomImage(int pixels, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> image(pixels);
  for (float& v : image) v = dist(rng);
  return image;
}

template <int W>
std::vector<float> inputOf(Engine<W>& engine) {
  std::vector<float> out(W * W);
  engine.copyInput(out.data(), false);
  return out;
}

// Redirects std::cerr into a string for the lifetime of the object.
class CerrCapture {
 public:
  CerrCapture() : old_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(old_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

template <class T>
class FftEngineWidths : public ::testing::Test {};
using Widths =
    ::testing::Types<std::integral_constant<int, 128>, std::integral_constant<int, 256>,
                     std::integral_constant<int, 512>, std::integral_constant<int, 1024>>;
TYPED_TEST_SUITE(FftEngineWidths, Widths);

TYPED_TEST(FftEngineWidths, CentredLayoutOfConstantImpulseAndRandomImages) {
  constexpr int W = TypeParam::value;
  constexpr int N = W * W;
  const float garbage = std::numeric_limits<float>::quiet_NaN();
  auto engine = std::make_unique<Engine<W>>();
  EXPECT_EQ(engine->width(), W);
  BaseFFT& base = *engine;
  EXPECT_EQ(base.width(), W);

  std::vector<float> re(N, garbage);
  std::vector<float> im(N, garbage);

  // Constant image: only the zero frequency, at the centre, holds the sum.
  const std::vector<float> constant(N, 2.5f);
  engine->loadFloat(constant.data());
  engine->forward(re, im, false);
  const int centre = (W / 2) * W + W / 2;
  EXPECT_EQ(re[centre], 2.5f * N);
  int nonZero = 0;
  for (int k = 0; k < N; ++k) {
    if (k != centre && re[k] != 0.0f) ++nonZero;
    if (im[k] != 0.0f) ++nonZero;
  }
  EXPECT_EQ(nonZero, 0);
  EXPECT_EQ(inputOf<W>(*engine), constant) << "forward must leave the input as it was";

  engine->forward(re, im, true);
  EXPECT_EQ(std::count(re.begin(), re.end(), 0.0f), N);
  EXPECT_EQ(std::count(im.begin(), im.end(), 0.0f), N);

  // Impulse at (0, 0): a flat unit spectrum, and every element of re and im rewritten.
  std::fill(re.begin(), re.end(), garbage);
  std::fill(im.begin(), im.end(), 7.0f);
  std::vector<float> impulse(N, 0.0f);
  impulse[0] = 1.0f;
  engine->loadFloat(impulse.data());
  engine->forward(re, im, false);
  EXPECT_EQ(std::count(re.begin(), re.end(), 1.0f), N);
  EXPECT_EQ(std::count(im.begin(), im.end(), 0.0f), N);

  // A real image has a conjugate-symmetric spectrum; wrong mirroring shows up here.
  const std::vector<float> image = randomImage(N, 11u + W);
  engine->loadFloat(image.data());
  engine->forward(re, im, false);
  const float tolerance = 1e-3f;
  int asymmetric = 0;
  for (int fy = -(W / 2 - 1); fy <= W / 2 - 1; ++fy) {
    for (int fx = -(W / 2 - 1); fx <= W / 2 - 1; ++fx) {
      const int p = centredIndex<W>(fx, fy);
      const int q = centredIndex<W>(-fx, -fy);
      if (std::fabs(re[q] - re[p]) > tolerance || std::fabs(im[q] + im[p]) > tolerance) {
        ++asymmetric;
      }
    }
  }
  EXPECT_EQ(asymmetric, 0);

  // Columns fx = 0 and fx = -W/2 have no mirror partner: they are the library's own values.
  const fftwf_complex* halfSpectrum = engine->spectrumData();
  int notDirect = 0;
  for (int i = 0; i < W; ++i) {
    const int fy = i < W / 2 ? i : i - W;
    const fftwf_complex& dc = halfSpectrum[i * (W / 2 + 1)];
    const fftwf_complex& nyquist = halfSpectrum[i * (W / 2 + 1) + W / 2];
    const int k0 = centredIndex<W>(0, fy);
    const int kn = centredIndex<W>(-W / 2, fy);
    if (re[k0] != dc[0] || im[k0] != dc[1]) ++notDirect;
    if (re[kn] != nyquist[0] || im[kn] != nyquist[1]) ++notDirect;
  }
  EXPECT_EQ(notDirect, 0);
  EXPECT_NEAR(re[centre], std::accumulate(image.begin(), image.end(), 0.0), 1e-2 * W);
}

// Checks sign convention, axis order and centring against an exact transform in double.
TEST(FftEngine, ForwardAgreesWithDirectTransformInDouble) {
  constexpr int W = 128;
  constexpr int N = W * W;
  const std::vector<float> image = randomImage(N, 2024u);
  Engine<W> engine;
  engine.loadFloat(image.data());
  std::vector<float> re(N), im(N);
  engine.forward(re, im, false);

  std::vector<std::complex<double>> twiddle(W);
  for (int k = 0; k < W; ++k) {
    twiddle[k] = std::polar(1.0, -2.0 * std::numbers::pi * k / W);
  }
  // Rows first (along x), then columns (along y): the 2-D sum is separable.
  std::vector<std::complex<double>> rows(N), full(N);
  for (int y = 0; y < W; ++y) {
    for (int fx = 0; fx < W; ++fx) {
      std::complex<double> sum = 0.0;
      for (int x = 0; x < W; ++x) sum += double{image[y * W + x]} * twiddle[(fx * x) % W];
      rows[y * W + fx] = sum;
    }
  }
  for (int fy = 0; fy < W; ++fy) {
    for (int fx = 0; fx < W; ++fx) {
      std::complex<double> sum = 0.0;
      for (int y = 0; y < W; ++y) sum += rows[y * W + fx] * twiddle[(fy * y) % W];
      full[fy * W + fx] = sum;
    }
  }

  double worst = 0.0;
  for (int fy = -W / 2; fy < W / 2; ++fy) {
    for (int fx = -W / 2; fx < W / 2; ++fx) {
      const std::complex<double> expected = full[((fy + W) % W) * W + (fx + W) % W];
      const int k = centredIndex<W>(fx, fy);
      worst = std::max(worst, std::abs(std::complex<double>(re[k], im[k]) - expected));
    }
  }
  EXPECT_LT(worst, 2e-3);
}

TEST(FftEngine, PowerImageAndMakeImageModes) {
  constexpr int W = 128;
  constexpr int N = W * W;
  Engine<W> engine;

  const std::vector<float> zeros(N, 0.0f);
  engine.loadFloat(zeros.data());
  engine.powerImage(false);
  EXPECT_EQ(inputOf<W>(engine), zeros);

  const std::vector<float> image = randomImage(N, 5u);
  for (int mode : {-1, 0, 1, 4, 7}) {
    engine.loadFloat(image.data());
    engine.makeImage(mode);
    EXPECT_EQ(inputOf<W>(engine), image) << "mode " << mode;
  }

  // The power image holds |F|^2 at the same centred positions as forward, mirrored half included.
  engine.loadFloat(image.data());
  std::vector<float> re(N), im(N);
  engine.forward(re, im, false);
  engine.powerImage(false);
  std::vector<float> power = inputOf<W>(engine);
  int mismatches = 0;
  for (int k = 0; k < N; ++k) {
    if (power[k] != re[k] * re[k] + im[k] * im[k]) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);

  engine.loadFloat(image.data());
  engine.powerImage(true);
  const std::vector<float> powerNoDc = inputOf<W>(engine);
  const int centre = (W / 2) * W + W / 2;
  EXPECT_EQ(powerNoDc[centre], 0.0f);
  power[centre] = 0.0f;
  EXPECT_EQ(powerNoDc, power);

  engine.loadFloat(image.data());
  engine.makeImage(2);
  EXPECT_EQ(inputOf<W>(engine), powerNoDc);

  engine.loadFloat(image.data());
  engine.autocorrelationImage();
  const std::vector<float> autocorrelation = inputOf<W>(engine);
  engine.loadFloat(image.data());
  engine.makeImage(3);
  EXPECT_EQ(inputOf<W>(engine), autocorrelation);
}

TEST(FftEngine, AutocorrelationIsShiftedToZeroWithPeakAtCentre) {
  constexpr int W = 128;
  constexpr int N = W * W;
  Engine<W> engine;
  std::vector<float> image = randomImage(N, 1u);
  // A bright blob, so the peak stands well above the noise floor.
  for (int y = 40; y < 48; ++y) {
    for (int x = 60; x < 70; ++x) image[y * W + x] += 20.0f;
  }
  engine.loadFloat(image.data());
  engine.autocorrelationImage();
  const std::vector<float> ac = inputOf<W>(engine);
  EXPECT_EQ(*std::min_element(ac.begin(), ac.end()), 0.0f);
  EXPECT_EQ(std::max_element(ac.begin(), ac.end()) - ac.begin(), (W / 2) * W + W / 2);

  // A constant image has no structure left once its mean is removed.
  const std::vector<float> constant(N, 9.0f);
  engine.loadFloat(constant.data());
  engine.autocorrelationImage();
  const std::vector<float> flat = inputOf<W>(engine);
  EXPECT_EQ(*std::min_element(flat.begin(), flat.end()), 0.0f);
  EXPECT_EQ(*std::max_element(flat.begin(), flat.end()), 0.0f);
}

TEST(FftEngine, DisplayStretchSelectsBoundsFromTheFractions) {
  constexpr int W = 128;
  constexpr int N = W * W;
  Engine<W> engine;
  std::vector<uint16_t> out(N, 1234);

  // Constant: the two bounds coincide, so the whole image is black.
  const std::vector<float> constant(N, 42.0f);
  engine.loadFloat(constant.data());
  engine.toDisplay16(out.data(), 0, 0, 0.0f, 1.0f);
  EXPECT_EQ(std::count(out.begin(), out.end(), uint16_t{0}), N);

  // The input becomes log(|x| + 1): negative values mirror positive ones.
  std::vector<float> ramp(N);
  for (int k = 0; k < N; ++k) ramp[k] = static_cast<float>(k);
  ramp[1] = -5.0f;
  ramp[2] = 5.0f;
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, 0.0f, 1.0f);
  const std::vector<float> logged = inputOf<W>(engine);
  EXPECT_EQ(logged[0], 0.0f);
  EXPECT_EQ(logged[1], static_cast<float>(std::log(6.0)));
  EXPECT_EQ(logged[1], logged[2]);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[N - 1], 65535);
  EXPECT_EQ(out[1], out[2]);
  EXPECT_GT(out[N - 2], 0);
  EXPECT_LT(out[N - 2], 65535);

  // lo = trunc(0.25 * 16383) = 4095 and hi = trunc(12288 * 0.5 + 4095) = 10239 on an increasing
  // ramp: everything up to rank lo is black, everything from rank hi on is white.
  for (int k = 0; k < N; ++k) ramp[k] = static_cast<float>(k);
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, 0.25f, 0.5f);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[4095], 0);
  EXPECT_GT(out[4096], 0);
  EXPECT_LT(out[10238], 65535);
  EXPECT_EQ(out[10239], 65535);
  EXPECT_EQ(out[N - 1], 65535);

  // Values a caller should never pass still stay inside the image.
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, 2.0f, -1.0f);
  engine.loadFloat(ramp.data());
  engine.toDisplay16(out.data(), 0, 0, std::numeric_limits<float>::quiet_NaN(), 0.5f);
}

TEST(FftEngine, SixteenBitPixelsLoadAsUnsigned) {
  constexpr int W = 256;
  constexpr int N = W * W;
  Engine<W> engine;

  std::vector<uint16_t> pixels(N);
  for (int k = 0; k < N; ++k) pixels[k] = static_cast<uint16_t>(k);
  engine.loadU16(pixels.data());
  std::vector<float> input = inputOf<W>(engine);
  EXPECT_EQ(input[0], 0.0f);
  EXPECT_EQ(input[32768], 32768.0f) << "16-bit pixels are unsigned";
  EXPECT_EQ(input[N - 1], 65535.0f);
}

TEST(FftEngine, RawImageFileIsLittleEndianFloatsAndRoundTrips) {
  constexpr int W = 128;
  constexpr int N = W * W;
  test::TempDir dir;
  const std::string path = dir.file("frame.raw");

  std::vector<float> image = randomImage(N, 9u);
  image[0] = 1.0f;
  image[N - 1] = -2.0f;
  Engine<W> writer;
  writer.loadFloat(image.data());
  {
    CerrCapture err;
    writer.saveInput(path);
    EXPECT_EQ(err.text(), "");
  }
  const std::string bytes = test::readBytes(path);
  ASSERT_EQ(bytes.size(), std::size_t{N} * 4);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x00\x00\x80\x3f", 4));
  EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\x00\x00\x00\xc0", 4));

  Engine<W> reader;
  {
    CerrCapture err;
    reader.loadInput(path);
    EXPECT_EQ(err.text(), "");
  }
  EXPECT_EQ(inputOf<W>(reader), image);

  // Saving again truncates rather than appends.
  writer.saveInput(path);
  EXPECT_EQ(test::readBytes(path).size(), std::size_t{N} * 4);
}

TEST(FftEngine, RawFileErrorsAreReportedOnStandardError) {
  constexpr int W = 128;
  constexpr int N = W * W;
  test::TempDir dir;
  Engine<W> engine;

  const std::string missing = dir.file("missing.raw");
  {
    CerrCapture err;
    engine.loadInput(missing);
    EXPECT_EQ(err.text(), "Error: Could not open the file: " + missing +
                              "\nError: Could not read the file correctly: " + missing + "\n");
  }

  // A short file is read as far as it goes and reported once.
  const std::string shortFile = dir.file("short.raw");
  std::string bytes(std::size_t{N} * 4 - 1, '\0');
  bytes.replace(0, 4, std::string("\x00\x00\x40\x40", 4));  // 3.0f
  test::writeBytes(shortFile, bytes);
  const std::vector<float> ones(N, 1.0f);
  engine.loadFloat(ones.data());
  {
    CerrCapture err;
    engine.loadInput(shortFile);
    EXPECT_EQ(err.text(), "Error: Could not read the file correctly: " + shortFile + "\n");
  }
  EXPECT_EQ(inputOf<W>(engine)[0], 3.0f);

  const std::string unwritable = dir.file("no-such-dir/out.raw");
  {
    CerrCapture err;
    engine.saveInput(unwritable);
    EXPECT_EQ(err.text(), "Error: Could not open the output file: " + unwritable + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(unwritable));
}

// Plans are created and destroyed under the planner mutex; this must hold up with engines of
// several widths coming and going on several threads at once (run under TSan too).
TEST(FftEngine, EnginesAreCreatedAndDestroyedConcurrently) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 6;
  std::vector<int> failures(kThreads, 0);
  auto work = [&failures](int thread) {
    for (int round = 0; round < kRounds; ++round) {
      auto run = [&](auto engine) {
        constexpr int W = widthOf<decltype(engine)>;
        const float value = static_cast<float>(thread + 1);
        const std::vector<float> constant(W * W, value);
        std::vector<float> re(W * W), im(W * W);
        engine->loadFloat(constant.data());
        engine->forward(re, im, false);
        if (re[(W / 2) * W + W / 2] != value * W * W) ++failures[thread];
      };
      switch ((thread + round) % 3) {
        case 0:
          run(std::make_unique<Engine<128>>());
          break;
        case 1:
          run(std::make_unique<Engine<256>>());
          break;
        default:
          run(std::make_unique<Engine<512>>());
          break;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace korrin
