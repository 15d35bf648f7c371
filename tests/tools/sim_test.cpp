// The simulator's physics (reproducibility, photon statistics, turbulence, the binary's photometry
// and geometry), then korrin-sim as a program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/fits_fixture.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/sim/speckle_sim.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;

TEST(SpeckleSim, SeedAndIndexAloneDecideAFrame) {
  SimParams params;
  params.width = 128;
  std::vector<float> inOrder, outOfOrder, frame2, otherSeed, intensityA, intensityC;
  SpeckleSimulator a(params), b(params);
  for (std::uint64_t i = 0; i <= 3; ++i) a.frame(i, inOrder);  // ends on frame 3
  b.frame(6, outOfOrder);                                      // leaves another screen pair cached
  b.frame(3, outOfOrder);
  EXPECT_EQ(inOrder, outOfOrder);
  // Frames 2 and 3 share one filtered noise field but must use independent halves of it; nothing,
  // the turbulence included, may be shared between seeds.
  b.frame(2, frame2);
  params.seed = 12;
  SpeckleSimulator c(params);
  c.frame(3, otherSeed);
  a.intensity(3, intensityA);
  c.intensity(3, intensityC);
  EXPECT_TRUE(frame2 != outOfOrder && otherSeed != inOrder && intensityA != intensityC);
}

TEST(SpeckleSim, PoissonCountsHaveTheirMeanAsVariance) {
  SimRandom random(3, 0, 0);
  for (double mean : {0.5, 7.0, 30.0, 2000.0}) {
    constexpr int n = 100000;
    double sum = 0, sum2 = 0;
    for (int i = 0; i < n; ++i) {
      const double k = random.poisson(mean);
      ASSERT_TRUE(k >= 0 && k == std::floor(k)) << k;
      sum += k, sum2 += k * k;
    }
    EXPECT_NEAR(sum / n, mean, 5 * std::sqrt(mean / n)) << "mean " << mean;
    EXPECT_NEAR((sum2 / n - sum * sum / n / n) / mean, 1.0, 0.03) << "mean " << mean;
  }
  EXPECT_EQ(random.poisson(0), 0);
}

TEST(SpeckleSim, PhaseStructureFunctionFollowsKolmogorov) {
  // r0 = 10 grid steps. Only pairs inside the grid are used: the subharmonics are not periodic.
  // A grid this size falls short of the large-scale power by several per cent at 20 steps, so
  // the tolerance is loose; the exponent is checked on its own.
  const int n = 256, lags[] = {2, 5, 10, 20};
  PhaseScreens screens(n, 0.01, 0.1);
  SimRandom random(5, 0, 0);
  double mean[4] = {};
  std::vector<float> a, b;
  for (int draw = 0; draw < 6; ++draw) {
    screens.generate(random, a, b);
    for (int l = 0; l < 4; ++l)
      for (const std::vector<float>* s : {&a, &b})
        for (int y = 0; y + lags[l] < n; y += 2)
          for (int x = 0; x + lags[l] < n; x += 2) {
            const double v = (*s)[y * n + x], dx = (*s)[y * n + x + lags[l]] - v,
                         dy = (*s)[(y + lags[l]) * n + x] - v;
            mean[l] +=
                (dx * dx + dy * dy) / (24.0 * ((n - lags[l] + 1) / 2) * ((n - lags[l] + 1) / 2));
          }
  }
  for (int l = 0; l < 4; ++l) {
    EXPECT_NEAR(mean[l] / (6.88 * std::pow(lags[l] / 10.0, 5.0 / 3.0)), 1.0, 0.2) << lags[l];
  }
  EXPECT_NEAR(std::log10(mean[3] / mean[0]), 5.0 / 3.0, 0.15);
}

TEST(SpeckleSim, DiffractionLimitedBinaryHasTrueFluxRatioAndOffset) {
  SimParams p;
  // PA 90 is due east, -x; a separation of 20.3 pixels moves the companion by a sub-pixel
  // pupil-plane tilt.
  std::tie(p.width, p.r0, p.fluxRatio, p.separation, p.positionAngle) =
      std::tuple(128, INFINITY, 0.3, 20.3, 90.0);
  std::vector<float> image;
  SpeckleSimulator(p).intensity(0, image);
  // All light stays in the periodic frame: one photon in total.
  EXPECT_NEAR(std::accumulate(image.begin(), image.end(), 0.0), 1.0, 1e-5);
  // Flux within 7 pixels of each star and its centroid.
  const auto spot = [&image](double cx, double cy) {
    double flux = 0, x = 0, y = 0;
    for (int j = 0; j < 128; ++j)
      for (int i = 0; i < 128; ++i)
        if (std::hypot(i - cx, j - cy) <= 7) {
          flux += image[j * 128 + i], x += image[j * 128 + i] * i, y += image[j * 128 + i] * j;
        }
    return std::tuple(flux, std::hypot(x / flux - cx, y / flux - cy));
  };
  const auto [primary, primaryOff] = spot(64, 64);
  const auto [companion, companionOff] = spot(64 - 20.3, 64);
  EXPECT_LT(std::max(primaryOff, companionOff), 0.05);
  EXPECT_NEAR(companion / primary, 0.3, 0.01);
}

