// The run sequence in this process, with a recording driver in place of the real one: what the
// driver is handed, and what becomes of its time and its failures, is invisible from outside.
#include "app/run_sequence.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

TEST(ThreadCount, HardwareFramesAndFloor) {
  // {nprocs, hardware threads, frames, expected}
  const int cases[][4] = {
      {-1, 8, 100, 7},     {0, 8, 100, 8}, {1, 8, 100, 1},          {3, 8, 100, 3}, {20, 8, 100, 8},
      {-3, 8, 100, 5},     {0, 8, 3, 3},   {-1, 1, 10, 1},          {-9, 8, 10, 1}, {0, 0, 10, 1},
      {INT_MIN, 8, 10, 1}, {4, 0, 10, 1},  {INT_MAX, 8, INT_MAX, 8}};
  for (const auto& c : cases)
    EXPECT_EQ(threadCount(c[0], c[1], c[2]), c[3]) << c[0] << c[1] << c[2];
}

TEST(TimingLine, DefaultStreamFormatOfTheSeconds) {
  const std::vector<std::pair<double, std::string>> cases{
      {2.5, "2.5"},     {12.3456789, "12.3457"}, {3.0, "3"},          {1234567.0, "1.23457e+06"},
      {1e-05, "1e-05"}, {0.0001, "0.0001"},      {999999.0, "999999"}};
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(timingLine(40, 4, seconds),
              "calcKRN execution time with 40 files and 4 threads: " + text + " seconds\n");
  }
}

// Frame count, threads, kmax, dkmax, mask radius and interval, output path.
using Call = std::tuple<size_t, int, int, int, int, int, std::string>;

struct FakeRun {
  std::ostringstream out, err;
  std::vector<Call> calls;
  std::error_code cwdError;
  std::string cwd = "/nowhere";
  std::function<int()> during = [] { return 0; };  // runs inside the driver, gives its status

  int run(std::vector<std::string> words, unsigned hardwareThreads = 8) {
    words.insert(words.begin(), "./korrin");
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    RunEnvironment env;
    env.out = &out;
    env.err = &err;
    env.hardwareThreads = hardwareThreads;
    env.currentDirectory = [this](std::error_code& ec) {
      ec = cwdError;
      return std::filesystem::path(cwd);
    };
    env.driver = [this](const std::vector<std::string>& files, int t, int kmax, int dkmax,
                        int maskRadius, int maskInterval, std::string outPath) {
      calls.emplace_back(files.size(), t, kmax, dkmax, maskRadius, maskInterval, outPath);
      return during();
    };
    return runKorrin(static_cast<int>(argv.size()), argv.data(), env);
  }
};

class RunSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 1; i <= 5; ++i) test::writeBytes(dir_ + "s_" + std::to_string(i) + ".fits", "x");
  }
  test::TempDir tmp_;
  std::string dir_ = tmp_.path().string() + "/";
};

// What the driver is handed, and its status as the run's. A repeated option's last value wins,
// unknown keys are ignored, a number stops at its first non-digit, a negative interval is 0; 8
// hardware threads and 5 frames give 5 threads.
TEST_F(RunSequence, OptionsAndDefaultsReachTheDriver) {
  FakeRun r;
  r.during = [] { return -1; };
  EXPECT_EQ(
      r.run({"--dir=" + dir_, "--kmax=7", "--kmax", "31", "--dkmax=4abc", "--KMAX=x", "--unknown",
             "--mask_radius=12", "--mask_interval=-4", "--nprocs=0", "--out=a", "--out", "b.krn1"}),
      -1);
  EXPECT_EQ(r.calls, (std::vector{Call{5, 5, 31, 4, 12, 0, "b.krn1"}}));
  EXPECT_EQ(r.err.str(), "");

  // The defaults, on one hardware thread (the default nprocs -1 would give 0 threads); the
  // result is named after the first frame in the current directory.
  FakeRun d;
  d.cwd = tmp_.path().string();
  ASSERT_EQ(d.run({}, 1), 0);
  EXPECT_EQ(d.calls, (std::vector{Call{5, 1, 60, 9, 0, 10, dir_ + "s.krn1"}}));
  EXPECT_TRUE(d.out.str().starts_with("Using capture dir: " + dir_ + "\n"));
}

TEST_F(RunSequence, ElapsedTimeBracketsTheDriverCall) {
  FakeRun r;
  r.during = [] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
    }
    return 0;
  };
  ASSERT_EQ(r.run({"--dir=" + dir_, "--nprocs=1"}), 0);
  const std::string text = r.out.str();
  EXPECT_GE(std::stod(text.substr(text.find("threads: ") + 9)), 0.03);
}

// A current directory that cannot be determined is one line and status 1, but only when it is
// the default. Anything thrown out of the run is one line and status 2 (bad_alloc through the
// program: the hostile tests' memory exhaustion).
TEST_F(RunSequence, FailuresAroundTheDriver) {
  FakeRun r;
  r.cwdError = std::make_error_code(std::errc::no_such_file_or_directory);
  EXPECT_EQ(std::pair(r.run({"--help"}), r.out.str()), std::pair(1, std::string()));
  EXPECT_EQ(r.err.str(), "Cannot determine the current directory: No such file or directory\n");
  r.during = []() -> int { throw 42; };
  EXPECT_EQ(r.run({"--dir=" + dir_}), 2);
  r.during = []() -> int { throw std::runtime_error("disk on fire"); };
  EXPECT_EQ(r.run({"--dir=" + dir_}), 2);
  EXPECT_TRUE(r.err.str().ends_with("\nRun failed: unknown error\nRun failed: disk on fire\n"));
  EXPECT_EQ(r.out.str().find("calcKRN execution time"), std::string::npos);
}

}  // namespace
}  // namespace korrin
