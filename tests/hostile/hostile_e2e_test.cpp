// Every hostile file through the real binary as the capture's only frame, and behind a valid
// first frame through the run driver, whose frame list (unlike a directory listing) has an order
// the test can fix. Whatever the file holds, the run ends by exit with the expected lines, and the
// result file is either complete or absent. Then faults around a run: a full disk, no memory.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tests/hostile/hostile_corpus.h"
#include "tests/support/capture.h"
#include "tests/support/driver_run.h"

namespace korrin::test {
// Test listings show the case's name, not its bytes.
void PrintTo(const HostileCase& hostile, std::ostream* os) {
  *os << hostile.name;
}
}  // namespace korrin::test

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::EntryKind;
using test::hasLine;
using test::HostileCase;
using test::ResultContents;

std::string withPath(std::string text, const std::string& path) {
  for (size_t at; (at = text.find("<PATH>")) != std::string::npos;) text.replace(at, 6, path);
  return text;
}

// The worker's line for a frame that adds nothing to a run of width `runWidth`, or "".
std::string skipLine(const HostileCase& hostile, const std::string& path, int runWidth) {
  if (!hostile.loads()) return "Error loading " + path;
  if (hostile.width != runWidth)
    return "Skipping " + path + " width " + std::to_string(hostile.width);
  if (hostile.height != runWidth) {
    return "Skipping " + path + " height " + std::to_string(hostile.height);
  }
  return hostile.skipReason.empty() ? "" : "Skipping " + path + hostile.skipReason;
}

bool all(const ResultContents& r, bool (*holds)(double)) {
  return std::all_of(r.power.begin(), r.power.end(), holds) &&
         std::all_of(r.phases.begin(), r.phases.end(), holds);
}
bool zero(double v) {
  return v == 0.0;
}
bool finite(double v) {
  return std::isfinite(v);
}

// The valid frame and its own result, made once in this process: its transform plans are the
// ones the runs behind it use, so a frame that adds nothing must leave every sum as it is.
struct Valid {
  test::TempDir dir;
  std::string path = dir.file("good_1.fits");
  ResultContents result;
  Valid() {
    test::writeBytes(path, test::validFrameBytes(128, 16, 7));
    test::runDriver({path}, 1, 16, 3, dir.file("valid.krn1"));
    result = *test::readResult(dir.file("valid.krn1"));
  }
};
const Valid& valid() {
  static const Valid v;
  return v;
}

class HostileInput : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, AsTheOnlyFrame) {
  const HostileCase& hostile = GetParam();
  const test::Capture c;
  const std::string path = test::materialize(hostile, c.dir()).string();
  const test::ProcessResult r = c.run();
  ASSERT_EQ(r.termSignal, 0);
  const auto contents = c.result();
  const std::string dir = c.dir().string() + "/";
  if (hostile.kind != EntryKind::kFile) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, hostile.kind == EntryKind::kDirectory
                         ? "No fits files found in " + dir + "\n"
                         : "Cannot list capture directory " + dir +
                               ": y.fits: Too many levels of symbolic links\n");
    EXPECT_FALSE(contents);
    return;
  }
  EXPECT_TRUE(hasLine(r.out, "Found 1 files")) << r.out;
  EXPECT_EQ(r.err, withPath(hostile.readerMessage, path));
  const int w = hostile.loads() ? hostile.width : -1;
  if (w != 128 && w != 256 && w != 512 && w != 1024) {
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(hostile.loads() || hasLine(r.out, "Error loading " + path)) << r.out;
    // The run still reports its time and the output name, though nothing was written.
    EXPECT_NE(r.out.find("Unsupported image width " + std::to_string(w) +
                         "\ncalcKRN execution time with 1 files and 1 threads: "),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.out.ends_with("\nOutput written to " + c.resultPath() + "\n")) << r.out;
    EXPECT_FALSE(contents);
    return;
  }
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Using " + std::to_string(w) + "x" + std::to_string(w) + " FFT"));
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->width, w);
  const std::string skip = skipLine(hostile, path, w);
  EXPECT_TRUE(skip.empty() ? r.out.find("Skipping") == std::string::npos : hasLine(r.out, skip))
      << r.out;
  EXPECT_TRUE(all(*contents, skip.empty() ? finite : zero));
}

