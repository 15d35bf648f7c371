// The command line as a user sees it: the real binary, real frames, exact streams and statuses.
// Only the driver's own lines are checked; what the run itself prints between "Using T threads"
// and the timing line is not.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/run_sequence.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::runKorrinBinary;

const std::string kUsage = "Version 3.0.1 Usage: " + test::korrinBinary() +
                           " --dir=[./] [--kmax=60] [--dkmax=9] [--mask_radius=0] "
                           "[--mask_interval=10] [--nprocs=-1] --out=[] [--help]\n";

const std::string kHelp =
    "\n"
    "\n"
    "Options:\n"
    "  --dir: directory containing fits files, default current directory\n"
    "  --kmax: maximum frequency, default 60\n"
    "  --dkmax: maximum delta frequency, default 9\n"
    "  --mask_radius: radius in pixels of star mask, default 0 (no mask)\n"
    "  --mask_interval: interval between recalculation of random mask within each thread "
    "(0=every), default 10\n"
    "  --nprocs: number of threads relative to number available: 0=all, 1=one, -1=all but one, "
    "default -1\n"
    "  --out: output binary file name, default derived from first fits file with last _ token "
    "stripped\n"
    "\n"
    ".fit and .fits are recognized, case insensitive, but fits cubes are not allowed.\n"
    "All images must have the same W x W size, with allowed widths: 128, 256, 512, 1024.\n"
    "This version does not support dark subtract.\n"
    "Best performance is with a fast SSD drive and multiple cores.  No GPU is required and memory "
    "use is under 2GB.\n"
    "Examples:\n"
    "Korrin <by itself will process all fits files in current dir and output .krn1 based on first "
    "file name>\n"
    "Korrin --dir=/mydir/myfits <will process all fits files in /mydir/myfits and output the .krn1 "
    "file there>\n"
    "Korrin --dir=/mydir/myfits -out=/myotherdir <will process all fits files in /mydir/myfits and "
    "output the .krn1 file in myotherdir>\n";

int hardwareThreads() {
  return static_cast<int>(std::thread::hardware_concurrency());
}

void writeFrame(const std::string& path) {
  test::writeConstantFits(path, 128, 100.0f);
}

// Small bispectrum limits keep the real run short; they do not change the driver's own lines.
std::vector<std::string> quick(std::vector<std::string> args) {
  args.insert(args.begin(), {"--kmax=8", "--dkmax=2"});
  return args;
}

// A run that reached the driver: the lines before it, the timing line and the output line. How
// the seconds are formatted is pinned by the run sequence's own test.
void expectCompletedRun(const ProcessResult& r, const std::string& dir, int frames, int threads,
                        const std::string& out) {
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string counts = std::to_string(frames) + " files";
  const std::string workers = std::to_string(threads) + " threads";
  EXPECT_TRUE(r.out.starts_with("Using capture dir: " + dir + "\nFound " + counts + "\nUsing " +
                                workers + "\n"))
      << r.out;
  const std::string timing = "\ncalcKRN execution time with " + counts + " and " + workers + ": ";
  const std::size_t at = r.out.rfind(timing);
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::size_t end = r.out.find_first_not_of("0123456789.e+-", at + timing.size());
  EXPECT_GT(end, at + timing.size()) << r.out;
  EXPECT_EQ(r.out.substr(end), " seconds\nOutput written to " + out + "\n");
}

class Cli : public ::testing::Test {
 protected:
  // The directory as the system reports it, which is what the program prints.
  std::string root() const { return fs::canonical(tmp_.path()).string(); }
  test::TempDir tmp_;
};

// Refused before anything is listed: nothing on standard output, status 1.
TEST_F(Cli, RefusedCommandLines) {
  writeFrame(tmp_.file("a_1.fits"));
  const std::string dir = "--dir=" + tmp_.path().string();
  const std::string help = kUsage + kHelp;
  const auto parsing = [](const std::string& why) {
    return "Argument parsing error: " + why + "\n" + kUsage;
  };
  const auto invalid = [](const std::string& what) {
    return "Invalid value for " + what + "\n" + kUsage;
  };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--help"}, help},
      {{"--h"}, help},
      {{"--help=no"}, help},
      {{"--h", "yes"}, help},
      {{"--h=0"}, help},
      {{"--kmax=5", "--help", dir, "--out=o.krn1", "--nprocs=2"}, help},
      {{"--help", "--dir=/does/not/exist"}, help},
      {{"--nprocs", "-2"}, parsing("Unknown argument format: -2")},
      {{"-out=/tmp/x"}, parsing("Unknown argument format: -out=/tmp/x")},
      {{"kmax=5"}, parsing("Unknown argument format: kmax=5")},
      {{""}, parsing("Unknown argument format: ")},
      {{"-"}, parsing("Unknown argument format: -")},
      {{"--out="}, parsing("Malformed argument: --out=")},
      {{"--=5"}, parsing("Malformed argument: --=5")},
      // Syntax is checked before anything is read, help included.
      {{"--help", "stray", "x"}, parsing("Unknown argument format: x")},
      {{"--help", "--kmax="}, parsing("Malformed argument: --kmax=")},
      {{dir, "--kmax=abc"}, invalid("--kmax: abc")},
      {{dir, "--dkmax=-2147483649"}, invalid("--dkmax: -2147483649")},
      {{dir, "--kmax"}, invalid("--kmax: true")},
      {{dir, "--mask_radius", " "}, invalid("--mask_radius:  ")},
      {{dir, "--mask_interval=+-1"}, invalid("--mask_interval: +-1")},
      {{dir, "--nprocs=x", "--kmax=y"}, invalid("--kmax: y")},  // reading order, not argument order
      {{"--nprocs=x", "--help"}, invalid("--nprocs: x")},       // before help is considered
  };
  for (const auto& [args, err] : cases) {
    const ProcessResult r = runKorrinBinary(args, root());
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_EQ(std::tuple(r.termSignal, r.exitCode, r.out), std::tuple(0, 1, ""));
    EXPECT_EQ(r.err, err);
  }
  EXPECT_FALSE(fs::exists(tmp_.file("o.krn1")));
}

