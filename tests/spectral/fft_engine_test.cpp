// The transform engine against an exact transform: sign convention, axis order and centring. Its
// other widths are met through the run driver (a constant frame at every width), its fused
// passes through the bispectrum tests (bit for bit against forward), and its planner lock
// through the run driver's several workers under ThreadSanitizer.
#include "spectral/fft_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "tests/spectral/spectral_test_util.h"

namespace korrin {
namespace {

TEST(FftEngine, ForwardAgreesWithDirectTransformInDouble) {
  constexpr int W = 128;
  const std::vector<float> image = test::uniform(W * W, 2024u, 0.0f, 1.0f);
  test::Engine<W> engine;
  engine.loadFloat(image.data());
  std::vector<float> re(W * W, NAN), im(W * W, NAN);
  engine.forward(re, im, false);
  // The input is left as it was.
  std::vector<float> input(W * W);
  engine.copyInput(input.data(), false);
  EXPECT_EQ(input, image);

  std::vector<std::complex<double>> twiddle(W), rows(W * W);
  for (int k = 0; k < W; ++k) twiddle[k] = std::polar(1.0, -2.0 * std::numbers::pi * k / W);
  // Rows first (along x), then columns (along y): the 2-D sum is separable.
  for (int y = 0; y < W; ++y)
    for (int fx = 0; fx < W; ++fx)
      for (int x = 0; x < W; ++x)
        rows[y * W + fx] += double{image[y * W + x]} * twiddle[fx * x % W];
  double worst = 0.0;
  for (int fy = 0; fy < W; ++fy) {
    for (int fx = 0; fx < W; ++fx) {
      std::complex<double> sum = 0.0;
      for (int y = 0; y < W; ++y) sum += rows[y * W + fx] * twiddle[fy * y % W];
      const int k = test::centredIndex<W>(fx < W / 2 ? fx : fx - W, fy < W / 2 ? fy : fy - W);
      // An element never written (NaN) counts as infinitely wrong.
      const double error = std::abs(std::complex<double>(re[k], im[k]) - sum);
      worst = std::max(worst, std::isnan(error) ? INFINITY : error);
    }
  }
  EXPECT_LT(worst, 2e-3);
}

}  // namespace
}  // namespace korrin
