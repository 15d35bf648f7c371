// FITS primary-image reader: header scan, keyword lookups and pixel conversion to float.
//
// This is the only code that touches FITS files. Every failure is one message on standard error
// and a return value of -1; nothing here throws.
#pragma once

#include <cstdint>
#include <cstdio>

namespace korrin {

// Text fields hold the value part of one card (at most 71 characters) plus a terminator.
inline constexpr int kFitsTextSize = 81;

// The reader's record for one file. Plain data: initFitsInfo gives every field its "no value"
// marker, readFits fills it, releaseFitsInfo frees the two buffers and re-initialises.
struct FitsInfo {
  float* floatArray;  // naxis1 * naxis2 pixels in file order, owned
  int32_t naxis1;
  int32_t naxis2;
  char* fitsHeader;  // headerBytes bytes: the cards through the end of the END card's block, owned
  int32_t headerBytes;
  int32_t trailingBytes;  // bytes after the pixel data (block fill, extensions)
  float airmass;
  float objectAltitude;
  float objectAzimuth;
  float bzero;
  float rotatorAngle;
  float oagAngle;
  float skyAngle;
  float angle;
  float positionAngle;
  char imageType[kFitsTextSize];
  int32_t hiSpeed;
  float gain;
  float readNoise;
  float darkCurrent;
  int32_t bitpix;
  float exposure;
  char dateObs[kFitsTextSize];
  char filter[kFitsTextSize];
  char julianDate[kFitsTextSize];
  char dateLocal[kFitsTextSize];
  char siteLatitude[kFitsTextSize];
  char siteLongitude[kFitsTextSize];
  char object[kFitsTextSize];
  int32_t xBinning;
  int32_t hwBin;
  float focalLength;
  float apertureArea;
  float xPixelSize;
  float pixelScale;
  float apertureDiameter;
  float ccdTemp;
  float setTemp;
  float ambientTemp;
  float skyTemp;
  float otaTemp;
  float windSpeed;
  char objectRa[kFitsTextSize];
  char objectDec[kFitsTextSize];
  float ra;
  float dec;
  int32_t focusPosition;
  float focusTemp;
  char comment1[kFitsTextSize];
  char comment2[kFitsTextSize];
  char comment3[kFitsTextSize];
  float imageSizeX;
  int32_t gainSetting;
  char camera[kFitsTextSize];
};

// Keyword lookups: the first card whose text begins with `name` (byte for byte, so names carry
// their own trailing blanks). Return 0 when found and parsed, -1 when absent (default stored).
int findIntKeyword(const char* name, const FitsInfo* info, int32_t* out, int32_t defaultValue);
int findFloatKeyword(const char* name, const FitsInfo* info, float* out, float defaultValue);
int findStringKeyword(const char* name, const FitsInfo* info, char* dest, const char* defaultText);

// Fills the descriptive fields from the header, in the fixed table order.
void readFitsKeywords(FitsInfo* info);

void initFitsInfo(FitsInfo* info);
void releaseFitsInfo(FitsInfo* info);

// sscanf over a NUL-terminated text.
int scanText(const char* text, const char* format, ...);

// Reads one FITS file into `info` (prepared by initFitsInfo or releaseFitsInfo).
// Returns 0, or -1 after writing one message to standard error.
int readFits(const char* path, FitsInfo* info);

// The header half of readFits, for a caller that wants to know what readFits would make of a file
// without reading its pixels: the same header scan, checks and messages, the NAXIS1, NAXIS2,
// BITPIX and BZERO fields, and the refusal of a BITPIX the pixel reader does not decode. On 0 the
// record owns fitsHeader (release it with releaseFitsInfo); -1 after writing one message.
int readFitsHeader(const char* path, FitsInfo* info);

// Buffers a caller keeps from file to file, so a run of same-sized images needs no allocation
// and no copy: `pixels` receives width x height floats, `raw` (rawBytes long, at least 2 bytes
// per pixel) the file's integer samples before conversion.
struct FitsSampleTarget {
  float* pixels;  // null: an image of the target's size is read into floatArray as usual
  int32_t width;
  int32_t height;
  unsigned char* raw;
  int64_t rawBytes;
  // An image of another size is not read past its header (nothing is allocated for it): 2 is
  // returned with naxis1, naxis2, bitpix and bzero set and no buffer kept.
  bool onlyThisSize = false;
};

// readFits, except that an image of exactly the target's size is decoded into target.pixels
// (the same values readFits would put into floatArray, which stays null) and 1 is returned.
// Any other file is read exactly as readFits reads it, with the same result and messages, unless
// the target asks for its size only.
int readFitsInto(const char* path, FitsInfo* info, const FitsSampleTarget& target);

// printf-style report; the reader always passes stderr.
void reportError(FILE* stream, const char* format, ...);

}  // namespace korrin
