// The simulator's physics: reproducibility, turbulence statistics, photometry and geometry of the
// binary. That the companion shows in the autocorrelation is checked end to end through korrin and
// the inspector.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "tools/sim/speckle_sim.h"

namespace korrin {
namespace {

SimParams smallParams() {
  SimParams p;
  p.width = 128;
  p.photons = 2.0e5;
  p.sky = 20;
  p.readNoise = 3;
  p.seed = 11;
  return p;
}

TEST(SpeckleSimReproducibility, SeedAndIndexAloneDecideAFrame) {
  const SimParams params = smallParams();
  std::vector<float> inOrder, outOfOrder, fresh;

  SpeckleSimulator a(params);
  for (std::uint64_t i = 0; i <= 3; ++i) a.frame(i, inOrder);  // ends on frame 3

  SpeckleSimulator b(params);
  b.frame(6, fresh);  // leaves another screen pair cached
  b.frame(3, outOfOrder);
  EXPECT_EQ(inOrder, outOfOrder);

  // Frames 2 and 3 share one filtered noise field but must use independent halves of it.
  std::vector<float> frame2;
  b.frame(2, frame2);
  EXPECT_NE(frame2, outOfOrder);

  SimParams other = params;
  other.seed = 12;
  SpeckleSimulator c(other);
  c.frame(3, fresh);
  EXPECT_NE(fresh, inOrder);
  // Same turbulence, different seed stream for the noise: nothing may be shared between seeds.
  std::vector<float> intensityA, intensityC;
  a.intensity(3, intensityA);
  c.intensity(3, intensityC);
  EXPECT_NE(intensityA, intensityC);
}

TEST(SpeckleSimRandom, PoissonAndNormalMoments) {
  SimRandom random(3, 0, 0);
  for (double mean : {0.5, 7.0, 30.0, 2000.0}) {
    const int n = 100000;
    double sum = 0, sum2 = 0;
    for (int i = 0; i < n; ++i) {
      const double k = random.poisson(mean);
      ASSERT_EQ(k, std::floor(k));
      ASSERT_GE(k, 0);
      sum += k;
      sum2 += k * k;
    }
    const double m = sum / n;
    const double var = sum2 / n - m * m;
    EXPECT_NEAR(m, mean, 5 * std::sqrt(mean / n)) << "mean " << mean;
    EXPECT_NEAR(var / mean, 1.0, 0.03) << "mean " << mean;
  }
  EXPECT_EQ(random.poisson(0), 0);
  double sum = 0, sum2 = 0;
  for (int i = 0; i < 100000; ++i) {
    const double z = random.normal();
    sum += z;
    sum2 += z * z;
  }
  EXPECT_NEAR(sum / 1e5, 0, 0.015);
  EXPECT_NEAR(sum2 / 1e5, 1, 0.02);
}

TEST(SpeckleSimPhaseScreens, StructureFunctionFollowsKolmogorov) {
  // r0 = 10 grid steps. Only pairs inside the grid are used: the subharmonics are not periodic.
  // A grid this size falls short of the large-scale power by several per cent at 20 steps, so
  // the tolerance is loose.
  const int n = 256;
  const double scale = 0.01, r0 = 0.1;
  PhaseScreens screens(n, scale, r0);
  SimRandom random(5, 0, 0);
  const int lags[] = {2, 5, 10, 20};
  std::vector<double> sum(std::size(lags), 0.0);
  std::vector<double> count(std::size(lags), 0.0);
  std::vector<float> a, b;
  for (int draw = 0; draw < 6; ++draw) {
    screens.generate(random, a, b);
    for (const std::vector<float>* s : {&a, &b}) {
      for (std::size_t l = 0; l < std::size(lags); ++l) {
        const int r = lags[l];
        for (int y = 0; y + r < n; y += 2) {
          for (int x = 0; x + r < n; x += 2) {
            const double v = (*s)[y * n + x];
            const double dxv = (*s)[y * n + x + r] - v;
            const double dyv = (*s)[(y + r) * n + x] - v;
            sum[l] += dxv * dxv + dyv * dyv;
            count[l] += 2;
          }
        }
      }
    }
  }
  for (std::size_t l = 0; l < std::size(lags); ++l) {
    const double theory = 6.88 * std::pow(lags[l] * scale / r0, 5.0 / 3.0);
    EXPECT_NEAR(sum[l] / count[l] / theory, 1.0, 0.2) << "lag " << lags[l];
  }
  // The exponent, which the amplitude check alone would let through within its tolerance.
  const double slope = std::log((sum[3] / count[3]) / (sum[0] / count[0])) / std::log(10.0);
  EXPECT_NEAR(slope, 5.0 / 3.0, 0.15);
}

// Flux within `radius` of (cx, cy) and its centroid.
struct Spot {
  double flux = 0, x = 0, y = 0;
};

Spot measure(const std::vector<float>& image, int n, double cx, double cy, double radius) {
  Spot s;
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      if (std::hypot(x - cx, y - cy) > radius) continue;
      const double v = image[y * n + x];
      s.flux += v;
      s.x += v * x;
      s.y += v * y;
    }
  }
  s.x /= s.flux;
  s.y /= s.flux;
  return s;
}

