// korrin-reconstruct: the phase recovery against bispectra computed from the definition, and the
// program end to end on simulated captures, where the truth is known.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <vector>

#include "result/result_file.h"
#include "spectral/bispectrum.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/inspect/result_reader.h"
#include "tools/reconstruct/binary_fit.h"
#include "tools/reconstruct/image.h"
#include "tools/reconstruct/modulus.h"
#include "tools/reconstruct/phase_recovery.h"
#include "tools/sim/speckle_sim.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using reconstruct::FrequencyPlane;
using test::ProcessResult;
using test::TempDir;
constexpr double kPi = std::numbers::pi;

double wrap(double a) {
  return a - 2 * kPi * std::nearbyint(a / (2 * kPi));
}

// Gaussian blobs of width 1.5 pixels: their spectrum falls off smoothly, like a seeing-limited
// star's, and is known in closed form.
struct Blob {
  double x, y, flux;
};

// The forward transform with exp(-2 pi i f.x / W), as korrin takes it.
std::complex<double> spectrumOf(const std::vector<Blob>& blobs, int w, int fx, int fy) {
  const double envelope = std::exp(-2 * kPi * kPi * 2.25 * (fx * fx + fy * fy) / (w * w));
  std::complex<double> sum = 0;
  for (const Blob& b : blobs) sum += std::polar(b.flux, -2 * kPi * (fx * b.x + fy * b.y) / w);
  return envelope * sum;
}

// A result file's contents for the blobs, without noise: the power and the phase of
// F(u) F(v) F(-(u + v)) for every pair the file holds, in file order.
ResultData noiseFreeResult(const std::vector<Blob>& blobs, int w, int k, int d) {
  ResultData r;
  r.width = w;
  r.kmax = k;
  r.dkmax = d;
  const FrequencyPlane plane{w};
  r.power.resize(plane.size());
  for (std::size_t i = 0; i < plane.size(); ++i) {
    r.power[i] = std::norm(spectrumOf(blobs, w, plane.fxAt(i), plane.fyAt(i)));
  }
  const PhaseLayout layout(w, k, d);
  r.phases.resize(static_cast<std::size_t>(layout.count()));
  for (int ux = -k; ux <= k; ++ux)
    for (int uy = 0; uy <= k; ++uy)
      for (int vx = -d; vx <= d; ++vx)
        for (int vy = -d; vy <= d; ++vy) {
          const int64_t at = layout.position(ux, uy, vx, vy);
          if (at < 0) continue;
          const std::complex<double> b = spectrumOf(blobs, w, ux, uy) *
                                         spectrumOf(blobs, w, vx, vy) *
                                         spectrumOf(blobs, w, -ux - vx, -uy - vy);
          r.phases[static_cast<std::size_t>(at)] = static_cast<float>(std::arg(b));
        }
  return r;
}

// Largest difference between the recovered phases and the object's, once the object is moved so
// that its phases at (1, 0) and (0, 1) are 0, as the recovery fixes them.
double largestPhaseError(const reconstruct::PhaseSolution& s, const std::vector<Blob>& blobs) {
  const int w = s.plane.width;
  const double tx = std::arg(spectrumOf(blobs, w, 1, 0)), ty = std::arg(spectrumOf(blobs, w, 0, 1));
  double largest = 0;
  for (std::size_t i = 0; i < s.plane.size(); ++i) {
    const int fx = s.plane.fxAt(i), fy = s.plane.fyAt(i);
    if (std::hypot(fx, fy) > s.radius) continue;
    const double truth = std::arg(spectrumOf(blobs, w, fx, fy)) - fx * tx - fy * ty;
    largest = std::max(largest, std::fabs(wrap(s.phase[i] - truth)));
  }
  return largest;
}

