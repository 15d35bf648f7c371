#include "tools/reconstruct/image.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "tools/reconstruct/transform.h"

namespace korrin::reconstruct {

std::vector<float> reconstructImage(const CalibratedModulus& modulus, const PhaseSolution& phases) {
  const FrequencyPlane& plane = modulus.plane;
  const int h = plane.half();
  const double radius = phases.radius;
  std::vector<double> amplitude(plane.size(), 0.0);
  for (std::size_t i = 0; i < plane.size(); ++i) {
    amplitude[i] = std::sqrt(std::max(modulus.squared[i], 0.0));
  }
  // The zero frequency of the power holds the sky background as well as the object, so the
  // object's total flux is taken from the innermost ring, where a compact object's modulus has
  // not yet fallen.
  amplitude[plane.index(0, 0)] = (amplitude[plane.index(1, 0)] + amplitude[plane.index(-1, 0)] +
                                  amplitude[plane.index(0, 1)] + amplitude[plane.index(0, -1)]) /
                                 4;

  std::vector<std::complex<double>> spectrum(plane.size(), 0.0);
  for (int fy = -h; fy < h; ++fy) {
    for (int fx = -h; fx < h; ++fx) {
      const double rho = std::hypot(fx, fy);
      if (rho > radius) continue;
      const double taper = std::cos(std::numbers::pi * rho / (2 * radius));
      const std::size_t i = plane.index(fx, fy);
      spectrum[i] = std::polar(amplitude[i] * taper * taper, phases.phase[i]);
    }
  }
  const std::vector<std::complex<double>> raw = inverseTransform(plane.width, spectrum);

  const auto brightest = static_cast<std::size_t>(
      std::max_element(raw.begin(), raw.end(),
                       [](const auto& a, const auto& b) { return a.real() < b.real(); }) -
      raw.begin());
  const double peak = raw[brightest].real();
  const std::size_t w = static_cast<std::size_t>(plane.width);
  const std::size_t shiftX = w + w / 2 - brightest % w, shiftY = w + w / 2 - brightest / w;
  std::vector<float> image(plane.size());
  for (std::size_t y = 0; y < w; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      const double v = peak > 0 ? raw[y * w + x].real() / peak : 0.0;
      image[((y + shiftY) % w) * w + (x + shiftX) % w] = static_cast<float>(v);
    }
  }
  return image;
}

std::vector<uint16_t> displayImage(const std::vector<float>& image) {
  constexpr double kSoftening = 0.01;
  const double top = std::asinh(1 / kSoftening);
  std::vector<uint16_t> display(image.size());
  for (std::size_t i = 0; i < image.size(); ++i) {
    const double v = std::isfinite(image[i]) ? std::clamp<double>(image[i], 0.0, 1.0) : 0.0;
    display[i] = static_cast<uint16_t>(std::lround(65535 * std::asinh(v / kSoftening) / top));
  }
  return display;
}

}  // namespace korrin::reconstruct