TEST_P(HostileInput, BehindAValidFirstFrame) {
  const HostileCase& hostile = GetParam();
  // The listing's own cases (a directory, a link loop) are met through the program alone.
  if (hostile.kind != EntryKind::kFile) return;
  const test::TempDir dir;
  const std::string path = test::materialize(hostile, dir.path()).string();
  const test::DriverRun r = test::runDriver({valid().path, path}, 1, 16, 3, dir.file("r.krn1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(hasLine(r.out, "Processing " + path)) << r.out;
  EXPECT_EQ(r.err, withPath(hostile.readerMessage, path));
  const auto contents = test::readResult(dir.file("r.krn1"));
  ASSERT_TRUE(contents);
  const std::string skip = skipLine(hostile, path, 128);
  if (skip.empty()) {
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Error loading"), std::string::npos) << r.out;
    EXPECT_TRUE(all(*contents, finite));
    return;
  }
  EXPECT_TRUE(hasLine(r.out, skip)) << r.out;
  // The frame adds nothing, but still counts in the power divisor.
  std::vector<double> halved;
  for (double v : valid().result.power) halved.push_back(v * 0.5);
  EXPECT_TRUE(contents->power == halved && contents->phases == valid().result.phases);
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileInput, testing::ValuesIn(test::hostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           return info.param.name;
                         });

// A result that cannot be written on a full disk (a small tmpfs, root only) leaves an earlier
// result as it was and no temporary file, and the run still ends with 0.
TEST(FullDisk, EarlierResultSurvivesAndNoTemporaryIsLeft) {
  const test::Capture first, second;
  first.add("a_1.fits", test::validFrameBytes(128, 16, 1));
  second.add("b_1.fits", test::validFrameBytes(128, 16, 2));
  const fs::path disk = first.dir().parent_path() / "disk";
  fs::create_directories(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=400k") != 0) GTEST_SKIP() << "needs root";
  const std::string target = "--out=" + (disk / "r.krn1").string();
  const auto entries = [&disk] {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(disk)) names.insert(e.path().filename());
    return names;
  };
  // One result (about 240 kB at these limits) fits on the disk; a second one beside it does not.
  EXPECT_EQ(first.run({target}).exitCode, 0);
  const std::string earlier = test::readBytes((disk / "r.krn1").string());
  EXPECT_EQ(second.run({target}).exitCode, 0);
  EXPECT_EQ(test::readBytes((disk / "r.krn1").string()), earlier);
  EXPECT_EQ(entries(), std::set<std::string>{"r.krn1"});
  // With no earlier result and no room at all, nothing is left behind either.
  fs::rename(disk / "r.krn1", disk / "ballast");
  EXPECT_EQ(second.run({target}).exitCode, 0);
  EXPECT_EQ(entries(), std::set<std::string>{"ballast"});
  ::umount2(disk.c_str(), MNT_DETACH);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The binary under an address-space limit of `megabytes`.
test::ProcessResult runLimited(long megabytes, const std::vector<std::string>& args) {
  std::vector<std::string> argv{
      "/bin/sh", "-c", "ulimit -v " + std::to_string(megabytes * 1024) + " && exec \"$0\" \"$@\"",
      test::korrinBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::runProcess(argv);
}

// Under a tight address-space limit the transform planner's own allocations fail; that, too, is
// a failed run with its line, not a signal.
TEST(MemoryExhaustion, PlannerOutOfMemoryIsAFailedRun) {
  if (kSanitized) GTEST_SKIP() << "sanitizer shadow memory does not fit an address-space limit";
  const test::Capture c;
  for (int i = 0; i < 3; ++i) {
    c.add("f_" + std::to_string(i) + ".fits", test::validFrameBytes(512, 16, i));
  }
  int failed = 0;
  for (long megabytes = 40; megabytes <= 200; megabytes += 5) {
    SCOPED_TRACE("limit " + std::to_string(megabytes) + " MB");
    fs::remove(c.resultPath());
    const auto r = runLimited(megabytes, c.args({"--kmax=60", "--dkmax=9", "--nprocs=2"}));
    ASSERT_EQ(r.termSignal, 0) << r.err;
    if (r.exitCode == 0) {
      EXPECT_TRUE(c.result());
      continue;
    }
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("Run failed: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(c.result());
    ++failed;
  }
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace korrin
