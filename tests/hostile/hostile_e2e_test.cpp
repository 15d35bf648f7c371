// Every hostile file through the real binary, once as the capture's only (so first) frame and
// once behind a valid first frame. Whatever the file holds, the run ends by exit, with the
// expected line, and the result file is either complete or absent.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/capture_scan.h"
#include "tests/hostile/hostile_corpus.h"
#include "tests/support/result_reader.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

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
using test::HostileCase;
using test::ProcessResult;
using test::ResultContents;

// A capture is listed in the file system's order: the frame is renamed until the listing delivers
// it first, so that it is the run's width probe. Its final path, or empty when no name came first.
fs::path listedFirst(const fs::path& capture, fs::path frame) {
  const std::string dir = capture.string() + "/";
  for (int attempt = 0; attempt < 4000; ++attempt) {
    std::vector<std::string> files;
    std::string reason;
    findFitsFiles(dir, files, reason);
    if (!files.empty() && files.front() == dir + frame.filename().string()) return frame;
    // Appended piecewise: GCC 12 warns falsely (-Wrestrict) on a literal + std::to_string.
    std::string name = "a";
    name += std::to_string(attempt);
    name += "_1.fits";
    fs::rename(frame, capture / name);
    frame = capture / name;
  }
  return {};
}

bool hasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::string withPath(std::string text, const std::string& path) {
  const std::string marker = "<PATH>";
  for (size_t at; (at = text.find(marker)) != std::string::npos;)
    text.replace(at, marker.size(), path);
  return text;
}

// The worker's line for a frame that adds nothing to a run of width `runWidth`, or "".
std::string skipLine(const HostileCase& hostile, const std::string& path, int runWidth) {
  const std::string skipping = "Skipping " + path;
  if (!hostile.loads) return "Error loading " + path;
  if (hostile.width != runWidth) return skipping + " width " + std::to_string(hostile.width);
  if (hostile.height != runWidth) return skipping + " height " + std::to_string(hostile.height);
  if (!hostile.finite) return skipping + ": non-finite pixel values";
  if (hostile.tooLarge) return skipping + ": pixel values too large";
  return "";
}

bool sameValue(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

bool allZero(const ResultContents& r) {
  return std::all_of(r.power.begin(), r.power.end(), [](double v) { return v == 0.0; }) &&
         std::all_of(r.phases.begin(), r.phases.end(), [](float v) { return v == 0.0f; });
}

bool allFinite(const ResultContents& r) {
  return std::all_of(r.power.begin(), r.power.end(), [](double v) { return std::isfinite(v); }) &&
         std::all_of(r.phases.begin(), r.phases.end(), [](float v) { return std::isfinite(v); });
}

// A capture directory and a separate output directory; small limits keep the runs quick.
struct Capture {
  test::TempDir dir;
  fs::path capture = dir.path() / "capture";
  fs::path outDir = dir.path() / "out";
  fs::path result = outDir / "r.krn1";

  Capture() {
    fs::create_directories(capture);
    fs::create_directories(outDir);
  }
  fs::path addValid() const {
    const fs::path valid = capture / "good_1.fits";
    test::writeBytes(valid.string(), test::validFrameBytes(128, 16, 7));
    return valid;
  }
  std::vector<std::string> args(int workers = 1) const {
    return {"--dir=" + capture.string(), "--out=" + result.string(), "--kmax=16", "--dkmax=3",
            "--nprocs=" + std::to_string(workers)};
  }
  ProcessResult run(int workers = 1) const { return test::runKorrinBinary(args(workers)); }
  // The output directory holds the complete result and nothing else (no temporary), or nothing.
  std::optional<ResultContents> resultFile() const {
    if (fs::is_empty(outDir)) return std::nullopt;
    EXPECT_EQ(fs::directory_iterator(outDir)->path(), result);
    EXPECT_EQ(std::distance(fs::directory_iterator(outDir), fs::directory_iterator()), 1);
    auto contents = test::readResult(result.string());
    EXPECT_TRUE(contents.has_value()) << "result file is not complete";
    if (contents) {
      double powerTotal = 0.0, phaseTotal = 0.0;
      for (double v : contents->power) powerTotal += v;
      for (float v : contents->phases) phaseTotal += static_cast<double>(v);
      EXPECT_TRUE(sameValue(contents->powerChecksum, powerTotal));
      EXPECT_TRUE(sameValue(contents->phaseChecksum, phaseTotal));
    }
    return contents;
  }
};

class HostileInput : public testing::TestWithParam<HostileCase> {
 protected:
  // The valid frame alone: a run of the valid frame plus one frame that adds nothing must
  // reproduce it, with every power value halved by the divisor of two listed files.
  static void SetUpTestSuite() {
    reference_ = new Capture;
    reference_->addValid();
    const ProcessResult r = reference_->run();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    referenceResult_ = new ResultContents(*test::readResult(reference_->result.string()));
  }
  static void TearDownTestSuite() {
    delete referenceResult_;
    delete reference_;
  }

  static Capture* reference_;
  static ResultContents* referenceResult_;
};

Capture* HostileInput::reference_ = nullptr;
ResultContents* HostileInput::referenceResult_ = nullptr;

TEST_P(HostileInput, AsTheFirstFrame) {
  const HostileCase& hostile = GetParam();
  const Capture c;
  const std::string path = test::materialize(hostile, c.capture).string();
  const ProcessResult r = c.run();
  ASSERT_EQ(r.termSignal, 0);
  const std::optional<ResultContents> contents = c.resultFile();

  if (hostile.kind == EntryKind::kDirectory) {
    EXPECT_TRUE(hasLine(r.out, "Found 0 files"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "No fits files found in " + c.capture.string() + "/\n");
    EXPECT_FALSE(contents);
    return;
  }
  if (hostile.kind == EntryKind::kSymlinkLoop) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Cannot list capture directory " + c.capture.string() +
                         "/: y.fits: Too many levels of symbolic links\n");
    EXPECT_FALSE(contents);
    return;
  }

  EXPECT_TRUE(hasLine(r.out, "Found 1 files")) << r.out;
  EXPECT_EQ(r.err, hostile.loads ? "" : withPath(hostile.readerMessage, path));
  const int w = hostile.width;
  if (!hostile.loads || (w != 128 && w != 256 && w != 512 && w != 1024)) {
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(hostile.loads || hasLine(r.out, "Error loading " + path)) << r.out;
    // The run still reports its time and the output name, though nothing was written.
    EXPECT_NE(r.out.find("Unsupported image width " + std::to_string(hostile.loads ? w : -1) +
                         "\ncalcKRN execution time with 1 files and 1 threads: "),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.out.ends_with("\nOutput written to " + c.result.string() + "\n")) << r.out;
    EXPECT_FALSE(contents);
    return;
  }
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Using " + std::to_string(w) + "x" + std::to_string(w) + " FFT"));
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->width, w);
  const std::string skip = skipLine(hostile, path, w);
  if (skip.empty()) {
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_TRUE(allFinite(*contents));
  } else {
    EXPECT_TRUE(hasLine(r.out, skip)) << r.out;
    EXPECT_TRUE(allZero(*contents));
  }
}

