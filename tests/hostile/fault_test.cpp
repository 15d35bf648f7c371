// Faults around a run: a full disk under the result and memory running out in a worker.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tests/hostile/hostile_corpus.h"
#include "tests/hostile/listed_first.h"
#include "tests/support/result_reader.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;

std::string validFrame(unsigned seed = 7) {
  return test::validFrameBytes(128, 16, seed);
}

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
  test::writeBytes((capture / "a_1.fits").string(), validFrame(1));
  test::writeBytes((other / "b_1.fits").string(), validFrame(2));

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
  test::TempDir dir;
  const fs::path capture = dir.path() / "capture";
  const fs::path outDir = dir.path() / "out";
  fs::create_directories(capture);
  fs::create_directories(outDir);
  const fs::path tall = capture / "tall_2.fits";
  test::writeBytes(tall.string(), test::headerBlock(test::imageCards("8", "128", "400000")));
  const fs::path good = capture / "good_1.fits";
  test::writeBytes(good.string(), validFrame());
  ASSERT_FALSE(test::listedFirst(capture, good).empty());
  const fs::path result = outDir / "r.krn1";
  const std::vector<std::string> args{"--dir=" + capture.string(), "--out=" + result.string(),
                                      "--kmax=16", "--dkmax=3", "--nprocs=1"};

  int runFailed = 0;
  int readerRefused = 0;
  for (long megabytes = 1000; megabytes >= 100 && readerRefused == 0; megabytes -= 25) {
    SCOPED_TRACE("limit " + std::to_string(megabytes) + " MB");
    fs::remove(result);
    const auto r = runLimited(megabytes, args);
    ASSERT_EQ(r.termSignal, 0) << r.err;
    if (r.exitCode == 2) {
      // The exception left the worker, passed the run driver and became this line.
      EXPECT_EQ(r.err, "Run failed: std::bad_alloc\n");
      EXPECT_NE(r.out.find("Processing " + tall.string() + "\n"), std::string::npos);
      EXPECT_TRUE(fs::is_empty(outDir));
      ++runFailed;
      continue;
    }
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ASSERT_TRUE(test::readResult(result.string()));
    EXPECT_EQ(entries(outDir), std::vector<std::string>{"r.krn1"});
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