test::ProcessResult runSim(const std::vector<std::string>& args) {
  return test::runProgram(KORRIN_SIM_BINARY, args);
}

// Frames korrin names after the stem, samples that are the simulator's frames rounded and clipped
// to the sample type (the program scales the photon count so that the first 16 noise-free frames
// peak at --peak on average), and the truth file.
TEST(SimProgram, FramesAndTruthFile) {
  const std::tuple<int, int, double> cases[] = {{8, 200, 255}, {16, 20000, 65535}, {-32, 3000, 0}};
  for (const auto& [bitpix, peak, top] : cases) {
    SCOPED_TRACE("BITPIX " + std::to_string(bitpix));
    const test::TempDir tmp;
    const fs::path out = tmp.path() / "new" / "capture";  // created with its parent
    const auto r =
        runSim({"--out=" + out.string(), "--name=vega", "--frames=2", "--width=128", "--seed=77",
                "--bitpix=" + std::to_string(bitpix), "--peak=" + std::to_string(peak), "--sky=50",
                "--read_noise=2", "--obstruction=0.25", "--separation=7.5", "--angle=120"});
    ASSERT_EQ(std::pair(r.exitCode, r.err), std::pair(0, std::string()));
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(out)) names.insert(e.path().filename());
    EXPECT_EQ(names,
              (std::set<std::string>{"vega_00001.fits", "vega_00002.fits", "vega_truth.json"}));
    SimParams p;
    std::tie(p.width, p.seed, p.sky, p.readNoise, p.obstruction, p.separation, p.positionAngle) =
        std::tuple(128, 77, 50.0, 2.0, 0.25, 7.5, 120.0);
    p.photons = peak / SpeckleSimulator(p).meanPeakPerPhoton(16);
    SpeckleSimulator sim(p);
    std::vector<float> expected;
    for (int f = 0; f < 2; ++f) {
      const auto image = test::readFitsImage(out / ("vega_0000" + std::to_string(f + 1) + ".fits"));
      EXPECT_EQ(std::tuple(image.bitpix, image.width, image.height, image.bzero),
                std::tuple(bitpix, 128, 128, bitpix == 16 ? 32768 : 0));
      sim.frame(static_cast<std::uint64_t>(f), expected);
      ASSERT_EQ(image.pixels.size(), expected.size());
      size_t mismatches = 0;
      for (size_t i = 0; i < expected.size(); ++i) {
        const double v = expected[i];
        mismatches += image.pixels[i] != (top == 0 ? v : std::clamp(std::nearbyint(v), 0.0, top));
      }
      EXPECT_EQ(mismatches, 0u) << "frame " << f;
    }
    // The 8-bit peak is high enough that some speckles clip at 255.
    EXPECT_EQ(r.out.find("clipped at the top") != std::string::npos, bitpix == 8);
    // PA 120 lies between east and south: the companion towards -x and -y.
    const auto truth = nlohmann::json::parse(test::readBytes((out / "vega_truth.json").string()));
    EXPECT_EQ(std::tuple(truth["result_file"], truth["dx"] < 0, truth["dy"] < 0),
              std::tuple("vega.krn1", true, true));
    EXPECT_NEAR(std::hypot(double(truth["dx"]), double(truth["dy"])), 7.5, 1e-12);
  }
}

TEST(SimProgram, RefusesBadOptionsWarnsAndHelps) {
  const test::TempDir tmp;
  const std::string out = "--out=" + tmp.file("cap");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
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
  for (const auto& [args, message] : cases) {
    const auto r = runSim(args);
    EXPECT_EQ(std::tuple(r.exitCode, r.out), std::tuple(2, "")) << message;
    EXPECT_TRUE(r.err.starts_with("korrin-sim: " + message) &&
                r.err.ends_with("\nTry korrin-sim --help\n"))
        << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp.file("cap")));
  test::writeBytes(tmp.file("plain"), "x");
  const auto blocked = runSim({"--out=" + tmp.file("plain"), "--width=128", "--frames=1"});
  EXPECT_TRUE(blocked.exitCode == 1 &&
              blocked.err.starts_with("korrin-sim: cannot create directory"));
  // Other FITS files beside the frames would be read with them.
  fs::create_directory(tmp.file("cap"));
  test::writeBytes(tmp.file("cap/old.FIT"), "x");
  test::writeBytes(tmp.file("cap/notes.txt"), "x");
  const auto r = runSim({out, "--frames=1", "--width=128"});
  EXPECT_TRUE(r.exitCode == 0 && r.err.find("also holds 1 other FITS files") != std::string::npos);
  EXPECT_NE(runSim({"--help"}).out.find("korrin-sim --out=DIR"), std::string::npos);
}

}  // namespace
}  // namespace korrin
