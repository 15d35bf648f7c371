#include "tools/prepare/ser_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korrin::prepare {

namespace {

int32_t little32(const unsigned char* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                              uint32_t{p[3]} << 24);
}

int64_t little64(const unsigned char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
  return static_cast<int64_t>(value);
}

std::string text(const unsigned char* p, size_t length) {
  std::string value(reinterpret_cast<const char*>(p), length);
  value = value.substr(0, value.find('\0'));
  while (!value.empty() && value.back() == ' ') value.pop_back();
  // Keep the text printable; it ends up in FITS cards, which hold ASCII only.
  for (char& c : value) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return value;
}

// Days from 1970-01-01 to the given proleptic Gregorian date (H. Hinnant's algorithm), and back.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerDay = 86'400 * kTicksPerSecond;

}  // namespace

SerHeader parseSerHeader(const unsigned char (&b)[kSerHeaderBytes]) {
  SerHeader h;
  h.fileId.assign(reinterpret_cast<const char*>(b), 14);
  h.luId = little32(b + 14);
  h.colorId = little32(b + 18);
  h.littleEndian = little32(b + 22);
  h.width = little32(b + 26);
  h.height = little32(b + 30);
  h.pixelDepth = little32(b + 34);
  h.frameCount = little32(b + 38);
  h.observer = text(b + 42, 40);
  h.instrument = text(b + 82, 40);
  h.telescope = text(b + 122, 40);
  h.dateTime = little64(b + 162);
  h.dateTimeUtc = little64(b + 170);
  return h;
}

std::string bayerPattern(int32_t colorId) {
  switch (colorId) {
    case 8:
      return "RGGB";
    case 9:
      return "GRBG";
    case 10:
      return "GBRG";
    case 11:
      return "BGGR";
    case 16:
      return "CYYM";
    case 17:
      return "YCMY";
    case 18:
      return "YMCY";
    case 19:
      return "MYYC";
    default:
      return {};
  }
}

std::string isoFromTicks(int64_t ticks) {
  static const int64_t kFirst = 0;
  static const int64_t kEnd = (daysFromCivil(10000, 1, 1) - daysFromCivil(1, 1, 1)) * kTicksPerDay;
  if (ticks <= kFirst || ticks >= kEnd) return {};
  const int64_t days = ticks / kTicksPerDay + daysFromCivil(1, 1, 1);
  const int64_t inDay = ticks % kTicksPerDay;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  civilFromDays(days, year, month, day);
  const int64_t seconds = inDay / kTicksPerSecond;
  char out[40];
  std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02d.%06d", static_cast<int>(year),
                month, day, static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60), static_cast<int>(inDay % kTicksPerSecond / 10));
  return out;
}

SerReader::SerReader(const ByteSource& source, ByteOrder order) : source_(source) {
  const std::string& name = source.name();
  unsigned char bytes[kSerHeaderBytes];
  if (!source.read(0, bytes, sizeof bytes)) {
    throw InputError(name + ": too short for a SER header (" + std::to_string(source.size()) +
                     " bytes, a SER file starts with 178)");
  }
  header_ = parseSerHeader(bytes);
  const SerHeader& h = header_;
  if (h.fileId != "LUCAM-RECORDER") {
    throw InputError(name + ": not a SER file (it does not start with LUCAM-RECORDER)");
  }
  if (h.width <= 0 || h.height <= 0) {
    throw InputError(name + ": the header gives a frame size of " + std::to_string(h.width) +
                     " x " + std::to_string(h.height));
  }
  if (h.pixelDepth < 1 || h.pixelDepth > 16) {
    throw InputError(name + ": unsupported bit depth " + std::to_string(h.pixelDepth) +
                     " (SER samples have 1 to 16 bits)");
  }
  if (h.colorId == 100 || h.colorId == 101) {
    planes_ = 3;
  } else if (h.colorId != 0 && bayerPattern(h.colorId).empty()) {
    throw InputError(name + ": unknown colour format (ColorID " + std::to_string(h.colorId) + ")");
  }
  if (h.frameCount <= 0) {
    throw InputError(name + ": the header gives " + std::to_string(h.frameCount) + " frames");
  }
  bytesPerSample_ = h.pixelDepth > 8 ? 2 : 1;
  const uint64_t data = source.size() - kSerHeaderBytes;
  // Both sides are below 2^31, so the pixel count cannot overflow; once it is known to fit the
  // file, neither can the byte count.
  const uint64_t pixels = uint64_t(uint32_t(h.width)) * uint32_t(h.height);
  frameBytes_ = pixels <= data ? pixels * uint32_t(planes_) * uint32_t(bytesPerSample_) : 0;
  const uint64_t complete = frameBytes_ == 0 ? 0 : data / frameBytes_;
  if (complete == 0) {
    throw InputError(name + ": the header claims " + std::to_string(h.frameCount) + " frames of " +
                     std::to_string(h.width) + " x " + std::to_string(h.height) +
                     " pixels, but the file holds " + std::to_string(data) +
                     " bytes after the header, not one complete frame");
  }
  frames_ = static_cast<int64_t>(std::min<uint64_t>(complete, uint64_t(h.frameCount)));
  const uint64_t trailerStart = kSerHeaderBytes + frameBytes_ * uint64_t(h.frameCount);
  hasTrailer_ = complete >= uint64_t(h.frameCount) &&
                source.size() >= trailerStart + 8 * uint64_t(h.frameCount);

  if (bytesPerSample_ == 1 || order == ByteOrder::kLittle) {
    littleEndian_ = true;
  } else if (order == ByteOrder::kBig) {
    littleEndian_ = false;
  } else {
    littleEndian_ = decideLittleEndian();
  }
}

