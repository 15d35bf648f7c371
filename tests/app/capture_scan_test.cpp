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

TEST(NormalizeCaptureDir, OneTrailingSeparator) {
  const std::vector<std::pair<std::string, std::string>> cases{{"/mydir/myfits", "/mydir/myfits/"},
                                                               {"/mydir/myfits/", "/mydir/myfits/"},
                                                               {"a//b//", "a//b//"},
                                                               {"C:\\data", "C:\\data/"},
                                                               {"/", "/"},
                                                               {"", ""}};
  for (const auto& [in, out] : cases) EXPECT_EQ(normalizeCaptureDir(in), out) << in;
}

TEST(SplitString, KeepsEmptyPieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitString("a_b_c", "_"), (V{"a", "b", "c"}));
  EXPECT_EQ(splitString("", "_"), (V{""}));
  EXPECT_EQ(splitString("__x_", "_"), (V{"", "", "x", ""}));
  EXPECT_EQ(splitString("a::b:::c", "::"), (V{"a", "b", ":c"}));
}

TEST(DeriveOutputName, NamingTable) {
  const std::vector<std::pair<std::string, std::string>> table{
      {"vega_0001.fits", "vega"},
      {"vega_20250101_0001.fits", "vega_20250101"},
      {"vega.fits", "vega"},
      {"vega_.fits", "vega"},
      {"a__b_7.fit", "a__b"},
      {"__x_1.fit", "x"},
      {"_0001.fits", ""},
      {"my.target_01.FITS", "my.target"},
      {"M81-run3.fits", "M81-run3"},
      {".fits", ".fits"}};
  for (const auto& [frame, name] : table) {
    EXPECT_EQ(deriveOutputName("/obs/", "/obs/" + frame), "/obs/" + name + ".krn1") << frame;
  }
  // Only the frame's last component counts; the result goes into the capture directory given.
  EXPECT_EQ(deriveOutputName("x.d/", "r.d_2/noext"), "x.d/noext.krn1");
}

TEST(FindFitsFiles, RegularFilesThroughLinksWithFitsNamesInAnyCase) {
  test::TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  for (const char* name : {"m42_001.fits", "M42_002.FIT", "x.Fits", ".fits", "a.fts", "a.fits.gz",
                           "a.fit.bak", "afits", "notes.txt", "target.dat"}) {
    test::writeBytes(dir + name, "x");
  }
  fs::create_directories(dir + "flat.fits/sub");
  test::writeBytes(dir + "flat.fits/inner.fits", "x");  // one level only
  fs::create_symlink(dir + "target.dat", dir + "link_1.fits");
  fs::create_symlink(dir + "missing.fits", dir + "dangling_1.fits");
  fs::create_symlink(dir + "flat.fits", dir + "dirlink.fits");

  std::vector<std::string> files;
  std::string reason;
  ASSERT_TRUE(findFitsFiles(dir, files, reason)) << reason;
  std::vector<std::string> listed;  // listing order, not sorted
  for (const auto& e : fs::directory_iterator(tmp.path())) {
    const std::string name = e.path().filename().string();
    for (const char* frame : {"m42_001.fits", "M42_002.FIT", "x.Fits", ".fits", "link_1.fits"}) {
      if (name == frame) listed.push_back(dir + name);
    }
  }
  EXPECT_EQ(files, listed);
}

TEST(FindFitsFiles, FailuresAreReportedNotThrown) {
  test::TempDir tmp;
  test::writeBytes(tmp.file("plain"), "x");
  std::vector<std::string> files;
  std::string reason;
  EXPECT_FALSE(findFitsFiles(tmp.file("plain") + "/", files, reason));
  EXPECT_EQ(reason, "Not a directory");
  EXPECT_FALSE(findFitsFiles("", files, reason));

  if (geteuid() != 0) {  // permissions do not bind the superuser
    fs::create_directory(tmp.path() / "locked");
    fs::permissions(tmp.path() / "locked", fs::perms::none);
    EXPECT_FALSE(findFitsFiles(tmp.file("locked") + "/", files, reason));
    EXPECT_EQ(reason, "Permission denied");
  }
}

}  // namespace
}  // namespace korrin
