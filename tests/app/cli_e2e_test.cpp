// The command line as a user sees it: the real binary, real frames, exact streams and statuses.
// Only the driver's own lines are checked; what the run itself prints between "Using T threads"
// and the timing line is not, except which frames it processed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/options.h"
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

// Refused with status 1: before anything is listed (nothing on standard output), or when the
// capture cannot be listed or holds no frame and no output name is given (an empty --out is no
// name; with one, the run goes on to its own message: the hostile corpus's directory case).
TEST_F(Cli, RefusedCommandLines) {
  writeFrame(tmp_.file("a_1.fits"));
  const std::string dir = "--dir=" + tmp_.path().string();
  const std::string help = kUsage + helpText(), empty = tmp_.file("empty"), plain = tmp_.file("p");
  fs::create_directories(empty + "/old.fits");
  test::writeBytes(plain, "x");
  const std::string missing = tmp_.file("missing"),
                    none = "No fits files found and no output name specified\n";
  const auto shown = [](const std::string& path) { return "Using capture dir: " + path + "/\n"; };
  const auto parsing = [](const std::string& why) {
    return "Argument parsing error: " + why + "\n" + kUsage;
  };
  const auto invalid = [](const std::string& what) {
    return "Invalid value for " + what + "\n" + kUsage;
  };
  const auto listing = [](const std::string& path, const std::string& why) {
    return "Cannot list capture directory " + path + "/: " + why + "\n";
  };
  const std::vector<std::tuple<std::vector<std::string>, std::string, std::string>> cases{
      // clang-format off
      {{"--help"}, "", help}, {{"--h"}, "", help}, {{"--help=no"}, "", help},
      {{"--h", "yes"}, "", help}, {{"--h=0"}, "", help},
      {{"--kmax=5", "--help", dir, "--out=o.krn1", "--nprocs=2"}, "", help},
      {{"--help", "--dir=/does/not/exist"}, "", help},
      // clang-format on
      {{"--nprocs", "-2"}, "", parsing("Unknown argument format: -2")},
      {{"-out=/tmp/x"}, "", parsing("Unknown argument format: -out=/tmp/x")},
      {{"kmax=5"}, "", parsing("Unknown argument format: kmax=5")},
      {{""}, "", parsing("Unknown argument format: ")},
      {{"-"}, "", parsing("Unknown argument format: -")},
      {{"--out="}, "", parsing("Malformed argument: --out=")},
      {{"--=5"}, "", parsing("Malformed argument: --=5")},
      // Syntax is checked before anything is read, help included.
      {{"--help", "stray", "x"}, "", parsing("Unknown argument format: x")},
      {{"--help", "--kmax="}, "", parsing("Malformed argument: --kmax=")},
      {{dir, "--kmax=abc"}, "", invalid("--kmax: abc")},
      {{dir, "--dkmax=-2147483649"}, "", invalid("--dkmax: -2147483649")},
      {{dir, "--kmax"}, "", invalid("--kmax: true")},
      {{dir, "--mask_radius", " "}, "", invalid("--mask_radius:  ")},
      {{dir, "--mask_interval=+-1"}, "", invalid("--mask_interval: +-1")},
      {{dir, "--nprocs=x", "--kmax=y"}, "", invalid("--kmax: y")},  // reading order
      {{"--nprocs=x", "--help"}, "", invalid("--nprocs: x")},       // before help is considered
      {{"--dir=" + missing, "--out=x.krn1"},
       shown(missing),
       listing(missing, "No such file or directory")},
      {{"--dir=" + plain}, shown(plain), listing(plain, "Not a directory")},
      {{"--dir=" + empty}, shown(empty) + "Found 0 files\n", none},
      {{"--dir=" + empty, "--out", ""}, shown(empty) + "Found 0 files\n", none},
      {{"--dir=" + empty, "--out=\"\""}, shown(empty) + "Found 0 files\n", none},
  };
  for (const auto& [args, out, err] : cases) {
    const ProcessResult r = runKorrinBinary(args, root());
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_EQ(std::tuple(r.termSignal, r.exitCode, r.out, r.err), std::tuple(0, 1, out, err));
  }
  EXPECT_FALSE(fs::exists(tmp_.file("o.krn1")));
}