TEST_P(HostileInput, BehindAValidFirstFrame) {
  const HostileCase& hostile = GetParam();
  const Capture c;
  const std::string path = test::materialize(hostile, c.capture).string();
  const bool validFirst = !listedFirst(c.capture, c.addValid()).empty();
  ASSERT_TRUE(validFirst || hostile.kind == EntryKind::kSymlinkLoop);
  const ProcessResult r = c.run();
  ASSERT_EQ(r.termSignal, 0);
  const std::optional<ResultContents> contents = c.resultFile();

  if (hostile.kind == EntryKind::kSymlinkLoop) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("y.fits: Too many levels of symbolic links\n"), std::string::npos);
    EXPECT_FALSE(contents);
    return;
  }
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_TRUE(contents);
  if (hostile.kind == EntryKind::kDirectory) {
    EXPECT_TRUE(hasLine(r.out, "Found 1 files"));
    EXPECT_EQ(contents->power, referenceResult_->power);
    return;
  }
  EXPECT_TRUE(hasLine(r.out, "Found 2 files"));
  EXPECT_TRUE(hasLine(r.out, "Processing " + path)) << r.out;
  EXPECT_EQ(r.err, hostile.loads ? "" : withPath(hostile.readerMessage, path));
  const std::string skip = skipLine(hostile, path, 128);
  if (skip.empty()) {
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Error loading"), std::string::npos) << r.out;
    EXPECT_TRUE(allFinite(*contents));
  } else {
    EXPECT_TRUE(hasLine(r.out, skip)) << r.out;
    // The frame adds nothing, but still counts in the power divisor.
    EXPECT_TRUE(test::resultsAgree(*contents, *referenceResult_, 0.5));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileInput, testing::ValuesIn(test::hostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           return info.param.name;
                         });

// All hostile files in one capture behind a valid first frame, dealt to two workers that meet
// them at the same time.
TEST(HostileCorpus, WholeCorpusInOneCaptureWithTwoWorkers) {
  const Capture c;
  int files = 0;
  for (const auto& hostile : test::hostileCases()) {
    if (hostile.kind != EntryKind::kFile) continue;
    test::materialize(hostile, c.capture);
    ++files;
  }
  ASSERT_FALSE(listedFirst(c.capture, c.addValid()).empty());
  const ProcessResult r = c.run(2);
  ASSERT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Found " + std::to_string(files + 1) + " files"));
  // Every line on standard error is one of the reader's messages.
  std::istringstream err(r.err);
  for (std::string line; std::getline(err, line);) {
    EXPECT_TRUE(line.starts_with("fitsio.cpp (") || line.starts_with("negative ")) << line;
  }
  const auto contents = c.resultFile();
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->width, 128);
}

