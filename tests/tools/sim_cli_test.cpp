// The korrin-sim program end to end: files it writes, their samples as cfitsio reads them back,
// the truth file and the command line.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
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
      {{out, "--frames", "3"}, "options are written --key=value, not '--frames'"},
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
  EXPECT_NE(help.out.find("Usage: korrin-sim --out=DIR"), std::string::npos);
  EXPECT_NE(help.out.find("north (+y) towards east (-x)"), std::string::npos);

  test::writeBytes(tmp.file("plain"), "x");
  const auto blocked = runSim({"--out=" + tmp.file("plain"), "--width=128", "--frames=1"});
  EXPECT_EQ(blocked.exitCode, 1);
  EXPECT_NE(blocked.err.find("korrin-sim: cannot create directory"), std::string::npos)
      << blocked.err;
}

}  // namespace
}  // namespace korrin
