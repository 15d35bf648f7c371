#include "tools/prepare/convert.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <thread>

#include "tools/prepare/capture_writer.h"
#include "tools/prepare/inputs.h"
#include "tools/prepare/window.h"

namespace korrin::prepare {

namespace fs = std::filesystem;

namespace {

using Sources = std::vector<std::unique_ptr<FrameSource>>;
using Clock = std::chrono::steady_clock;

std::string dimensions(int width, int height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

// Largest supported window the smallest input frame holds: 256 by default, 128 when that is all
// that fits.
int chooseSize(const Sources& sources, int requested) {
  const FrameSource* smallest = sources.front().get();
  for (const auto& source : sources) {
    if (std::min(source->width(), source->height()) <
        std::min(smallest->width(), smallest->height())) {
      smallest = source.get();
    }
  }
  const int side = std::min(smallest->width(), smallest->height());
  const std::string what =
      smallest->path() + ": frames of " + dimensions(smallest->width(), smallest->height());
  if (requested > 0) {
    if (side < requested) {
      throw InputError(what + " cannot hold a " + dimensions(requested, requested) + " window");
    }
    return requested;
  }
  if (side >= 256) return 256;
  if (side >= 128) return 128;
  throw InputError(what + " are too small: korrin needs at least 128 x 128");
}

// The mean of all frames of the dark input, one value per pixel.
std::vector<float> averageDark(const std::string& path, ByteOrder order, std::ostream& out) {
  Sources darks = openInputs({path}, order);
  const FrameSource& first = *darks.front();
  const size_t pixels = size_t(first.width()) * size_t(first.height());
  std::vector<double> sum(pixels, 0.0);
  std::vector<float> frame(pixels);
  int64_t frames = 0;
  FrameTags tags;
  for (const auto& dark : darks) {
    if (dark->width() != first.width() || dark->height() != first.height()) {
      throw InputError(dark->path() + ": dark frames of " +
                       dimensions(dark->width(), dark->height()) + ", the first dark's are " +
                       dimensions(first.width(), first.height()));
    }
    auto reader = dark->open();
    for (int64_t i = 0; i < dark->frames(); ++i) {
      reader->read(i, frame.data(), tags);
      for (size_t p = 0; p < pixels; ++p) sum[p] += frame[p];
      ++frames;
    }
  }
  for (size_t p = 0; p < pixels; ++p) frame[p] = static_cast<float>(sum[p] / double(frames));
  out << "Dark: mean of " << frames << " frames of " << dimensions(first.width(), first.height())
      << " from " << path << "\n";
  return frame;
}

std::string defaultPrefix(const std::string& input) {
  fs::path path(input);
  if (!path.has_filename()) path = path.parent_path();  // a directory given with a slash
  std::string stem = fs::is_directory(path) ? path.filename().string() : path.stem().string();
  return stem.empty() || stem == "." || stem == ".." ? "frame" : stem;
}

std::string frameName(const std::string& prefix, int64_t number, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "_%0*lld.fits", digits, static_cast<long long>(number));
  return prefix + text;
}

// Which frames of the concatenated inputs are taken, and where each lives.
struct Selection {
  std::vector<int64_t> starts;  // global index of each source's first frame
  int64_t first = 0;            // 0-based
  int64_t every = 1;
  int64_t count = 0;

  std::pair<size_t, int64_t> locate(int64_t k) const {
    const int64_t global = first + k * every;
    const auto it = std::upper_bound(starts.begin(), starts.end(), global);
    const auto source = static_cast<size_t>(it - starts.begin() - 1);
    return {source, global - starts[source]};
  }
};

Selection select(const Sources& sources, const ConvertOptions& options) {
  Selection selection;
  int64_t total = 0;
  for (const auto& source : sources) {
    selection.starts.push_back(total);
    total += source->frames();
  }
  if (options.first > total) {
    throw InputError("--first=" + std::to_string(options.first) + ": the inputs hold only " +
                     std::to_string(total) + " frames");
  }
  selection.first = options.first - 1;
  selection.every = options.every;
  selection.count = (total - selection.first - 1) / options.every + 1;
  if (options.count >= 0) selection.count = std::min(selection.count, options.count);
  return selection;
}

struct Counters {
  std::atomic<int64_t> done{0};
  std::atomic<int64_t> movedInside{0};
  std::atomic<int64_t> noStar{0};
  std::atomic<int64_t> nonFinite{0};
};

class Conversion {
 public:
  Conversion(const Sources& sources, const Selection& selection, const CaptureWriter& writer,
             const ConvertOptions& options, int size, int bitpix, const std::vector<float>& dark,
             std::string prefix)
      : sources_(sources),
        selection_(selection),
        writer_(writer),
        options_(options),
        size_(size),
        bitpix_(bitpix),
        dark_(dark),
        prefix_(std::move(prefix)),
        digits_(std::max(5, static_cast<int>(std::to_string(selection.count).size()))) {}

