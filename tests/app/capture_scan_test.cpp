#include "app/capture_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korrin {
namespace {

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

}  // namespace
}  // namespace korrin