TEST(SpeckleSimGeometry, DiffractionLimitedBinaryHasTrueFluxRatioAndOffset) {
  SimParams p;
  p.width = 128;
  p.r0 = INFINITY;
  p.fluxRatio = 0.3;
  p.separation = 20.3;   // sub-pixel: the companion is moved by the pupil-plane tilt
  p.positionAngle = 90;  // due east: -x
  SpeckleSimulator sim(p);
  std::vector<float> image;
  sim.intensity(0, image);

  // All light stays in the periodic frame: one photon in total.
  EXPECT_NEAR(std::accumulate(image.begin(), image.end(), 0.0), 1.0, 1e-5);

  const PixelOffset offset = separationVector(p);
  EXPECT_NEAR(offset.dx, -20.3, 1e-12);
  EXPECT_NEAR(offset.dy, 0.0, 1e-12);
  const Spot primary = measure(image, 128, 64, 64, 7);
  const Spot companion = measure(image, 128, 64 + offset.dx, 64 + offset.dy, 7);
  EXPECT_NEAR(primary.x, 64, 0.05);
  EXPECT_NEAR(primary.y, 64, 0.05);
  EXPECT_NEAR(companion.x, 64 - 20.3, 0.05);
  EXPECT_NEAR(companion.y, 64, 0.05);
  EXPECT_NEAR(companion.flux / primary.flux, 0.3, 0.01);

  // North is +y: position angle 0 puts the companion straight above the primary.
  p.positionAngle = 0;
  SpeckleSimulator north(p);
  north.intensity(0, image);
  const Spot up = measure(image, 128, 64, 64 + 20.3, 7);
  EXPECT_NEAR(up.x, 64, 0.05);
  EXPECT_NEAR(up.y, 64 + 20.3, 0.05);
}

TEST(SpeckleSimGeometry, NoiseAddsSkyAndPhotonStatistics) {
  SimParams p = smallParams();
  p.photons = 0;
  p.sky = 400;
  p.readNoise = 6;
  SpeckleSimulator sim(p);
  std::vector<float> frame;
  sim.frame(0, frame);
  double sum = 0, sum2 = 0;
  for (float v : frame) {
    sum += v;
    sum2 += static_cast<double>(v) * v;
  }
  const double n = static_cast<double>(frame.size());
  const double mean = sum / n;
  EXPECT_NEAR(mean, 400, 0.5);
  EXPECT_NEAR(sum2 / n - mean * mean, 400 + 36, 15);  // Poisson variance plus read noise
}

}  // namespace
}  // namespace korrin
