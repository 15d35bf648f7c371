#include "app/run_sequence.h"

#include <gtest/gtest.h>

#include <climits>
#include <new>
// GCC 12 with sanitizers warns falsely inside libstdc++'s regex compiler.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

TEST(ThreadCount, ExamplesWithEightHardwareThreads) {
  const std::vector<std::pair<int, int>> hundredFrames{{-1, 7}, {0, 8},  {1, 1},
                                                       {3, 3},  {20, 8}, {-3, 5}};
  for (const auto& [p, t] : hundredFrames) EXPECT_EQ(threadCount(p, 8, 100), t) << p;
  EXPECT_EQ(threadCount(0, 8, 3), 3);
  EXPECT_EQ(threadCount(0, 8, 5), 5);
  EXPECT_EQ(threadCount(-7, 8, 100), 1);
}

TEST(ThreadCount, NeverBelowOne) {
  EXPECT_EQ(threadCount(-1, 1, 10), 1);
  EXPECT_EQ(threadCount(-8, 8, 10), 1);
  EXPECT_EQ(threadCount(-100, 8, 10), 1);
  EXPECT_EQ(threadCount(0, 0, 10), 1);  // the system could not tell
  EXPECT_EQ(threadCount(4, 0, 10), 1);
  EXPECT_EQ(threadCount(INT_MIN, 8, 10), 1);
  EXPECT_EQ(threadCount(INT_MAX, INT_MAX, 1), 1);
  EXPECT_EQ(threadCount(INT_MAX, 8, INT_MAX), 8);
}

TEST(TimingLine, DefaultStreamFormatOfTheSeconds) {
  EXPECT_EQ(timingLine(40, 4, 2.5),
            "calcKRN execution time with 40 files and 4 threads: 2.5 seconds\n");
  const std::vector<std::pair<double, std::string>> cases{{12.3456789, "12.3457"},
                                                          {0.5, "0.5"},
                                                          {3.0, "3"},
                                                          {1234567.0, "1.23457e+06"},
                                                          {1e-05, "1e-05"},
                                                          {0.0001, "0.0001"},
                                                          {0.0, "0"},
                                                          {999999.0, "999999"},
                                                          {100000.4, "100000"},
                                                          {0.000123456789, "0.000123457"}};
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(timingLine(1, 1, seconds),
              "calcKRN execution time with 1 files and 1 threads: " + text + " seconds\n");
  }
}

// A run through runKorrin with a recording driver instead of the real one.
struct Call {
  std::vector<std::string> files;
  int nthreads = 0, kmax = 0, dkmax = 0, maskRadius = 0, maskInterval = 0;
  std::string out;
};

struct FakeRun {
  std::ostringstream out, err;
  std::vector<Call> calls;
  int status = 0;
  int cwdRequests = 0;
  std::string cwd = "/nowhere";
  std::error_code cwdError;
  std::function<void()> during;  // runs inside the driver

