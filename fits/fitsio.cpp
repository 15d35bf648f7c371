#include "fits/fitsio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace korrin {

namespace {

// Messages name the reader's source file and a fixed line per reporting statement. The numbers
// are part of the text people and scripts match on, so they are pinned here: editing this file
// must not change what a user sees.
constexpr const char* kSourceName = "fitsio.cpp";
constexpr int kLineNullInfo = 1447;
constexpr int kLineOpen = 1454;
constexpr int kLineNoEndCard = 1464;
constexpr int kLineShortLastBlock = 1477;
constexpr int kLineMallocHeader = 1494;
constexpr int kLineNaxis1 = 1502;
constexpr int kLineNaxis2 = 1515;
constexpr int kLineBitpix = 1528;
constexpr int kLineMallocFloat32 = 1549;
constexpr int kLineMallocFile16 = 1572;
constexpr int kLineMallocFloat16 = 1583;
constexpr int kLineMallocFile8 = 1607;
constexpr int kLineMallocFloat8 = 1618;
constexpr int kLineUnsupported = 1642;

constexpr int kCardBytes = 80;
// A header is a few blocks; one that runs on for megabytes without an END card is not a frame,
// and is refused as unparsable rather than buffered whole.
constexpr int64_t kMaxHeaderBytes = int64_t{64} << 20;
constexpr int kCardsPerBlock = 36;
constexpr int kValueColumn = 9;  // column 10, where a card's value text starts

// Every buffer size goes through ImageFrame's 32-bit byteSize later, so anything larger is
// treated exactly like an allocation the system refuses.
constexpr int64_t kMaxBufferBytes = std::numeric_limits<int32_t>::max();

// Copies the first card that begins with `name` into `card` (81 bytes, NUL-terminated, zero
// filled behind the copied bytes so the value text at column 10 is always inside the buffer).
bool findCard(const char* name, const FitsInfo* info, char* card) {
  if (name == nullptr || info == nullptr || info->fitsHeader == nullptr) return false;
  const size_t nameLength = std::strlen(name);
  const int64_t headerBytes = info->headerBytes;
  for (int64_t offset = 0; offset < headerBytes; offset += kCardBytes) {
    // A newline during the scan can leave the last card shorter than 80 bytes.
    const int64_t length = std::min<int64_t>(kCardBytes, headerBytes - offset);
    // Every frame looks up a dozen keywords over all cards: compare in place and copy only the
    // card that matches. The first nameLength bytes are the same as in the copy, so the result
    // is too; a card shorter than the name takes the copying path below.
    if (static_cast<int64_t>(nameLength) <= length &&
        std::strncmp(info->fitsHeader + offset, name, nameLength) != 0) {
      continue;
    }
    std::memset(card, 0, kFitsTextSize);
    std::memcpy(card, info->fitsHeader + offset, static_cast<size_t>(length));
    if (std::strncmp(card, name, nameLength) == 0) return true;
  }
  return false;
}

// The value text of a numeric card, past the blanks and "=" that separate it from the name.
const char* numericText(const char* card) {
  const char* text = card + kValueColumn;
  while (*text == ' ' || *text == '=') ++text;
  return text;
}

// "%d" semantics (leading white space, optional sign, decimal digits), but a number outside the
// 32-bit range counts as unparsable instead of being wrapped: a hostile NAXIS1 of 2^32 + 128
// must not pass for 128.
bool parseInt32(const char* text, int32_t* value) {
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  if (parsed < std::numeric_limits<int32_t>::min() || parsed > std::numeric_limits<int32_t>::max())
    return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

enum class Lookup { kAbsent, kParsed, kUnparsable };

// Integer lookup that tells a card that does not parse apart from a missing one; *out keeps
// the default unless the card parsed.
Lookup lookupInt(const char* name, const FitsInfo* info, int32_t* out, int32_t defaultValue) {
  *out = defaultValue;
  char card[kFitsTextSize];
  if (!findCard(name, info, card)) return Lookup::kAbsent;
  int32_t value = 0;
  if (!parseInt32(numericText(card), &value)) return Lookup::kUnparsable;
  *out = value;
  return Lookup::kParsed;
}

// double -> float without undefined behaviour for values beyond the float range.
float narrowToFloat(double value) {
  if (value > FLT_MAX) return std::numeric_limits<float>::infinity();
  if (value < -FLT_MAX) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

// Finds the cleaned span of a text value: without its quotes, the blanks inside the closing
// quote, a trailing comment and a single trailing comma. Returns the start, sets *length.
const char* cleanText(const char* value, size_t* length) {
  const char* s = value;
  while (*s == ' ' || *s == '\'') ++s;
  const char* e = s;
  while (*e != '\0' && *e != '\'' && *e != '/') ++e;
  if ((*e == '\'' || *e == '/') && e > s) --e;
  while ((*e == ' ' || *e == '\r' || *e == '\n' || *e == '\0') && e > s) --e;
  const bool endsBefore = *e == ',' || *e == '/' || *e == '\0' || (e == s && *e == ' ');
  *length = static_cast<size_t>(e - s) + (endsBefore ? 0 : 1);
  return s;
}

void copyText(char* dest, const char* text, size_t length) {
  if (length > kFitsTextSize - 1) length = kFitsTextSize - 1;
  std::memcpy(dest, text, length);
  dest[length] = '\0';
}

uint32_t bigEndian32(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

// Byte count of `count` samples of `bytesPerSample` bytes, or -1 when it exceeds the limit.
int64_t bufferBytes(int64_t count, int64_t bytesPerSample) {
  if (count > kMaxBufferBytes / bytesPerSample) return -1;
  return count * bytesPerSample;
}

// malloc for a checked byte count; never asks for 0 bytes so an empty image still gets a
// distinct non-null buffer.
void* allocate(int64_t bytes) {
  if (bytes < 0) return nullptr;
  return std::malloc(bytes == 0 ? 1 : static_cast<size_t>(bytes));
}

// Reads the header as described by its cards: 80-byte line reads up to the "END " card, then
// the blank cards completing its 2880-byte block. Returns the header length, or -1 after
// reporting (the message depends on where the file ended).
int64_t scanHeader(FILE* file, const char* path) {
  char card[kCardBytes + 1];
  int64_t cards = 0;
  for (;;) {
    // Zeroed so a short read (newline, end of file) can never match "END " with stale bytes.
    std::memset(card, 0, sizeof card);
    if (cards * kCardBytes >= kMaxHeaderBytes || std::fgets(card, sizeof card, file) == nullptr) {
      reportError(stderr, "%s (%d):  error parsing fits file <%s>\r\n", kSourceName, kLineNoEndCard,
                  path);
      return -1;
    }
    ++cards;
    if (std::memcmp(card, "END ", 4) == 0) break;
  }
  while (cards % kCardsPerBlock != 0) {
    if (std::fgets(card, sizeof card, file) == nullptr) {
      reportError(stderr, "%s (%d):  error parsing fits file <%s>\r\n", kSourceName,
                  kLineShortLastBlock, path);
      return -1;
    }
    ++cards;
  }
  const long position = std::ftell(file);
  return position < 0 ? 0 : static_cast<int64_t>(position);
}

// fopen for reading, but only for a regular file. Opened without blocking, so that a fifo put
// in place of a frame cannot stop the reader for ever in open(); for a regular file the flag
// changes nothing. *regular is false when the file opened but is something else (a directory,
// a fifo, a device); otherwise errno tells why it did not open.
FILE* openRegularFile(const char* path, bool* regular) {
  *regular = true;
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = errno;
    *regular = info.st_mode == 0;  // fstat itself failed: errno says why
    ::close(fd);
    errno = error;
    return nullptr;
  }
  FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
}

void freeHeader(FitsInfo* info) {
  std::free(info->fitsHeader);
  info->fitsHeader = nullptr;
}

void freeFloats(FitsInfo* info) {
  std::free(info->floatArray);
  info->floatArray = nullptr;
}

// Reads up to `count` items; returns how many were read completely. A file that ends inside
// the data is not an error for the reader: the caller zeroes what is missing.
int64_t readItems(void* buffer, size_t itemBytes, int64_t count, FILE* file) {
  if (count == 0) return 0;
  return static_cast<int64_t>(std::fread(buffer, itemBytes, static_cast<size_t>(count), file));
}

// The raw buffer for integer samples, then a fresh float buffer; each refusal reports its own
// line, and a refused float buffer gives the raw one back.
bool allocateSampleBuffers(FitsInfo* info, int64_t count, int64_t sampleBytes, int fileLine,
                           int floatLine, unsigned char** fileArray) {
  *fileArray = static_cast<unsigned char*>(allocate(bufferBytes(count, sampleBytes)));
  if (*fileArray == nullptr) {
    reportError(stderr, "%s (%d):  can't malloc fileArray\r\n", kSourceName, fileLine);
    return false;
  }
  freeFloats(info);
  info->floatArray = static_cast<float*>(allocate(bufferBytes(count, 4)));
  if (info->floatArray == nullptr) {
    reportError(stderr, "%s (%d):  can't malloc floatArray\r\n", kSourceName, floatLine);
    std::free(*fileArray);
    *fileArray = nullptr;
    return false;
  }
  return true;
}

}  // namespace

void reportError(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
}

int scanText(const char* text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int assigned = std::vsscanf(text, format, args);
  va_end(args);
  return assigned;
}

int findIntKeyword(const char* name, const FitsInfo* info, int32_t* out, int32_t defaultValue) {
  if (out == nullptr) return -1;
  // A card that is present but not a number still counts as found and keeps the default.
  return lookupInt(name, info, out, defaultValue) == Lookup::kAbsent ? -1 : 0;
}

int findFloatKeyword(const char* name, const FitsInfo* info, float* out, float defaultValue) {
  if (out == nullptr) return -1;
  *out = defaultValue;
  char card[kFitsTextSize];
  if (!findCard(name, info, card)) return -1;
  float value = 0.0f;
  if (scanText(numericText(card), "%f", &value) == 1) *out = value;
  return 0;
}

int findStringKeyword(const char* name, const FitsInfo* info, char* dest, const char* defaultText) {
  if (dest == nullptr) return -1;
  char card[kFitsTextSize];
  if (!findCard(name, info, card)) {
    const char* text = defaultText == nullptr ? "" : defaultText;
    copyText(dest, text, std::strlen(text));
    return -1;
  }
  size_t length = 0;
  const char* text = cleanText(card + kValueColumn, &length);
  copyText(dest, text, length);
  return 0;
}

void readFitsKeywords(FitsInfo* info) {
  if (info == nullptr) return;
  char text[kFitsTextSize];
  // Pairs of keywords (EXPOSURE/EXPTIME, FOCUSTEM/FOCTEMP, FOCUSPOS/FOCPOS): the second one
  // defaults to the value the first left, so it overrides only when present.
  findFloatKeyword("EXPOSURE", info, &info->exposure, 0.0f);
  findFloatKeyword("EXPTIME", info, &info->exposure, info->exposure);
  findFloatKeyword("FOCUSTEM", info, &info->focusTemp, 999.0f);
  findFloatKeyword("FOCTEMP", info, &info->focusTemp, info->focusTemp);
  findFloatKeyword("AIRMASS", info, &info->airmass, 999.0f);
  // Altitude and azimuth may be written as text; the number before the first blank is kept.
  findStringKeyword("OBJCTALT", info, text, "999");
  info->objectAltitude = narrowToFloat(std::strtod(text, nullptr));
  findStringKeyword("OBJCTAZ", info, text, "999");
  info->objectAzimuth = narrowToFloat(std::strtod(text, nullptr));
  findStringKeyword("OBJCTRA", info, info->objectRa, "999");
  findStringKeyword("OBJCTDEC", info, info->objectDec, "999");
  findFloatKeyword("RA", info, &info->ra, 999.0f);
  findFloatKeyword("DEC", info, &info->dec, 999.0f);
  findIntKeyword("FOCUSPOS", info, &info->focusPosition, 0);
  findIntKeyword("FOCPOS", info, &info->focusPosition, info->focusPosition);
  findStringKeyword("IMAGETYP", info, info->imageType, "");
  findIntKeyword("GAINSET", info, &info->gainSetting, 0);
  findFloatKeyword("GAIN ", info, &info->gain, 0.0f);
  findFloatKeyword("RONOISE", info, &info->readNoise, 0.0f);
  findFloatKeyword("DKCURRNT", info, &info->darkCurrent, 0.0f);
  findStringKeyword("DATE-LOC", info, info->dateLocal, "");
  findStringKeyword("SITELAT", info, info->siteLatitude, "");
  findStringKeyword("SITELONG", info, info->siteLongitude, "");
  findFloatKeyword("CCD-TEMP", info, &info->ccdTemp, 999.0f);
  findFloatKeyword("SET-TEMP", info, &info->setTemp, 999.0f);
  findFloatKeyword("TEMPERAT", info, &info->ambientTemp, 999.0f);
  findFloatKeyword("SKYTEMP", info, &info->skyTemp, 999.0f);
  findFloatKeyword("OTATEMP", info, &info->otaTemp, 999.0f);
  findFloatKeyword("WINDSPD", info, &info->windSpeed, 999.0f);
  findStringKeyword("DATE-OBS", info, info->dateObs, "");
  findStringKeyword("JD", info, info->julianDate, "");
  findStringKeyword("FILTER", info, info->filter, "none");
  findStringKeyword("OBJECT", info, info->object, "");
  findStringKeyword("CAMERA", info, info->camera, "");
  findIntKeyword("XBINNING", info, &info->xBinning, 1);
  findIntKeyword("HWBIN", info, &info->hwBin, 0);
  findIntKeyword("HISPEED", info, &info->hiSpeed, 0);
  findFloatKeyword("APTAREA", info, &info->apertureArea, 0.0f);
  findFloatKeyword("APTDIA", info, &info->apertureDiameter, 0.0f);
  findFloatKeyword("FOCALLEN", info, &info->focalLength, 0.0f);
  findFloatKeyword("XPIXSZ", info, &info->xPixelSize, 0.0f);
  findFloatKeyword("IMAGESZX", info, &info->imageSizeX, 0.0f);
  findFloatKeyword("POSANGLE", info, &info->positionAngle, 999.0f);
  findFloatKeyword("ROTANGLE", info, &info->rotatorAngle, 999.0f);
  findFloatKeyword("OAGANGLE", info, &info->oagAngle, 999.0f);
  findFloatKeyword("SKYANGLE", info, &info->skyAngle, 999.0f);
  findFloatKeyword("ANGLE", info, &info->angle, 999.0f);
  findStringKeyword("QZCOM1", info, info->comment1, "");
  findStringKeyword("QZCOM2", info, info->comment2, "");
  findStringKeyword("QZCOM3", info, info->comment3, "");
  findFloatKeyword("PIXSCALE", info, &info->pixelScale, 0.0f);
}

void initFitsInfo(FitsInfo* info) {
  if (info == nullptr) return;
  info->floatArray = nullptr;
  info->naxis1 = 0;
  info->naxis2 = 0;
  info->fitsHeader = nullptr;
  info->headerBytes = 0;
  info->trailingBytes = 0;
  info->airmass = 999.0f;
  info->objectAltitude = 999.0f;
  info->objectAzimuth = 999.0f;
  info->bzero = 0.0f;
  info->rotatorAngle = 999.0f;
  info->oagAngle = 999.0f;
  info->skyAngle = 999.0f;
  info->angle = 999.0f;
  info->positionAngle = 999.0f;
  info->imageType[0] = '\0';
  info->hiSpeed = 0;
  info->gain = 0.0f;
  info->readNoise = 0.0f;
  info->darkCurrent = 0.0f;
  info->bitpix = 0;
  info->exposure = 0.0f;
  info->dateObs[0] = '\0';
  info->filter[0] = '\0';
  info->julianDate[0] = '\0';
  info->dateLocal[0] = '\0';
  info->siteLatitude[0] = '\0';
  info->siteLongitude[0] = '\0';
  info->object[0] = '\0';
  info->xBinning = 1;
  info->hwBin = 0;
  info->focalLength = 0.0f;
  info->apertureArea = 0.0f;
  info->xPixelSize = 0.0f;
  info->pixelScale = 0.0f;
  info->apertureDiameter = 0.0f;
  info->ccdTemp = 999.0f;
  info->setTemp = 999.0f;
  info->ambientTemp = 999.0f;
  info->skyTemp = 999.0f;
  info->otaTemp = 999.0f;
  info->windSpeed = 999.0f;
  info->objectRa[0] = '\0';
  info->objectDec[0] = '\0';
  info->ra = 999.0f;
  info->dec = 999.0f;
  info->focusPosition = 0;
  info->focusTemp = 999.0f;
  info->comment1[0] = '\0';
  info->comment2[0] = '\0';
  info->comment3[0] = '\0';
  info->imageSizeX = 0.0f;
  info->gainSetting = -1;
  info->camera[0] = '\0';
}

void releaseFitsInfo(FitsInfo* info) {
  if (info == nullptr) return;
  freeFloats(info);
  freeHeader(info);
  initFitsInfo(info);
}

namespace {

FILE* openHeader(const char* path, FitsInfo* info);
int readFitsTo(const char* path, FitsInfo* info, const FitsSampleTarget* target);

}  // namespace

int readFits(const char* path, FitsInfo* info) {
  return readFitsTo(path, info, nullptr);
}

int readFitsInto(const char* path, FitsInfo* info, const FitsSampleTarget& target) {
  return readFitsTo(path, info, &target);
}

int readFitsHeader(const char* path, FitsInfo* info) {
  FILE* file = openHeader(path, info);
  if (file == nullptr) return -1;
  std::fclose(file);
  return 0;
}

namespace {

// Opens the file and reads its header into `info` with the geometry, BITPIX and BZERO: everything
// the pixel read needs, a BITPIX it cannot decode refused. Returns the open file positioned at
// the pixel data, or null after reporting (the header is then freed and the file closed).
FILE* openHeader(const char* path, FitsInfo* info) {
  if (info == nullptr) {
    reportError(stderr, "%s (%d):  fitsInfoPtr is NULL\r\n", kSourceName, kLineNullInfo);
    return nullptr;
  }
  bool regular = true;
  FILE* file = openRegularFile(path, &regular);
  if (file == nullptr) {
    reportError(stderr, "%s (%d):  error opening file:  ", kSourceName, kLineOpen);
    if (regular) {
      std::perror(path);
    } else {
      reportError(stderr, "%s: not a regular file\n", path);
    }
    return nullptr;
  }

  const int64_t headerBytes = scanHeader(file, path);
  if (headerBytes < 0) {
    std::fclose(file);
    return nullptr;
  }
  std::rewind(file);
  freeHeader(info);
  if (headerBytes > kMaxBufferBytes ||
      (info->fitsHeader = static_cast<char*>(allocate(headerBytes))) == nullptr) {
    reportError(stderr, "%s (%d):  can't malloc fitsHeader\r\n", kSourceName, kLineMallocHeader);
    std::fclose(file);
    return nullptr;
  }
  info->headerBytes = static_cast<int32_t>(headerBytes);
  const size_t headerRead = std::fread(info->fitsHeader, 1, static_cast<size_t>(headerBytes), file);
  // Only if the file shrank since the scan; keep the lookups away from uninitialised bytes.
  if (headerRead < static_cast<size_t>(headerBytes))
    std::memset(info->fitsHeader + headerRead, 0, static_cast<size_t>(headerBytes) - headerRead);

  auto fail = [&]() -> FILE* {
    std::fclose(file);
    freeHeader(info);
    return nullptr;
  };

  // The geometry and sample format must be numbers; a card that is present but does not parse
  // is refused like a missing one.
  if (lookupInt("NAXIS1", info, &info->naxis1, 0) != Lookup::kParsed) {
    reportError(stderr, "%s (%d):  can't read fits param NAXIS1\r\n", kSourceName, kLineNaxis1);
    return fail();
  }
  if (info->naxis1 < 0) {
    reportError(stderr, "negative x size read from fits header\n");
    return fail();
  }
  if (lookupInt("NAXIS2", info, &info->naxis2, 0) != Lookup::kParsed) {
    reportError(stderr, "%s (%d):  can't read fits param NAXIS2\r\n", kSourceName, kLineNaxis2);
    return fail();
  }
  if (info->naxis2 < 0) {
    reportError(stderr, "negative y size read from fits header\n");
    return fail();
  }
  int32_t bitpix = 0;
  if (lookupInt("BITPIX", info, &bitpix, 0) != Lookup::kParsed) {
    reportError(stderr, "%s (%d):  can't read fits param BITPIX\r\n", kSourceName, kLineBitpix);
    return fail();
  }
  findFloatKeyword("BZERO", info, &info->bzero, 0.0f);
  info->bitpix = bitpix;
  // Refused before anything is allocated for the pixels.
  if (bitpix != -32 && bitpix != 16 && bitpix != 8) {
    reportError(stderr, "%s (%d):  unsupported FITS format: %d\r\n", kSourceName, kLineUnsupported,
                bitpix);
    return fail();
  }
  return file;
}

int readFitsTo(const char* path, FitsInfo* info, const FitsSampleTarget* target) {
  FILE* file = openHeader(path, info);
  if (file == nullptr) return -1;
  auto fail = [&]() {
    std::fclose(file);
    freeHeader(info);
    return -1;
  };
  if (target != nullptr && target->onlyThisSize &&
      (info->naxis1 != target->width || info->naxis2 != target->height)) {
    std::fclose(file);
    freeHeader(info);
    return 2;
  }
  const int32_t bitpix = info->bitpix;
  const float bzero = info->bzero;
  // Both factors are non-negative 32-bit values, so the product cannot overflow 64 bits.
  const int64_t count = int64_t{info->naxis1} * int64_t{info->naxis2};
  // The caller's buffers hold this image: nothing to allocate, so nothing can fail to be.
  const bool direct = target != nullptr && target->pixels != nullptr && count > 0 &&
                      info->naxis1 == target->width && info->naxis2 == target->height &&
                      target->raw != nullptr && target->rawBytes >= 2 * count;
  if (direct) freeFloats(info);

  switch (bitpix) {
    case -32: {
      float* out = direct ? target->pixels : nullptr;
      if (!direct) {
        freeFloats(info);
        info->floatArray = static_cast<float*>(allocate(bufferBytes(count, 4)));
        if (info->floatArray == nullptr) {
          reportError(stderr, "%s (%d):  can't malloc floatArray\r\n", kSourceName,
                      kLineMallocFloat32);
          return fail();
        }
        out = info->floatArray;
      }
      const int64_t got = readItems(out, 4, count, file);
      auto* bytes = reinterpret_cast<unsigned char*>(out);
      for (int64_t i = 0; i < got; ++i) {
        out[i] = std::bit_cast<float>(bigEndian32(bytes + 4 * i)) + bzero;
      }
      for (int64_t i = got; i < count; ++i) out[i] = 0.0f;
      break;
    }
    case 16: {
      unsigned char* fileArray = direct ? target->raw : nullptr;
      if (!direct && !allocateSampleBuffers(info, count, 2, kLineMallocFile16, kLineMallocFloat16,
                                            &fileArray)) {
        return fail();
      }
      const int64_t got = readItems(fileArray, 2, count, file);
      float* out = direct ? target->pixels : info->floatArray;
      // Without BZERO the words are unsigned (0..65535); with it they are signed plus BZERO,
      // which is how the usual unsigned convention (BZERO = 32768) arrives at the same values.
      if (bzero == 0.0f) {
        for (int64_t i = 0; i < got; ++i) {
          const auto word = static_cast<uint16_t>((fileArray[2 * i] << 8) | fileArray[2 * i + 1]);
          out[i] = static_cast<float>(word);
        }
      } else {
        for (int64_t i = 0; i < got; ++i) {
          const auto word = static_cast<uint16_t>((fileArray[2 * i] << 8) | fileArray[2 * i + 1]);
          out[i] = static_cast<float>(static_cast<int16_t>(word)) + bzero;
        }
      }
      for (int64_t i = got; i < count; ++i) out[i] = 0.0f;
      if (!direct) std::free(fileArray);
      break;
    }
    case 8: {
      unsigned char* fileArray = direct ? target->raw : nullptr;
      if (!direct &&
          !allocateSampleBuffers(info, count, 1, kLineMallocFile8, kLineMallocFloat8, &fileArray)) {
        return fail();
      }
      const int64_t got = readItems(fileArray, 1, count, file);
      float* out = direct ? target->pixels : info->floatArray;
      for (int64_t i = 0; i < got; ++i) out[i] = static_cast<float>(fileArray[i]);
      for (int64_t i = got; i < count; ++i) out[i] = 0.0f;
      if (!direct) std::free(fileArray);
      break;
    }
    default:
      return fail();  // refused with the header
  }

  readFitsKeywords(info);

  // Whatever follows the samples: block fill, further planes, extensions. A file that ended
  // inside the data leaves the position at its end, hence 0.
  const long dataEnd = std::ftell(file);
  long fileEnd = -1;
  if (dataEnd >= 0 && std::fseek(file, 0, SEEK_END) == 0) fileEnd = std::ftell(file);
  int64_t trailing = fileEnd > dataEnd ? int64_t{fileEnd} - int64_t{dataEnd} : 0;
  if (trailing > kMaxBufferBytes) trailing = kMaxBufferBytes;
  info->trailingBytes = static_cast<int32_t>(trailing);

  std::fclose(file);
  return direct ? 1 : 0;
}

}  // namespace

}  // namespace korrin
