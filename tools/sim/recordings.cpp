#include "tools/sim/recordings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace korrin {

namespace {

// Random stream of the sky around the window; streams 0 and 1 belong to the simulator.
constexpr std::uint64_t kFieldStream = 2;

void putLittle(unsigned char* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void putText(unsigned char* at, const std::string& text, std::size_t field) {
  std::memset(at, 0, field);
  std::memcpy(at, text.data(), std::min(text.size(), field));
}

std::string fitsError(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  return text;
}

}  // namespace

void quantise(const std::vector<float>& pixels, int bitpix, Samples& out) {
  out.clipped = 0;
  auto level = [&out](float v, double top) {
    const double r = std::nearbyint(static_cast<double>(v));
    if (r > top) {
      ++out.clipped;
      return top;
    }
    return r < 0 ? 0.0 : r;
  };
  if (bitpix == 8) {
    out.bytes.resize(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      out.bytes[i] = static_cast<unsigned char>(level(pixels[i], 255));
    }
  } else if (bitpix == 16) {
    out.words.resize(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      out.words[i] = static_cast<unsigned short>(level(pixels[i], 65535));
    }
  } else {
    out.floats = pixels;
  }
}

FrameGeometry placeSimWindow(int window, int frameWidth, int frameHeight) {
  return {frameWidth, frameHeight, (frameWidth - window) * 3 / 4, (frameHeight - window) * 3 / 4};
}

void embedWindow(const std::vector<float>& window, int size, const FrameGeometry& g,
                 const SimParams& params, std::uint64_t index, std::vector<float>& frame) {
  SimRandom random(params.seed, kFieldStream, index);
  frame.resize(static_cast<std::size_t>(g.width) * static_cast<std::size_t>(g.height));
  for (int y = 0; y < g.height; ++y) {
    for (int x = 0; x < g.width; ++x) {
      float& pixel = frame[static_cast<std::size_t>(y) * g.width + x];
      if (x >= g.x0 && x < g.x0 + size && y >= g.y0 && y < g.y0 + size) {
        pixel = window[static_cast<std::size_t>(y - g.y0) * size + (x - g.x0)];
        continue;
      }
      double value = random.poisson(params.sky);
      if (params.readNoise > 0) value += params.readNoise * random.normal();
      pixel = static_cast<float>(value);
    }
  }
}

std::int64_t serTicks(int year, int month, int day, int hour, int minute, int second) {
  // Days since 0001-01-01 in the proleptic Gregorian calendar.
  const int y = year - 1;
  std::int64_t days = 365LL * y + y / 4 - y / 100 + y / 400;
  static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  days += before[month - 1] + day - 1;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (leap && month > 2) ++days;
  return ((days * 24 + hour) * 60 + minute) * 60LL * 10'000'000LL + second * 10'000'000LL;
}

SerFileWriter::SerFileWriter(const std::string& path, int width, int height, int bitpix,
                             long frames, const SerText& text, std::int64_t startTicks,
                             std::int64_t tickStep)
    : path_(path),
      frameBytes_(static_cast<std::uint64_t>(width) * height * (bitpix == 16 ? 2 : 1)),
      frames_(frames),
      startTicks_(startTicks),
      tickStep_(tickStep) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  unsigned char header[178] = {};
  std::memcpy(header, "LUCAM-RECORDER", 14);
  putLittle(header + 18, 0, 4);  // ColorID: mono
  putLittle(header + 22, 1, 4);  // LittleEndian
  putLittle(header + 26, static_cast<std::uint32_t>(width), 4);
  putLittle(header + 30, static_cast<std::uint32_t>(height), 4);
  putLittle(header + 34, bitpix == 16 ? 16 : 8, 4);  // PixelDepthPerPlane
  putLittle(header + 38, static_cast<std::uint32_t>(frames), 4);
  putText(header + 42, text.observer, 40);
  putText(header + 82, text.instrument, 40);
  putText(header + 122, text.telescope, 40);
  putLittle(header + 162, static_cast<std::uint64_t>(startTicks), 8);
  putLittle(header + 170, static_cast<std::uint64_t>(startTicks), 8);
  put(header, sizeof header, 0);
}