  int run(std::vector<std::string> words, unsigned hardwareThreads = 8) {
    words.insert(words.begin(), "./korrin");
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    RunEnvironment env;
    env.out = &out;
    env.err = &err;
    env.hardwareThreads = hardwareThreads;
    env.currentDirectory = [this](std::error_code& ec) {
      ++cwdRequests;
      ec = cwdError;
      return std::filesystem::path(cwd);
    };
    env.driver = [this](const std::vector<std::string>& files, int t, int kmax, int dkmax,
                        int maskRadius, int maskInterval, std::string outPath) {
      calls.push_back({files, t, kmax, dkmax, maskRadius, maskInterval, outPath});
      if (during) during();
      return status;
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

TEST_F(RunSequence, OptionsReachTheDriverInOrder) {
  FakeRun r;
  ASSERT_EQ(r.run({"--dir=" + dir_, "--kmax=31", "--dkmax=4", "--mask_radius=12",
                   "--mask_interval=-4", "--nprocs=0"}),
            0);
  ASSERT_EQ(r.calls.size(), 1u);
  const Call& c = r.calls[0];
  EXPECT_EQ(c.files.size(), 5u);
  EXPECT_EQ(c.nthreads, 5);  // 8 hardware threads, 5 frames
  EXPECT_EQ(c.kmax, 31);
  EXPECT_EQ(c.dkmax, 4);
  EXPECT_EQ(c.maskRadius, 12);
  EXPECT_EQ(c.maskInterval, 0);
  EXPECT_EQ(c.out, dir_ + "s.krn1");
  EXPECT_EQ(r.cwdRequests, 0);  // not needed when --dir is given
  EXPECT_EQ(r.err.str(), "");

  const std::string text = r.out.str();
  const std::string head = "Using capture dir: " + dir_ + "\nFound 5 files\nUsing 5 threads\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_TRUE(std::regex_match(
      text.substr(head.size()),
      std::regex("calcKRN execution time with 5 files and 5 threads: [0-9.e+-]+ seconds\n"
                 "Output written to " +
                 std::regex_replace(dir_, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                 "s\\.krn1\n")))
      << text;
}

TEST_F(RunSequence, DefaultsAndTheCurrentDirectory) {
  FakeRun r;
  r.cwd = tmp_.path().string();
  ASSERT_EQ(r.run({}, 4), 0);
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.cwdRequests, 1);
  EXPECT_EQ(r.calls[0].nthreads, 3);
  EXPECT_EQ(r.calls[0].kmax, 60);
  EXPECT_EQ(r.calls[0].dkmax, 9);
  EXPECT_EQ(r.calls[0].maskRadius, 0);
  EXPECT_EQ(r.calls[0].maskInterval, 10);
  EXPECT_EQ(r.calls[0].files.front().substr(0, dir_.size()), dir_);
  EXPECT_EQ(r.out.str().substr(0, 20 + dir_.size()), "Using capture dir: " + dir_ + "\n");
}

TEST_F(RunSequence, OneHardwareThreadWithDefaultNprocsRunsOneThread) {
  FakeRun r;
  ASSERT_EQ(r.run({"--dir", dir_}, 1), 0);
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.calls[0].nthreads, 1);
  EXPECT_NE(r.out.str().find("\nUsing 1 threads\n"), std::string::npos);
}

TEST_F(RunSequence, CurrentDirectoryFailure) {
  FakeRun r;
  r.cwdError = std::make_error_code(std::errc::no_such_file_or_directory);
  EXPECT_EQ(r.run({"--help"}), 1);
  EXPECT_EQ(r.err.str(), "Cannot determine the current directory: No such file or directory\n");
  EXPECT_EQ(r.out.str(), "");
  EXPECT_TRUE(r.calls.empty());
}

TEST_F(RunSequence, FailedRunStillReportsTimeAndOutput) {
  FakeRun r;
  r.status = -1;
  EXPECT_EQ(r.run({"--dir=" + dir_, "--out=res.krn1", "--nprocs=2"}), -1);
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.calls[0].out, "res.krn1");
  const std::string text = r.out.str();
  EXPECT_NE(text.find("calcKRN execution time with 5 files and 2 threads: "), std::string::npos);
  EXPECT_TRUE(text.ends_with(" seconds\nOutput written to res.krn1\n")) << text;
}

TEST_F(RunSequence, ElapsedTimeBracketsTheDriver) {
  FakeRun r;
  r.during = [] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
    }
  };
  ASSERT_EQ(r.run({"--dir=" + dir_, "--nprocs=1"}), 0);
  std::smatch m;
  const std::string text = r.out.str();
  ASSERT_TRUE(std::regex_search(text, m, std::regex("threads: ([^ ]+) seconds\n")));
  const double seconds = std::stod(m[1]);
  EXPECT_GE(seconds, 0.03);
  EXPECT_LT(seconds, 60.0);
}

TEST_F(RunSequence, EscapingExceptionBecomesStatusTwo) {
  FakeRun r;
  r.during = [] { throw std::bad_alloc(); };
  EXPECT_EQ(r.run({"--dir=" + dir_}), 2);
  EXPECT_EQ(r.err.str(), "Run failed: std::bad_alloc\n");
  EXPECT_EQ(r.out.str().find("calcKRN execution time"), std::string::npos);

  FakeRun q;
  q.during = [] { throw 42; };
  EXPECT_EQ(q.run({"--dir=" + dir_}), 2);
  EXPECT_EQ(q.err.str(), "Run failed: unknown error\n");
}

TEST_F(RunSequence, DriverIsNotCalledOnEarlyExits) {
  const std::vector<std::vector<std::string>> early{
      {"--help", "--dir=" + dir_},   {"--kmax=x", "--dir=" + dir_},  {"bad", "--dir=" + dir_},
      {"--dir=" + dir_ + "missing"}, {"--dir=" + dir_ + "s_1.fits"},
  };
  for (const auto& words : early) {
    FakeRun r;
    EXPECT_EQ(r.run(words), 1) << words[0];
    EXPECT_TRUE(r.calls.empty()) << words[0];
  }
}

}  // namespace
}  // namespace korrin
