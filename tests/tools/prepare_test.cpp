// korrin-prepare end to end: recordings korrin-sim writes (SER, cube, frames larger than the
// window) converted and compared with the frames korrin-sim writes directly, bad inputs, and the
// check's verdicts on broken captures.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fits_fixture.h"
#include "tests/support/result_reader.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::TempDir;

ProcessResult prepare(std::vector<std::string> args) {
  return test::runProgram(KORRIN_PREPARE_BINARY, args);
}

// korrin-sim with a fixed seed and 4 frames of 128 x 128, into `dir`.
void simulate(const fs::path& dir, std::vector<std::string> args) {
  args.insert(args.end(), {"--out=" + dir.string(), "--frames=4", "--width=128", "--seed=5"});
  const ProcessResult r = test::runProgram(KORRIN_SIM_BINARY, args);
  ASSERT_EQ(r.exitCode, 0) << r.err;
}

std::string frame(const fs::path& dir, const std::string& prefix, int number) {
  return (dir / (prefix + "_0000" + std::to_string(number) + ".fits")).string();
}

std::string keyword(const std::string& path, const char* name) {
  const std::string header = test::readBytes(path).substr(0, 2880);
  for (size_t at = 0; at + 80 <= header.size(); at += 80) {
    if (header.compare(at, std::strlen(name), name) == 0) return header.substr(at + 10, 70);
  }
  return {};
}

// The converted frames hold exactly the pixels of the frames korrin-sim writes directly.
void expectSameFrames(const fs::path& converted, const std::string& prefix, const fs::path& direct,
                      int bitpix) {
  for (int f = 1; f <= 4; ++f) {
    const test::FitsImage got = test::readFitsImage(frame(converted, prefix, f));
    const test::FitsImage want = test::readFitsImage(frame(direct, "binary", f));
    EXPECT_EQ(got.bitpix, bitpix);
    EXPECT_EQ(got.pixels, want.pixels) << "frame " << f;
  }
}

struct SerCase {
  int bitpix;
  bool bigEndian;
  bool trailer;
};

void PrintTo(const SerCase& c, std::ostream* os) {
  *os << c.bitpix << (c.bigEndian ? " big" : " little") << (c.trailer ? " trailer" : "");
}

class PrepareSer : public ::testing::TestWithParam<SerCase> {};

