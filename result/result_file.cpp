#include "result/result_file.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <random>
#include <system_error>
#include <type_traits>

#include "result/phase.h"
#include "spectral/bispectrum.h"

namespace korrin {

namespace {

// Buffered little-endian writer over stdio. It remembers the first failure instead of checking
// every call, so the caller can decide once whether the file is complete.
class LittleEndianWriter {
 public:
  explicit LittleEndianWriter(std::FILE* file) : file_(file) { buffer_.reserve(kChunk); }

  void int32(int32_t v) { bytes(static_cast<uint32_t>(v)); }
  void float64(double v) { bytes(std::bit_cast<uint64_t>(v)); }

  // A whole array of float or double; on a little-endian machine straight from memory.
  template <class T>
  void values(const T* v, size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
      flush();
      if (n != 0 && std::fwrite(v, sizeof(T), n, file_) != n) ok_ = false;
    } else {
      using Bits = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
      for (size_t i = 0; i < n; ++i) bytes(std::bit_cast<Bits>(v[i]));
    }
  }

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

// The pairs v along one axis for which -(u+v) lies inside the spectrum, for the frequency u on
// that axis: one run of consecutive v (possibly empty), as an offset from -D and a count.
struct VRun {
  int first;
  int count;
};

VRun inSpectrumRun(int width, int u, int dkmax) {
  VRun run{0, 0};
  for (int v = -dkmax; v <= dkmax; ++v) {
    if (!inSpectrum(width, u, v)) continue;
    if (run.count == 0) run.first = v + dkmax;
    ++run.count;
  }
  return run;
}

// Field 6 in file order (ux outermost, then uy, vx, vy; pairs outside the spectrum left out),
// followed by its checksum. For one (ux, uy) the pairs in range form a rectangle of vx x vy,
// taken from the block of (2D+1)^2 sums that (ux, uy) owns in memory (vy, then vx fastest). Each
// element's sum is taken over the slots in slot order, and each element's phase depends on
// nothing else, so the ux values can be shared out among threads without changing a bit. The
// calling thread computes too, and writes every ux as soon as it and all before it are done: the
// file write and the sequential checksum then overlap the arithmetic of the later ones.
void writePhases(LittleEndianWriter& out, int32_t width, int32_t kmax, int32_t dkmax,
                 const std::vector<std::vector<float>>& bispRe,
                 const std::vector<std::vector<float>>& bispIm) {
  const int d2 = 2 * dkmax + 1;
  const auto block = static_cast<size_t>(d2) * static_cast<size_t>(d2);
  const int uxCount = 2 * kmax + 1;
  std::vector<VRun> xRuns(static_cast<size_t>(uxCount));
  for (int ux = -kmax; ux <= kmax; ++ux)
    xRuns[static_cast<size_t>(ux + kmax)] = inSpectrumRun(width, ux, dkmax);
  std::vector<VRun> yRuns(static_cast<size_t>(kmax + 1));
  size_t perX = 0;  // values per vx in range, over all uy
  for (int uy = 0; uy <= kmax; ++uy) {
    yRuns[static_cast<size_t>(uy)] = inSpectrumRun(width, uy, dkmax);
    perX += static_cast<size_t>(yRuns[static_cast<size_t>(uy)].count);
  }
  // Where each ux starts in the file.
  std::vector<size_t> start(xRuns.size() + 1, 0);
  for (size_t i = 0; i < xRuns.size(); ++i) start[i + 1] = start[i] + xRuns[i].count * perX;
  // Left uninitialised: every element is written exactly once, by the thread that owns its ux
  // (which then also takes the page faults).
  const std::unique_ptr<float[]> phases(new float[std::max<size_t>(start.back(), 1)]);

  std::atomic<int> next{0};
  const std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[xRuns.size()]);
  for (size_t i = 0; i < xRuns.size(); ++i) done[i].store(false, std::memory_order_relaxed);

