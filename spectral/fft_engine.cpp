#include "spectral/fft_engine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <new>

// FFTW reports an allocation it could not get (while planning, for instance) through this hook
// and then aborts the process. Defined here, it replaces the library's own (the library calls it
// through its symbol table), so that such a failure ends the run like any other failed run: one
// line on standard error and exit status 2, not a signal. Nothing can be unwound from inside the
// library, so the process ends here.
extern "C" void fftwf_assertion_failed(const char* what, int line, const char* file) {
  std::fprintf(stderr,
               "Run failed: the FFT library stopped (%s at %s:%d), most likely out of memory\n",
               what, file, line);
  std::fflush(stderr);
  std::_Exit(2);
}

namespace korrin {

std::mutex plannerMutex;

BaseFFT::~BaseFFT() = default;

void BaseFFT::makeImage(int mode) {
  if (mode == 2) {
    powerImage(true);
  } else if (mode == 3) {
    autocorrelationImage();
  }
}

namespace {

float powerOf(float a, float b) {
  return a * a + b * b;
}

float absRealOf(float a, float /*b*/) {
  return std::fabs(a);
}

// x mod n in 0 .. n-1, also for negative x.
constexpr int wrap(int x, int n) {
  return ((x % n) + n) % n;
}

// The raw image files are little-endian whatever the host is.
[[maybe_unused]] void swapFloatBytes(float* values, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    values[k] = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(values[k])));
  }
}

// A selection position from a fraction of the list. Fractions outside [0, 1] (or NaN) are the
// caller's mistake; clamping here only keeps the selection inside the list.
int selectionIndex(float position, int count) {
  if (!(position >= 0.0f)) return 0;
  if (position >= static_cast<float>(count)) return count - 1;
  return static_cast<int>(position);
}

}  // namespace

template <int Width, int Variant, class Mutex>
FFT<Width, Variant, Mutex>::FFT()
    : mutex(&plannerMutex),
      input(nullptr),
      spectrum(nullptr),
      plan(nullptr),
      rangeLow(0.0f),
      rangeHigh(0.0f) {
  input = static_cast<float*>(fftwf_malloc(sizeof(float) * kPixels));
  if (input == nullptr) throw std::bad_alloc();
  spectrum =
      static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * Width * kHalfColumns));
  if (spectrum == nullptr) {
    fftwf_free(input);
    throw std::bad_alloc();
  }
  try {
    std::lock_guard<Mutex> lock(*mutex);
    plan = fftwf_plan_dft_r2c_2d(Width, Width, input, spectrum, 0);
  } catch (...) {
    // A failed lock must not leak the buffers of an engine that never came to be.
    fftwf_free(input);
    fftwf_free(spectrum);
    throw;
  }
  if (plan == nullptr) {
    fftwf_free(input);
    fftwf_free(spectrum);
    throw std::bad_alloc();
  }
}

template <int Width, int Variant, class Mutex>
FFT<Width, Variant, Mutex>::~FFT() {
  {
    std::lock_guard<Mutex> lock(*mutex);
    fftwf_destroy_plan(plan);
  }
  fftwf_free(input);
  fftwf_free(spectrum);
}

