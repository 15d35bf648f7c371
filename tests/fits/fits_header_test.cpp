// Keyword lookups and the descriptive keyword table, run on headers held in memory. The header
// buffer is allocated at its exact size, so a lookup that reads past headerBytes shows up under
// AddressSanitizer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fits/fitsio.h"
#include "tests/hostile/hostile_corpus.h"

namespace korrin {
namespace {

// Each text padded to a card of its own.
std::string headerOf(std::vector<std::string> cards) {
  for (auto& text : cards) text = test::card(text);
  return test::headerBlock(cards);
}

class Header {
 public:
  explicit Header(const std::string& bytes) {
    initFitsInfo(&info);
    info.fitsHeader = static_cast<char*>(std::malloc(bytes.size()));
    std::memcpy(info.fitsHeader, bytes.data(), bytes.size());
    info.headerBytes = static_cast<int32_t>(bytes.size());
  }
  explicit Header(std::vector<std::string> cards) : Header(headerOf(std::move(cards))) {}
  ~Header() { releaseFitsInfo(&info); }

  std::string text(const char* name, const char* fallback = "<none>") {
    char dest[kFitsTextSize];
    std::memset(dest, '#', sizeof dest);
    const int found = findStringKeyword(name, &info, dest, fallback);
    return (found == 0 ? "found:" : "absent:") + std::string(dest);
  }