TEST(PhaseRecovery, NoiseFreeBispectrumGivesTheObjectsPhasesAndItsMirrorImageDoesNot) {
  const int w = 128, k = 24, d = 5;
  const std::vector<Blob> object = {{64, 64, 1.0}, {71, 67, 0.6}, {60, 73, 0.3}};
  std::vector<Blob> mirrored = object;
  for (Blob& b : mirrored) b = {128 - b.x, 128 - b.y, b.flux};
  const std::vector<double> weight(static_cast<std::size_t>(w * w), 1.0);
  reconstruct::PhaseOptions options;
  options.radius = k;

  const ResultData result = noiseFreeResult(object, w, k, d);
  for (bool refine : {false, true}) {
    options.refine = refine;
    const reconstruct::PhaseSolution s = reconstruct::recoverPhases(result, weight, options);
    EXPECT_LT(largestPhaseError(s, object), 1e-4) << "refine " << refine;
    EXPECT_LT(s.rmsResidual, 1e-5);
  }
  // The check can tell an object from its mirror image, which has the opposite phases.
  const reconstruct::PhaseSolution flipped =
      reconstruct::recoverPhases(noiseFreeResult(mirrored, w, k, d), weight, options);
  EXPECT_LT(largestPhaseError(flipped, mirrored), 1e-4);
  EXPECT_GT(largestPhaseError(flipped, object), 1.0);

  // The image, calibrated with a single blob as the reference star: x the column, y the row, the
  // brightest blob at the centre and the second one 7 columns right and 3 rows up from it, not at
  // the mirrored place.
  reconstruct::ModulusOptions cutoff;
  cutoff.cutoff = k;
  const std::vector<double> star = noiseFreeResult({{64, 64, 1.0}}, w, 0, 0).power;
  const std::vector<float> image = reconstruct::reconstructImage(
      reconstruct::calibrateModulus(FrequencyPlane{w}, result.power, &star, cutoff),
      reconstruct::recoverPhases(result, weight, options));
  const auto at = [&](int x, int y) { return image[static_cast<std::size_t>(y * w + x)]; };
  EXPECT_EQ(at(64, 64), 1.0f);
  EXPECT_NEAR(at(71, 67), 0.6f, 0.05f);
  EXPECT_LT(at(57, 61), 0.05f);
}

TEST(SkyOrientation, PositionAngleRunsFromNorthThroughEast) {
  // The companion of korrin-sim's position angle 30: (dx, dy) = (-sin 30, cos 30).
  const double dx = -0.5, dy = std::sqrt(3.0) / 2;
  const struct {
    double north;
    bool flip;
    double angle;
  } cases[] = {{0, false, 30}, {90, false, 300}, {0, true, 330}, {-30, true, 300}};
  for (const auto& c : cases) {
    const double angle = reconstruct::positionAngle(dx, dy, {c.north, c.flip});
    EXPECT_NEAR(std::fmod(angle - c.angle + 540, 360) - 180, 0, 1e-9)
        << "north " << c.north << " flip " << c.flip;
  }
}

// ---------------------------------------------------------------------------------------------
// End to end: korrin-sim (or the simulator's library), korrin and korrin-reconstruct.

ProcessResult reconstruct(std::vector<std::string> args) {
  return test::runProgram(KORRIN_RECONSTRUCT_BINARY, args);
}

