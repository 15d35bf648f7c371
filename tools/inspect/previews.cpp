#include "tools/inspect/previews.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "spectral/fft_engine.h"

namespace korrin {

namespace {

std::unique_ptr<BaseFFT> makeEngine(int width) {
  switch (width) {
    case 128:
      return std::make_unique<FFT<128, 0, std::mutex>>();
    case 256:
      return std::make_unique<FFT<256, 0, std::mutex>>();
    case 512:
      return std::make_unique<FFT<512, 0, std::mutex>>();
    case 1024:
      return std::make_unique<FFT<1024, 0, std::mutex>>();
    default:
      throw std::invalid_argument("no transform engine for width " + std::to_string(width));
  }
}

// Value at a fraction (0..1) of the sorted finite values; 0 when there are none.
float quantile(const std::vector<float>& image, double fraction) {
  std::vector<float> values;
  values.reserve(image.size());
  for (float v : image) {
    if (std::isfinite(v)) values.push_back(v);
  }
  if (values.empty()) return 0.0f;
  const auto k = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return values[k];
}

// The engine's stretch takes log(|x| + 1), so the levels it sees decide how many decades the
// picture spans: `unit` is the level that lands at log 2, everything far below it looks black.
std::vector<uint16_t> logStretch(int width, const std::vector<float>& image, float floor,
                                 float unit, float lowFraction, float highFraction) {
  std::vector<float> scaled(image.size());
  for (size_t k = 0; k < image.size(); ++k) {
    const float v = std::isfinite(image[k]) ? image[k] : floor;
    scaled[k] = unit > 0.0f ? std::max(v - floor, 0.0f) / unit : 0.0f;
  }
  std::unique_ptr<BaseFFT> engine = makeEngine(width);
  engine->loadFloat(scaled.data());
  std::vector<uint16_t> display(image.size());
  engine->toDisplay16(display.data(), 0, 0, lowFraction, highFraction);
  return display;
}

}  // namespace

std::vector<float> powerSpectrumImage(const ResultData& result) {
  return std::vector<float>(result.power.begin(), result.power.end());
}

std::vector<float> autocorrelationImage(const ResultData& result) {
  // The autocorrelation is the transform of the power spectrum. The engine's own
  // autocorrelationImage starts from an image, not from a spectrum, and its spectrum-to-image
  // step is private; its forward transform is public, though, and for a real, even input such as
  // a power spectrum the forward and inverse transforms agree. Two things are undone afterwards:
  // the spectrum sits centred in the input, so the transform carries a factor (-1)^(lx + ly)
  // (the input is shifted by width/2 in both directions), and `forward` returns the unnormalised
  // sum. The power of the file is |F / W^2|^2 per frame, so the plain sum over all frequencies
  // already is the mean over pixels of I(x) I(x + lag).
  const int w = result.width;
  const size_t pixels = result.power.size();
  std::vector<float> spectrum(result.power.begin(), result.power.end());
  // Zero frequency out: that is the frame mean's share, which the engine's own
  // autocorrelationImage removes by subtracting the mean before transforming.
  spectrum[static_cast<size_t>(w / 2) * static_cast<size_t>(w) + static_cast<size_t>(w / 2)] = 0;

  std::unique_ptr<BaseFFT> engine = makeEngine(w);
  engine->loadFloat(spectrum.data());
  std::vector<float> re(pixels), im(pixels);
  engine->forward(re, im, false);
  std::vector<float> image(pixels);
  for (size_t row = 0; row < static_cast<size_t>(w); ++row) {
    for (size_t col = 0; col < static_cast<size_t>(w); ++col) {
      const size_t k = row * static_cast<size_t>(w) + col;
      // w/2 is even for every supported width, so the parity of the lag is that of row + col.
      image[k] = (row + col) % 2 == 0 ? re[k] : -re[k];
    }
  }
  return image;
}

std::vector<uint16_t> powerSpectrumDisplay(int width, const std::vector<float>& power) {
  // The median is the noise floor of a speckle spectrum; the zero frequency lies some ten
  // decades above it, and the speckle signal in between.
  const float median = quantile(power, 0.5);
  return logStretch(width, power, 0.0f, median, 0.02f, 1.0f);
}

std::vector<uint16_t> autocorrelationDisplay(int width, const std::vector<float>& autocorrelation) {
  // Speckle autocorrelations sit on the seeing halo, a broad round hill that is brighter at the
  // companion's distance than the companion peaks are above it, so no stretch of the plain image
  // shows them. The mean of each ring around zero lag is the halo; what stands above it is what
  // breaks the circular symmetry: the companions (in mirror pairs) and noise.
  const int half = width / 2;
  const auto ringOf = [half, width](int k) {
    const double dx = k % width - half;
    const double dy = k / width - half;
    return static_cast<size_t>(std::lround(std::sqrt(dx * dx + dy * dy)));
  };
  const int pixels = width * width;
  std::vector<double> ringSum(static_cast<size_t>(width), 0.0);
  std::vector<int> ringCount(static_cast<size_t>(width), 0);
  for (int k = 0; k < pixels; ++k) {
    const float v = autocorrelation[static_cast<size_t>(k)];
    if (!std::isfinite(v)) continue;
    ringSum[ringOf(k)] += v;
    ++ringCount[ringOf(k)];
  }
  std::vector<float> excess(autocorrelation.size());
  for (int k = 0; k < pixels; ++k) {
    const size_t ring = ringOf(k);
    const double mean = ringCount[ring] > 0 ? ringSum[ring] / ringCount[ring] : 0.0;
    excess[static_cast<size_t>(k)] =
        static_cast<float>(std::max(0.0, autocorrelation[static_cast<size_t>(k)] - mean));
  }
  const float high = quantile(excess, 1.0);
  return logStretch(width, excess, 0.0f, high * 3e-2f, 0.9f, 0.9999f);
}

}  // namespace korrin