  // Takes ux values in order until none is left. Everything that can fail is allocated before
  // the first one is taken, so a ux once taken is always finished and the writer never waits in
  // vain. With `once`, returns after one ux (the calling thread writes in between).
  struct Scratch {
    explicit Scratch(size_t n) : re(n), im(n), phase(n) {}
    std::vector<double> re, im;
    std::vector<float> phase;
  };
  const auto compute = [&](Scratch& w, bool once) {
    for (int i = next.fetch_add(1); i < uxCount; i = next.fetch_add(1)) {
      const VRun xr = xRuns[static_cast<size_t>(i)];
      float* at = phases.get() + start[static_cast<size_t>(i)];
      for (int uy = 0; uy <= kmax; ++uy) {
        const VRun yr = yRuns[static_cast<size_t>(uy)];
        if (xr.count == 0 || yr.count == 0) continue;
        const auto base =
            static_cast<size_t>(bispectrumIndex(kmax, dkmax, i - kmax, uy, -dkmax, -dkmax));
        std::fill(w.re.begin(), w.re.end(), 0.0);
        std::fill(w.im.begin(), w.im.end(), 0.0);
        for (size_t t = 0; t < bispRe.size(); ++t) {
          const float* sr = bispRe[t].data() + base;
          const float* si = bispIm[t].data() + base;
          for (size_t e = 0; e < block; ++e) {
            w.re[e] += static_cast<double>(sr[e]);
            w.im[e] += static_cast<double>(si[e]);
          }
        }
        phasesOf(w.im.data(), w.re.data(), w.phase.data(), block);
        for (int vx = xr.first; vx < xr.first + xr.count; ++vx) {
          for (int vy = yr.first; vy < yr.first + yr.count; ++vy) {
            *at++ = w.phase[static_cast<size_t>(vy) * d2 + static_cast<size_t>(vx)];
          }
        }
      }
      done[static_cast<size_t>(i)].store(true, std::memory_order_release);
      done[static_cast<size_t>(i)].notify_one();
      if (once) return true;
    }
    return false;
  };

  Scratch own(block);
  const size_t threads = std::max<size_t>(
      1, std::min({bispRe.size(), static_cast<size_t>(uxCount), start.back() / 65536}));
  std::vector<std::future<void>> helpers;
  for (size_t p = 1; p < threads; ++p) {
    helpers.push_back(std::async(std::launch::async, [&] {
      Scratch scratch(block);
      compute(scratch, false);
    }));
  }
  double total = 0.0;
  size_t written = 0;
  bool more = true;
  while (written < xRuns.size()) {
    if (more) more = compute(own, true);
    // Nothing left to take: wait for the next ux in file order, which a helper is finishing.
    if (!more) done[written].wait(false, std::memory_order_acquire);
    for (; written < xRuns.size() && done[written].load(std::memory_order_acquire); ++written) {
      const float* first = phases.get() + start[written];
      const size_t count = start[written + 1] - start[written];
      for (size_t k = 0; k < count; ++k) total += static_cast<double>(first[k]);
      out.values(first, count);
    }
  }
  for (auto& h : helpers) h.get();
  out.float64(total);
}

void writeContents(LittleEndianWriter& out, int32_t width, int32_t frameCount, int32_t kmax,
                   int32_t dkmax, const std::vector<std::vector<float>>& power,
                   const std::vector<std::vector<float>>& bispRe,
                   const std::vector<std::vector<float>>& bispIm) {
  const auto w = static_cast<size_t>(width);
  const float divisor = static_cast<float>(frameCount);

  std::vector<double> meanPower(w * w, 0.0);
  for (const auto& slot : power) {
    for (size_t i = 0; i < w * w; ++i) meanPower[i] += static_cast<double>(slot[i] / divisor);
  }
  // Column by column: all y frequencies of the lowest x frequency first.
  std::vector<double> byColumn(w * w);
  double powerTotal = 0.0;
  for (size_t c = 0, at = 0; c < w; ++c) {
    for (size_t r = 0; r < w; ++r, ++at) {
      byColumn[at] = meanPower[r * w + c];
      powerTotal += byColumn[at];
    }
  }
  out.int32(width);
  out.values(byColumn.data(), byColumn.size());
  out.float64(powerTotal);
  out.int32(kmax);
  out.int32(dkmax);

  writePhases(out, width, kmax, dkmax, bispRe, bispIm);
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
