#include "result/result_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <filesystem>
#include <thread>
#include <tuple>

#include "spectral/bispectrum.h"
#include "tests/support/result_reader.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::readBytes;
using test::readResult;
using test::TempDir;
using test::writeBytes;
using Slots = std::vector<std::vector<float>>;

struct Sums {
  Slots power, bispRe, bispIm;
};

Sums zeroSums(int width, int kmax, int dkmax, int slots) {
  const auto pixels = static_cast<size_t>(width) * width;
  const auto elements = static_cast<size_t>(bispectrumSize(kmax, dkmax));
  return {Slots(slots, std::vector<float>(pixels)), Slots(slots, std::vector<float>(elements)),
          Slots(slots, std::vector<float>(elements))};
}

void write(const std::string& path, int width, int frames, int kmax, int dkmax, const Sums& s) {
  writeResultFile(path, width, frames, kmax, dkmax, s.power, s.bispRe, s.bispIm);
}

TEST(ResultFile, PowerIsDividedInFloatThenSummedInDoubleAndWrittenByColumn) {
  TempDir dir;
  Sums s = zeroSums(128, 0, 0, 2);
  // Distinct values per (row, column) so that a row-major file would be caught.
  for (int r = 0; r < 128; ++r)
    for (int c = 0; c < 128; ++c) {
      s.power[0][r * 128 + c] = static_cast<float>(r * 1000 + c) + 0.1f;
      s.power[1][r * 128 + c] = 1.0f;
    }
  write(dir.file("a.krn1"), 128, 3, 0, 0, s);
  const auto r = readResult(dir.file("a.krn1"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->width, 128);
  double total = 0;
  size_t at = 0;
  for (int c = 0; c < 128; ++c)
    for (int row = 0; row < 128; ++row) {
      const double expected =
          static_cast<double>(s.power[0][row * 128 + c] / 3.0f) + static_cast<double>(1.0f / 3.0f);
      ASSERT_EQ(r->power[at], expected) << "row " << row << " column " << c;
      total += r->power[at++];
    }
  EXPECT_EQ(r->powerChecksum, total);
  // Column 64 + fx, row 64 + fy.
  EXPECT_EQ(r->powerAt(-64, 63), r->power[0 * 128 + 127]);
}

// The slots' bispectrum sums are added in double before the phase is taken; sums of zero give 0.
TEST(ResultFile, ZeroLimitsHoldOnePhase) {
  TempDir dir;
  Sums s = zeroSums(256, 0, 0, 2);
  write(dir.file("zero.krn1"), 256, 1, 0, 0, s);
  s.bispRe[0][0] = -1.0f;
  s.bispRe[1][0] = 0.5f;
  s.bispIm[1][0] = 0.25f;
  write(dir.file("a.krn1"), 256, 1, 0, 0, s);
  EXPECT_EQ(std::filesystem::file_size(dir.file("a.krn1")), 28u + 8u * 256 * 256 + 4u);
  const auto r = readResult(dir.file("a.krn1"));
  ASSERT_TRUE(r);
  EXPECT_EQ(std::tuple(r->kmax, r->dkmax, r->phases.size()), std::tuple(0, 0, size_t{1}));
  EXPECT_EQ(r->phases[0], static_cast<float>(std::atan2(0.25, -0.5)));
  EXPECT_EQ(r->phaseChecksum, static_cast<double>(r->phases[0]));
  EXPECT_EQ(readResult(dir.file("zero.krn1"))->phases, std::vector<float>{0.0f});
}

// Every element gets its own phase, so the file order can be checked against the index formula.
void checkPhaseOrder(int width, int kmax, int dkmax, size_t expectedCount, uintmax_t expectedSize) {
  TempDir dir;
  // Two slots, so the phases are shared out among two threads when there are enough of them.
  Sums s = zeroSums(width, kmax, dkmax, 2);
  for (size_t i = 0; i < s.bispRe[0].size(); ++i) {
    s.bispRe[0][i] = 0.5f;
    s.bispRe[1][i] = 0.5f;
    s.bispIm[1][i] = static_cast<float>(i) * 1e-7f;
  }
  write(dir.file("a.krn1"), width, 1, kmax, dkmax, s);
  EXPECT_EQ(std::filesystem::file_size(dir.file("a.krn1")), expectedSize);
  const auto r = readResult(dir.file("a.krn1"));
  ASSERT_TRUE(r);
  ASSERT_EQ(r->phases.size(), expectedCount);
  ASSERT_EQ(phaseCount(width, kmax, dkmax), static_cast<int64_t>(expectedCount));
  size_t at = 0;
  double total = 0;
  for (int ux = -kmax; ux <= kmax; ++ux)
    for (int uy = 0; uy <= kmax; ++uy)
      for (int vx = -dkmax; vx <= dkmax; ++vx)
        for (int vy = -dkmax; vy <= dkmax; ++vy) {
          const int cx = width / 2 - (ux + vx);
          const int cy = width / 2 - (uy + vy);
          if (cx < 0 || cx >= width || cy < 0 || cy >= width) continue;
          const size_t i = (((2 * kmax + 1) * uy + (ux + kmax)) * (2 * dkmax + 1) + (vy + dkmax)) *
                               (2 * dkmax + 1) +
                           (vx + dkmax);
          const float expected =
              static_cast<float>(std::atan2(static_cast<double>(i * 1e-7f), 1.0));
          ASSERT_EQ(r->phases[at], expected) << ux << " " << uy << " " << vx << " " << vy;
          total += static_cast<double>(r->phases[at]);
          ++at;
        }
  EXPECT_EQ(r->phaseChecksum, total);
}

TEST(ResultFile, PhasesFollowTheFileOrderAndSkipPairsOutsideTheSpectrum) {
  checkPhaseOrder(128, 60, 9, 2588872, 10486588);
  checkPhaseOrder(256, 3, 2, 7 * 4 * 25, 28 + 8 * 256 * 256 + 4 * 7 * 4 * 25);
}

size_t entryCount(const std::filesystem::path& dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

TEST(ResultFile, ReplacesAnOldResultAndLeavesNoTemporaryFile) {
  TempDir dir;
  writeBytes(dir.file("a.krn1"), "old contents");
  Sums s = zeroSums(128, 0, 0, 1);
  write(dir.file("a.krn1"), 128, 1, 0, 0, s);
  EXPECT_TRUE(readResult(dir.file("a.krn1")));
  EXPECT_EQ(entryCount(dir.path()), 1u);
}

// A write that fails part-way (here: the file size limit standing in for a full disk) must leave
// the previous result untouched and no temporary file behind.
TEST(ResultFile, FailedWriteKeepsTheOldResult) {
  TempDir dir;
  writeBytes(dir.file("a.krn1"), "old contents");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    Sums s = zeroSums(128, 0, 0, 1);
    write(dir.file("a.krn1"), 128, 1, 0, 0, s);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(readBytes(dir.file("a.krn1")), "old contents");
  EXPECT_EQ(entryCount(dir.path()), 1u);
}

TEST(ResultFile, SymbolicLinkStaysALinkToTheNewResult) {
  TempDir dir;
  writeBytes(dir.file("real.krn1"), "old");
  std::filesystem::create_symlink(dir.file("real.krn1"), dir.file("link.krn1"));
  Sums s = zeroSums(128, 0, 0, 1);
  write(dir.file("link.krn1"), 128, 1, 0, 0, s);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.krn1")));
  EXPECT_TRUE(readResult(dir.file("real.krn1")));
}

TEST(ResultFile, PipeIsWrittenDirectly) {
  TempDir dir;
  const std::string fifo = dir.file("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = readBytes(fifo); });
  Sums s = zeroSums(128, 0, 0, 1);
  write(fifo, 128, 1, 0, 0, s);
  reader.join();
  EXPECT_EQ(received.size(), 28u + 8u * 128 * 128 + 4u);
  EXPECT_EQ(entryCount(dir.path()), 1u);
}

}  // namespace
}  // namespace korrin
