// Keyword lookups, run on headers held in memory. The header
// buffer is allocated at its exact size, so a lookup that reads past headerBytes shows up under
// AddressSanitizer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fits/fitsio.h"
#include "tests/hostile/hostile_corpus.h"

namespace korrin {
namespace {

struct Header {
  // Each text a card of its own, or (`raw`) the bytes as they stand.
  explicit Header(const std::vector<std::string>& cards, bool raw = false) {
    std::string bytes;
    for (const auto& c : cards) bytes += raw ? c : test::card(c);
    initFitsInfo(&info);
    info.fitsHeader = static_cast<char*>(std::malloc(bytes.size()));
    std::memcpy(info.fitsHeader, bytes.data(), bytes.size());
    info.headerBytes = static_cast<int32_t>(bytes.size());
  }
  ~Header() { releaseFitsInfo(&info); }

  // What a lookup of `kind` ('i', 'f' or 's') stores for `name`, and whether it found the card.
  std::string lookup(char kind, const char* name) {
    int32_t i = -3;
    float f = 999.0f;
    char text[kFitsTextSize] = "#";
    const int found = kind == 'i'   ? findIntKeyword(name, &info, &i, -3)
                      : kind == 'f' ? findFloatKeyword(name, &info, &f, 999.0f)
                                    : findStringKeyword(name, &info, text, "<none>");
    std::ostringstream out;
    out << (found == 0 ? "found " : "absent ");
    kind == 'i' ? out << i : kind == 'f' ? out << f : out << text;
    return out.str();
  }

  FitsInfo info;
};

// The name is a prefix match and the first card wins; the value starts in column 10, past blanks
// and '='; a number that does not parse keeps the default yet counts as found. Text values lose
// their quotes, the blanks inside the closing quote, a comment and one trailing comma.
TEST(FitsLookup, NamesValuesAndDefaults) {
  Header h({"RA_OBJ  =              10.25",
            "RA      =              123.5",
            "POSANGLE=                 12",
            "GAINSET =                  5",
            "DEC     =            -7.5",
            "DEC     =             8.5",
            "XBINNING=3",        // '=' in column 9, value in column 10
            "HISPEED 7 2",       // column 9 holds 7, which is not part of the value
            "HWBIN   =   =  4",  // blanks and '=' are skipped
            "FOCALLEN= 1.5e3 / mm",
            "NAXIS1  = 'abc'",
            "NAXIS2  =          99999999999",  // out of the 32-bit range
            "FILTER  = 'R       '           / filter name",
            "OBJECT  = 'M 42'  / target",
            "SITELAT = 12,  ",
            "SITELONG= 12,,",
            "CAMERA  = abc / maker",
            "DATE-OBS= 'a b  '",
            "JD      =",
            "IMAGETYP= '' / empty",
            "QZCOM3  = / only comment",
            "COMMENT  " + std::string(71, 'v')});
  // "ANGLE" is not found inside "POSANGLE"; "GAIN " with its blank does not match GAINSET; names
  // are case-sensitive.
  // clang-format off
  const std::vector<std::tuple<char, const char*, std::string>> cases{
      {'f', "RA", "found 10.25"}, {'f', "ANGLE", "absent 999"}, {'f', "GAIN ", "absent 999"},
      {'f', "DEC", "found -7.5"}, {'f', "dec", "absent 999"}, {'f', "FOCALLEN", "found 1500"},
      {'f', "NAXIS1", "found 999"}, {'i', "XBINNING", "found 3"}, {'i', "HISPEED", "found 2"},
      {'i', "HWBIN", "found 4"}, {'i', "NAXIS1", "found -3"}, {'i', "NAXIS2", "found -3"},
      {'i', "BITPIX", "absent -3"}, {'s', "FILTER", "found R"}, {'s', "OBJECT", "found M 42"},
      {'s', "SITELAT", "found 12"}, {'s', "SITELONG", "found 12,"}, {'s', "CAMERA", "found abc"},
      {'s', "DATE-OBS", "found a b"}, {'s', "JD", "found "}, {'s', "IMAGETYP", "found "},
      {'s', "QZCOM3", "found "}, {'s', "TELESCOP", "absent <none>"},
      {'s', "COMMENT", "found " + std::string(71, 'v')}};
  // clang-format on
  for (const auto& [kind, name, expected] : cases) EXPECT_EQ(h.lookup(kind, name), expected);
  EXPECT_EQ(findIntKeyword("NAXIS1", &h.info, nullptr, 1), -1);  // nowhere to store it

  // A header that ends inside a card (a newline during the scan shortens the last one), and one
  // shorter than the value column.
  EXPECT_EQ(Header({test::card("XBINNING= 2"), "DEC     =7"}, true).lookup('f', "DEC"), "found 7");
  EXPECT_EQ(Header({"JD"}, true).lookup('s', "JD"), "found ");
  EXPECT_EQ(Header({"JD"}, true).lookup('i', "JD"), "found -3");
}

}  // namespace
}  // namespace korrin
