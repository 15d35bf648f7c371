#include "app/capture_scan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(NormalizeCaptureDir, AppendsOneSeparatorOnly) {
  EXPECT_EQ(normalizeCaptureDir("/mydir/myfits"), "/mydir/myfits/");
  EXPECT_EQ(normalizeCaptureDir("/mydir/myfits/"), "/mydir/myfits/");
  EXPECT_EQ(normalizeCaptureDir("rel"), "rel/");
  EXPECT_EQ(normalizeCaptureDir("a//b//"), "a//b//");
  EXPECT_EQ(normalizeCaptureDir("C:\\data"), "C:\\data/");  // backslash is an ordinary character
  EXPECT_EQ(normalizeCaptureDir("/"), "/");
  EXPECT_EQ(normalizeCaptureDir("true"), "true/");
  EXPECT_EQ(normalizeCaptureDir(""), "");
}

TEST(SplitString, KeepsEmptyPieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitString("a_b_c", "_"), (V{"a", "b", "c"}));
  EXPECT_EQ(splitString("", "_"), (V{""}));
  EXPECT_EQ(splitString("_", "_"), (V{"", ""}));
  EXPECT_EQ(splitString("__x_", "_"), (V{"", "", "x", ""}));
  EXPECT_EQ(splitString("abc", "_"), (V{"abc"}));
  EXPECT_EQ(splitString("a::b:::c", "::"), (V{"a", "b", ":c"}));
}

TEST(DeriveOutputName, NamingTable) {
  const std::string dir = "/obs/";
  const std::vector<std::pair<std::string, std::string>> table{
      {"vega_0001.fits", "/obs/vega.krn1"},
      {"vega_20250101_0001.fits", "/obs/vega_20250101.krn1"},
      {"vega.fits", "/obs/vega.krn1"},
      {"vega_.fits", "/obs/vega.krn1"},
      {"a__b_7.fit", "/obs/a__b.krn1"},
      {"__x_1.fit", "/obs/x.krn1"},
      {"_0001.fits", "/obs/.krn1"},
      {"my.target_01.FITS", "/obs/my.target.krn1"},
      {"M81-run3.fits", "/obs/M81-run3.krn1"},
      {".fits", "/obs/.fits.krn1"},
      {"_.fits", "/obs/.krn1"},
  };
  for (const auto& [frame, expected] : table) {
    EXPECT_EQ(deriveOutputName(dir, dir + frame), expected) << frame;
  }
}

TEST(DeriveOutputName, UsesTheCaptureDirNotTheFramesDirectory) {
  // Only the last component of the frame path is looked at; dots in directories do not count.
  EXPECT_EQ(deriveOutputName("rel.d/", "rel.d/x_1.fits"), "rel.d/x.krn1");
  EXPECT_EQ(deriveOutputName("a.b_c/", "a.b_c/noext"), "a.b_c/noext.krn1");
  EXPECT_EQ(deriveOutputName("", "s_1.fit"), "s.krn1");
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(FindFitsFiles, KeepsRegularFilesWithFitsNamesInAnyCase) {
  TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  for (const char* name : {"m42_001.fits", "M42_002.FIT", "x.Fits", "y.fIt", ".fits", "a.fts",
                           "a.fits.gz", "a.fit.bak", "afits", "notes.txt", "fits", "b.fitss"}) {
    test::writeBytes(dir + name, "x");
  }
  fs::create_directory(dir + "flat.fits");
  fs::create_directory(dir + "sub");
  test::writeBytes(dir + "sub/inner.fits", "x");  // one level only

  std::vector<std::string> files;
  std::string reason;
  ASSERT_TRUE(findFitsFiles(dir, files, reason)) << reason;
  EXPECT_EQ(sorted(files), sorted({dir + ".fits", dir + "M42_002.FIT", dir + "m42_001.fits",
                                   dir + "x.Fits", dir + "y.fIt"}));
}

TEST(FindFitsFiles, ListingOrderIsKept) {
  TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  for (int i = 0; i < 40; ++i) test::writeBytes(dir + "f_" + std::to_string(i) + ".fits", "x");
  std::vector<std::string> expected;
  for (const auto& e : fs::directory_iterator(tmp.path())) {
    expected.push_back(dir + e.path().filename().string());
  }
  std::vector<std::string> files;
  std::string reason;
  ASSERT_TRUE(findFitsFiles(dir, files, reason)) << reason;
  EXPECT_EQ(files, expected);
}

TEST(FindFitsFiles, FollowsSymbolicLinks) {
  TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  test::writeBytes(dir + "target.dat", "x");
  fs::create_directory(dir + "adir");
  fs::create_symlink(dir + "target.dat", dir + "link_1.fits");
  fs::create_symlink(dir + "missing.fits", dir + "dangling_1.fits");
  fs::create_symlink(dir + "adir", dir + "dirlink.fits");

  std::vector<std::string> files;
  std::string reason;
  ASSERT_TRUE(findFitsFiles(dir, files, reason)) << reason;
  EXPECT_EQ(files, std::vector<std::string>{dir + "link_1.fits"});
}

TEST(FindFitsFiles, LinkLoopEndsTheListing) {
  TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  test::writeBytes(dir + "a_1.fits", "x");
  fs::create_symlink(dir + "loop", dir + "loop");
  std::vector<std::string> files;
  std::string reason;
  EXPECT_FALSE(findFitsFiles(dir, files, reason));
  EXPECT_EQ(reason, "loop: Too many levels of symbolic links");
}

TEST(FindFitsFiles, UnlistableDirectoryIsAnErrorNotAnException) {
  TempDir tmp;
  std::vector<std::string> files;
  std::string reason;
  EXPECT_FALSE(findFitsFiles(tmp.path().string() + "/none/", files, reason));
  EXPECT_EQ(reason, "No such file or directory");

  test::writeBytes(tmp.file("plain"), "x");
  EXPECT_FALSE(findFitsFiles(tmp.file("plain") + "/", files, reason));
  EXPECT_EQ(reason, "Not a directory");

  EXPECT_FALSE(findFitsFiles("", files, reason));
}

TEST(FindFitsFiles, UnreadableDirectory) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempDir tmp;
  const fs::path locked = tmp.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::none);
  std::vector<std::string> files;
  std::string reason;
  EXPECT_FALSE(findFitsFiles(locked.string() + "/", files, reason));
  EXPECT_EQ(reason, "Permission denied");
  fs::permissions(locked, fs::perms::owner_all);
}

TEST(FindFitsFiles, RelativeDirectoryGivesRelativePaths) {
  TempDir tmp;
  fs::create_directory(tmp.path() / "cap");
  test::writeBytes(tmp.file("cap/s_1.fits"), "x");
  const fs::path previous = fs::current_path();
  fs::current_path(tmp.path());
  std::vector<std::string> files;
  std::string reason;
  const bool ok = findFitsFiles("cap//", files, reason);
  fs::current_path(previous);
  ASSERT_TRUE(ok) << reason;
  EXPECT_EQ(files, std::vector<std::string>{"cap//s_1.fits"});
}

}  // namespace
}  // namespace korrin