SerFileWriter::~SerFileWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void SerFileWriter::put(const void* bytes, std::size_t count, std::uint64_t offset) {
  const auto* data = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    const ssize_t done = ::pwrite(fd_, data, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    data += done;
    offset += static_cast<std::uint64_t>(done);
    count -= static_cast<std::size_t>(done);
  }
}

void SerFileWriter::write(long index, const Samples& samples) {
  const std::uint64_t offset = 178 + static_cast<std::uint64_t>(index) * frameBytes_;
  if (!samples.words.empty()) {
    std::vector<unsigned char> bytes(samples.words.size() * 2);
    for (std::size_t i = 0; i < samples.words.size(); ++i)
      putLittle(&bytes[2 * i], samples.words[i], 2);
    put(bytes.data(), bytes.size(), offset);
  } else {
    put(samples.bytes.data(), samples.bytes.size(), offset);
  }
}

void SerFileWriter::finish() {
  std::vector<unsigned char> trailer(static_cast<std::size_t>(frames_) * 8);
  for (long i = 0; i < frames_; ++i) {
    putLittle(&trailer[static_cast<std::size_t>(i) * 8],
              static_cast<std::uint64_t>(startTicks_ + i * tickStep_), 8);
  }
  put(trailer.data(), trailer.size(), 178 + frameBytes_ * static_cast<std::uint64_t>(frames_));
  if (::close(fd_) != 0) {
    fd_ = -1;
    throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
  }
  fd_ = -1;
}

CubeWriter::CubeWriter(const std::string& path, int width, int height, int bitpix, long frames,
                       const std::string& object, const std::string& dateObs)
    : path_(path), planeSize_(static_cast<long long>(width) * height) {
  ::unlink(path.c_str());  // the disk-file creator refuses to overwrite
  fits_create_diskfile(&file_, path.c_str(), &status_);
  long axes[3] = {width, height, frames};
  fits_create_img(file_,
                  bitpix == 8    ? BYTE_IMG
                  : bitpix == 16 ? USHORT_IMG
                                 : FLOAT_IMG,
                  3, axes, &status_);
  char objectValue[72];
  std::snprintf(objectValue, sizeof objectValue, "%s", object.c_str());
  fits_update_key(file_, TSTRING, "OBJECT", objectValue, "simulated binary star", &status_);
  fits_update_key_str(file_, "DATE-OBS", dateObs.c_str(), "[UTC] start of the first exposure",
                      &status_);
  fits_write_comment(file_, "Synthetic speckle frames written by korrin-sim, one per plane",
                     &status_);
}

CubeWriter::~CubeWriter() {
  int ignored = 0;
  if (file_ != nullptr) fits_close_file(file_, &ignored);
}

void CubeWriter::write(long index, const Samples& samples) {
  std::lock_guard lock(mutex_);
  const LONGLONG first = index * planeSize_ + 1;
  if (!samples.bytes.empty()) {
    fits_write_img(file_, TBYTE, first, planeSize_,
                   const_cast<unsigned char*>(samples.bytes.data()), &status_);
  } else if (!samples.words.empty()) {
    fits_write_img(file_, TUSHORT, first, planeSize_,
                   const_cast<unsigned short*>(samples.words.data()), &status_);
  } else {
    fits_write_img(file_, TFLOAT, first, planeSize_, const_cast<float*>(samples.floats.data()),
                   &status_);
  }
}

void CubeWriter::finish() {
  int closeStatus = 0;
  if (file_ != nullptr) fits_close_file(file_, &closeStatus);
  file_ = nullptr;
  if (status_ == 0) status_ = closeStatus;
  if (status_ != 0) throw std::runtime_error("cannot write " + path_ + ": " + fitsError(status_));
}

}  // namespace korrin
