#include "tools/night/captures.h"

#include <fitsio.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace korrin::night {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// korrin's rule: a regular file whose name ends in .fit or .fits, any letter case.
bool isFitsName(const fs::path& path) {
  const std::string name = lower(path.filename().string());
  return endsWith(name, ".fit") || endsWith(name, ".fits");
}

bool isSerName(const fs::path& path) {
  return endsWith(lower(path.filename().string()), ".ser");
}

bool isRegularFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

std::vector<fs::path> sortedEntries(const fs::path& dir) {
  std::vector<fs::path> entries;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool supportedSquare(const FitsHeader& h) {
  return h.naxis == 2 && h.width == h.height &&
         (h.width == 128 || h.width == 256 || h.width == 512 || h.width == 1024);
}

}  // namespace

std::optional<FitsHeader> readHeader(const fs::path& file) {
  fitsfile* fits = nullptr;
  int status = 0;
  FitsHeader header;
  long axes[3] = {0, 0, 0};
  fits_open_diskfile(&fits, file.c_str(), READONLY, &status);
  fits_get_img_dim(fits, &header.naxis, &status);
  fits_get_img_size(fits, 3, axes, &status);
  if (status == 0) {
    char date[FLEN_VALUE] = {};
    int dateStatus = 0;
    if (fits_read_key(fits, TSTRING, "DATE-OBS", date, nullptr, &dateStatus) == 0) {
      header.dateObs = date;
    }
  }
  int closeStatus = 0;
  if (fits != nullptr) fits_close_file(fits, &closeStatus);
  if (status != 0) return std::nullopt;
  header.width = axes[0];
  header.height = axes[1];
  return header;
}

std::vector<fs::path> fitsFiles(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const fs::path& entry : sortedEntries(dir)) {
    if (isFitsName(entry) && isRegularFile(entry)) files.push_back(entry);
  }
  return files;
}

std::vector<Capture> findCaptures(const fs::path& night, const fs::path& skip) {
  std::vector<Capture> captures;
  // Recursion follows links to directories (a night put together from links is a natural way to
  // pick captures), with a depth limit against link loops.
  std::function<void(const fs::path&, int)> search = [&](const fs::path& dir, int depth) {
    std::vector<fs::path> frames, subdirectories;
    for (const fs::path& entry : sortedEntries(dir)) {
      const std::string name = entry.filename().string();
      std::error_code error;
      if (fs::is_directory(entry, error)) {
        if (name.front() != '.' && !endsWith(name, "-previews") &&
            !fs::equivalent(entry, skip, error)) {
          subdirectories.push_back(entry);
        }
      } else if (isRegularFile(entry) && isSerName(entry)) {
        captures.push_back({entry.stem().string(), CaptureKind::kSer, entry});
      } else if (isRegularFile(entry) && isFitsName(entry)) {
        frames.push_back(entry);
      }
    }
    // A directory of frames is one capture; only the files of a directory that starts with a
    // cube are looked at one by one, as cubes hold whole recordings and are few.
    const std::optional<FitsHeader> first = frames.empty() ? std::nullopt : readHeader(frames[0]);
    if (first && first->naxis == 3) {
      for (const fs::path& file : frames) {
        const std::optional<FitsHeader> header = readHeader(file);
        if (header && header->naxis == 3) {
          captures.push_back({file.stem().string(), CaptureKind::kCube, file});
        }
      }
    } else if (!frames.empty()) {
      fs::path named = fs::absolute(dir).lexically_normal();
      if (named.filename().empty()) named = named.parent_path();  // given with a trailing slash
      captures.push_back({named.filename().string(), CaptureKind::kFrames, dir});
    }
    if (depth < 8) {
      for (const fs::path& sub : subdirectories) search(sub, depth + 1);
    }
  };
  search(night, 0);
  std::sort(captures.begin(), captures.end(),
            [](const Capture& a, const Capture& b) { return a.path < b.path; });
  std::set<std::string> taken;
  for (Capture& c : captures) {
    if (c.name.empty()) c.name = "capture";
    const std::string base = c.name;
    for (int n = 2; !taken.insert(c.name).second; ++n) c.name = base + "-" + std::to_string(n);
  }
  return captures;
}

bool needsPreparing(const Capture& capture) {
  if (capture.kind != CaptureKind::kFrames) return true;
  const std::vector<fs::path> files = fitsFiles(capture.path);
  if (files.empty()) return false;
  const std::optional<FitsHeader> first = readHeader(files.front());
  return first && first->naxis == 2 && !supportedSquare(*first);
}

fs::file_time_type newestInput(const Capture& capture) {
  std::error_code error;
  fs::file_time_type newest = fs::last_write_time(capture.path, error);
  if (capture.kind == CaptureKind::kFrames) {
    for (const fs::path& file : fitsFiles(capture.path)) {
      newest = std::max(newest, fs::last_write_time(file, error));
    }
  }
  return newest;
}

std::optional<double> julianDate(const std::string& dateObs) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, status = 0;
  double second = 0;
  std::string text = dateObs;
  if (fits_str2time(text.data(), &year, &month, &day, &hour, &minute, &second, &status) != 0) {
    return std::nullopt;
  }
  // Julian day number of the civil date at noon (Fliegel and Van Flandern), then the time of day.
  const long a = (14 - month) / 12;
  const long y = year + 4800 - a;
  const long m = month + 12 * a - 3;
  const long dayNumber = day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
  return static_cast<double>(dayNumber) + (hour - 12) / 24.0 + minute / 1440.0 + second / 86400.0;
}

double besselianYear(double jd) {
  return 1900.0 + (jd - 2415020.31352) / 365.242198781;
}

std::optional<double> midCaptureEpoch(const fs::path& captureDir) {
  const std::vector<fs::path> files = fitsFiles(captureDir);
  if (files.empty()) return std::nullopt;
  const std::optional<FitsHeader> first = readHeader(files.front());
  const std::optional<FitsHeader> last = readHeader(files.back());
  if (!first || !last) return std::nullopt;
  const std::optional<double> start = julianDate(first->dateObs);
  const std::optional<double> end = julianDate(last->dateObs);
  if (!start || !end) return std::nullopt;
  return besselianYear((*start + *end) / 2);
}

std::string References::referenceOf(const std::string& target) const {
  const auto it = byTarget.find(target);
  return it != byTarget.end() ? it->second : all;
}

std::map<std::string, std::string> readReferenceFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::map<std::string, std::string> references;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string target, reference, extra;
    if (!(words >> target)) continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (!(words >> reference) || (words >> extra)) {
      throw std::runtime_error(where + "expected TARGET REFERENCE_CAPTURE, not '" + line + "'");
    }
    if (!references.emplace(target, reference).second) {
      throw std::runtime_error(where + target + " has a reference already");
    }
  }
  return references;
}

}  // namespace korrin::night