bool SerReader::decideLittleEndian() {
  // Read in the wrong order, the noisy low byte becomes the high byte, so neighbouring samples of
  // one plane jump by hundreds where the right order moves by a few: the smoother reading wins.
  // A tie (flat or empty frames) leaves it to the header.
  const bool flag = header_.littleEndian != 0;
  const int64_t samples = int64_t(header_.width) * header_.height * planes_;
  const int64_t limit = std::min<int64_t>(samples, 1 << 21);
  std::vector<unsigned char> raw(static_cast<size_t>(limit) * 2);
  double roughLittle = 0, roughBig = 0;
  const int64_t framesToLook = std::min<int64_t>(frames_, 2);
  for (int64_t f = 0; f < framesToLook; ++f) {
    if (!source_.read(kSerHeaderBytes + uint64_t(f) * frameBytes_, raw.data(), raw.size())) break;
    for (int64_t i = planes_; i < limit; ++i) {
      const int a = raw[2 * i] | raw[2 * i + 1] << 8;
      const int b = raw[2 * (i - planes_)] | raw[2 * (i - planes_) + 1] << 8;
      const int aBig = raw[2 * i] << 8 | raw[2 * i + 1];
      const int bBig = raw[2 * (i - planes_)] << 8 | raw[2 * (i - planes_) + 1];
      roughLittle += std::abs(a - b);
      roughBig += std::abs(aBig - bBig);
    }
  }
  orderFromData_ = roughLittle != roughBig;
  return orderFromData_ ? roughLittle < roughBig : flag;
}

double SerReader::maxValue() const {
  const double top = bytesPerSample_ == 1 ? 255.0 : 65535.0;
  return top * planes_;
}

void decodeSerSamples(const unsigned char* raw, int64_t pixels, int planes, int bytesPerSample,
                      bool littleEndian, float* out) {
  if (bytesPerSample == 1) {
    if (planes == 1) {
      for (int64_t i = 0; i < pixels; ++i) out[i] = raw[i];
    } else {
      for (int64_t i = 0; i < pixels; ++i) {
        const unsigned char* p = raw + 3 * i;
        out[i] = static_cast<float>(p[0] + p[1] + p[2]);
      }
    }
    return;
  }
  if (planes == 1) {
    // Separate loops for the two orders, so each is a plain load, swap and convert.
    if (littleEndian) {
      for (int64_t i = 0; i < pixels; ++i)
        out[i] = static_cast<float>(raw[2 * i] | raw[2 * i + 1] << 8);
    } else {
      for (int64_t i = 0; i < pixels; ++i)
        out[i] = static_cast<float>(raw[2 * i] << 8 | raw[2 * i + 1]);
    }
    return;
  }
  const int low = littleEndian ? 0 : 1;
  const int high = 1 - low;
  for (int64_t i = 0; i < pixels; ++i) {
    const unsigned char* p = raw + 6 * i;
    out[i] = static_cast<float>((p[low] | p[high] << 8) + (p[2 + low] | p[2 + high] << 8) +
                                (p[4 + low] | p[4 + high] << 8));
  }
}

void SerReader::readFrame(int64_t index, std::vector<unsigned char>& raw, float* out) const {
  raw.resize(frameBytes_);
  if (index < 0 || index >= frames_ ||
      !source_.read(kSerHeaderBytes + uint64_t(index) * frameBytes_, raw.data(), raw.size())) {
    throw InputError(source_.name() + ": cannot read frame " + std::to_string(index + 1));
  }
  decodeSerSamples(raw.data(), int64_t(header_.width) * header_.height, planes_, bytesPerSample_,
                   littleEndian_, out);
}

int64_t SerReader::timestamp(int64_t index) const {
  if (!hasTrailer_ || index < 0 || index >= frames_) return 0;
  unsigned char bytes[8];
  const uint64_t at =
      kSerHeaderBytes + frameBytes_ * uint64_t(header_.frameCount) + 8 * uint64_t(index);
  if (!source_.read(at, bytes, 8)) return 0;
  return little64(bytes);
}

}  // namespace korrin::prepare