TEST_F(Cli, AcceptedNumbersAndLastOneWins) {
  writeFrame(tmp_.file("s_1.fits"));
  writeFrame(tmp_.file("s_2.fits"));
  writeFrame(tmp_.file("s_3.fits"));
  const std::string dir = tmp_.path().string();
  const ProcessResult r = runKorrinBinary(
      quick({"--dir", dir, "--nprocs=1", "--nprocs", "2abc", "--mask_interval= -3",
             "--out=first.krn1", "--out", tmp_.file("last.krn1"), "--KMAX=x", "--unknown"}),
      root());
  expectCompletedRun(r, dir + "/", 3, threadCount(2, hardwareThreads(), 3), tmp_.file("last.krn1"));
  EXPECT_FALSE(fs::exists(tmp_.file("first.krn1")));
}

TEST_F(Cli, ListingFilterAndSymbolicLinks) {
  // Frames are regular files, links followed, with a .fit or .fits name in any case; the result
  // is named after whichever frame the listing delivers first.
  const std::map<std::string, std::string> frames{{"m42_001.fits", "m42"},
                                                  {"M42_002.FIT", "M42"},
                                                  {"x.Fits", "x"},
                                                  {".fits", ".fits"},
                                                  {"linked_7.fits", "linked"}};
  const fs::path cap = tmp_.path() / "cap";
  fs::create_directories(cap / "flat.fits" / "sub");
  for (const auto& [name, stem] : frames) {
    if (name != "linked_7.fits") writeFrame((cap / name).string());
  }
  writeFrame((cap / "flat.fits" / "inner_1.fits").string());  // one level only
  for (const char* name : {"a.fts", "a.fits.gz", "a.fit.bak", "afits", "notes.txt"}) {
    test::writeBytes((cap / name).string(), "not a frame");
  }
  writeFrame(tmp_.file("elsewhere.dat"));
  fs::create_symlink(tmp_.file("elsewhere.dat"), cap / "linked_7.fits");
  fs::create_symlink(tmp_.file("missing.fits"), cap / "dangling_1.fits");
  fs::create_symlink(cap / "flat.fits", cap / "dirlink.fits");

  const std::string dir = cap.string() + "/";
  const ProcessResult r = runKorrinBinary(quick({"--dir=" + cap.string(), "--nprocs=1"}));
  std::string first;
  for (const auto& e : fs::directory_iterator(cap)) {
    if (frames.count(e.path().filename().string())) {
      first = e.path().filename().string();
      break;
    }
  }
  expectCompletedRun(r, dir, 5, 1, dir + frames.at(first) + ".krn1");
}

TEST_F(Cli, CaptureDirectoryThatCannotBeListed) {
  const std::string missing = tmp_.file("missing");
  ProcessResult r = runKorrinBinary({"--dir=" + missing, "--out=x.krn1"}, root());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Using capture dir: " + missing + "/\n");
  EXPECT_EQ(r.err, "Cannot list capture directory " + missing + "/: No such file or directory\n");
  test::writeBytes(tmp_.file("plain"), "x");
  r = runKorrinBinary({"--dir=" + tmp_.file("plain")});
  EXPECT_EQ(r.err, "Cannot list capture directory " + tmp_.file("plain") + "/: Not a directory\n");
}

TEST_F(Cli, NoFramesFound) {
  fs::create_directory(tmp_.path() / "old.fits");
  test::writeBytes(tmp_.file("notes.txt"), "x");
  const std::string dir = tmp_.path().string() + "/";

  // With an output name the run goes on to its own message (the hostile corpus's directory case).
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--dir=" + dir}, {"--dir=" + dir, "--out", ""}, {"--dir=" + dir, "--out=\"\""}}) {
    const ProcessResult r = runKorrinBinary(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Using capture dir: " + dir + "\nFound 0 files\n");
    EXPECT_EQ(r.err, "No fits files found and no output name specified\n");
  }
}

TEST_F(Cli, CurrentRelativeAndQuotedDirectories) {
  writeFrame(tmp_.file("a_001.fits"));
  writeFrame(tmp_.file("a_002.fits"));
  ProcessResult r = runKorrinBinary({}, root());
  expectCompletedRun(r, root() + "/", 2, threadCount(-1, hardwareThreads(), 2), root() + "/a.krn1");

  fs::create_directory(tmp_.path() / "cap");
  writeFrame(tmp_.file("cap/vega_20250101_0001.fits"));
  fs::create_directory(tmp_.path() / "true");
  writeFrame(tmp_.file("true/t.fits"));
  r = runKorrinBinary(quick({"--nprocs=1", "--dir=\"cap\""}), root());
  expectCompletedRun(r, "cap/", 1, 1, "cap/vega_20250101.krn1");
  r = runKorrinBinary(quick({"--nprocs=1", "--dir", "cap//", "--out=\"res.krn1"}), root());
  expectCompletedRun(r, "cap//", 1, 1, "res.krn1");
  // A bare --dir is the directory "true".
  r = runKorrinBinary(quick({"--nprocs=1", "--dir"}), root());
  expectCompletedRun(r, "true/", 1, 1, "true/t.krn1");
}

}  // namespace
}  // namespace korrin
