// readFits (and the image frame built on it) on arbitrary file contents, and the route that
// decodes into caller buffers checked against it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fits/fitsio.h"
#include "fits/image_frame.h"

namespace {

// One memory-backed file for the whole session, rewritten per input; readFits opens it by path
// like any other file.
int memoryFile() {
  static const int fd = [] {
    const int f = memfd_create("korrin-fuzz-fits", 0);
    if (f < 0) std::abort();
    return f;
  }();
  return fd;
}

// The NAXIS1 and NAXIS2 the reader will see (0 when absent or negative).
struct Geometry {
  int32_t naxis1 = 0;
  int32_t naxis2 = 0;
};

Geometry geometryOf(const uint8_t* data, size_t size) {
  korrin::FitsInfo probe;
  korrin::initFitsInfo(&probe);
  probe.fitsHeader = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
  probe.headerBytes = static_cast<int32_t>(size > 0x7fffffff ? 0x7fffffff : size);
  Geometry g;
  korrin::findIntKeyword("NAXIS1", &probe, &g.naxis1, 0);
  korrin::findIntKeyword("NAXIS2", &probe, &g.naxis2, 0);
  g.naxis1 = g.naxis1 < 0 ? 0 : g.naxis1;
  g.naxis2 = g.naxis2 < 0 ? 0 : g.naxis2;
  return g;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader honestly allocates what a header asks for (up to 2 GiB), and zero-fills samples
  // missing from a short file. That is correct and covered by the hostile corpus, but a fuzzer
  // that keeps asking for gigabytes measures only memset speed, so large geometries are left out.
  const Geometry geometry = geometryOf(data, size);
  if (int64_t{geometry.naxis1} * geometry.naxis2 > (int64_t{16} << 20)) return 0;
  const int fd = memoryFile();
  if (ftruncate(fd, 0) != 0) std::abort();
  size_t written = 0;
  while (written < size) {
    const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (n <= 0) std::abort();
    written += static_cast<size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  korrin::FitsInfo info;
  korrin::initFitsInfo(&info);
  if (korrin::readFits(path.c_str(), &info) == 0) {
    // Touch every pixel so a short buffer cannot go unnoticed.
    const int64_t count = int64_t{info.naxis1} * info.naxis2;
    volatile float sink = 0.0f;
    for (int64_t i = 0; i < count; ++i) sink = sink + info.floatArray[i];
    (void)sink;
  }
  korrin::releaseFitsInfo(&info);
  korrin::releaseFitsInfo(&info);  // releasing twice must be harmless

  korrin::ImageFrame frame{};
  korrin::initFrame(&frame);
  const int plainStatus = korrin::loadFrame(&frame, path.c_str());
  if (plainStatus == 0 && frame.pixelCount > 0) {
    volatile float sink = frame.pixels[frame.pixelCount - 1];
    (void)sink;
  }

  // Buffers sized exactly for the header's own geometry (when small), so the direct route is
  // taken and the sanitizer sees any access past them.
  const bool small = int64_t{geometry.naxis1} * geometry.naxis2 <= 65536;
  const int32_t width = small ? geometry.naxis1 : 8;
  const int32_t height = small ? geometry.naxis2 : 8;
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  auto pixels = std::make_unique<float[]>(count);
  auto raw = std::make_unique<unsigned char[]>(2 * count);
  const korrin::FitsSampleTarget target{pixels.get(), width, height, raw.get(),
                                        static_cast<int64_t>(2 * count)};
  korrin::ImageFrame direct{};
  korrin::initFrame(&direct);
  const int status = korrin::loadFrameInto(&direct, path.c_str(), target);
  if (status != plainStatus) std::abort();
  if (status == 0 && frame.pixelCount > 0 &&
      std::memcmp(frame.pixels, direct.pixels, sizeof(float) * frame.pixelCount) != 0) {
    std::abort();
  }
  korrin::releaseFrame(&direct);
  korrin::releaseFrame(&frame);
  korrin::releaseFrame(&frame);
  return 0;
}