std::string simulate(const TempDir& tmp, const std::string& name, const std::string& separation,
                     const std::string& angle, const std::string& ratio, const std::string& seed) {
  const std::string dir = tmp.file(name);
  const ProcessResult sim = test::runProcess(
      {KORRIN_SIM_BINARY, "--out=" + dir, "--frames=200", "--width=128",
       "--separation=" + separation, "--angle=" + angle, "--ratio=" + ratio, "--seed=" + seed});
  EXPECT_EQ(sim.exitCode, 0) << sim.err;
  const ProcessResult run = test::runKorrinBinary({"--dir=" + dir, "--nprocs=2"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return dir + "/binary.krn1";
}

nlohmann::json measure(const std::string& result, const std::string& out,
                       std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {result, "--binary", "--out=" + out, "--json=" + out + ".json"};
  args.insert(args.end(), extra.begin(), extra.end());
  const ProcessResult r = reconstruct(args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return nlohmann::json::parse(test::readBytes(out + ".json"));
}

// Within three reported standard errors plus a small absolute allowance, with the error itself
// small, so that a vast error bar cannot make the check pass.
void expectNear(const nlohmann::json& b, const std::string& key, const std::string& errorKey,
                double truth, double allowance, double largestError) {
  const double value = b.at(key), error = b.at(errorKey);
  const double miss =
      key == "position_angle_deg" ? wrap((value - truth) * kPi / 180) * 180 / kPi : value - truth;
  EXPECT_LE(std::fabs(miss), 3 * error + allowance) << key << " " << value << " +- " << error;
  EXPECT_LT(error, largestError) << errorKey;
}

TEST(ReconstructProgram, MeasuresSimulatedBinariesWithinTheirErrorsOnTheRightSide) {
  // lambda / D is 2.5 pixels: a close pair at 2.5 lambda / D, a wider one, a faint companion.
  const struct {
    const char *separation, *angle, *ratio, *seed;
  } cases[] = {{"10", "30", "0.5", "3"}, {"6.25", "200", "0.7", "2"}, {"14", "300", "0.1", "4"}};
  TempDir tmp;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("separation ") + c.separation + ", angle " + c.angle);
    const std::string result =
        simulate(tmp, std::string("pair") + c.seed, c.separation, c.angle, c.ratio, c.seed);
    const nlohmann::json j = measure(result, tmp.file(std::string("pair") + c.seed));
    const nlohmann::json& b = j.at("binary");
    ASSERT_TRUE(b.at("detected")) << b.dump();
    const double separation = std::stod(c.separation), angle = std::stod(c.angle) * kPi / 180;
    expectNear(b, "separation_px", "separation_err_px", separation, 0.02, 0.05);
    expectNear(b, "position_angle_deg", "position_angle_err_deg", std::stod(c.angle), 0.1, 0.3);
    expectNear(b, "delta_mag", "delta_mag_err", -2.5 * std::log10(std::stod(c.ratio)), 0.02, 0.05);
    // korrin-sim's companion sits at (-s sin PA, s cos PA): right quadrant, not the mirror image.
    EXPECT_NEAR(b.at("dx_px"), -separation * std::sin(angle), 0.1);
    EXPECT_NEAR(b.at("dy_px"), separation * std::cos(angle), 0.1);
    EXPECT_GT(b.at("quadrant_confidence"), 0.999);
  }

  // The picture of the last pair: 32-bit float, primary at (W/2, W/2), named after --out, with
  // its provenance in the header.
  const std::string prefix = tmp.file("pair4");
  const test::FitsImage image = test::readFitsImage(prefix + "-image.fits");
  ASSERT_EQ(image.bitpix, -32);
  ASSERT_EQ(image.width, 128);
  EXPECT_EQ(image.at(64, 64), 1.0);
  EXPECT_NE(test::readBytes(prefix + "-image.fits").find("HISTORY Result: " + tmp.file("pair4")),
            std::string::npos);
  EXPECT_TRUE(fs::exists(prefix + "-image.png"));

  // An equal pair is symmetric: its phases cannot tell the two sides apart, and must not claim to.
  const nlohmann::json equal =
      measure(simulate(tmp, "equal", "8", "120", "1", "1"), tmp.file("equal")).at("binary");
  expectNear(equal, "separation_px", "separation_err_px", 8, 0.02, 0.05);
  EXPECT_LT(equal.at("quadrant_confidence"), 0.99);

  // A single star: nothing claimed.
  const nlohmann::json single =
      measure(simulate(tmp, "single", "12", "30", "0", "1"), tmp.file("single"));
  EXPECT_FALSE(single.at("binary").at("detected")) << single.dump();
  EXPECT_FALSE(single.at("binary").contains("separation_px"));
}

// A capture through a telescope that shakes along x during each exposure: the simulator's
// noise-free image smeared over three columns (weights 1, 2, 1), then photon, sky and read noise.
// The transfer function is then no longer round, which ring means cannot know.
std::string shakenCapture(const TempDir& tmp, const std::string& name, double ratio,
                          std::uint64_t seed) {
  SimParams p;
  p.width = 128;
  p.obstruction = 0.3;
  p.separation = 10;
  p.positionAngle = 30;
  p.fluxRatio = ratio;
  p.seed = seed;
  p.photons = 2.7e6;
  p.sky = 1000;
  p.readNoise = 10;
  SpeckleSimulator sim(p);
  const std::string dir = tmp.file(name);
  fs::create_directories(dir);
  std::vector<float> image, frame(128 * 128);
  for (int i = 0; i < 200; ++i) {
    sim.intensity(static_cast<std::uint64_t>(i), image);
    SimRandom random(seed, 7, static_cast<std::uint64_t>(i));
    for (int y = 0; y < 128; ++y)
      for (int x = 0; x < 128; ++x) {
        const auto at = [&](int dx) {
          return image[static_cast<std::size_t>(y * 128 + (x + dx + 128) % 128)];
        };
        const double smeared = (at(-1) + 2 * at(0) + at(1)) / 4;
        frame[static_cast<std::size_t>(y * 128 + x)] = static_cast<float>(
            random.poisson(p.photons * smeared + p.sky) + p.readNoise * random.normal());
      }
    char file[32];
    std::snprintf(file, sizeof file, "/f_%05d.fits", i + 1);
    test::writeFitsImage(dir + file, 128, 128, test::SampleType::F32, frame);
  }
  const ProcessResult run = test::runKorrinBinary({"--dir=" + dir, "--nprocs=2"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return dir + "/f.krn1";
}

TEST(ReconstructProgram, AReferenceStarGetsTheMagnitudeDifferenceRightWhereRingMeansCannot) {
  TempDir tmp;
  const std::string binary = shakenCapture(tmp, "binary", 0.5, 1);
  const std::string star = shakenCapture(tmp, "star", 0, 11);
  const double truth = -2.5 * std::log10(0.5);
  const nlohmann::json alone = measure(binary, tmp.file("alone")).at("binary");
  const nlohmann::json calibrated =
      measure(binary, tmp.file("calibrated"), {"--ref=" + star}).at("binary");
  ASSERT_TRUE(calibrated.at("detected"));
  expectNear(calibrated, "delta_mag", "delta_mag_err", truth, 0.02, 0.05);
  expectNear(calibrated, "separation_px", "separation_err_px", 10, 0.02, 0.05);
  // Without the reference the smear's elongation passes for a companion or spoils the real one.
  const double missAlone = alone.at("detected") ? std::fabs(double(alone.at("delta_mag")) - truth)
                                                : std::numeric_limits<double>::infinity();
  EXPECT_GT(missAlone, 5 * std::fabs(double(calibrated.at("delta_mag")) - truth) + 0.1);
}

// Writes a result file: width w, kmax k, dkmax 1, every power value `power` (the zero frequency
// 1e6 times more), every bispectrum sum 1.
std::string writeResult(const TempDir& tmp, const std::string& name, int w, int k, float power) {
  std::vector<std::vector<float>> p(1, std::vector<float>(static_cast<std::size_t>(w * w), power));
  p[0][static_cast<std::size_t>(w / 2 * w + w / 2)] = power * 1e6f;
  const auto elements = static_cast<std::size_t>(bispectrumSize(k, 1));
  const std::vector<std::vector<float>> re(1, std::vector<float>(elements, 1.0f)),
      im(1, std::vector<float>(elements, 0.0f));
  const std::string path = tmp.file(name);
  writeResultFile(path, w, 1, k, 1, p, re, im);
  return path;
}

TEST(ReconstructProgram, RefusesBadFilesAndOptionsAndWritesNothing) {
  TempDir tmp;
  const std::string good = simulate(tmp, "capture", "10", "30", "0.5", "5");
  const std::string zero = writeResult(tmp, "zero.krn1", 128, 60, 0.0f);
  const std::string nan = writeResult(tmp, "nan.krn1", 128, 60, NAN);
  const std::string wide = writeResult(tmp, "wide.krn1", 256, 2, 1.0f);
  const std::string narrow = tmp.file("narrow.krn1");
  {  // kmax 3: the phases reach a sixteenth of the signal, which ends at 53.
    const ProcessResult r = test::runKorrinBinary(
        {"--dir=" + tmp.file("capture"), "--kmax=3", "--dkmax=2", "--out=" + narrow});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  std::string bytes = test::readBytes(good);
  bytes.resize(bytes.size() - 4);
  const std::string truncated = tmp.file("truncated.krn1");
  test::writeBytes(truncated, bytes);

  const std::string out = tmp.file("out");
  const std::string name = "korrin-reconstruct: ";
  const std::string usage = "\nTry korrin-reconstruct --help\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // the start of standard error
  } cases[] = {
      {{tmp.file("missing.krn1")},
       1,
       name + tmp.file("missing.krn1") + ": cannot open: No such file or directory\n"},
      {{truncated}, 1, name + truncated + ": file is "},
      {{zero}, 1, name + zero + ": the power spectrum is all zero\n"},
      {{nan}, 1, name + nan + ": the power spectrum holds non-finite values\n"},
      {{good, "--ref=" + wide},
       1,
       name + wide + ": the reference is 256 pixels wide, the result 128\n"},
      {{narrow}, 1, name + narrow + ": kmax 3 reaches too little of the signal, which ends at "},
      {{good, "--cutoff=abc"}, 2, name + "Could not convert: --cutoff = abc" + usage},
      {{good, "--cutoff=65"}, 2, name + "--cutoff=65 lies beyond the highest frequency (64 "},
      {{good, "--scale=0.02"}, 2, name + "--scale requires --binary" + usage},
      {{good, "--binary", "--scale=-1"}, 2, name + "--scale: must be a positive number"},
      {{good, "--colour=red"}, 2, name + "unknown option --colour" + usage},
      {{}, 2, name + "result is required" + usage},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--out=" + out);
    args.push_back("--json=" + out + ".json");
    const ProcessResult r = reconstruct(args);
    EXPECT_EQ(r.exitCode, c.status) << r.err;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(out + "-image.fits") || fs::exists(out + "-image.png") ||
                 fs::exists(out + ".json"));
  }
}

}  // namespace
}  // namespace korrin