TEST_P(PrepareSer, FramesAndTimesComeThroughUnchanged) {
  const SerCase c = GetParam();
  TempDir tmp;
  const std::string bits = "--bitpix=" + std::to_string(c.bitpix);
  simulate(tmp.path() / "ser", {bits, "--format=ser"});
  simulate(tmp.path() / "frames", {bits});
  const std::string ser = (tmp.path() / "ser" / "binary.ser").string();
  std::string bytes = test::readBytes(ser);
  const size_t data = 178 + 4 * 128 * 128 * (c.bitpix / 8);
  ASSERT_EQ(bytes.size(), data + 4 * 8);
  if (c.bigEndian) {
    // Swapped samples with the header's flag left saying little-endian, as some programs write.
    for (size_t i = 178; i < data; i += 2) std::swap(bytes[i], bytes[i + 1]);
  }
  if (!c.trailer) bytes.resize(data);
  test::writeBytes(ser, bytes);

  const ProcessResult r = prepare({ser, "--out=" + tmp.file("capture")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  expectSameFrames(tmp.path() / "capture", "binary", tmp.path() / "frames", c.bitpix);
  if (c.bitpix == 16) {
    EXPECT_NE(r.out.find(std::string("samples read ") + (c.bigEndian ? "big" : "little") +
                         "-endian (decided from the data"),
              std::string::npos)
        << r.out;
  }
  // korrin-sim starts at 2025-06-01 22:00 UTC, one frame every 10 ms.
  EXPECT_EQ(keyword(frame(tmp.path() / "capture", "binary", 2), "DATE-OBS").substr(0, 28),
            c.trailer ? "'2025-06-01T22:00:00.010000'" : "'2025-06-01T22:00:00.000000'");
  EXPECT_EQ(keyword(frame(tmp.path() / "capture", "binary", 2), "SRCFRAME").substr(0, 20),
            "                   2");
}

INSTANTIATE_TEST_SUITE_P(EachLayout, PrepareSer,
                         ::testing::Values(SerCase{8, false, true}, SerCase{8, false, false},
                                           SerCase{16, false, true}, SerCase{16, true, true},
                                           SerCase{16, true, false}));

TEST(Prepare, FloatCubeAndDarkSubtraction) {
  TempDir tmp;
  simulate(tmp.path() / "cube", {"--format=cube", "--bitpix=-32"});
  simulate(tmp.path() / "frames", {"--bitpix=-32"});
  const ProcessResult r =
      prepare({(tmp.path() / "cube" / "binary.fits").string(), "--out=" + tmp.file("capture")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  expectSameFrames(tmp.path() / "capture", "binary", tmp.path() / "frames", -32);

  // Two dark frames of 3 and 5 average to 4, taken off before the window is cut.
  fs::create_directory(tmp.path() / "dark");
  test::writeConstantFits(tmp.file("dark/a.fits"), 128, 3.0f, test::SampleType::U16);
  test::writeConstantFits(tmp.file("dark/b.fits"), 128, 5.0f, test::SampleType::U16);
  simulate(tmp.path() / "frames16", {});
  const ProcessResult d = prepare({(tmp.path() / "frames16").string(), "--dark=" + tmp.file("dark"),
                                   "--out=" + tmp.file("darkened"), "--prefix=d"});
  ASSERT_EQ(d.exitCode, 0) << d.err;
  const test::FitsImage got = test::readFitsImage(frame(tmp.path() / "darkened", "d", 3));
  const test::FitsImage raw = test::readFitsImage(frame(tmp.path() / "frames16", "binary", 3));
  EXPECT_EQ(got.bitpix, -32);
  for (size_t i = 0; i < raw.pixels.size(); ++i) ASSERT_EQ(got.pixels[i], raw.pixels[i] - 4);
}

TEST(Prepare, RegionOfInterestFramesGiveKorrinTheSameResultAsTheWindowAlone) {
  TempDir tmp;
  simulate(tmp.path() / "roi", {"--frame-size=640x480"});
  simulate(tmp.path() / "direct", {});
  const std::string truth = test::readBytes(tmp.file("roi/binary_truth.json"));
  const int x = static_cast<int>(nlohmann::json::parse(truth).at("primary_x").get<double>());
  const int y = static_cast<int>(nlohmann::json::parse(truth).at("primary_y").get<double>());
  const ProcessResult fixed =
      prepare({tmp.file("roi"), "--out=" + tmp.file("fixed"), "--size=128", "--prefix=binary",
               "--fixed=" + std::to_string(x) + "," + std::to_string(y)});
  ASSERT_EQ(fixed.exitCode, 0) << fixed.err;
  expectSameFrames(tmp.path() / "fixed", "binary", tmp.path() / "direct", 16);
  for (const char* capture : {"fixed", "direct"}) {
    const ProcessResult run = test::runKorrinBinary({"--dir=" + tmp.file(capture)});
    ASSERT_EQ(run.exitCode, 0) << run.out;
  }
  const auto a = test::readResult(tmp.file("fixed/binary.krn1"));
  const auto b = test::readResult(tmp.file("direct/binary.krn1"));
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(test::resultsAgree(*a, *b));

  // Following the speckle cloud, the window stays on the star. The cloud's centroid wanders from
  // the primary with the turbulent tilt and leans towards the companion: some 25 pixels at most.
  const ProcessResult follow = prepare({tmp.file("roi"), "--out=" + tmp.file("follow")});
  ASSERT_EQ(follow.exitCode, 0) << follow.err;
  EXPECT_NE(follow.out.find("into 256 x 256 frames (BITPIX 16)"), std::string::npos);
  for (int f = 1; f <= 4; ++f) {
    const std::string path = frame(tmp.path() / "follow", "roi", f);
    EXPECT_NEAR(std::stoi(keyword(path, "WINX0")) + 128, x, 25) << path;
    EXPECT_NEAR(std::stoi(keyword(path, "WINY0")) + 128, y, 25) << path;
  }
}

TEST(Prepare, BadInputsAreRefusedWithOneLineAndLeaveNothing) {
  TempDir tmp;
  simulate(tmp.path() / "sim", {"--format=ser", "--bitpix=8"});
  const std::string good = test::readBytes(tmp.file("sim/binary.ser"));
  auto serWith = [&](size_t at, std::string bytes, size_t length) {
    std::string ser = good.substr(0, length);
    ser.replace(at, bytes.size(), bytes);
    return ser;
  };
  const std::string le32 = std::string("\x20\0\0\0", 4);  // 32
  test::writeBytes(tmp.file("text.ser"), "hello");
  test::writeBytes(tmp.file("magic.ser"), serWith(0, "LUCAM-RECORDEX", good.size()));
  test::writeBytes(tmp.file("short.ser"), serWith(0, "", 178 + 1000));
  test::writeBytes(tmp.file("zero.ser"), serWith(26, std::string(4, '\0'), good.size()));
  test::writeBytes(tmp.file("deep.ser"), serWith(34, le32, good.size()));
  test::writeConstantFits(tmp.file("small.fits"), 100, 1.0f);
  test::writeConstantFits(tmp.file("dark.fits"), 256, 1.0f);
  // A cube whose claimed size overflows every integer type.
  std::string huge;
  for (const std::string c : {"SIMPLE  = T", "BITPIX  = -64", "NAXIS   = 3", "NAXIS1  = 2147483647",
                              "NAXIS2  = 2147483647", "NAXIS3  = 2147483647", "END"}) {
    huge += c + std::string(80 - c.size(), ' ');
  }
  test::writeBytes(tmp.file("huge.fits"), huge + std::string(2880 - huge.size(), ' '));
  fs::create_directory(tmp.path() / "full");
  test::writeBytes(tmp.file("full/x"), "x");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string ser = tmp.file("sim/binary.ser");
  const std::string out = "--out=" + tmp.file("out");
  const Case cases[] = {
      {{tmp.file("text.ser"), out}, 1, "text.ser: neither a SER nor a FITS file"},
      {{tmp.file("magic.ser"), out}, 1, "magic.ser: neither a SER nor a FITS file"},
      {{tmp.file("short.ser"), out}, 1, "short.ser: the header claims 4 frames of 128 x 128"},
      {{tmp.file("zero.ser"), out}, 1, "zero.ser: the header gives a frame size of 0 x 128"},
      {{tmp.file("deep.ser"), out}, 1, "deep.ser: unsupported bit depth 32"},
      {{tmp.file("huge.fits"), out}, 1, "huge.fits: the header claims 7.923e+28 bytes"},
      {{tmp.file("small.fits"), out}, 1, "small.fits: frames of 100 x 100 are too small"},
      {{ser, out, "--dark=" + tmp.file("dark.fits")}, 1, "dark.fits: its frames are not the size"},
      {{ser, "--out=" + tmp.file("full")}, 1, "full: not empty"},
      {{ser, out, "--fixed=5"}, 2, "--fixed needs X,Y"},
      {{ser, out, "--size=300"}, 2, "--size: 300 not in {128,256,512,1024}"},
      {{ser, out, "--frist=2"}, 2, "unknown option --frist (did you mean --first?)"},
      {{ser}, 2, "--out=CAPTURE_DIR is required"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = prepare(c.args);
    EXPECT_EQ(r.exitCode, c.status) << c.message;
    EXPECT_NE(r.err.find("korrin-prepare: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(tmp.file("out"))) << c.message;
  }
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    EXPECT_EQ(entry.path().filename().string().find("korrin-prepare"), std::string::npos);
  }

  // A recording cut short after two of its four frames converts those two.
  test::writeBytes(tmp.file("cut.ser"), good.substr(0, 178 + 2 * 128 * 128 + 100));
  const ProcessResult cut = prepare({tmp.file("cut.ser"), out});
  EXPECT_EQ(cut.exitCode, 0) << cut.err;
  EXPECT_NE(cut.out.find("the header announces 4 frames, the file holds 2 complete ones"),
            std::string::npos)
      << cut.out;
  EXPECT_TRUE(fs::exists(tmp.file("out/cut_00002.fits")) &&
              !fs::exists(tmp.file("out/cut_00003.fits")));
}

// The check on broken captures: each row adds one kind of damage to three good frames.
struct CheckCase {
  const char* name;
  void (*damage)(const TempDir& capture);
  std::vector<std::string> extra;
  int status;
  const char* expected;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << c.name;
}

class PrepareCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(PrepareCheck, VerdictNamesTheProblem) {
  const CheckCase& c = GetParam();
  TempDir capture;
  for (const char* name : {"a_1.fits", "a_2.fits", "a_3.fits"}) {
    test::writeConstantFits(capture.file(name), 128, 100.0f, test::SampleType::U16);
  }
  c.damage(capture);
  std::vector<std::string> args{"--check", capture.path().string()};
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  const ProcessResult r = prepare(args);
  EXPECT_EQ(r.exitCode, c.status) << r.out;
  EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

std::vector<float> withValue(float value, int count) {
  std::vector<float> pixels(128 * 128, 100.0f);
  std::fill_n(pixels.begin(), count, value);
  return pixels;
}

INSTANTIATE_TEST_SUITE_P(
    Damage, PrepareCheck,
    ::testing::Values(
        CheckCase{"Clean", [](const TempDir&) {}, {}, 0, "Verdict: clean"},
        CheckCase{"Unreadable",
                  [](const TempDir& d) { test::writeBytes(d.file("b.fits"), "no header"); },
                  {},
                  1,
                  "(1 file)\n  b.fits: error parsing fits file\n"},
        CheckCase{"OtherWidth",
                  [](const TempDir& d) {
                    test::writeFitsImage(d.file("b.FIT"), 640, 480, test::SampleType::U16,
                                         std::vector<float>(640 * 480, 1.0f));
                  },
                  {"--nprocs=1"},
                  1,
                  "  b.FIT: 640 x 480, not square"},
        CheckCase{"Bitpix",
                  [](const TempDir& d) {
                    std::string bytes = test::readBytes(d.file("a_2.fits"));
                    bytes.replace(bytes.find("BITPIX  =") + 10, 20, "                  32");
                    test::writeBytes(d.file("a_2.fits"), bytes);
                  },
                  {},
                  1,
                  "  a_2.fits: BITPIX 32"},
        CheckCase{"Truncated",
                  [](const TempDir& d) {
                    test::writeBytes(d.file("a_2.fits"),
                                     test::readBytes(d.file("a_2.fits")).substr(0, 10000));
                  },
                  {},
                  1,
                  "  a_2.fits: 25648 bytes missing"},
        CheckCase{"Preview",
                  [](const TempDir& d) { test::writeConstantFits(d.file("a-power.fits"), 128, 1); },
                  {},
                  1,
                  "looks like an image written by korrin-inspect"},
        CheckCase{"MarkedImage",
                  [](const TempDir& d) {
                    test::writeFitsImage(d.file("sky.fits"), 128, 128, test::SampleType::U16,
                                         withValue(1, 0),
                                         {{"ORIGIN", std::string("korrin-reconstruct")}});
                  },
                  {},
                  1,
                  "korrin would add it in as one (1 file)\n  sky.fits\n"},
        CheckCase{"NonFinite",
                  [](const TempDir& d) {
                    test::writeFitsImage(d.file("a_4.fits"), 128, 128, test::SampleType::F32,
                                         withValue(NAN, 1));
                  },
                  {"--deep"},
                  1,
                  "NaN or infinite pixels"},
        CheckCase{"Saturated",
                  [](const TempDir& d) {
                    test::writeFitsImage(d.file("a_4.fits"), 128, 128, test::SampleType::U16,
                                         withValue(65535, 3));
                  },
                  {"--deep"},
                  0,
                  "warning: saturated"},
        CheckCase{"Empty",
                  [](const TempDir& d) {
                    for (const char* n : {"a_1.fits", "a_2.fits", "a_3.fits"})
                      fs::remove(d.file(n));
                  },
                  {},
                  1,
                  "Verdict: no .fit or .fits files"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PrepareCheck, CubeAsKorrinReadsIt) {
  TempDir tmp;
  simulate(tmp.path(), {"--format=cube"});
  const ProcessResult r = prepare({"--check", tmp.path().string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("cubes: korrin reads only the first plane (1 file)\n  binary.fits: 4 "
                       "planes"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace korrin