template <int Width, int Variant, class Mutex>
template <class Put>
void FFT<Width, Variant, Mutex>::transformCentred(Put put, bool zeroDc) {
  constexpr int half = Width / 2;
  fftwf_execute(plan);
  if (zeroDc) {
    spectrum[0][0] = 0.0f;
    spectrum[0][1] = 0.0f;
  }
  for (int i = 0; i < Width; ++i) {
    const int pRow = wrap(i + half, Width) * Width;
    const int qRow = wrap(half - i, Width) * Width;
    const fftwf_complex* row = spectrum + i * kHalfColumns;
    for (int j = 0; j <= half; ++j) {
      const float a = row[j][0];
      const float b = row[j][1];
      put(pRow + wrap(j + half, Width), a, b);
      // Columns 0 and Width/2 have no partner in the half spectrum; the others give the
      // negated frequency, which for a real image is the complex conjugate.
      if (j >= 1 && j <= half - 1) put(qRow + (half - j), a, -b);
    }
  }
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::forward(std::vector<float>& re, std::vector<float>& im,
                                         bool zeroDc) {
  float* const outRe = re.data();
  float* const outIm = im.data();
  transformCentred(
      [&](int k, float a, float b) {
        outRe[k] = a;
        outIm[k] = b;
      },
      zeroDc);
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::forwardScaledPower(std::vector<float>& re, std::vector<float>& im,
                                                    std::vector<float>& power) {
  constexpr int half = Width / 2;
  // A power of two: scaling is exact, so scaling before or after the spread gives the same bits,
  // and the conjugate's power (-b)*(-b) equals b*b.
  constexpr float s = 1.0f / static_cast<float>(kPixels);
  fftwf_execute(plan);
  float* const outRe = re.data();
  float* const outIm = im.data();
  float* const outPower = power.data();
  for (int i = 0; i < Width; ++i) {
    // Row i holds frequency fy = i (i < half) or i - Width; its centred row is fy + half, and the
    // row of -fy is half - fy, both taken mod Width.
    const int pRow = ((i + half) & (Width - 1)) * Width;
    const int qRow = ((half - i) & (Width - 1)) * Width;
    const float* row = &spectrum[i * kHalfColumns][0];
    // Columns j = 0 .. half-1 go to half + j, in order.
    float* pRe = outRe + pRow + half;
    float* pIm = outIm + pRow + half;
    float* pPower = outPower + pRow + half;
    for (int j = 0; j < half; ++j) {
      const float a = row[2 * j] * s;
      const float b = row[2 * j + 1] * s;
      pRe[j] = a;
      pIm[j] = b;
      pPower[j] = pPower[j] + (a * a + b * b);
    }
    // Column half (frequency -half) goes to column 0 and has no partner.
    {
      const float a = row[2 * half] * s;
      const float b = row[2 * half + 1] * s;
      outRe[pRow] = a;
      outIm[pRow] = b;
      outPower[pRow] = outPower[pRow] + (a * a + b * b);
    }
    // Columns j = 1 .. half-1 also give -(fx, fy) at column half - j: the conjugate.
    float* qRe = outRe + qRow + half;
    float* qIm = outIm + qRow + half;
    float* qPower = outPower + qRow + half;
    for (int j = 1; j < half; ++j) {
      const float a = row[2 * j] * s;
      const float b = row[2 * j + 1] * s;
      const float nb = -b;
      qRe[-j] = a;
      qIm[-j] = nb;
      qPower[-j] = qPower[-j] + (a * a + nb * nb);
    }
  }
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::forwardHalfPower(float* halfPower) {
  constexpr float s = 1.0f / static_cast<float>(kPixels);
  fftwf_execute(plan);
  const float* in = &spectrum[0][0];
  for (int k = 0; k < Width * kHalfColumns; ++k) {
    const float a = in[2 * k] * s;
    const float b = in[2 * k + 1] * s;
    halfPower[k] = halfPower[k] + (a * a + b * b);
  }
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::spreadHalfPower(const float* halfPower,
                                                 std::vector<float>& power) {
  constexpr int half = Width / 2;
  float* const out = power.data();
  // The same destinations as forwardScaledPower's walk.
  for (int i = 0; i < Width; ++i) {
    const float* row = halfPower + i * kHalfColumns;
    float* p = out + ((i + half) & (Width - 1)) * Width;
    float* q = out + ((half - i) & (Width - 1)) * Width;
    for (int j = 0; j < half; ++j) p[half + j] = row[j];
    p[0] = row[half];
    for (int j = 1; j < half; ++j) q[half - j] = row[j];
  }
}

template <int Width, int Variant, class Mutex>
template <class ValueOf>
void FFT<Width, Variant, Mutex>::spectrumImage(ValueOf valueOf, bool zeroDc) {
  // The spectrum is complete before input is overwritten, so input can take the image.
  transformCentred([&](int k, float a, float b) { input[k] = valueOf(a, b); }, zeroDc);
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::powerImage(bool zeroDc) {
  spectrumImage(powerOf, zeroDc);
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::autocorrelationImage() {
  double sum = 0.0;
  for (int k = 0; k < kPixels; ++k) sum += input[k];
  const float mean = static_cast<float>(sum * (1.0 / kPixels));
  for (int k = 0; k < kPixels; ++k) input[k] = input[k] - mean;

  spectrumImage(powerOf, false);
  // The power spectrum is real and even, so the real part of its transform is the
  // autocorrelation; the magnitude keeps the display positive.
  spectrumImage(absRealOf, false);

  const float scale = 1.0f / static_cast<float>(kPixels);
  float minimum = std::numeric_limits<float>::max();
  for (int k = 0; k < kPixels; ++k) {
    input[k] = input[k] * scale;
    if (input[k] < minimum) minimum = input[k];
  }
  for (int k = 0; k < kPixels; ++k) input[k] = input[k] - minimum;
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::toDisplay16(uint16_t* out, int, int, float lowFraction,
                                             float highFraction) {
  std::vector<float> values;
  values.reserve(kPixels);
  for (int k = 0; k < kPixels; ++k) {
    const float v = static_cast<float>(std::log(static_cast<double>(std::fabs(input[k]) + 1.0f)));
    values.push_back(v);
    input[k] = v;
  }

  int lo = selectionIndex(lowFraction * static_cast<float>(kPixels - 1), kPixels);
  int hi = selectionIndex(
      static_cast<float>(kPixels - 1 - lo) * highFraction + static_cast<float>(lo), kPixels);

  // NaN pixels would break the strict weak ordering the selection relies on; ranking them above
  // every number keeps it well defined without changing the order of the others.
  const auto less = [](float x, float y) { return x < y || (std::isnan(y) && !std::isnan(x)); };
  std::nth_element(values.begin(), values.begin() + hi, values.end(), less);
  const float vHigh = values[hi];
  std::nth_element(values.begin(), values.begin() + lo, values.end(), less);
  const float vLow = values[lo];

  if (!(vLow < vHigh)) {
    std::fill(out, out + kPixels, uint16_t{0});
    return;
  }
  for (int k = 0; k < kPixels; ++k) {
    const float x = input[k];
    if (x <= vLow) {
      out[k] = 0;
    } else if (x >= vHigh) {
      out[k] = 65535;
    } else {
      const float level = (x - vLow) / (vHigh - vLow) * 65535.0f;
      // Between the two bounds the level lies in [0, 65535]; the guards only catch NaN.
      out[k] = level > 0.0f ? static_cast<uint16_t>(std::min(level, 65535.0f)) : uint16_t{0};
    }
  }
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::loadU16(const uint16_t* pixels) {
  for (int k = 0; k < kPixels; ++k) input[k] = static_cast<float>(pixels[k]);
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::loadFloat(const float* pixels) {
  std::memcpy(input, pixels, sizeof(float) * kPixels);
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::loadRandom() {
  for (int k = 0; k < kPixels; ++k) input[k] = static_cast<float>(std::rand()) / 32767.0f;
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::copyInput(float* out, bool normalise) {
  if (!normalise) {
    std::memcpy(out, input, sizeof(float) * kPixels);
    return;
  }
  for (int k = 0; k < kPixels; ++k) out[k] = (input[k] - rangeLow) / (rangeHigh - rangeLow);
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::saveInput(std::string path) {
  std::ofstream file(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    std::cerr << "Error: Could not open the output file: " << path << std::endl;
    return;
  }
  constexpr std::streamsize bytes = sizeof(float) * kPixels;
  if constexpr (std::endian::native == std::endian::little) {
    file.write(reinterpret_cast<const char*>(input), bytes);
  } else {
    std::vector<float> swapped(input, input + kPixels);
    swapFloatBytes(swapped.data(), swapped.size());
    file.write(reinterpret_cast<const char*>(swapped.data()), bytes);
  }
  file.close();
}

template <int Width, int Variant, class Mutex>
void FFT<Width, Variant, Mutex>::loadInput(std::string path) {
  std::ifstream file(path, std::ios::binary | std::ios::in);
  if (!file.is_open()) {
    std::cerr << "Error: Could not open the file: " << path << std::endl;
  }
  file.read(reinterpret_cast<char*>(input), sizeof(float) * kPixels);
  if constexpr (std::endian::native != std::endian::little) {
    swapFloatBytes(input, static_cast<std::size_t>(file.gcount()) / sizeof(float));
  }
  if (file.fail()) {
    std::cerr << "Error: Could not read the file correctly: " << path << std::endl;
  }
  file.close();
}

template class FFT<128, 0, std::mutex>;
template class FFT<256, 0, std::mutex>;
template class FFT<512, 0, std::mutex>;
template class FFT<1024, 0, std::mutex>;

}  // namespace korrin