  std::string name(int64_t k) const { return frameName(prefix_, k + 1, digits_); }

  void run(int threads, bool showProgress) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back([this] { work(); });
    const auto start = Clock::now();
    auto lastShown = start;
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    while (counters.done.load() < selection_.count && !stop_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (CaptureWriter::interrupted() != 0) stop_ = true;
      const auto now = Clock::now();
      if (showProgress && now - lastShown >= std::chrono::milliseconds(terminal ? 250 : 2000)) {
        lastShown = now;
        const double seconds = std::chrono::duration<double>(now - start).count();
        const int64_t done = counters.done.load();
        std::fprintf(stderr, "%sframes %lld of %lld, %.0f frames/s%s", terminal ? "\r" : "",
                     static_cast<long long>(done), static_cast<long long>(selection_.count),
                     done / seconds, terminal ? "  " : "\n");
        progressShown_ = true;
      }
    }
    for (auto& thread : pool) thread.join();
    if (progressShown_ && terminal) std::fputs("\n", stderr);
    if (failure_) std::rethrow_exception(failure_);
  }

  Counters counters;

 private:
  void work() {
    const int width = size_;
    std::vector<float> window(size_t(width) * width);
    std::vector<float> frame;
    std::vector<unsigned char> scratch;
    std::unique_ptr<FrameReader> reader;
    size_t readerSource = SIZE_MAX;
    FrameTags tags;
    try {
      for (;;) {
        if (stop_.load() || CaptureWriter::interrupted() != 0) return;
        const int64_t k = next_.fetch_add(1);
        if (k >= selection_.count) return;
        const auto [s, index] = selection_.locate(k);
        const FrameSource& source = *sources_[s];
        if (s != readerSource) {
          reader = source.open();
          readerSource = s;
        }
        frame.resize(size_t(source.width()) * size_t(source.height()));
        reader->read(index, frame.data(), tags);
        if (!dark_.empty()) {
          for (size_t p = 0; p < frame.size(); ++p) frame[p] -= dark_[p];
        }
        Window placed;
        if (options_.fixed) {
          placed = placeWindow(options_.fixed->first, options_.fixed->second, source.width(),
                               source.height(), size_);
        } else {
          const Centroid centroid = speckleCentroid(frame.data(), source.width(), source.height());
          if (!centroid.found) ++counters.noStar;
          placed = centroid.found
                       ? placeWindow(centroid.x, centroid.y, source.width(), source.height(), size_)
                       : placeWindow(source.width() / 2, source.height() / 2, source.width(),
                                     source.height(), size_);
          if (placed.movedInside) ++counters.movedInside;
        }
        cropWindow(frame.data(), source.width(), placed, size_, window.data());
        if (!std::all_of(window.begin(), window.end(), [](float v) { return std::isfinite(v); })) {
          ++counters.nonFinite;
        }
        writer_.write(name(k), window.data(), size_, bitpix_, cards(source, index, tags, placed),
                      scratch);
        ++counters.done;
      }
    } catch (...) {
      std::lock_guard lock(failureMutex_);
      if (!failure_) failure_ = std::current_exception();
      stop_ = true;
    }
  }

  static std::vector<Card> cards(const FrameSource& source, int64_t index, const FrameTags& tags,
                                 const Window& window) {
    std::vector<Card> cards;
    if (!tags.dateObs.empty())
      cards.push_back({"DATE-OBS", tags.dateObs, 0, true, tags.dateComment});
    std::string file = fs::path(source.path()).filename().string();
    if (file.size() > 68) file.resize(68);  // one card's worth
    cards.push_back({"SRCFILE", file, 0, true, "input file"});
    cards.push_back({"SRCFRAME", "", index + 1, false, "frame in the input file, from 1"});
    cards.push_back(
        {"WINX0", "", window.x0, false, "first column of the window in the frame, from 0"});
    cards.push_back(
        {"WINY0", "", window.y0, false, "first row of the window in the frame, from 0"});
    if (!tags.instrument.empty()) cards.push_back({"INSTRUME", tags.instrument, 0, true, ""});
    if (!tags.telescope.empty()) cards.push_back({"TELESCOP", tags.telescope, 0, true, ""});
    if (!tags.observer.empty()) cards.push_back({"OBSERVER", tags.observer, 0, true, ""});
    return cards;
  }

