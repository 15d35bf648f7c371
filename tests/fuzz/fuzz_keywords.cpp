// The keyword lookups and the keyword table on arbitrary header bytes and keyword names.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fits/fitsio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte: length of the looked-up name; then the name; the rest is the header. The header
  // lives in an exactly sized block so that any read past headerBytes is caught.
  if (size < 1) return 0;
  const size_t nameLength = std::min<size_t>(data[0] % 12, size - 1);
  const std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
  const size_t headerBytes = size - 1 - nameLength;
  auto header = std::make_unique<char[]>(headerBytes == 0 ? 1 : headerBytes);
  if (headerBytes > 0) std::memcpy(header.get(), data + 1 + nameLength, headerBytes);

  korrin::FitsInfo info;
  korrin::initFitsInfo(&info);
  info.fitsHeader = header.get();
  info.headerBytes = static_cast<int32_t>(headerBytes);

  int32_t i = 0;
  float f = 0.0f;
  char text[korrin::kFitsTextSize];
  korrin::findIntKeyword(name.c_str(), &info, &i, 7);
  korrin::findFloatKeyword(name.c_str(), &info, &f, 7.0f);
  korrin::findStringKeyword(name.c_str(), &info, text, "default");
  if (std::strlen(text) >= korrin::kFitsTextSize) __builtin_trap();
  korrin::findIntKeyword(name.c_str(), &info, nullptr, 0);
  korrin::findStringKeyword(name.c_str(), &info, nullptr, "x");

  korrin::readFitsKeywords(&info);
  // The stacking summary parse that the image frame applies to QZCOM1.
  int stack = 0;
  int exposures = 0;
  float total = 0.0f;
  korrin::scanText(info.comment1, "mstack %d nexp %d exptotal %f", &stack, &exposures, &total);

  info.fitsHeader = nullptr;  // owned by the unique_ptr
  korrin::releaseFitsInfo(&info);
  return 0;
}
