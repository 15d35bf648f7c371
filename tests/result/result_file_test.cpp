#include "result/result_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
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

// The result replaces an old one only once it is complete, and a write that fails says why: the
// old file stays as it was and no temporary file is left. Names, permission bits, hard and
// symbolic links and pipes keep what their users rely on.
TEST(ResultFile, WritesCompletelyOrNotAtAllAndKeepsWhatUsersRelyOn) {
  const Sums s(128, 0, 0, 1);
  const std::string kOld = "old contents";
  struct Case {
    std::string name;
    std::function<std::string(const test::TempDir&)> prepare;  // returns the path to write
    std::string reason;                                        // empty: written
    std::function<void(const test::TempDir&, const std::string&)> check;
  };
  const auto old = [&](const test::TempDir& d) {
    test::writeBytes(d.file("a.krn1"), kOld);
    return d.file("a.krn1");
  };
  const std::vector<Case> cases{
      {"missing directory", [](auto& d) { return d.file("missing/a.krn1"); },
       "No such file or directory", nullptr},
      {"a directory", [](auto& d) { return d.path().string(); }, "Is a directory", nullptr},
      {"a full device", [](auto&) { return std::string("/dev/full"); }, "No space left on device",
       nullptr},
      {"a 250-byte name", [](auto& d) { return d.file(std::string(245, 'n') + ".krn1"); }, "",
       nullptr},
      {"permission bits kept",
       [&](auto& d) {
         chmod(old(d).c_str(), 0640);
         return d.file("a.krn1");
       },
       "",
       [](auto&, const std::string& path) {
         EXPECT_EQ(fs::status(path).permissions(),
                   fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
       }},
      {"hard link rewritten in place",
       [&](auto& d) {
         fs::create_hard_link(old(d), d.file("b.krn1"));
         return d.file("a.krn1");
       },
       "",
       [](auto& d, const std::string&) {
         EXPECT_TRUE(fs::equivalent(d.file("a.krn1"), d.file("b.krn1")));
         EXPECT_TRUE(readResult(d.file("b.krn1")));
       }},
      {"symbolic link written through",
       [&](auto& d) {
         fs::create_symlink(old(d), d.file("link.krn1"));
         return d.file("link.krn1");
       },
       "",
       [](auto& d, const std::string& path) {
         EXPECT_TRUE(fs::is_symlink(path) && readResult(d.file("a.krn1")));
       }},
      {"dangling link creates its target",
       [](auto& d) {
         fs::create_directory(d.file("sub"));
         fs::create_symlink("sub/new.krn1", d.file("link.krn1"));
         return d.file("link.krn1");
       },
       "",
       [](auto& d, const std::string& path) {
         EXPECT_TRUE(fs::is_symlink(path) && readResult(d.file("sub/new.krn1")));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test::TempDir dir;
    const std::string path = c.prepare(dir);
    const auto entries = [&dir] {
      return std::distance(fs::recursive_directory_iterator(dir.path()), {});
    };
    // Only a new result adds an entry: no temporary file is left either way.
    const auto expected = entries() + (c.reason.empty() && !fs::exists(path) ? 1 : 0);
    const ResultWrite w = writeResultFile(path, 128, 1, 0, 0, s.power, s.bispRe, s.bispIm);
    EXPECT_EQ(std::pair(w.written, w.reason), std::pair(c.reason.empty(), c.reason));
    EXPECT_EQ(entries(), expected);
    if (c.reason.empty()) {
      EXPECT_TRUE(readResult(path));
      if (c.check) c.check(dir, path);
    }
  }

  // A write that fails part-way (the file size limit standing in for a full disk).
  const test::TempDir dir;
  const std::string path = dir.file("a.krn1");
  test::writeBytes(path, kOld);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const ResultWrite w = writeResultFile(path, 128, 1, 0, 0, s.power, s.bispRe, s.bispIm);
    _exit(!w.written && w.reason == "File too large" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::tuple(readBytes(path), std::distance(fs::directory_iterator(dir.path()), {})),
            std::tuple(kOld, 1));

  // A pipe is written directly.
  const std::string fifo = dir.file("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = readBytes(fifo); });
  EXPECT_TRUE(writeResultFile(fifo, 128, 1, 0, 0, s.power, s.bispRe, s.bispIm).written);
  reader.join();
  EXPECT_EQ(received.size(), 28u + 8u * 128 * 128 + 4u);
}

}  // namespace
}  // namespace korrin