// Frames are the regular files of the directory itself, links followed, with a .fit or .fits
// name in any letter case; other entries are not examined.
TEST_F(Cli, ListingFilterAndSymbolicLinks) {
  const fs::path cap = tmp_.path() / "cap";
  fs::create_directories(cap / "flat.fits" / "sub");
  for (const char* name : {"m42_001.fits", "M42_002.FIT", "x.Fits", ".fits"}) {
    writeFrame((cap / name).string());
  }
  writeFrame((cap / "flat.fits" / "inner_1.fits").string());  // one level only
  for (const char* name : {"a.fts", "a.fits.gz", "a.fit.bak", "afits", "notes.txt"}) {
    test::writeBytes((cap / name).string(), "not a frame");
  }
  writeFrame(tmp_.file("elsewhere.dat"));
  fs::create_symlink(tmp_.file("elsewhere.dat"), cap / "linked_7.fits");
  fs::create_symlink("loop", cap / "loop");  // not a frame's name: never looked at
  fs::create_symlink(tmp_.file("missing.fits"), cap / "dangling_1.fits");
  fs::create_symlink(cap / "flat.fits", cap / "dirlink.fits");

  const std::string dir = cap.string() + "/";
  const ProcessResult r =
      runKorrinBinary(quick({"--dir=" + cap.string(), "--nprocs=1", "--out", tmp_.file("r.krn1")}));
  expectCompletedRun(r, dir, 5, 1, tmp_.file("r.krn1"));
  std::set<std::string> processed;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("Processing " + dir)) processed.insert(line.substr(11 + dir.size()));
  }
  EXPECT_EQ(processed, (std::set<std::string>{"m42_001.fits", "M42_002.FIT", "x.Fits", ".fits",
                                              "linked_7.fits"}));
}

// The current directory by default, the result named after its first frame (all frames here give
// the same name); a relative directory kept as given, a quote stripped off the output name.
TEST_F(Cli, CurrentRelativeAndQuotedDirectories) {
  writeFrame(tmp_.file("a_001.fits"));
  writeFrame(tmp_.file("a_002.fits"));
  ProcessResult r = runKorrinBinary({}, root());
  expectCompletedRun(r, root() + "/", 2, threadCount(-1, hardwareThreads(), 2), root() + "/a.krn1");
  fs::create_directory(tmp_.path() / "cap");
  writeFrame(tmp_.file("cap/vega_20250101_0001.fits"));
  r = runKorrinBinary(quick({"--nprocs=1", "--dir", "cap//", "--out=\"res.krn1"}), root());
  expectCompletedRun(r, "cap//", 1, 1, "res.krn1");
}

// A result that was not written must not look written; one that would replace raw data is refused
// before any work, whichever name (a symbolic or a hard link) leads to the frame.
TEST_F(Cli, ResultsThatCannotOrMustNotBeWritten) {
  const std::string frame = tmp_.file("cap/a_1.fits"), dir = "--dir=" + tmp_.file("cap");
  fs::create_directory(tmp_.path() / "cap");
  writeFrame(frame);
  const std::string bytes = test::readBytes(frame);
  fs::create_symlink(frame, tmp_.file("link.krn1"));
  fs::create_hard_link(frame, tmp_.file("hard.krn1"));
  for (const std::string out : {frame, tmp_.file("link.krn1"), tmp_.file("hard.krn1")}) {
    const ProcessResult r = runKorrinBinary({dir, "--out=" + out});
    EXPECT_EQ(std::tuple(r.exitCode, r.err),
              std::tuple(1, "Refusing to overwrite input frame " + frame + "\n"));
    EXPECT_EQ(r.out.find("Using 1 threads"), std::string::npos);
  }
  EXPECT_EQ(test::readBytes(frame), bytes);

  const ProcessResult full = runKorrinBinary(quick({dir, "--out=/dev/full"}));
  EXPECT_EQ(std::tuple(full.exitCode, full.err),
            std::tuple(255, "Cannot write result file /dev/full: No space left on device\n"));
  EXPECT_TRUE(full.out.ends_with(" seconds\nOutput written to /dev/full\n")) << full.out;
}

// An interrupt while the result is being written removes the temporary file, then ends the
// process as the signal would. Large limits make the write long enough to be caught in the act.
TEST_F(Cli, InterruptedWriteLeavesNoTemporaryFile) {
  fs::create_directories(tmp_.path() / "out");
  test::writeConstantFits(tmp_.file("f_1.fits"), 256, 100.0f);
  for (const int signal : {SIGINT, SIGTERM}) {
    const ProcessResult r =
        test::runProcess({test::korrinBinary(), "--dir=" + tmp_.path().string(), "--kmax=120",
                          "--dkmax=20", "--nprocs=1", "--out=" + tmp_.file("out/r.krn1")},
                         "", [&](pid_t pid) {
                           const auto writing = [&] {
                             for (const auto& e : fs::directory_iterator(tmp_.path() / "out"))
                               if (e.path().filename().string().starts_with(".krn1-")) return true;
                             return false;
                           };
                           for (int ms = 0; ms < 300000 && !writing(); ++ms) usleep(1000);
                           kill(pid, signal);
                         });
    EXPECT_EQ(r.termSignal, signal) << r.out << r.err;
    EXPECT_TRUE(fs::is_empty(tmp_.path() / "out"));
  }
}

}  // namespace
}  // namespace korrin
