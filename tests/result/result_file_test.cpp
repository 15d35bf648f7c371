#include "result/result_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <thread>
#include <tuple>

#include "spectral/bispectrum.h"
#include "tests/support/result_reader.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::readResult;
using Slots = std::vector<std::vector<float>>;

struct Sums {
  Sums(int width, int kmax, int dkmax, int slots)
      : power(slots, std::vector<float>(size_t(width) * width)),
        bispRe(slots, std::vector<float>(size_t(bispectrumSize(kmax, dkmax)))),
        bispIm(bispRe) {}
  void write(const std::string& path, int width, int frames, int kmax, int dkmax) const {
    writeResultFile(path, width, frames, kmax, dkmax, power, bispRe, bispIm);
  }
  Slots power, bispRe, bispIm;
};

TEST(ResultFile, PowerIsDividedInFloatThenSummedInDoubleAndWrittenByColumn) {
  const test::TempDir dir;
  Sums s(128, 0, 0, 2);
  // Distinct values per (row, column) so that a row-major file would be caught.
  for (int i = 0; i < 128 * 128; ++i)
    s.power[0][i] = static_cast<float>(i / 128 * 1000 + i % 128) + 0.1f;
  s.power[1].assign(128 * 128, 1.0f);
  s.write(dir.file("a.krn1"), 128, 3, 0, 0);
  const auto r = readResult(dir.file("a.krn1"));
  ASSERT_TRUE(r && r->width == 128);
  double total = 0;
  for (int c = 0, at = 0; c < 128; ++c)
    for (int row = 0; row < 128; ++row, ++at) {
      ASSERT_EQ(r->power[at], static_cast<double>(s.power[0][row * 128 + c] / 3.0f) +
                                  static_cast<double>(1.0f / 3.0f))
          << "row " << row << " column " << c;
      total += r->power[at];
    }
  EXPECT_EQ(r->powerChecksum, total);
}

// Every element gets its own phase (the slots' sums added before the arc tangent), so the file
// order can be checked against the index formula; pairs whose -(u+v) is outside are left out.
TEST(ResultFile, PhasesFollowTheFileOrderAndSkipPairsOutsideTheSpectrum) {
  const int cases[][4] = {{128, 60, 9, 2588872}, {256, 3, 2, 7 * 4 * 25}, {128, 0, 0, 1}};
  for (const auto& [width, kmax, dkmax, count] : cases) {
    const test::TempDir dir;
    Sums s(width, kmax, dkmax, 2);  // two slots: the phases are shared out among two threads
    for (size_t i = 0; i < s.bispRe[0].size(); ++i) {
      s.bispRe[0][i] = s.bispRe[1][i] = 0.5f;
      s.bispIm[1][i] = static_cast<float>(i) * 1e-7f;
    }
    s.write(dir.file("a.krn1"), width, 1, kmax, dkmax);
    EXPECT_EQ(fs::file_size(dir.file("a.krn1")), 28u + 8u * width * width + 4u * count);
    const auto r = readResult(dir.file("a.krn1"));
    ASSERT_TRUE(r);
    ASSERT_EQ(std::tuple(r->kmax, r->dkmax, r->phases.size()),
              std::tuple(kmax, dkmax, size_t(count)));
    EXPECT_EQ(phaseCount(width, kmax, dkmax), count);
    size_t at = 0;
    double total = 0;
    for (int ux = -kmax; ux <= kmax; ++ux)
      for (int uy = 0; uy <= kmax; ++uy)
        for (int vx = -dkmax; vx <= dkmax; ++vx)
          for (int vy = -dkmax; vy <= dkmax; ++vy) {
            const int cx = width / 2 - (ux + vx), cy = width / 2 - (uy + vy);
            if (cx < 0 || cx >= width || cy < 0 || cy >= width) continue;
            const size_t i = (((2 * kmax + 1) * uy + (ux + kmax)) * (2 * dkmax + 1) + vy + dkmax) *
                                 (2 * dkmax + 1) +
                             vx + dkmax;
            ASSERT_EQ(r->phases[at], static_cast<float>(std::atan2(double(i * 1e-7f), 1.0)))
                << ux << " " << uy << " " << vx << " " << vy;
            total += static_cast<double>(r->phases[at++]);
          }
    EXPECT_EQ(r->phaseChecksum, total);
  }
  // The slots' sums are added in double: in float, 2^24 + 1 - 2^24 would leave 0 and a phase of
  // pi/2 instead of pi/4.
  const test::TempDir dir;
  Sums three(128, 0, 0, 3);
  three.bispRe = {{16777216.0f}, {1.0f}, {-16777216.0f}};
  three.bispIm = {{1.0f}, {0.0f}, {0.0f}};
  three.write(dir.file("b.krn1"), 128, 1, 0, 0);
  EXPECT_EQ(readResult(dir.file("b.krn1"))->phases,
            std::vector{static_cast<float>(std::atan2(1.0, 1.0))});
}

// The result replaces an old one only once it is complete: a write that fails part-way (here: the
// file size limit standing in for a full disk) leaves the old result and no temporary file. A
// symbolic link stays a link, to the new result; a pipe is written directly.
TEST(ResultFile, ReplacementLinksAndPipes) {
  const test::TempDir dir;
  const Sums s(128, 0, 0, 1);
  const auto entries = [&dir] { return std::distance(fs::directory_iterator(dir.path()), {}); };
  test::writeBytes(dir.file("a.krn1"), "old contents");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    s.write(dir.file("a.krn1"), 128, 1, 0, 0);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(std::tuple(readBytes(dir.file("a.krn1")), entries()), std::tuple("old contents", 1));
  s.write(dir.file("a.krn1"), 128, 1, 0, 0);
  EXPECT_TRUE(readResult(dir.file("a.krn1")) && entries() == 1);

  test::writeBytes(dir.file("a.krn1"), "old");
  fs::create_symlink(dir.file("a.krn1"), dir.file("link.krn1"));
  s.write(dir.file("link.krn1"), 128, 1, 0, 0);
  EXPECT_TRUE(fs::is_symlink(dir.file("link.krn1")) && readResult(dir.file("a.krn1")));
  const std::string fifo = dir.file("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = readBytes(fifo); });
  s.write(fifo, 128, 1, 0, 0);
  reader.join();
  EXPECT_EQ(received.size(), 28u + 8u * 128 * 128 + 4u);
  EXPECT_EQ(entries(), 3);
}

}  // namespace
}  // namespace korrin
