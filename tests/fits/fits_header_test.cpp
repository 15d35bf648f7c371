// Keyword lookups and the descriptive keyword table, run on headers held in memory. The header
// buffer is allocated at its exact size, so a lookup that reads past headerBytes shows up under
// AddressSanitizer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fits/fitsio.h"
#include "tests/support/fits_fixture.h"

namespace korrin {
namespace {

using test::fitsCard;
using test::fitsHeaderBlock;
using test::fitsValueCard;

class Header {
 public:
  explicit Header(const std::string& bytes) {
    initFitsInfo(&info);
    info.fitsHeader = static_cast<char*>(std::malloc(bytes.size()));
    std::memcpy(info.fitsHeader, bytes.data(), bytes.size());
    info.headerBytes = static_cast<int32_t>(bytes.size());
  }
  explicit Header(const std::vector<std::string>& cards) : Header(fitsHeaderBlock(cards)) {}
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
  EXPECT_EQ(h.text("TELESCOP", "none"), "absent:none");
}

TEST(FitsTextValue, SeventyOneCharacterValueIsKeptWhole) {
  const std::string value(71, 'v');
  Header h(std::vector<std::string>{"OBJECT   " + value});
  EXPECT_EQ(h.text("OBJECT"), "found:" + value);
}

TEST(FitsLookup, NameIsAPrefixMatchAndFirstCardWins) {
  Header h({
      "RA_OBJ  =              10.25",
      "RA      =              123.5",
      "RADECSYS= 'FK5     '",
      "POSANGLE=                 12",
      "GAINSET =                  5",
      "DEC     =            -7.5",
      "DEC     =             8.5",
  });
  float value = 0;
  ASSERT_EQ(findFloatKeyword("RA", &h.info, &value, 999.0f), 0);
  EXPECT_EQ(value, 10.25f);
  // "ANGLE" is not found inside "POSANGLE"; "GAIN " with its blank does not match GAINSET.
  EXPECT_EQ(findFloatKeyword("ANGLE", &h.info, &value, 999.0f), -1);
  EXPECT_EQ(value, 999.0f);
  EXPECT_EQ(findFloatKeyword("GAIN ", &h.info, &value, 0.0f), -1);
  EXPECT_EQ(value, 0.0f);
  ASSERT_EQ(findFloatKeyword("DEC", &h.info, &value, 999.0f), 0);
  EXPECT_EQ(value, -7.5f);
  // Names are case-sensitive.
  EXPECT_EQ(findFloatKeyword("dec", &h.info, &value, 1.0f), -1);
  EXPECT_EQ(value, 1.0f);
}

TEST(FitsLookup, ValueStartsAtColumnTen) {
  Header h({
      "XBINNING=3",        // '=' in column 9, value in column 10
      "HISPEED 7 2",       // column 9 holds 7, which is not part of the value
      "HWBIN   =   =  4",  // blanks and '=' are skipped
      "FOCALLEN= 1.5e3 / mm",
  });
  int32_t value = 0;
  ASSERT_EQ(findIntKeyword("XBINNING", &h.info, &value, 0), 0);
  EXPECT_EQ(value, 3);
  ASSERT_EQ(findIntKeyword("HISPEED", &h.info, &value, 0), 0);
  EXPECT_EQ(value, 2);
  ASSERT_EQ(findIntKeyword("HWBIN", &h.info, &value, 0), 0);
  EXPECT_EQ(value, 4);
  float f = 0;
  ASSERT_EQ(findFloatKeyword("FOCALLEN", &h.info, &f, 0.0f), 0);
  EXPECT_EQ(f, 1500.0f);
}

TEST(FitsLookup, FoundButUnparsableKeepsDefaultAndNullOutputStoresNothing) {
  Header h({
      "NAXIS1  = 'abc'",
      "NAXIS2  =          99999999999",
      "BZERO   = 'x'",
  });
  int32_t value = 7;
  EXPECT_EQ(findIntKeyword("NAXIS1", &h.info, &value, 42), 0);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(findIntKeyword("NAXIS2", &h.info, &value, 43), 0);  // out of the 32-bit range
  EXPECT_EQ(value, 43);
  float f = 7;
  EXPECT_EQ(findFloatKeyword("BZERO", &h.info, &f, 1.5f), 0);
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(findIntKeyword("NAXIS1", &h.info, nullptr, 1), -1);
  EXPECT_EQ(findFloatKeyword("BZERO", &h.info, nullptr, 1), -1);
  EXPECT_EQ(findIntKeyword("BITPIX", &h.info, &value, -3), -1);
  EXPECT_EQ(value, -3);
}

TEST(FitsLookup, ShortLastCardIsReadOnlyUpToHeaderBytes) {
  // A header whose scan was shortened by a newline ends in the middle of an 80-byte card.
  const std::string bytes = fitsCard("SIMPLE  = T") + fitsCard("OBJECT  = 'Vega'") + "DEC     =7";
  Header h(bytes);
  float dec = 0;
  ASSERT_EQ(findFloatKeyword("DEC", &h.info, &dec, 999.0f), 0);
  EXPECT_EQ(dec, 7.0f);
  EXPECT_EQ(h.text("DEC"), "found:7");

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
    EXPECT_EQ(h.info.exposure, c.exposure) << c.cards.size();
    EXPECT_EQ(h.info.focusPosition, c.focusPosition) << c.cards.size();
    EXPECT_EQ(h.info.focusTemp, c.focusTemp) << c.cards.size();
  }
}

TEST(FitsKeywordTable, EmptyHeaderGivesTableDefaults) {
  FitsInfo initial;
  initFitsInfo(&initial);
  EXPECT_EQ(initial.gainSetting, -1);
  EXPECT_EQ(initial.xBinning, 1);
  EXPECT_EQ(initial.airmass, 999.0f);
  EXPECT_EQ(initial.fitsHeader, nullptr);
  EXPECT_EQ(initial.floatArray, nullptr);

  Header h(std::vector<std::string>{});
  readFitsKeywords(&h.info);
  const FitsInfo& i = h.info;
  EXPECT_EQ(i.gainSetting, 0);  // differs from the initial -1
  EXPECT_STREQ(i.filter, "none");
  EXPECT_STREQ(i.objectRa, "999");
  EXPECT_STREQ(i.objectDec, "999");
  EXPECT_EQ(i.objectAltitude, 999.0f);
  EXPECT_EQ(i.objectAzimuth, 999.0f);
  EXPECT_EQ(i.xBinning, 1);
  for (float v :
       {i.airmass, i.ra, i.dec, i.focusTemp, i.ccdTemp, i.setTemp, i.ambientTemp, i.skyTemp,
        i.otaTemp, i.windSpeed, i.positionAngle, i.rotatorAngle, i.oagAngle, i.skyAngle, i.angle}) {
    EXPECT_EQ(v, 999.0f);
  }
  for (float v : {i.exposure, i.gain, i.readNoise, i.darkCurrent, i.apertureArea,
                  i.apertureDiameter, i.focalLength, i.xPixelSize, i.imageSizeX, i.pixelScale}) {
    EXPECT_EQ(v, 0.0f);
  }
  for (const char* t : {i.imageType, i.dateObs, i.julianDate, i.dateLocal, i.siteLatitude,
                        i.siteLongitude, i.object, i.camera, i.comment1, i.comment2, i.comment3}) {
    EXPECT_STREQ(t, "");
  }
}

TEST(FitsKeywordTable, EveryRowLandsInItsField) {
  Header h({
      "AIRMASS =  1.25",        "OBJCTALT= '+45 30 00'",
      "OBJCTAZ = '181.5'",      "OBJCTRA = '05 35 17.3'",
      "OBJCTDEC= '-05 23 28'",  "RA      =  83.82",
      "DEC     =  -5.39",       "IMAGETYP= 'Light Frame'",
      "GAINSET =  3",           "GAIN    =  2.5",
      "RONOISE =  1.5",         "DKCURRNT=  0.25",
      "DATE-LOC= '2024-01-02'", "SITELAT = '+40 00'",
      "SITELONG= '-75 00'",     "CCD-TEMP=  -20.0",
      "SET-TEMP=  -25.0",       "TEMPERAT=  12.5",
      "SKYTEMP =  -30.0",       "OTATEMP =  10.0",
      "WINDSPD =  3.5",         "DATE-OBS= '2024-01-03T01:02:03'",
      "JD      =  2460312.5",   "FILTER  = 'V'",
      "OBJECT  = 'Betelgeuse'", "CAMERA  = 'Cam 1'",
      "XBINNING=  2",           "HWBIN   =  1",
      "HISPEED =  1",           "APTAREA =  1000.0",
      "APTDIA  =  280.0",       "FOCALLEN=  2800.0",
      "XPIXSZ  =  3.75",        "IMAGESZX=  128",
      "POSANGLE=  11.0",        "ROTANGLE=  12.0",
      "OAGANGLE=  13.0",        "SKYANGLE=  14.0",
      "ANGLE   =  15.0",        "QZCOM1  = 'c1'",
      "QZCOM2  = 'c2'",         "QZCOM3  = 'c3'",
      "PIXSCALE=  0.125",
  });
  readFitsKeywords(&h.info);
  const FitsInfo& i = h.info;
  EXPECT_EQ(i.airmass, 1.25f);
  EXPECT_EQ(i.objectAltitude, 45.0f);  // atof stops at the first blank
  EXPECT_EQ(i.objectAzimuth, 181.5f);
  EXPECT_STREQ(i.objectRa, "05 35 17.3");
  EXPECT_STREQ(i.objectDec, "-05 23 28");
  EXPECT_EQ(i.ra, 83.82f);
  EXPECT_EQ(i.dec, -5.39f);
  EXPECT_STREQ(i.imageType, "Light Frame");
  EXPECT_EQ(i.gainSetting, 3);
  EXPECT_EQ(i.gain, 2.5f);
  EXPECT_EQ(i.readNoise, 1.5f);
  EXPECT_EQ(i.darkCurrent, 0.25f);
  EXPECT_STREQ(i.dateLocal, "2024-01-02");
  EXPECT_STREQ(i.siteLatitude, "+40 00");
  EXPECT_STREQ(i.siteLongitude, "-75 00");
  EXPECT_EQ(i.ccdTemp, -20.0f);
  EXPECT_EQ(i.setTemp, -25.0f);
  EXPECT_EQ(i.ambientTemp, 12.5f);
  EXPECT_EQ(i.skyTemp, -30.0f);
  EXPECT_EQ(i.otaTemp, 10.0f);
  EXPECT_EQ(i.windSpeed, 3.5f);
  EXPECT_STREQ(i.dateObs, "2024-01-03T01:02:03");
  EXPECT_STREQ(i.julianDate, "2460312.5");
  EXPECT_STREQ(i.filter, "V");
  EXPECT_STREQ(i.object, "Betelgeuse");
  EXPECT_STREQ(i.camera, "Cam 1");
  EXPECT_EQ(i.xBinning, 2);
  EXPECT_EQ(i.hwBin, 1);
  EXPECT_EQ(i.hiSpeed, 1);
  EXPECT_EQ(i.apertureArea, 1000.0f);
  EXPECT_EQ(i.apertureDiameter, 280.0f);
  EXPECT_EQ(i.focalLength, 2800.0f);
  EXPECT_EQ(i.xPixelSize, 3.75f);
  EXPECT_EQ(i.imageSizeX, 128.0f);
  EXPECT_EQ(i.positionAngle, 11.0f);
  EXPECT_EQ(i.rotatorAngle, 12.0f);
  EXPECT_EQ(i.oagAngle, 13.0f);
  EXPECT_EQ(i.skyAngle, 14.0f);
  EXPECT_EQ(i.angle, 15.0f);
  EXPECT_STREQ(i.comment1, "c1");
  EXPECT_STREQ(i.comment2, "c2");
  EXPECT_STREQ(i.comment3, "c3");
  EXPECT_EQ(i.pixelScale, 0.125f);
}

TEST(FitsInfoLifecycle, ReleaseIsSafeToRepeat) {
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
  EXPECT_EQ(info.fitsHeader, nullptr);
}

}  // namespace
}  // namespace korrin
