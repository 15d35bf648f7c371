// The simulator's physics: reproducibility, turbulence statistics, photometry and geometry of the
// binary. That the companion shows in the autocorrelation is checked end to end through korrin and
// the inspector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/tools_test_util.h"
#include "tools/sim/speckle_sim.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::jsonNumber;
using test::readBytes;
using test::TempDir;

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

TEST(SpeckleSimRandom, PoissonMoments) {
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

// The korrin-sim program end to end: files it writes, their samples as cfitsio reads them back,
// the truth file and the command line.

test::ProcessResult runSim(std::vector<std::string> args) {
  return test::runTool(KORRIN_SIM_BINARY, std::move(args));
}

std::set<std::string> listDir(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

TEST(SimProgram, WritesFramesKorrinNamesAfterTheStemAndATruthFile) {
  TempDir tmp;
  const fs::path out = tmp.path() / "new" / "capture";  // created with its parent
  const auto r = runSim({"--out=" + out.string(), "--name=vega", "--frames=5", "--width=128",
                         "--separation=10", "--angle=120", "--ratio=0.4"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(listDir(out),
            (std::set<std::string>{"vega_00001.fits", "vega_00002.fits", "vega_00003.fits",
                                   "vega_00004.fits", "vega_00005.fits", "vega_truth.json"}));

  const std::string json = readBytes((out / "vega_truth.json").string());
  EXPECT_NE(json.find("\"result_file\": \"vega.krn1\""), std::string::npos);
  EXPECT_NE(json.find("from north (+y) towards east (-x)"), std::string::npos);
  for (const auto& [key, value] : {std::pair{"frames", 5.0},
                                   {"width", 128.0},
                                   {"bitpix", 16.0},
                                   {"separation_px", 10.0},
                                   {"position_angle_deg", 120.0},
                                   {"flux_ratio", 0.4},
                                   {"primary_x", 64.0}}) {
    EXPECT_EQ(jsonNumber(json, key), value) << key;
  }
  // PA 120 lies between east and south: towards -x and -y.
  EXPECT_NEAR(jsonNumber(json, "dx"), -10 * std::sin(120 * M_PI / 180), 1e-12);
  EXPECT_NEAR(jsonNumber(json, "dy"), 10 * std::cos(120 * M_PI / 180), 1e-12);
  EXPECT_NE(r.out.find("Wrote 5 frames of 128 x 128 (BITPIX 16)"), std::string::npos) << r.out;
}

TEST(SimProgram, SamplesOfEachBitpixMatchTheSimulatorRoundedAndClipped) {
  struct Case {
    int bitpix;
    double peak, sky, readNoise, top;
  };
  // The 8-bit peak is set high enough that some speckles clip at 255.
  for (const Case c : {Case{8, 200, 10, 1, 255}, Case{16, 20000, 1000, 10, 65535},
                       Case{-32, 3000, 50, 2, INFINITY}}) {
    SCOPED_TRACE("BITPIX " + std::to_string(c.bitpix));
    TempDir tmp;
    const auto r =
        runSim({"--out=" + tmp.path().string(), "--frames=3", "--width=128", "--seed=77",
                "--bitpix=" + std::to_string(c.bitpix), "--peak=" + std::to_string(c.peak),
                "--sky=" + std::to_string(c.sky), "--read_noise=" + std::to_string(c.readNoise),
                "--obstruction=0.25", "--separation=7.5", "--angle=300"});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    // The same frames from the library: the program scales the photon count so the first 16
    // noise-free frames peak at --peak on average.
    SimParams p;
    p.width = 128;
    p.seed = 77;
    p.sky = c.sky;
    p.readNoise = c.readNoise;
    p.obstruction = 0.25;
    p.separation = 7.5;
    p.positionAngle = 300;
    {
      SpeckleSimulator probe(p);
      p.photons = c.peak / probe.meanPeakPerPhoton(16);
    }
    SpeckleSimulator sim(p);
    std::vector<float> expected;
    for (int f = 0; f < 3; ++f) {
      const test::FitsImage image =
          test::readFitsImage(tmp.file("binary_0000" + std::to_string(f + 1) + ".fits"));
      EXPECT_EQ(std::tuple(image.bitpix, image.width, image.height),
                std::tuple(c.bitpix, 128, 128));
      EXPECT_EQ(image.bzero, c.bitpix == 16 ? 32768 : 0);
      sim.frame(static_cast<std::uint64_t>(f), expected);
      ASSERT_EQ(image.pixels.size(), expected.size());
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < expected.size(); ++i) {
        double want = expected[i];
        if (c.bitpix != -32) want = std::clamp(std::nearbyint(want), 0.0, c.top);
        if (image.pixels[i] != want) ++mismatches;
      }
      EXPECT_EQ(mismatches, 0u) << "frame " << f;
    }
    if (c.bitpix == 8) {
      EXPECT_NE(r.out.find("clipped at the top of the sample range"), std::string::npos) << r.out;
    }
  }
}

TEST(SimProgram, WarnsAboutOtherFitsFilesKorrinWouldAlsoRead) {
  TempDir tmp;
  test::writeBytes(tmp.file("old.FIT"), "x");
  test::writeBytes(tmp.file("notes.txt"), "x");
  const auto r = runSim({"--out=" + tmp.path().string(), "--frames=1", "--width=128"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("also holds 1 other FITS files"), std::string::npos) << r.err;
}

TEST(SimProgram, RejectsBadOptionsWithAReasonAndWritesNothing) {
  TempDir tmp;
  const std::string out = "--out=" + tmp.file("cap");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "--out=DIR is required"},
      {{out, "--width=100"}, "--width must be 128, 256, 512 or 1024, not 100"},
      {{out, "--bitpix=32"}, "--bitpix must be 8, 16 or -32, not 32"},
      {{out, "--frames=2x"}, "--frames needs an integer, not '2x'"},
      {{out, "--ratio=abc"}, "--ratio needs a number, not 'abc'"},
      {{out, "--ratio=-1"}, "flux ratio must be 0 or positive"},
      {{out, "--name=a/b"}, "--name must start with a letter or digit"},
      {{out, "--r0=0.01"}, "turbulence too strong for the pupil sampling"},
      {{out, "--separation=64", "--width=128"}, "separation must be at least 0 and below 64"},
      {{out, "--pupil=200"}, "pupil diameter must be between 4 and 128 pixels"},
      {{out, "--bogus=1"}, "unknown option --bogus"},
      {{out, "--frames"}, "--frames: 1 required N missing"},
  };
  for (const Case& c : cases) {
    const auto r = runSim(c.args);
    EXPECT_EQ(r.exitCode, 2) << c.message;
    EXPECT_NE(r.err.find("korrin-sim: " + c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Try korrin-sim --help"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(fs::exists(tmp.file("cap")));

  const auto help = runSim({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("korrin-sim --out=DIR"), std::string::npos);
  EXPECT_NE(help.out.find("north (+y) towards east (-x)"), std::string::npos);

  test::writeBytes(tmp.file("plain"), "x");
  const auto blocked = runSim({"--out=" + tmp.file("plain"), "--width=128", "--frames=1"});
  EXPECT_EQ(blocked.exitCode, 1);
  EXPECT_NE(blocked.err.find("korrin-sim: cannot create directory"), std::string::npos)
      << blocked.err;
}

}  // namespace
}  // namespace korrin