// Faults around a run: a full disk under the result and memory running out in a worker.

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A tmpfs of a fixed size, mounted for the test's lifetime; needs root.
class SmallDisk {
 public:
  SmallDisk(const fs::path& where, const std::string& size) : path_(where) {
    fs::create_directories(where);
    mounted_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path path_;
  bool mounted_ = false;
};

TEST(FullDisk, EarlierResultSurvivesAndNoTemporaryIsLeft) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  test::TempDir dir;
  const fs::path capture = dir.path() / "capture";
  const fs::path other = dir.path() / "other";
  fs::create_directories(capture);
  fs::create_directories(other);
  test::writeBytes((capture / "a_1.fits").string(), test::validFrameBytes(128, 16, 1));
  test::writeBytes((other / "b_1.fits").string(), test::validFrameBytes(128, 16, 2));

  // One result (about 240 kB at these limits) fits on the disk; a second one beside it does not.
  SmallDisk disk(dir.path() / "disk", "400k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount tmpfs here";
  const fs::path target = dir.path() / "disk" / "r.krn1";
  auto run = [&](const fs::path& cap) {
    return test::runKorrinBinary({"--dir=" + cap.string(), "--out=" + target.string(), "--kmax=16",
                                  "--dkmax=3", "--nprocs=1"});
  };
  const auto first = run(capture);
  ASSERT_EQ(first.exitCode, 0) << first.err;
  ASSERT_TRUE(test::readResult(target.string()));
  const std::string earlier = test::readBytes(target.string());

  // The writer reports nothing and the run still ends normally.
  EXPECT_EQ(run(other).exitCode, 0);
  EXPECT_EQ(entries(dir.path() / "disk"), std::vector<std::string>{"r.krn1"});
  EXPECT_EQ(test::readBytes(target.string()), earlier);

  // With no earlier result and no room at all, nothing is left behind either.
  fs::remove(target);
  test::writeBytes((dir.path() / "disk" / "ballast").string(), std::string(300000, 'x'));
  EXPECT_EQ(run(other).exitCode, 0);
  EXPECT_EQ(entries(dir.path() / "disk"), std::vector<std::string>{"ballast"});
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

// A 128-wide frame of 400,000 rows without data: the reader's buffers (about 250 MB) and the
// frame's own copy of the pixels (200 MB more) are allocated one after the other, so a limit
// between the two makes the copy throw inside the worker that loads it.
TEST(MemoryExhaustion, AllocationFailureInAWorkerIsOneLineAndAnExitStatus) {
  if (kSanitized) GTEST_SKIP() << "sanitizer shadow memory does not fit an address-space limit";
  const Capture c;
  const fs::path tall = c.capture / "tall_2.fits";
  test::writeBytes(tall.string(), test::headerBlock(test::imageCards("8", "128", "400000")));
  ASSERT_FALSE(listedFirst(c.capture, c.addValid()).empty());

  int runFailed = 0;
  int readerRefused = 0;
  for (long megabytes = 1000; megabytes >= 100 && readerRefused == 0; megabytes -= 25) {
    SCOPED_TRACE("limit " + std::to_string(megabytes) + " MB");
    fs::remove(c.result);
    const auto r = runLimited(megabytes, c.args());
    ASSERT_EQ(r.termSignal, 0) << r.err;
    if (r.exitCode == 2) {
      // The exception left the worker, passed the run driver and became this line.
      EXPECT_EQ(r.err, "Run failed: std::bad_alloc\n");
      EXPECT_NE(r.out.find("Processing " + tall.string() + "\n"), std::string::npos);
      EXPECT_FALSE(c.resultFile());
      ++runFailed;
      continue;
    }
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ASSERT_TRUE(c.resultFile());
    if (!r.err.empty()) {
      // Lower still, the reader's own allocation fails: a skipped frame, not a failed run.
      EXPECT_EQ(r.err, "fitsio.cpp (1618):  can't malloc floatArray\r\n");
      EXPECT_NE(r.out.find("Error loading " + tall.string() + "\n"), std::string::npos);
      ++readerRefused;
    }
  }
  EXPECT_GT(runFailed, 0);
  EXPECT_GT(readerRefused, 0);
}

// Under a tight address-space limit the transform planner's own allocations fail; that, too, is
// a failed run with its line, not a signal.
TEST(MemoryExhaustion, PlannerOutOfMemoryIsAFailedRun) {
  if (kSanitized) GTEST_SKIP() << "sanitizer shadow memory does not fit an address-space limit";
  test::TempDir dir;
  for (int i = 0; i < 3; ++i) {
    test::writeBytes(dir.file("f_" + std::to_string(i) + ".fits"),
                     test::validFrameBytes(512, 16, static_cast<unsigned>(i)));
  }
  int failed = 0;
  for (long megabytes = 40; megabytes <= 200; megabytes += 5) {
    SCOPED_TRACE("limit " + std::to_string(megabytes) + " MB");
    fs::remove(dir.file("r.krn1"));
    const auto r = runLimited(
        megabytes, {"--dir=" + dir.path().string(), "--out=" + dir.file("r.krn1"), "--nprocs=2"});
    ASSERT_EQ(r.termSignal, 0) << r.err;
    if (r.exitCode == 0) {
      EXPECT_TRUE(test::readResult(dir.file("r.krn1")));
      continue;
    }
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("Run failed: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("r.krn1")));
    ++failed;
  }
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace korrin
