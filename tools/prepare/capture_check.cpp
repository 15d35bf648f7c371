#include "tools/prepare/capture_check.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <thread>

#include "app/capture_scan.h"
#include "app/run_sequence.h"
#include "fits/fitsio.h"
#include "run/calc_krn.h"
#include "tools/inspect/image_files.h"

namespace korrin::prepare {

namespace {

// Collects what the FITS reader writes to standard error while it lives, so the check can
// report each file's reason in its own words instead of spilling thousands of lines.
class ReaderMessages {
 public:
  ReaderMessages() {
    std::fflush(stderr);
    memory_ = ::memfd_create("korrin-prepare-messages", MFD_CLOEXEC);
    saved_ = memory_ < 0 ? -1 : ::dup(STDERR_FILENO);
    if (saved_ < 0 || ::dup2(memory_, STDERR_FILENO) < 0) {
      if (saved_ >= 0) ::close(saved_);
      if (memory_ >= 0) ::close(memory_);
      saved_ = memory_ = -1;  // nothing captured: the messages go where they always go
    }
  }
  ~ReaderMessages() {
    if (memory_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::close(memory_);
  }
  ReaderMessages(const ReaderMessages&) = delete;
  ReaderMessages& operator=(const ReaderMessages&) = delete;

  std::string text() const {
    if (memory_ < 0) return {};
    std::fflush(stderr);
    const off_t length = ::lseek(memory_, 0, SEEK_CUR);
    std::string text(static_cast<size_t>(std::clamp<off_t>(length, 0, 4096)), '\0');
    const ssize_t got = ::pread(memory_, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
  }

 private:
  int memory_ = -1;
  int saved_ = -1;
};

// "fitsio.cpp (1464):  error parsing fits file <PATH>\r\n" -> "error parsing fits file".
std::string cleanReason(std::string text, const std::string& path) {
  for (size_t at; (at = text.find(" <" + path + ">")) != std::string::npos;) {
    text.erase(at, path.size() + 3);
  }
  for (size_t at; (at = text.find(path)) != std::string::npos;) text.erase(at, path.size());
  std::string clean;
  for (char c : text) {
    if (c == '\r') continue;
    clean += c == '\n' ? ' ' : c;
  }
  if (clean.rfind("fitsio.cpp (", 0) == 0) {
    const size_t end = clean.find("):  ");
    if (end != std::string::npos) clean.erase(0, end + 4);
  }
  while (!clean.empty() && clean.back() == ' ') clean.pop_back();
  for (size_t at; (at = clean.find(":  :")) != std::string::npos;) clean.erase(at + 1, 3);
  return clean.empty() ? "cannot be read" : clean;
}

bool endsWith(std::string text, const char* tail) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const size_t n = std::strlen(tail);
  return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

int64_t keyword(const FitsInfo& info, const std::string& name, int64_t fallback) {
  int32_t value = 0;
  return findIntKeyword(name.c_str(), &info, &value, 0) == 0 ? value : fallback;
}

// The companion programs mark their FITS images with their ORIGIN card. Older ones did not: they
// are known by their names, or as korrin-inspect's float images with the zero frequency (or lag)
// marked at the centre pixel, a reference camera frames do not carry.
bool looksLikePreview(const std::string& path, const FitsInfo& info) {
  char origin[kFitsTextSize] = {};
  if (findStringKeyword("ORIGIN  ", &info, origin, "") == 0 && isKorrinImageOrigin(origin)) {
    return true;
  }
  if (endsWith(path, "-power.fits") || endsWith(path, "-autocorr.fits") ||
      endsWith(path, "-image.fits")) {
    return true;
  }
  float crpix1 = 0, crpix2 = 0, crval1 = 1, cdelt1 = 0;
  const float centre = static_cast<float>(info.naxis1 / 2 + 1);
  return info.bitpix == -32 && findFloatKeyword("CRPIX1", &info, &crpix1, 0) == 0 &&
         findFloatKeyword("CRPIX2", &info, &crpix2, 0) == 0 &&
         findFloatKeyword("CRVAL1", &info, &crval1, 1) == 0 &&
         findFloatKeyword("CDELT1", &info, &cdelt1, 0) == 0 && crpix1 == centre &&
         crpix2 == centre && crval1 == 0 && cdelt1 == 1;
}

}  // namespace

FrameFacts examineFrame(const std::string& path, bool deep) {
  FrameFacts facts;
  facts.path = path;
  FitsInfo info;
  initFitsInfo(&info);
  int status = 0;
  {
    ReaderMessages messages;
    status = deep ? readFits(path.c_str(), &info) : readFitsHeader(path.c_str(), &info);
    if (status != 0) facts.reason = cleanReason(messages.text(), path);
  }
  if (status != 0) {
    facts.unsupportedBitpix = facts.reason.rfind("unsupported FITS format", 0) == 0;
    if (facts.unsupportedBitpix) {
      // Read the value the reader refused, for the report.
      const size_t colon = facts.reason.find(": ");
      facts.bitpix = colon == std::string::npos ? 0 : std::atoi(facts.reason.c_str() + colon + 2);
    }
    releaseFitsInfo(&info);
    return facts;
  }
  facts.readable = true;
  facts.width = info.naxis1;
  facts.height = info.naxis2;
  facts.bitpix = info.bitpix;
  const int64_t naxis = keyword(info, "NAXIS ", 2);
  for (int64_t axis = 3; axis <= std::min<int64_t>(naxis, 9); ++axis) {
    facts.planes *= std::max<int64_t>(1, keyword(info, "NAXIS" + std::to_string(axis), 1));
  }
  struct stat status_ {};
  const int64_t fileBytes = ::stat(path.c_str(), &status_) == 0 ? status_.st_size : 0;
  const int64_t dataBytes = int64_t{info.naxis1} * info.naxis2 * (std::abs(info.bitpix) / 8);
  facts.missingBytes = std::max<int64_t>(0, info.headerBytes + dataBytes - fileBytes);
  facts.preview = looksLikePreview(path, info);

  if (deep) {
    const int64_t count = int64_t{info.naxis1} * info.naxis2;
    float top = info.bitpix == 8 ? 255.0f : info.bitpix == 16 ? 65535.0f : INFINITY;
    findFloatKeyword("SATURATE", &info, &top, top);
    for (int64_t i = 0; i < count; ++i) {
      const float v = info.floatArray[i];
      if (!std::isfinite(v)) {
        facts.nonFinite = true;
      } else if (std::fabs(v) >= 0x1p40f) {
        facts.tooLarge = true;
      } else if (v >= top) {
        ++facts.saturated;
      }
    }
  }
  releaseFitsInfo(&info);
  return facts;
}

namespace {

// One problem of the report: its explanation and the files with a detail each.
struct Problem {
  std::string title;
  bool spoils = true;  // false: a warning that leaves korrin's result as the frames make it
  std::vector<std::pair<std::string, std::string>> files;
};

std::string fileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string size(int32_t width, int32_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

bool supportedWidth(int32_t width) {
  return width == 128 || width == 256 || width == 512 || width == 1024;
}

void print(const Problem& problem, bool all, std::ostream& out) {
  constexpr size_t kShown = 10;
  out << (problem.spoils ? "problem: " : "warning: ") << problem.title << " ("
      << problem.files.size() << (problem.files.size() == 1 ? " file" : " files") << ")\n";
  for (size_t i = 0; i < problem.files.size(); ++i) {
    if (!all && i == kShown) {
      out << "  ... and " << problem.files.size() - kShown << " more (--all lists them)\n";
      break;
    }
    const auto& [file, detail] = problem.files[i];
    out << "  " << fileName(file) << (detail.empty() ? "" : ": " + detail) << "\n";
  }
}

}  // namespace

int checkCapture(const CheckOptions& options, std::ostream& out) {
  const std::string dir = normalizeCaptureDir(options.dir);
  std::vector<std::string> files;
  std::string reason;
  out << "Capture directory: " << dir << "\n";
  if (!findFitsFiles(dir, files, reason)) {
    out << "Verdict: korrin cannot list this directory (" << reason << ")\n";
    return 1;
  }
  if (files.empty()) {
    out << "Verdict: no .fit or .fits files: korrin would find nothing to process\n";
    return 1;
  }

  std::vector<FrameFacts> facts;
  facts.reserve(files.size());
  for (const std::string& file : files) facts.push_back(examineFrame(file, options.deep));

  // The first frame decides the width of the run, or that there is no run at all; the files'
  // own problems are listed either way.
  const FrameFacts& first = facts.front();
  const int n = static_cast<int>(std::min<size_t>(files.size(), 0x7fffffff));
  out << "Frames: " << files.size() << " files in korrin's order; the first, "
      << fileName(first.path);
  std::string refusal;
  if (!first.readable) {
    out << ", cannot be read\n";
    refusal = "it cannot read the first frame (" + first.reason + ")";
  } else {
    out << ", is " << size(first.width, first.height) << ", BITPIX " << first.bitpix << "\n";
    if (!supportedWidth(first.width)) {
      refusal = "the first frame is " + std::to_string(first.width) +
                " pixels wide; it takes 128, 256, 512 or 1024";
    }
  }
  const int width = refusal.empty() ? first.width : 0;

  // Follow korrin's workers: path i goes to share i mod S, and each share stops at its first
  // frame of another size.
  const unsigned hardware =
      options.hardwareThreads > 0 ? options.hardwareThreads : std::thread::hardware_concurrency();
  const int threads = threadCount(options.nprocs, static_cast<int>(std::min(hardware, 4096u)), n);
  Problem unreadable{
      "cannot be read as a FITS image: korrin skips them, but still divides the "
      "mean power by them",
      true,
      {}};
  Problem bitpix{
      "BITPIX that korrin does not read (it takes 8, 16 and -32): skipped, but still "
      "counted in the divisor of the mean power",
      true,
      {}};
  Problem otherSize{"not " + size(width, width) +
                        " like the first frame: korrin stops the share "
                        "of frames dealt to that worker there (" +
                        std::to_string(threads) +
                        " threads with --nprocs=" + std::to_string(options.nprocs) + ")",
                    true,
                    {}};
  Problem dropped{
      "never read: dealt to a worker whose share ended at a frame of another size", true, {}};
  Problem cube{"cubes: korrin reads only the first plane", true, {}};
  Problem truncated{"data ends early: korrin fills the missing pixels with zeros", true, {}};
  Problem preview{
      "looks like an image written by korrin-inspect or korrin-reconstruct, not a frame: "
      "korrin would add it in as one",
      true,
      {}};
  Problem nonFinite{
      "NaN or infinite pixels: korrin skips the frame, but still divides by it", true, {}};
  Problem tooLarge{
      "pixel values of 2^40 or more: korrin skips the frame, but still divides by "
      "it",
      true,
      {}};
  Problem saturated{
      "saturated: several pixels at the top of the sample range distort the "
      "speckle pattern",
      false,
      {}};

  std::vector<bool> used(facts.size(), false);
  const size_t shares = width == 0 ? 0 : static_cast<size_t>(std::min(n, threads));
  for (size_t s = 0; s < shares; ++s) {
    const FrameFacts* stopper = nullptr;
    for (size_t i = s; i < facts.size(); i += shares) {
      const FrameFacts& f = facts[i];
      if (stopper != nullptr) {
        dropped.files.push_back({f.path, "after " + fileName(stopper->path)});
        continue;
      }
      if (!f.readable) continue;
      if (f.width != width || f.height != width) {
        stopper = &f;
        continue;
      }
      if (f.nonFinite || f.tooLarge) continue;
      used[i] = true;
    }
  }
  for (const FrameFacts& f : facts) {
    if (!f.readable) {
      if (f.unsupportedBitpix) {
        bitpix.files.push_back({f.path, "BITPIX " + std::to_string(f.bitpix)});
      } else {
        unreadable.files.push_back({f.path, f.reason});
      }
      continue;
    }
    if (width != 0 && (f.width != width || f.height != width)) {
      std::string detail = size(f.width, f.height);
      if (f.width != f.height) {
        detail += ", not square";
      } else if (!supportedWidth(f.width)) {
        detail += ", not a width korrin takes";
      }
      otherSize.files.push_back({f.path, detail});
    }
    if (f.planes > 1) cube.files.push_back({f.path, std::to_string(f.planes) + " planes"});
    if (f.missingBytes > 0) {
      truncated.files.push_back({f.path, std::to_string(f.missingBytes) + " bytes missing"});
    }
    if (f.preview) preview.files.push_back({f.path, ""});
    if (f.nonFinite) nonFinite.files.push_back({f.path, ""});
    if (f.tooLarge) tooLarge.files.push_back({f.path, ""});
    if (f.saturated >= 3) {
      saturated.files.push_back({f.path, std::to_string(f.saturated) + " pixels"});
    }
  }

  int spoiling = 0, warnings = 0;
  for (const Problem* p : {&unreadable, &bitpix, &otherSize, &dropped, &cube, &truncated, &preview,
                           &nonFinite, &tooLarge, &saturated}) {
    if (p->files.empty()) continue;
    print(*p, options.all, out);
    (p->spoils ? spoiling : warnings) += 1;
  }
  const auto usedCount = std::count(used.begin(), used.end(), true);
  const std::string checked = options.deep ? "" : " (headers only; --deep also reads the pixels)";
  if (!refusal.empty()) {
    out << "Verdict: korrin would refuse the run: " << refusal << "\n";
    return 1;
  }
  if (spoiling == 0) {
    out << "Verdict: " << (warnings == 0 ? "clean" : "usable, with the warnings above")
        << ": korrin would use all " << files.size() << " frames" << checked << "\n";
    return 0;
  }
  out << "Verdict: korrin would give a wrong or partial result: " << spoiling
      << (spoiling == 1 ? " problem" : " problems") << " above; it would use " << usedCount
      << " of the " << files.size() << " files" << checked << "\n";
  return 1;
}

}  // namespace korrin::prepare
