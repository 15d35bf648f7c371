// The command line's parsers: what reaches the option map, number conversion, and the names of the
// capture directory and the result file. Their messages are checked through the binary.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/capture_scan.h"

namespace korrin {
namespace {

TEST(ParseArguments, WhatIsStored) {
  const std::vector<std::pair<std::vector<std::string>, ArgumentMap>> cases{
      {{"--kmax=30", "--dkmax", "4", "--mask_radius", "--out", "x"},
       {{"kmax", "30"}, {"dkmax", "4"}, {"mask_radius", "true"}, {"out", "x"}}},
      {{"--a=b=c", "--dir==x", "--e=f="}, {{"a", "b=c"}, {"dir", "=x"}, {"e", "f="}}},
      {{"--out", "", "--kmax=1"}, {{"out", ""}, {"kmax", "1"}}},  // an empty word is a value
      {{"--help", "--kmax=3"}, {{"help", "true"}, {"kmax", "3"}}},
      {{"--"}, {{"", "true"}}},
      {{"--", "v", "--kmax=5", "--kmax", "7"}, {{"", "v"}, {"kmax", "7"}}},
  };
  for (auto [words, expected] : cases) {
    words.insert(words.begin(), "korrin");
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    ArgumentMap args{{"stale", "1"}};
    std::string error;
    EXPECT_TRUE(parseArguments(static_cast<int>(argv.size()), argv.data(), args, error)) << error;
    EXPECT_EQ(args, expected) << words[1];
  }
}

TEST(ParseDecimal, LeadingNumberOnly) {
  // clang-format off
  const std::vector<std::pair<std::string, int32_t>> good{
      {"12", 12}, {"12abc", 12}, {" 12", 12}, {"\t\n\v\f\r 7 8", 7}, {"+5", 5}, {"-5", -5},
      {"007", 7}, {"0x10", 0}, {"3.9", 3}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
      {"00000000000000000002147483647", INT32_MAX}};
  // clang-format on
  for (const auto& [text, value] : good) EXPECT_EQ(parseDecimal(text), value) << text;
  for (const std::string text : {"", "abc", "true", "+", "-", " ", "- 5", "+-5", "x12",
                                 "2147483648", "-2147483649", "99999999999999999999999"}) {
    EXPECT_EQ(parseDecimal(text), std::nullopt) << '"' << text << '"';
  }
}

// The capture directory as given (at most one quote off each end, one separator added), and the
// result named after the first frame's stem without its last "_" token.
TEST(CaptureNames, DirectoryAndResultName) {
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> dirs{
      {"/mydir/myfits", "/mydir/myfits/"}, {"/mydir/myfits/", "/mydir/myfits/"}, {"/", "/"},
      {"a//b//", "a//b//"}, {"\"C:\\data\"", "C:\\data/"}, {"C:\\data\"", "C:\\data/"},
      {"\"/data", "/data/"}, {"\"\"", ""}, {"\"", "\"/"}, {"\"\"\"", "\"/"}, {"a\"b", "a\"b/"},
      {"'x'", "'x'/"}, {"", ""}};
  // clang-format on
  for (const auto& [given, dir] : dirs) {
    EXPECT_EQ(normalizeCaptureDir(stripQuotes(given)), dir) << given;
  }
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> names{
      {"vega_0001.fits", "vega"}, {"vega_20250101_0001.fits", "vega_20250101"},
      {"vega.fits", "vega"}, {"vega_.fits", "vega"}, {"a__b_7.fit", "a__b"}, {"__x_1.fit", "x"},
      {"_0001.fits", ""}, {"my.target_01.FITS", "my.target"}, {"M81-run3.fits", "M81-run3"},
      {".fits", ".fits"}};
  // clang-format on
  for (const auto& [frame, name] : names) {
    EXPECT_EQ(deriveOutputName("/obs/", "/obs/" + frame), "/obs/" + name + ".krn1") << frame;
  }
  // Only the frame's last component counts; the result goes into the capture directory given.
  EXPECT_EQ(deriveOutputName("x.d/", "r.d_2/noext"), "x.d/noext.krn1");
}

}  // namespace
}  // namespace korrin
