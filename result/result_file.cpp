#include "result/result_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>

#include "result/phase.h"
#include "spectral/bispectrum.h"

namespace korrin {

namespace {

// Buffered little-endian writer over a file descriptor. It remembers the first failure and its
// errno instead of checking every call, so the caller can decide once whether the file is
// complete and say why not.
class LittleEndianWriter {
 public:
  explicit LittleEndianWriter(int fd) : fd_(fd) { buffer_.reserve(kChunk); }

  void int32(int32_t v) { bytes(static_cast<uint32_t>(v)); }
  void float64(double v) { bytes(std::bit_cast<uint64_t>(v)); }

  // A whole array of float or double; on a little-endian machine straight from memory.
  template <class T>
  void values(const T* v, size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
      flush();
      put(v, n * sizeof(T));
    } else {
      using Bits = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
      for (size_t i = 0; i < n; ++i) bytes(std::bit_cast<Bits>(v[i]));
    }
  }

  // Flushes the buffer; 0 when every byte was written, else the errno of the first failure.
  int finish() {
    flush();
    return error_;
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
    put(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

  // write() may take less than asked (pipes, signals); only an error ends the loop.
  void put(const void* data, size_t size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0 && error_ == 0) {
      const ssize_t done = ::write(fd_, at, size);
      if (done < 0) {
        if (errno != EINTR) error_ = errno;
        continue;
      }
      if (done == 0) error_ = EIO;
      at += done;
      size -= static_cast<size_t>(done);
    }
  }

  int fd_;
  std::vector<unsigned char> buffer_;
  int error_ = 0;
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

namespace fs = std::filesystem;

// The temporary file being written, for the signal handler: SIGINT or SIGTERM during the write
// removes it and then ends the process as the signal would, so an interrupted run leaves no
// litter. Only async-signal-safe calls happen in the handler: unlink, sigaction, raise.
std::atomic<const char*> armedTemporary{nullptr};

extern "C" void removeTemporaryAndDie(int signal) {
  if (const char* path = armedTemporary.load()) ::unlink(path);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);  // delivered once the handler returns, with the default action
}

// Installs the handler for the life of the write; a signal the process ignores stays ignored.
class InterruptCleanup {
 public:
  explicit InterruptCleanup(const std::string& temporary) {
    armedTemporary.store(temporary.c_str());
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignals.size(); ++i) {
      installed_[i] = ::sigaction(kSignals[i], nullptr, &previous_[i]) == 0 &&
                      previous_[i].sa_handler != SIG_IGN &&
                      ::sigaction(kSignals[i], &action, nullptr) == 0;
    }
  }
  ~InterruptCleanup() {
    for (size_t i = 0; i < kSignals.size(); ++i) {
      if (installed_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
    armedTemporary.store(nullptr);
  }
  InterruptCleanup(const InterruptCleanup&) = delete;
  InterruptCleanup& operator=(const InterruptCleanup&) = delete;

 private:
  static constexpr std::array<int, 2> kSignals{SIGINT, SIGTERM};
  std::array<struct sigaction, 2> previous_{};
  std::array<bool, 2> installed_{};
};

std::string reasonOf(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// The file a path finally names: symbolic links are followed one by one, each relative link
// from its own directory, so that a link (even a dangling one) is written through rather than
// replaced. Returns the errno of a link that cannot be read or of a loop.
int resolveLinks(fs::path& target) {
  for (int hops = 0;; ++hops) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
    if (hops == 40) return ELOOP;
    std::error_code ec;
    const fs::path link = fs::read_symlink(target, ec);
    if (ec) return ec.value();
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
}

// The contents, written to an open descriptor; 0 or the errno of the first failed write.
using Contents = std::function<void(LittleEndianWriter&)>;

int writeAll(int fd, const Contents& contents) {
  LittleEndianWriter out(fd);
  contents(out);
  return out.finish();
}

// Devices and pipes (/dev/null, a fifo read by another program) cannot be replaced by a rename.
// A fifo waits for its reader as for any other writer; a reader that goes away early is a failed
// write (EPIPE: the run ignores SIGPIPE).
int writeSpecial(const fs::path& target, const Contents& contents) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = writeAll(fd, contents);
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

// A file with other hard links is rewritten in place, so that every name keeps seeing the same
// file. A failed write leaves it empty rather than holding a truncated result.
int writeInPlace(const fs::path& target, const Contents& contents) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = writeAll(fd, contents);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (error != 0 && ::ftruncate(fd, 0) != 0) {
    // Nothing more can be done about it; the reason reported is the write's.
  }
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

// Everything else is written completely under a short temporary name in the target's directory,
// flushed to the disk and renamed into place: a crash, a full disk or an interrupt leaves either
// the old result or the new one, never a truncated file under the final name. The new file gets
// the old one's permission bits, or those a newly created file would get.
int writeReplacing(const fs::path& target, const struct stat* old, const Contents& contents) {
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temporary = (directory / ".krn1-XXXXXX").string();
  // The two signals wait until the handler knows the file, so none can end the process between
  // the file's creation and the handler's arming.
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
  const int fd = ::mkstemp(temporary.data());
  const int openError = errno;
  std::optional<InterruptCleanup> cleanup;
  if (fd >= 0) cleanup.emplace(temporary);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fd < 0) return openError;

  mode_t mode = 0;
  if (old != nullptr) {
    mode = old->st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
  try {
    if (error == 0) error = writeAll(fd, contents);
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  // The rename itself reaches the disk with the directory. Too late to fail: the result is in
  // place whatever the directory's fsync says.
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return 0;
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

ResultWrite writeResultFile(const std::string& path, int32_t width, int32_t frameCount,
                            int32_t kmax, int32_t dkmax,
                            const std::vector<std::vector<float>>& power,
                            const std::vector<std::vector<float>>& bispRe,
                            const std::vector<std::vector<float>>& bispIm) {
  const Contents contents = [&](LittleEndianWriter& out) {
    writeContents(out, width, frameCount, kmax, dkmax, power, bispRe, bispIm);
  };
  fs::path target(path);
  int error = resolveLinks(target);
  if (error == 0) {
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0) {
      error = errno == ENOENT ? writeReplacing(target, nullptr, contents) : errno;
    } else if (!S_ISREG(old.st_mode)) {
      error = writeSpecial(target, contents);
    } else if (old.st_nlink > 1) {
      error = writeInPlace(target, contents);
    } else {
      error = writeReplacing(target, &old, contents);
    }
  }
  return error == 0 ? ResultWrite{true, {}} : ResultWrite{false, reasonOf(error)};
}

}  // namespace korrin
