// Every hostile file through the real binary as the capture's only frame, and behind a valid
// first frame through the run driver, whose frame list (unlike a directory listing) has an order
// the test can fix. Whatever the file holds, the run ends by exit with the expected lines, and the
// result file is either complete or absent. Then a run whose memory runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <ostream>
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
  const std::string skipping = "Skipping " + path;
  if (hostile.width != runWidth) return skipping + " width " + std::to_string(hostile.width);
  if (hostile.height != runWidth) return skipping + " height " + std::to_string(hostile.height);
  return hostile.skipReason.empty() ? "" : skipping + hostile.skipReason;
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
  const std::string dir = c.dir().string() + "/";
  const test::ProcessResult r = c.run();
  const auto contents = c.result();
  ASSERT_EQ(r.termSignal, 0);
  // The listing passes over what is known not to be a file; an entry whose kind cannot be
  // told (a link loop) is listed, and reported as unreadable like any other.
  if (hostile.kind == EntryKind::kDirectory || hostile.kind == EntryKind::kFifo) {
    EXPECT_EQ(std::tuple(r.exitCode, r.err, contents.has_value()),
              std::tuple(1, "No fits files found in " + dir + "\n", false));
    return;
  }
  EXPECT_TRUE(hasLine(r.out, "Found 1 files")) << r.out;
  EXPECT_EQ(r.err, withPath(hostile.readerMessage, path));
  const int w = hostile.loads() ? hostile.width : -1;
  if (w != 128 && w != 256 && w != 512 && w != 1024) {
    // Refused after the width probe; the run still reports its time and the output name.
    EXPECT_EQ(std::pair(r.exitCode, contents.has_value()), std::pair(255, false));
    EXPECT_TRUE(hostile.loads() || hasLine(r.out, "Error loading " + path)) << r.out;
    EXPECT_NE(r.out.find("Unsupported image width " + std::to_string(w) +
                         "\ncalcKRN execution time with 1 files and 1 threads: "),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.out.ends_with("\nOutput written to " + c.resultPath() + "\n")) << r.out;
    return;
  }
  const std::string skip = skipLine(hostile, path, w);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Using " + std::to_string(w) + "x" + std::to_string(w) + " FFT"));
  EXPECT_TRUE(skip.empty() ? r.out.find("Skipping") == std::string::npos : hasLine(r.out, skip))
      << r.out;
  ASSERT_TRUE(contents);
  EXPECT_TRUE(contents->width == w && all(*contents, skip.empty() ? finite : zero));
}

TEST_P(HostileInput, BehindAValidFirstFrame) {
  const HostileCase& hostile = GetParam();
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
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos);
    EXPECT_EQ(r.out.find("Error loading"), std::string::npos);
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The program under an address-space limit (ulimit -v).
test::ProcessResult runLimited(const test::Capture& c, long megabytes,
                               const std::vector<std::string>& more) {
  std::vector<std::string> argv{
      "/bin/sh", "-c", "ulimit -v " + std::to_string(megabytes * 1024) + " && exec \"$0\" \"$@\"",
      test::korrinBinary()};
  for (const auto& a : c.args(more)) argv.push_back(a);
  return test::runProcess(argv);
}

// A header claiming nearly 2 GB of pixels costs nothing: whichever frame is listed first, the
// other size is seen in the header, and far below the memory it claims the run refuses it as the
// first frame or skips it behind a valid one, with no allocation failing.
TEST(MemoryExhaustion, HeadersClaimingGigapixelsCostNothing) {
  if (kSanitized) GTEST_SKIP() << "sanitizer shadow memory does not fit an address-space limit";
  const test::Capture c;
  c.add("a.fits", test::validFrameBytes(128, 16, 1));
  const std::string big = c.add("b.fits", test::header("BITPIX=-32|NAXIS1=23170|NAXIS2=23170"));
  const auto r = runLimited(c, 500, {});
  EXPECT_EQ(std::pair(r.termSignal, r.err), std::pair(0, std::string()));
  EXPECT_TRUE(r.exitCode == 0
                  ? hasLine(r.out, "Skipping " + big + " width 23170")
                  : r.exitCode == 255 && hasLine(r.out, "Unsupported image width 23170"))
      << r.out;
}

// Under a tight address-space limit (ulimit -v) the workers' sums or engines cannot be allocated,
// or the transform planner's own allocations fail; that, too, is a failed run with its one line,
// not a signal.
TEST(MemoryExhaustion, PlannerOutOfMemoryIsAFailedRun) {
  if (kSanitized) GTEST_SKIP() << "sanitizer shadow memory does not fit an address-space limit";
  const test::Capture c;
  for (int i = 0; i < 3; ++i) c.add(std::to_string(i) + ".fits", test::validFrameBytes(512, 16, i));
  int failed = 0;
  for (long megabytes = 40; megabytes <= 200; megabytes += 5) {
    SCOPED_TRACE("limit " + std::to_string(megabytes) + " MB");
    fs::remove(c.resultPath());
    const auto r = runLimited(c, megabytes, {"--kmax=60", "--dkmax=9", "--nprocs=2"});
    ASSERT_EQ(r.termSignal, 0) << r.err;
    EXPECT_EQ(c.result().has_value(), r.exitCode == 0);
    if (r.exitCode == 0) continue;
    ++failed;
    EXPECT_TRUE(r.exitCode == 2 && r.err.starts_with("Run failed: ") &&
                std::count(r.err.begin(), r.err.end(), '\n') == 1)
        << r.exitCode << " " << r.err;
  }
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace korrin