  FitsInfo info;
};

TEST(FitsTextValue, CleaningStripsQuotesCommentsAndOneTrailingComma) {
  Header h({
      "FILTER  = 'R       '           / filter name",
      "OBJECT  = 'M 42'               / target",
      "SITELAT = 12,  ",
      "SITELONG= 12,,",
      "CAMERA  = abc / maker",
      "DATE-OBS= 'a b  '",
      "JD      =",
      "IMAGETYP= '' / empty",
      "QZCOM1  = 'mstack 10 nexp 25 exptotal 2.5'",
      "QZCOM2  = x",
      "QZCOM3  = / only comment",
      "COMMENT  " + std::string(71, 'v'),
  });
  EXPECT_EQ(h.text("FILTER"), "found:R");
  EXPECT_EQ(h.text("OBJECT"), "found:M 42");
  EXPECT_EQ(h.text("SITELAT"), "found:12");
  EXPECT_EQ(h.text("SITELONG"), "found:12,");  // only one trailing comma goes
  EXPECT_EQ(h.text("CAMERA"), "found:abc");
  EXPECT_EQ(h.text("DATE-OBS"), "found:a b");
  EXPECT_EQ(h.text("JD"), "found:");
  EXPECT_EQ(h.text("IMAGETYP"), "found:");
  EXPECT_EQ(h.text("QZCOM1"), "found:mstack 10 nexp 25 exptotal 2.5");
  EXPECT_EQ(h.text("QZCOM2"), "found:x");
  EXPECT_EQ(h.text("QZCOM3"), "found:");
  EXPECT_EQ(h.text("COMMENT"), "found:" + std::string(71, 'v'));  // a whole card's value
  EXPECT_EQ(h.text("TELESCOP", "none"), "absent:none");
}

// The name is a prefix match and the first card wins; the value starts in column 10; a value that
// does not parse keeps the default yet counts as found, unless there is nowhere to store it.
TEST(FitsLookup, PrefixMatchValueColumnAndDefaults) {
  Header h({
      "RA_OBJ  =              10.25",
      "RA      =              123.5",
      "RADECSYS= 'FK5     '",
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
      "BZERO   = 'x'",
  });
  // "ANGLE" is not found inside "POSANGLE"; "GAIN " with its blank does not match GAINSET; names
  // are case-sensitive.
  const std::tuple<const char*, int, float> floats[] = {
      {"RA", 0, 10.25f},   {"ANGLE", -1, 999.0f},    {"GAIN ", -1, 999.0f}, {"DEC", 0, -7.5f},
      {"dec", -1, 999.0f}, {"FOCALLEN", 0, 1500.0f}, {"BZERO", 0, 999.0f}};
  for (const auto& [name, status, expected] : floats) {
    float value = 0;
    EXPECT_EQ(findFloatKeyword(name, &h.info, &value, 999.0f), status) << name;
    EXPECT_EQ(value, expected) << name;
  }
  const std::tuple<const char*, int, int32_t> ints[] = {{"XBINNING", 0, 3}, {"HISPEED", 0, 2},
                                                        {"HWBIN", 0, 4},    {"NAXIS1", 0, -3},
                                                        {"NAXIS2", 0, -3},  {"BITPIX", -1, -3}};
  for (const auto& [name, status, expected] : ints) {
    int32_t value = 7;
    EXPECT_EQ(findIntKeyword(name, &h.info, &value, -3), status) << name;
    EXPECT_EQ(value, expected) << name;
  }
  EXPECT_EQ(findIntKeyword("NAXIS1", &h.info, nullptr, 1), -1);
  EXPECT_EQ(findFloatKeyword("BZERO", &h.info, nullptr, 1), -1);

  Header tiny(std::string("JD"));  // shorter than the value column
  EXPECT_EQ(tiny.text("JD"), "found:");
  int32_t value = 0;
  EXPECT_EQ(findIntKeyword("JD", &tiny.info, &value, 5), 0);
  EXPECT_EQ(value, 5);
}

TEST(FitsKeywordTable, PairsOverrideOnlyWhenTheSecondKeywordIsPresent) {
  struct Case {
    std::vector<std::string> cards;
    float exposure;
    int32_t focusPosition;
    float focusTemp;
  };
  const std::vector<Case> cases = {
      {{}, 0.0f, 0, 999.0f},
      {{"EXPOSURE=  2.0", "FOCUSPOS=  100", "FOCUSTEM=  5.5"}, 2.0f, 100, 5.5f},
      {{"EXPTIME =  0.5", "FOCPOS  =  200", "FOCTEMP =  -3.0"}, 0.5f, 200, -3.0f},
      {{"EXPTIME =  0.5", "EXPOSURE=  2.0", "FOCPOS  =  200", "FOCUSPOS=  100", "FOCTEMP =  -3.0",
        "FOCUSTEM=  5.5"},
       0.5f,
       200,
       -3.0f},
  };
  for (const auto& c : cases) {
    Header h(c.cards);
    readFitsKeywords(&h.info);
    EXPECT_EQ(std::tuple(h.info.exposure, h.info.focusPosition, h.info.focusTemp),
              std::tuple(c.exposure, c.focusPosition, c.focusTemp))
        << c.cards.size();
  }
}

// The rows of the keyword table that are more than a plain lookup into a field of the same type:
// text read as a number, a name carrying its blank, defaults other than 0, 999 and "", an initial
// value the lookup replaces. The other rows are the same call with another name and field, and
// nothing in a run reads those fields.
// A field as text: numbers in the stream's default format, texts as they stand.
template <auto Field>
std::string fieldText(const FitsInfo& info) {
  std::ostringstream out;
  out << info.*Field;
  return out.str();
}

TEST(FitsKeywordTable, IrregularRowsLandInTheirFieldOrDefault) {
  struct Row {
    const char* card;
    std::string (*get)(const FitsInfo&);
    const char* value;
    const char* fallback;
  };
  const Row rows[] = {
      {"AIRMASS =  1.25", fieldText<&FitsInfo::airmass>, "1.25", "999"},
      // atof stops at the blank.
      {"OBJCTALT= '+45 30 00'", fieldText<&FitsInfo::objectAltitude>, "45", "999"},
      {"OBJCTAZ = '181.5'", fieldText<&FitsInfo::objectAzimuth>, "181.5", "999"},
      {"GAIN    =  2.5", fieldText<&FitsInfo::gain>, "2.5", "0"},
      {"IMAGESZX=  128", fieldText<&FitsInfo::imageSizeX>, "128", "0"},
      {"GAINSET =  3", fieldText<&FitsInfo::gainSetting>, "3", "0"},  // initial value is -1
      {"XBINNING=  2", fieldText<&FitsInfo::xBinning>, "2", "1"},
      {"OBJCTRA = '05 35 17.3'", fieldText<&FitsInfo::objectRa>, "05 35 17.3", "999"},
      {"JD      =  2460312.5", fieldText<&FitsInfo::julianDate>, "2460312.5", ""},
      {"FILTER  = 'V'", fieldText<&FitsInfo::filter>, "V", "none"},
      {"OBJECT  = 'Betelgeuse'", fieldText<&FitsInfo::object>, "Betelgeuse", ""},
  };
  std::vector<std::string> cards;
  for (const Row& r : rows) cards.push_back(r.card);
  Header full(cards);
  Header empty(std::vector<std::string>{});
  readFitsKeywords(&full.info);
  readFitsKeywords(&empty.info);
  for (const Row& r : rows) {
    EXPECT_EQ(r.get(full.info), r.value) << r.card;
    EXPECT_EQ(r.get(empty.info), r.fallback) << r.card;
  }
}

}  // namespace
}  // namespace korrin
