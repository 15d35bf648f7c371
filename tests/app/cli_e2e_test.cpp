// The command line as a user sees it: the real binary, real frames, exact streams and statuses.
// Only the driver's own lines are checked; what the run itself prints between "Using T threads"
// and the timing line is not.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
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
  EXPECT_EQ(r.termSignal, 0);
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

// A run refused before anything was listed: nothing on standard output.
void expectRefused(const ProcessResult& r, const std::string& err) {
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, err);
}

class Cli : public ::testing::Test {
 protected:
  // The directory as the system reports it, which is what the program prints.
  std::string root() const { return fs::canonical(tmp_.path()).string(); }
  test::TempDir tmp_;
};

TEST_F(Cli, NoArgumentsProcessesTheCurrentDirectory) {
  writeFrame(tmp_.file("a_001.fits"));
  writeFrame(tmp_.file("a_002.fits"));
  const ProcessResult r = runKorrinBinary({}, root());
  const int t = threadCount(-1, hardwareThreads(), 2);
  expectCompletedRun(r, root() + "/", 2, t, root() + "/a.krn1");
  EXPECT_EQ(r.exitCode, 0);
}

TEST_F(Cli, HelpInEverySpelling) {
  writeFrame(tmp_.file("a_1.fits"));
  const std::vector<std::vector<std::string>> spellings{
      {"--help"},
      {"--h"},
      {"--help=no"},
      {"--h", "yes"},
      {"--h=0"},
      {"--kmax=5", "--help", "--dir=" + tmp_.path().string(), "--out=o.krn1", "--nprocs=2"},
      {"--help", "--dir=/does/not/exist"},
  };
  for (const auto& args : spellings) {
    SCOPED_TRACE(args[0]);
    expectRefused(runKorrinBinary(args, root()), kUsage + kHelp);
  }
  EXPECT_FALSE(fs::exists(tmp_.file("o.krn1")));
}

TEST_F(Cli, RejectedArguments) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--nprocs", "-2"}, "Unknown argument format: -2"},
      {{"-out=/tmp/x"}, "Unknown argument format: -out=/tmp/x"},
      {{"kmax=5"}, "Unknown argument format: kmax=5"},
      {{""}, "Unknown argument format: "},
      {{"-"}, "Unknown argument format: -"},
      {{"--out="}, "Malformed argument: --out="},
      {{"--=5"}, "Malformed argument: --=5"},
      // Syntax is checked before anything is read, help included.
      {{"--help", "stray", "x"}, "Unknown argument format: x"},
      {{"--help", "--kmax="}, "Malformed argument: --kmax="},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    expectRefused(runKorrinBinary(args, root()),
                  "Argument parsing error: " + message + "\n" + kUsage);
  }
}

TEST_F(Cli, NumbersThatDoNotConvert) {
  writeFrame(tmp_.file("a_1.fits"));
  const std::string dir = "--dir=" + tmp_.path().string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{dir, "--kmax=abc"}, "--kmax: abc"},
      {{dir, "--dkmax=-2147483649"}, "--dkmax: -2147483649"},
      {{dir, "--kmax"}, "--kmax: true"},
      {{dir, "--mask_radius", " "}, "--mask_radius:  "},
      {{dir, "--mask_interval=+-1"}, "--mask_interval: +-1"},
      {{dir, "--nprocs=x", "--kmax=y"}, "--kmax: y"},  // reading order, not argument order
      {{"--nprocs=x", "--help"}, "--nprocs: x"},       // before help is considered
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    expectRefused(runKorrinBinary(args, root()), "Invalid value for " + message + "\n" + kUsage);
  }
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
  EXPECT_EQ(r.exitCode, 0);
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
  EXPECT_EQ(r.exitCode, 0);
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

  writeFrame(tmp_.file("a_1.fits"));
  fs::create_symlink(tmp_.file("loop"), tmp_.file("loop"));
  const std::string dir = tmp_.path().string() + "/";
  r = runKorrinBinary({"--dir=" + dir});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Using capture dir: " + dir + "\n");
  EXPECT_EQ(r.err,
            "Cannot list capture directory " + dir + ": loop: Too many levels of symbolic links\n");
  EXPECT_FALSE(fs::exists(dir + "a.krn1"));
}

TEST_F(Cli, NoFramesFound) {
  fs::create_directory(tmp_.path() / "old.fits");
  test::writeBytes(tmp_.file("notes.txt"), "x");
  const std::string dir = tmp_.path().string() + "/";

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--dir=" + dir}, {"--dir=" + dir, "--out", ""}, {"--dir=" + dir, "--out=\"\""}}) {
    const ProcessResult r = runKorrinBinary(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Using capture dir: " + dir + "\nFound 0 files\n");
    EXPECT_EQ(r.err, "No fits files found and no output name specified\n");
  }

  const ProcessResult r = runKorrinBinary({"--dir=" + dir, "--out=" + tmp_.file("r.krn1")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Using capture dir: " + dir + "\nFound 0 files\n");
  EXPECT_EQ(r.err, "No fits files found in " + dir + "\n");
  EXPECT_FALSE(fs::exists(tmp_.file("r.krn1")));
}

TEST_F(Cli, RelativeAndQuotedPaths) {
  fs::create_directory(tmp_.path() / "cap");
  writeFrame(tmp_.file("cap/vega_20250101_0001.fits"));
  fs::create_directory(tmp_.path() / "true");
  writeFrame(tmp_.file("true/t.fits"));

  ProcessResult r = runKorrinBinary(quick({"--nprocs=1", "--dir=\"cap\""}), root());
  expectCompletedRun(r, "cap/", 1, 1, "cap/vega_20250101.krn1");
  EXPECT_EQ(r.exitCode, 0);

  r = runKorrinBinary(quick({"--nprocs=1", "--dir", "cap//", "--out=\"res.krn1"}), root());
  expectCompletedRun(r, "cap//", 1, 1, "res.krn1");

  // A bare --dir is the directory "true".
  r = runKorrinBinary(quick({"--nprocs=1", "--dir"}), root());
  expectCompletedRun(r, "true/", 1, 1, "true/t.krn1");
}

}  // namespace
}  // namespace korrin
