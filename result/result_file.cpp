#include "result/result_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <system_error>

#include "spectral/bispectrum.h"

namespace korrin {

namespace {

// Buffered little-endian writer over stdio. It remembers the first failure instead of checking
// every call, so the caller can decide once whether the file is complete.
class LittleEndianWriter {
 public:
  explicit LittleEndianWriter(std::FILE* file) : file_(file) { buffer_.reserve(kChunk); }

  void int32(int32_t v) { bytes(static_cast<uint32_t>(v)); }
  void float32(float v) { bytes(std::bit_cast<uint32_t>(v)); }
  void float64(double v) { bytes(std::bit_cast<uint64_t>(v)); }

  // Flushes the buffer; true when every byte reached the stream without error.
  bool finish() {
    flush();
    if (std::fflush(file_) != 0 || std::ferror(file_)) ok_ = false;
    return ok_;
  }

 private:
  static constexpr size_t kChunk = size_t{1} << 20;

  template <class U>
  void bytes(U v) {
    unsigned char little[sizeof v];
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(little, &v, sizeof v);
    } else {
      for (size_t i = 0; i < sizeof v; ++i) little[i] = static_cast<unsigned char>(v >> (8 * i));
    }
    buffer_.insert(buffer_.end(), little, little + sizeof v);
    if (buffer_.size() >= kChunk) flush();
  }

  void flush() {
    if (!buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
      ok_ = false;
    }
    buffer_.clear();
  }

  std::FILE* file_;
  std::vector<unsigned char> buffer_;
  bool ok_ = true;
};

// Pairs whose frequency -(u+v) lies inside the spectrum, along one axis: 0 <= w/2 - (a+b) < w.
bool inSpectrum(int width, int a, int b) {
  const int c = width / 2 - (a + b);
  return c >= 0 && c < width;
}

void writeContents(LittleEndianWriter& out, int32_t width, int32_t frameCount, int32_t kmax,
                   int32_t dkmax, const std::vector<std::vector<float>>& power,
                   const std::vector<std::vector<float>>& bispRe,
                   const std::vector<std::vector<float>>& bispIm) {
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(width);
  const float divisor = static_cast<float>(frameCount);

  std::vector<double> meanPower(pixels, 0.0);
  for (const auto& slot : power) {
    for (size_t i = 0; i < pixels; ++i) meanPower[i] += static_cast<double>(slot[i] / divisor);
  }

  out.int32(width);
  double powerTotal = 0.0;
  // Column by column: all y frequencies of the lowest x frequency first.
  for (int32_t c = 0; c < width; ++c) {
    for (int32_t r = 0; r < width; ++r) {
      const double v = meanPower[static_cast<size_t>(r) * width + c];
      out.float64(v);
      powerTotal += v;
    }
  }
  out.float64(powerTotal);
  out.int32(kmax);
  out.int32(dkmax);

  // Each element's sum is taken over the slots in slot order, exactly as a full table would be.
  const auto elements = static_cast<size_t>(bispectrumSize(kmax, dkmax));
  std::vector<float> phase(elements);
  const auto phasesOf = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      double re = 0.0;
      double im = 0.0;
      for (size_t t = 0; t < bispRe.size(); ++t) {
        re += static_cast<double>(bispRe[t][i]);
        im += static_cast<double>(bispIm[t][i]);
      }
      phase[i] = static_cast<float>(std::atan2(im, re));
    }
  };
  // Millions of arc tangents are a noticeable part of a short run. Every element is computed
  // alone, so splitting the range over as many threads as the run had workers cannot change a
  // bit of the result.
  const size_t parts = std::max<size_t>(1, std::min<size_t>(bispRe.size(), elements / 65536));
  std::vector<std::future<void>> helpers;
  for (size_t p = 1; p < parts; ++p) {
    helpers.push_back(
        std::async(std::launch::async, phasesOf, elements * p / parts, elements * (p + 1) / parts));
  }
  phasesOf(0, elements / parts);
  for (auto& h : helpers) h.get();

  // File order differs from memory order: ux outermost, then uy, vx, vy.
  double phaseTotal = 0.0;
  for (int ux = -kmax; ux <= kmax; ++ux) {
    for (int uy = 0; uy <= kmax; ++uy) {
      for (int vx = -dkmax; vx <= dkmax; ++vx) {
        if (!inSpectrum(width, ux, vx)) continue;
        for (int vy = -dkmax; vy <= dkmax; ++vy) {
          if (!inSpectrum(width, uy, vy)) continue;
          const float p = phase[static_cast<size_t>(bispectrumIndex(kmax, dkmax, ux, uy, vx, vy))];
          out.float32(p);
          phaseTotal += static_cast<double>(p);
        }
      }
    }
  }
  out.float64(phaseTotal);
}

// A name beside the target that no other writer uses; opened exclusively so that two runs writing
// the same result cannot share one temporary file.
std::FILE* openTemporaryBeside(const std::filesystem::path& target,
                               std::filesystem::path& tempPath) {
  std::random_device seed;
  std::mt19937 pick(seed());
  for (int attempt = 0; attempt < 16; ++attempt) {
    tempPath = target;
    tempPath += ".tmp" + std::to_string(pick() % 1000000000u);
    if (std::FILE* f = std::fopen(tempPath.c_str(), "wbx")) return f;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

}  // namespace

int64_t phaseCount(int32_t width, int32_t kmax, int32_t dkmax) {
  int64_t xPairs = 0;
  for (int ux = -kmax; ux <= kmax; ++ux) {
    for (int vx = -dkmax; vx <= dkmax; ++vx) xPairs += inSpectrum(width, ux, vx) ? 1 : 0;
  }
  int64_t yPairs = 0;
  for (int uy = 0; uy <= kmax; ++uy) {
    for (int vy = -dkmax; vy <= dkmax; ++vy) yPairs += inSpectrum(width, uy, vy) ? 1 : 0;
  }
  return xPairs * yPairs;
}

void writeResultFile(const std::string& path, int32_t width, int32_t frameCount, int32_t kmax,
                     int32_t dkmax, const std::vector<std::vector<float>>& power,
                     const std::vector<std::vector<float>>& bispRe,
                     const std::vector<std::vector<float>>& bispIm) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target(path);
  const fs::file_status status = fs::status(target, ec);

  // Devices and pipes (/dev/null, a fifo read by another program) cannot be replaced by a rename.
  if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
    if (std::FILE* f = std::fopen(target.c_str(), "wb")) {
      LittleEndianWriter out(f);
      writeContents(out, width, frameCount, kmax, dkmax, power, bispRe, bispIm);
      out.finish();
      std::fclose(f);
    }
    return;
  }

  // Write beside the real file behind a symbolic link, so the link itself survives.
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    const fs::path real = fs::weakly_canonical(target, ec);
    if (!ec) target = real;
  }

  // Written completely under a temporary name and renamed into place, so that a crash or a full
  // disk never leaves a truncated result under the final name.
  fs::path tempPath;
  std::FILE* f = openTemporaryBeside(target, tempPath);
  if (f == nullptr) return;
  bool complete = false;
  try {
    LittleEndianWriter out(f);
    writeContents(out, width, frameCount, kmax, dkmax, power, bispRe, bispIm);
    complete = out.finish();
  } catch (...) {
    std::fclose(f);
    fs::remove(tempPath, ec);
    throw;
  }
  if (std::fclose(f) != 0) complete = false;
  if (complete) {
    fs::rename(tempPath, target, ec);
    if (!ec) return;
  }
  fs::remove(tempPath, ec);
}

}  // namespace korrin