  const Sources& sources_;
  const Selection& selection_;
  const CaptureWriter& writer_;
  const ConvertOptions& options_;
  int size_;
  int bitpix_;
  const std::vector<float>& dark_;
  std::string prefix_;
  int digits_;
  std::atomic<int64_t> next_{0};
  std::atomic<bool> stop_{false};
  std::mutex failureMutex_;
  std::exception_ptr failure_;
  bool progressShown_ = false;
};

void describeInputs(const Sources& sources, std::ostream& out) {
  // A directory of single frames would otherwise print a line per frame.
  constexpr size_t kShown = 5;
  size_t described = 0;
  for (const auto& source : sources) {
    const auto& lines = source->lines();
    if (described < kShown) out << lines.front() << "\n";
    ++described;
    for (size_t i = 1; i < lines.size(); ++i) out << lines[i] << "\n";
  }
  if (described > kShown) out << "... and " << described - kShown << " more input files\n";
}

}  // namespace

int convert(const ConvertOptions& options, std::ostream& out) {
  const auto start = Clock::now();
  const Sources sources = openInputs(options.inputs, options.byteOrder);
  describeInputs(sources, out);
  const int size = chooseSize(sources, options.size);
  const Selection selection = select(sources, options);

  if (options.fixed) {
    for (const auto& source : sources) {
      if (placeWindow(options.fixed->first, options.fixed->second, source->width(),
                      source->height(), size)
              .movedInside) {
        throw InputError(source->path() + ": a " + dimensions(size, size) + " window centred on " +
                         std::to_string(options.fixed->first) + "," +
                         std::to_string(options.fixed->second) + " does not fit its " +
                         dimensions(source->width(), source->height()) + " frames");
      }
    }
  }

  SampleRange range = sources.front()->range();
  for (const auto& source : sources) {
    range.low = std::min(range.low, source->range().low);
    range.high = std::max(range.high, source->range().high);
    range.integral = range.integral && source->range().integral;
  }
  std::vector<float> dark;
  if (!options.dark.empty()) {
    dark = averageDark(options.dark, options.byteOrder, out);
    const fs::path darkPath(options.dark);
    for (const auto& source : sources) {
      if (dark.size() != size_t(source->width()) * size_t(source->height())) {
        throw InputError(options.dark + ": its frames are not the size of " + source->path() +
                         "'s " + dimensions(source->width(), source->height()));
      }
    }
  }
  const int bitpix = dark.empty() ? outputBitpix(range.low, range.high, range.integral) : -32;

  const std::string prefix =
      options.prefix.empty() ? defaultPrefix(options.inputs.front()) : options.prefix;
  CaptureWriter writer(options.out);
  if (CaptureWriter::interrupted() != 0) return 128 + CaptureWriter::interrupted();
  out << "Converting " << selection.count << " frames into " << dimensions(size, size)
      << " frames (BITPIX " << bitpix << "), "
      << (options.fixed ? "window centred on " + std::to_string(options.fixed->first) + "," +
                              std::to_string(options.fixed->second)
                        : std::string("window centred on each frame's speckle cloud"))
      << (dark.empty() ? "" : ", dark subtracted") << "\n"
      << std::flush;

  Conversion conversion(sources, selection, writer, options, size, bitpix, dark, prefix);
  const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  const int threads = static_cast<int>(std::clamp<int64_t>(
      options.threads > 0 ? options.threads : std::min(hardware, 8u), 1, selection.count));
  const bool showProgress = options.progress || ::isatty(STDERR_FILENO) != 0;
  conversion.run(threads, showProgress);
  if (const int signal = CaptureWriter::interrupted(); signal != 0) {
    std::fprintf(stderr, "korrin-prepare: interrupted; nothing written to %s\n",
                 options.out.c_str());
    return 128 + signal;
  }
  writer.commit();

  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const Counters& c = conversion.counters;
  char rate[64];
  std::snprintf(rate, sizeof rate, "%.1f s (%.0f frames/s)", seconds,
                static_cast<double>(selection.count) / seconds);
  out << "Wrote " << selection.count << " frames to " << options.out << ": " << conversion.name(0)
      << " ... " << conversion.name(selection.count - 1) << ", in " << rate << "\n";
  if (c.movedInside > 0) {
    out << c.movedInside << " frames had the star near an edge: their window was moved inside "
        << "the frame\n";
  }
  if (c.noStar > 0) {
    out << c.noStar << " frames showed nothing above the background: their window is the frame's "
        << "centre\n";
  }
  if (c.nonFinite > 0) {
    out << "warning: " << c.nonFinite << " frames hold NaN or infinite pixels, which korrin "
        << "skips\n";
  }
  out << "Next: korrin-prepare --check " << options.out << ", then korrin --dir=" << options.out
      << "\n";
  return 0;
}

}  // namespace korrin::prepare
