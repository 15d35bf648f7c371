// korrin-prepare's readers of camera recordings on arbitrary bytes: the SER reader in each byte
// order, and the FITS image and cube reader (cfitsio on a memory file). Every frame they agree to
// deliver is decoded in full.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/prepare/fits_input.h"
#include "tools/prepare/ser_reader.h"

namespace {

using korrin::prepare::ByteOrder;
using korrin::prepare::InputError;

// A header may announce frames of any size; a fuzzer that keeps decoding huge ones measures
// only memset speed, so the work per input is capped.
constexpr int64_t kMaxPixels = int64_t{1} << 22;

void readSer(const uint8_t* data, size_t size) {
  const korrin::prepare::MemoryBytes bytes(data, size, "input.ser");
  for (ByteOrder order : {ByteOrder::kAuto, ByteOrder::kLittle, ByteOrder::kBig}) {
    try {
      const korrin::prepare::SerReader ser(bytes, order);
      const int64_t pixels = int64_t{ser.header().width} * ser.header().height;
      if (pixels > kMaxPixels) return;
      std::vector<unsigned char> raw;
      std::vector<float> frame(static_cast<size_t>(pixels));
      for (int64_t i = 0; i < ser.frames() && (i + 1) * pixels <= kMaxPixels; ++i) {
        ser.readFrame(i, raw, frame.data());
        (void)ser.timestamp(i);
        (void)korrin::prepare::isoFromTicks(ser.timestamp(i));
      }
      (void)korrin::prepare::isoFromTicks(ser.header().dateTimeUtc);
    } catch (const InputError&) {
    }
  }
}

void readFits(const uint8_t* data, size_t size) {
  try {
    korrin::prepare::FitsInput input(data, size, "input.fits");
    const int64_t pixels = int64_t{input.width()} * input.height();
    if (pixels > kMaxPixels) return;
    std::vector<float> plane(static_cast<size_t>(pixels));
    for (int64_t i = 0; i < input.planes() && (i + 1) * pixels <= kMaxPixels; ++i) {
      input.readPlane(i, plane.data());
    }
  } catch (const InputError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 14 && std::memcmp(data, "LUCAM-RECORDER", 14) == 0) {
    readSer(data, size);
  } else {
    readFits(data, size);
  }
  return 0;
}
