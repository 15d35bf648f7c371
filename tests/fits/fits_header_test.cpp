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

// Each row of the table lands in its own field; a mix-up of two fields or a wrong default shows.
// A field as text: numbers in the stream's default format, texts as they stand.
template <auto Field>
std::string fieldText(const FitsInfo& info) {
  std::ostringstream out;
  out << info.*Field;
  return out.str();
}

TEST(FitsKeywordTable, EveryRowLandsInItsFieldOrDefault) {
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
      {"RA      =  83.82", fieldText<&FitsInfo::ra>, "83.82", "999"},
      {"DEC     =  -5.39", fieldText<&FitsInfo::dec>, "-5.39", "999"},
      {"GAIN    =  2.5", fieldText<&FitsInfo::gain>, "2.5", "0"},
      {"RONOISE =  1.5", fieldText<&FitsInfo::readNoise>, "1.5", "0"},
      {"DKCURRNT=  0.25", fieldText<&FitsInfo::darkCurrent>, "0.25", "0"},
      {"CCD-TEMP=  -20.0", fieldText<&FitsInfo::ccdTemp>, "-20", "999"},
      {"SET-TEMP=  -25.0", fieldText<&FitsInfo::setTemp>, "-25", "999"},
      {"TEMPERAT=  12.5", fieldText<&FitsInfo::ambientTemp>, "12.5", "999"},
      {"SKYTEMP =  -30.0", fieldText<&FitsInfo::skyTemp>, "-30", "999"},
      {"OTATEMP =  10.0", fieldText<&FitsInfo::otaTemp>, "10", "999"},
      {"WINDSPD =  3.5", fieldText<&FitsInfo::windSpeed>, "3.5", "999"},
      {"APTAREA =  1000.0", fieldText<&FitsInfo::apertureArea>, "1000", "0"},
      {"APTDIA  =  280.0", fieldText<&FitsInfo::apertureDiameter>, "280", "0"},
      {"FOCALLEN=  2800.0", fieldText<&FitsInfo::focalLength>, "2800", "0"},
      {"XPIXSZ  =  3.75", fieldText<&FitsInfo::xPixelSize>, "3.75", "0"},
      {"IMAGESZX=  128", fieldText<&FitsInfo::imageSizeX>, "128", "0"},
      {"POSANGLE=  11.0", fieldText<&FitsInfo::positionAngle>, "11", "999"},
      {"ROTANGLE=  12.0", fieldText<&FitsInfo::rotatorAngle>, "12", "999"},
      {"OAGANGLE=  13.0", fieldText<&FitsInfo::oagAngle>, "13", "999"},
      {"SKYANGLE=  14.0", fieldText<&FitsInfo::skyAngle>, "14", "999"},
      {"ANGLE   =  15.0", fieldText<&FitsInfo::angle>, "15", "999"},
      {"PIXSCALE=  0.125", fieldText<&FitsInfo::pixelScale>, "0.125", "0"},
      {"GAINSET =  3", fieldText<&FitsInfo::gainSetting>, "3", "0"},  // initial value is -1
      {"XBINNING=  2", fieldText<&FitsInfo::xBinning>, "2", "1"},
      {"HWBIN   =  4", fieldText<&FitsInfo::hwBin>, "4", "0"},
      {"HISPEED =  1", fieldText<&FitsInfo::hiSpeed>, "1", "0"},
      {"OBJCTRA = '05 35 17.3'", fieldText<&FitsInfo::objectRa>, "05 35 17.3", "999"},
      {"OBJCTDEC= '-05 23 28'", fieldText<&FitsInfo::objectDec>, "-05 23 28", "999"},
      {"IMAGETYP= 'Light Frame'", fieldText<&FitsInfo::imageType>, "Light Frame", ""},
      {"DATE-LOC= '2024-01-02'", fieldText<&FitsInfo::dateLocal>, "2024-01-02", ""},
      {"SITELAT = '+40 00'", fieldText<&FitsInfo::siteLatitude>, "+40 00", ""},
      {"SITELONG= '-75 00'", fieldText<&FitsInfo::siteLongitude>, "-75 00", ""},
      {"DATE-OBS= '2024-01-03T01:02:03'", fieldText<&FitsInfo::dateObs>, "2024-01-03T01:02:03", ""},
      {"JD      =  2460312.5", fieldText<&FitsInfo::julianDate>, "2460312.5", ""},
      {"FILTER  = 'V'", fieldText<&FitsInfo::filter>, "V", "none"},
      {"OBJECT  = 'Betelgeuse'", fieldText<&FitsInfo::object>, "Betelgeuse", ""},
      {"CAMERA  = 'Cam 1'", fieldText<&FitsInfo::camera>, "Cam 1", ""},
      {"QZCOM1  = 'c1'", fieldText<&FitsInfo::comment1>, "c1", ""},
      {"QZCOM2  = 'c2'", fieldText<&FitsInfo::comment2>, "c2", ""},
      {"QZCOM3  = 'c3'", fieldText<&FitsInfo::comment3>, "c3", ""},
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

TEST(FitsInfoLifecycle, ReleaseReinitialisesAndIsSafeToRepeat) {
  FitsInfo info;
  initFitsInfo(&info);
  info.fitsHeader = static_cast<char*>(std::malloc(80));
  info.floatArray = static_cast<float*>(std::malloc(16));
  info.naxis1 = 5;
  releaseFitsInfo(&info);
  EXPECT_EQ(info.fitsHeader, nullptr);
  EXPECT_EQ(info.floatArray, nullptr);
  EXPECT_EQ(info.naxis1, 0);
  EXPECT_EQ(info.gainSetting, -1);
  releaseFitsInfo(&info);
}

}  // namespace
}  // namespace korrin
