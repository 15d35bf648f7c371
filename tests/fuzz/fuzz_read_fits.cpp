// readFits (and the image frame built on it) on arbitrary file contents.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// The reader honestly allocates what a header asks for (up to 2 GiB), and zero-fills samples
// missing from a short file. That is correct and covered by the hostile corpus, but a fuzzer
// that keeps asking for gigabytes measures only memset speed, so large geometries are left out.
bool modestGeometry(const uint8_t* data, size_t size) {
  korrin::FitsInfo probe;
  korrin::initFitsInfo(&probe);
  probe.fitsHeader = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
  probe.headerBytes = static_cast<int32_t>(size > 0x7fffffff ? 0x7fffffff : size);
  int32_t naxis1 = 0;
  int32_t naxis2 = 0;
  korrin::findIntKeyword("NAXIS1", &probe, &naxis1, 0);
  korrin::findIntKeyword("NAXIS2", &probe, &naxis2, 0);
  const int64_t samples = int64_t{naxis1 < 0 ? 0 : naxis1} * int64_t{naxis2 < 0 ? 0 : naxis2};
  return samples <= (int64_t{16} << 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!modestGeometry(data, size)) return 0;
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
  if (korrin::loadFrame(&frame, path.c_str()) == 0 && frame.pixelCount > 0) {
    volatile float sink = frame.pixels[frame.pixelCount - 1];
    (void)sink;
  }
  korrin::releaseFrame(&frame);
  korrin::releaseFrame(&frame);
  return 0;
}
