// korrin-sim: writes a synthetic speckle capture of a binary star that korrin can process, with a
// JSON file of the true parameters next to the frames.

#include <fitsio.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/sim/recordings.h"
#include "tools/sim/speckle_sim.h"
#include "tools/tool_main.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDescription =
    "Writes a synthetic speckle capture of a binary star seen through Kolmogorov turbulence:\n"
    "one FITS file per frame, DIR/NAME_00001.fits, DIR/NAME_00002.fits, ..., and\n"
    "DIR/NAME_truth.json with the parameters and the true separation vector. korrin --dir=DIR\n"
    "then writes DIR/NAME.krn1.\n"
    "\n"
    "  korrin-sim --out=DIR [--frames=500] [--width=256] [--separation=12] [--angle=30] ...\n"
    "\n"
    "Geometry: x is the column (NAXIS1), y the row (NAXIS2) in file order; viewers show row 0 at\n"
    "the bottom, so north is up (+y) and east is left (-x). The position angle is measured from\n"
    "north (+y) towards east (-x); the companion sits at (dx, dy) = (-s sin PA, s cos PA) from\n"
    "the primary, which is at the frame centre (width/2, width/2) apart from the image motion.\n"
    "Levels are in ADU, one ADU per detected photon. Frames are 10 ms apart from --start, which\n"
    "their DATE-OBS (and a SER file's timestamps) record. Exit status: 0 done, 1 failed, 2 bad\n"
    "command line.";

SimParams withDefaults() {
  SimParams sim;
  sim.obstruction = 0.3;  // a typical Cassegrain secondary
  return sim;
}

struct Options {
  fs::path out;
  std::string name = "binary";
  long frames = 500;
  int bitpix = 16;
  std::string format = "frames";
  int frameWidth = 0, frameHeight = 0;  // 0: the simulated width
  std::optional<double> peak, sky, readNoise;
  SimParams sim = withDefaults();
  std::tm start{};  // UTC of the first frame
};

using tool::UsageError;

double parseNumber(const std::string& key, const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || std::isnan(value)) {
    throw UsageError("--" + key + " needs a number, not '" + text + "'");
  }
  return value;
}

template <typename Int>
Int parseInteger(const std::string& key, const std::string& text) {
  Int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    throw UsageError("--" + key + " needs an integer, not '" + text + "'");
  }
  return value;
}

bool validName(const std::string& name) {
  if (name.empty() || name.size() > 200) return false;
  if (!std::isalnum(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' ||
           c == '+';
  });
}

// The command line as given, each value still text: the checks below give the reasons in this
// program's own words.
struct Given {
  std::string out, name, frames, width, bitpix, format, frameSize, separation, angle, ratio, r0,
      diameter, obstruction, pupil, peak, sky, readNoise, seed, start;
};

void addOptions(CLI::App& app, Given& g) {
  const auto option = [&app](const std::string& names, std::string& value, const char* type,
                             const std::string& help) {
    app.add_option(names, value, help)->type_name(type);
  };
  option("--out", g.out, "DIR", "output directory, created if missing (required)");
  option("--name", g.name, "NAME",
         "file name stem (default binary): letters, digits, '.', '_', '-', '+'");
  option("--frames", g.frames, "N", "number of frames (default 500)");
  option("--width", g.width, "W", "frame side: 128, 256, 512 or 1024 pixels (default 256)");
  option("--format", g.format, "F",
         "frames (default: one FITS file per frame), cube (one FITS cube, DIR/NAME.fits) or ser "
         "(one SER video, DIR/NAME.ser, with a timestamp per frame); cube and ser are what "
         "korrin-prepare reads");
  option("--frame-size,--frame_size", g.frameSize, "WxH",
         "frames of W x H pixels, at least the width each way: the simulated window sits right "
         "of and below the centre (by three quarters of the margin) in a field of sky, as a "
         "camera's region of interest would hold it; korrin-prepare cuts it out again");
  option("--bitpix", g.bitpix, "B", "16 (unsigned, BZERO 32768; default), 8 or -32 (float)");
  option("--separation", g.separation, "PX", "companion distance in pixels (default 12)");
  option("--angle", g.angle, "DEG", "position angle in degrees, north through east (default 30)");
  option("--ratio", g.ratio, "R", "companion flux / primary flux (default 0.5)");
  option("--r0", g.r0, "M", "Fried parameter in metres (default 0.1; inf: no turbulence)");
  option("--diameter", g.diameter, "M", "telescope aperture in metres (default 1)");
  option("--obstruction", g.obstruction, "F",
         "central obstruction, fraction of the aperture diameter (default 0.3)");
  option("--pupil", g.pupil, "PX",
         "pupil diameter in pixels, at most width/2 (default width/2.5, so that lambda/D is 2.5 "
         "pixels)");
  option("--peak", g.peak, "ADU",
         "mean brightest pixel above the sky (default 100 for BITPIX 8, otherwise 20000)");
  option("--sky", g.sky, "ADU",
         "sky background per pixel (default 10 for BITPIX 8, otherwise 1000)");
  option("--read-noise,--read_noise", g.readNoise, "ADU",
         "rms read noise (default 1 for BITPIX 8, otherwise 10)");
  option("--seed", g.seed, "N", "random seed; the same seed gives the same frames (default 1)");
  option("--start", g.start, "TIME",
         "UTC of the first frame, YYYY-MM-DDThh:mm:ss (default 2025-06-01T22:00:00)");
}

std::tm parseStart(const std::string& text) {
  std::tm t{};
  char rest = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec, &rest) != 6 ||
      t.tm_year < 1 || t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 ||
      t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 59) {
    throw UsageError("--start needs a UTC time YYYY-MM-DDThh:mm:ss, not '" + text + "'");
  }
  return t;  // tm_year and tm_mon as written, not as struct tm counts them
}

Options parseOptions(const CLI::App& app, const Given& g) {
  Options options;
  SimParams& sim = options.sim;
  const auto given = [&app](const char* name) { return app.count(name) > 0; };
  if (g.out.empty()) throw UsageError("--out=DIR is required");
  options.out = g.out;
  if (given("--name")) {
    if (!validName(g.name)) {
      throw UsageError(
          "--name must start with a letter or digit and hold only letters, digits, "
          "'.', '_', '-' and '+', not '" +
          g.name + "'");
    }
    options.name = g.name;
  }
  if (given("--frames")) {
    options.frames = parseInteger<long>("frames", g.frames);
    if (options.frames < 1 || options.frames > 10000000) {
      throw UsageError("--frames must be between 1 and 10000000");
    }
  }
  if (given("--width")) {
    sim.width = parseInteger<int>("width", g.width);
    if (sim.width != 128 && sim.width != 256 && sim.width != 512 && sim.width != 1024) {
      throw UsageError("--width must be 128, 256, 512 or 1024, not " + g.width);
    }
  }
  if (given("--bitpix")) {
    options.bitpix = parseInteger<int>("bitpix", g.bitpix);
    if (options.bitpix != 8 && options.bitpix != 16 && options.bitpix != -32) {
      throw UsageError("--bitpix must be 8, 16 or -32, not " + g.bitpix);
    }
  }
  if (given("--format")) {
    if (g.format != "frames" && g.format != "cube" && g.format != "ser") {
      throw UsageError("--format must be frames, cube or ser, not '" + g.format + "'");
    }
    options.format = g.format;
  }
  if (given("--frame-size")) {
    int w = 0, h = 0;
    char rest = 0;
    if (std::sscanf(g.frameSize.c_str(), "%dx%d%c", &w, &h, &rest) != 2 || w <= 0 || h <= 0 ||
        w > 16384 || h > 16384) {
      throw UsageError("--frame-size needs WxH, two sizes of 1 to 16384 pixels, not '" +
                       g.frameSize + "'");
    }
    options.frameWidth = w;
    options.frameHeight = h;
  }
  for (const auto& [name, text, target] : {std::tuple{"separation", &g.separation, &sim.separation},
                                           {"angle", &g.angle, &sim.positionAngle},
                                           {"ratio", &g.ratio, &sim.fluxRatio},
                                           {"r0", &g.r0, &sim.r0},
                                           {"diameter", &g.diameter, &sim.diameter},
                                           {"obstruction", &g.obstruction, &sim.obstruction},
                                           {"pupil", &g.pupil, &sim.pupilPixels}}) {
    if (given((std::string("--") + name).c_str())) *target = parseNumber(name, *text);
  }
  if (given("--pupil") && !(sim.pupilPixels > 0)) {
    throw UsageError("--pupil must be a positive number of pixels");
  }
  if (given("--peak")) {
    options.peak = parseNumber("peak", g.peak);
    if (!(*options.peak > 0) || !std::isfinite(*options.peak)) {
      throw UsageError("--peak must be a positive level");
    }
  }
  if (given("--sky")) options.sky = parseNumber("sky", g.sky);
  if (given("--read-noise")) options.readNoise = parseNumber("read-noise", g.readNoise);
  if (given("--seed")) sim.seed = parseInteger<std::uint64_t>("seed", g.seed);
  options.start = parseStart(given("--start") ? g.start : "2025-06-01T22:00:00");

  if (options.frameWidth == 0) options.frameWidth = options.frameHeight = options.sim.width;
  if (options.frameWidth < options.sim.width || options.frameHeight < options.sim.width) {
    throw UsageError("--frame-size must be at least the width each way (" +
                     std::to_string(options.sim.width) + ")");
  }
  if (options.format == "ser" && options.bitpix == -32) {
    throw UsageError("SER files hold 8- or 16-bit samples: --bitpix=8 or 16 with --format=ser");
  }

  const bool eightBit = options.bitpix == 8;
  if (!options.peak) options.peak = eightBit ? 100.0 : 20000.0;
  options.sim.sky = options.sky.value_or(eightBit ? 10.0 : 1000.0);
  options.sim.readNoise = options.readNoise.value_or(eightBit ? 1.0 : 10.0);
  if (const std::string why = checkParams(options.sim); !why.empty()) throw UsageError(why);
  return options;
}

// DATE-OBS of frame `index`: the start plus 10 ms per frame, to the millisecond.
std::string frameDate(const std::tm& start, long index) {
  std::tm t = start;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  const std::time_t first = ::timegm(&t);
  const long long milliseconds = static_cast<long long>(index) * 10;
  const std::time_t seconds = first + static_cast<std::time_t>(milliseconds / 1000);
  std::tm now{};
  ::gmtime_r(&seconds, &now);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lld", now.tm_year + 1900,
                now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec,
                milliseconds % 1000);
  return text;
}

std::string frameFileName(const std::string& name, long index, int digits) {
  char number[32];
  std::snprintf(number, sizeof number, "%0*ld", digits, index);
  return name + "_" + number + ".fits";
}

// One FITS file per frame. Integer samples are rounded and clipped to the type's range; the count
// of clipped bright pixels is reported so a user sees when --peak saturates the frames.
struct FrameWriter {
  int bitpix;
  std::string object;
  double readNoise;
  double diameter;
  std::mutex mutex;  // cfitsio may be built without thread support
  long saturated = 0;

  void write(const fs::path& path, const Samples& samples, int width, int height,
             const std::string& date) {
    std::lock_guard lock(mutex);
    saturated += samples.clipped;
    std::error_code ignored;
    fs::remove(path, ignored);  // the disk-file creator refuses to overwrite
    fitsfile* file = nullptr;
    int status = 0;
    const std::string name = path.string();
    // The disk-file variant takes the name literally (no cfitsio filename syntax).
    fits_create_diskfile(&file, name.c_str(), &status);
    long axes[2] = {width, height};
    const int imageType = bitpix == 8 ? BYTE_IMG : bitpix == 16 ? USHORT_IMG : FLOAT_IMG;
    fits_create_img(file, imageType, 2, axes, &status);
    char objectValue[72];
    std::snprintf(objectValue, sizeof objectValue, "%s", object.c_str());
    fits_update_key(file, TSTRING, "OBJECT", objectValue, "simulated binary star", &status);
    char imageTypeValue[] = "Light Frame";
    fits_update_key(file, TSTRING, "IMAGETYP", imageTypeValue, nullptr, &status);
    fits_update_key_str(file, "DATE-OBS", date.c_str(), "[UTC] start of the exposure", &status);
    double noise = readNoise;
    fits_update_key(file, TDOUBLE, "RONOISE", &noise, "[ADU] read noise", &status);
    double apertureMm = diameter * 1000;
    fits_update_key(file, TDOUBLE, "APTDIA", &apertureMm, "[mm] aperture diameter", &status);
    fits_write_comment(file, "Synthetic speckle frame written by korrin-sim", &status);
    const LONGLONG count = static_cast<LONGLONG>(width) * height;
    if (bitpix == 8) {
      fits_write_img(file, TBYTE, 1, count, const_cast<unsigned char*>(samples.bytes.data()),
                     &status);
    } else if (bitpix == 16) {
      fits_write_img(file, TUSHORT, 1, count, const_cast<unsigned short*>(samples.words.data()),
                     &status);
    } else {
      fits_write_img(file, TFLOAT, 1, count, const_cast<float*>(samples.floats.data()), &status);
    }
    int closeStatus = 0;
    if (file != nullptr) fits_close_file(file, &closeStatus);
    if (status == 0) status = closeStatus;
    if (status != 0) {
      char text[FLEN_STATUS] = {};
      fits_get_errstatus(status, text);
      throw std::runtime_error("cannot write " + name + ": " + text);
    }
  }
};

// Shortest text that reads back as the same double.
std::string shortest(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

void writeTruth(const fs::path& path, const Options& options, const std::string& firstFile,
                const std::string& lastFile, long saturated) {
  const SimParams& p = options.sim;
  const PixelOffset offset = separationVector(p);
  const double pupil = effectivePupilPixels(p);
  const FrameGeometry geometry = placeSimWindow(p.width, options.frameWidth, options.frameHeight);
  const nlohmann::ordered_json truth = {
      {"generator", "korrin-sim"},
      {"name", options.name},
      {"first_file", firstFile},
      {"last_file", lastFile},
      {"result_file", options.name + ".krn1"},
      {"frames", options.frames},
      {"width", p.width},
      {"format", options.format},
      {"frame_width", geometry.width},
      {"frame_height", geometry.height},
      {"window_x0", geometry.x0},
      {"window_y0", geometry.y0},
      {"bitpix", options.bitpix},
      {"seed", p.seed},
      {"convention",
       "x = column (NAXIS1), y = row (NAXIS2) in file order, 0-based pixel indices; north is +y "
       "(up), east is -x (left); the position angle is measured from north (+y) towards east "
       "(-x); (dx, dy) is the companion minus the primary"},
      {"separation_px", p.separation},
      {"position_angle_deg", p.positionAngle},
      {"dx", offset.dx},
      {"dy", offset.dy},
      {"primary_x", geometry.x0 + p.width / 2.0},
      {"primary_y", geometry.y0 + p.width / 2.0},
      {"flux_ratio", p.fluxRatio},
      {"r0_m", p.r0},
      {"diameter_m", p.diameter},
      {"diameter_over_r0", p.diameter / p.r0},
      {"obstruction", p.obstruction},
      {"pupil_px", pupil},
      {"lambda_over_d_px", p.width / pupil},
      {"peak_adu", *options.peak},
      {"photons_per_frame", p.photons},
      {"sky_adu", p.sky},
      {"read_noise_adu", p.readNoise},
      {"clipped_pixels", saturated}};
  std::ofstream file(path, std::ios::binary);
  // Names are file names, which need not be UTF-8: such bytes become U+FFFD rather than fail.
  file << truth.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
  file.close();
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

bool isFitsName(const std::string& name) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  auto endsWith = [&lower](std::string_view tail) {
    return lower.size() >= tail.size() &&
           lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
  };
  return endsWith(".fit") || endsWith(".fits");
}

int run(const Options& given) {
  Options options = given;
  const auto start = std::chrono::steady_clock::now();
  {
    // Scale the photon count so the brightest pixel averages the wanted level.
    SpeckleSimulator probe(options.sim);
    const double peakPerPhoton = probe.meanPeakPerPhoton(16);
    options.sim.photons = peakPerPhoton > 0 ? *options.peak / peakPerPhoton : 0;
  }

  std::error_code error;
  fs::create_directories(options.out, error);
  if (error || !fs::is_directory(options.out)) {
    std::cerr << "korrin-sim: cannot create directory " << options.out.string()
              << (error ? ": " + error.message() : std::string()) << "\n";
    return 1;
  }

  const long frames = options.frames;
  const int digits = std::max(5, static_cast<int>(std::to_string(frames).size()));
  FrameWriter writer{options.bitpix,       options.name, options.sim.readNoise,
                     options.sim.diameter, {},           0};
  const FrameGeometry geometry =
      placeSimWindow(options.sim.width, options.frameWidth, options.frameHeight);
  const bool embedded = geometry.width != options.sim.width || geometry.height != options.sim.width;
  std::unique_ptr<SerFileWriter> ser;
  std::unique_ptr<CubeWriter> cube;
  if (options.format == "ser") {
    // A start time of its own, so the same options give the same file; one frame every 10 ms.
    const SerText text{"korrin-sim", "simulated camera",
                       "D = " + shortest(options.sim.diameter) + " m"};
    ser = std::make_unique<SerFileWriter>(
        (options.out / (options.name + ".ser")).string(), geometry.width, geometry.height,
        options.bitpix, frames, text,
        serTicks(options.start.tm_year, options.start.tm_mon, options.start.tm_mday,
                 options.start.tm_hour, options.start.tm_min, options.start.tm_sec),
        100'000);
  } else if (options.format == "cube") {
    cube = std::make_unique<CubeWriter>((options.out / (options.name + ".fits")).string(),
                                        geometry.width, geometry.height, options.bitpix, frames,
                                        options.name, frameDate(options.start, 0));
  }
  std::atomic<long> clipped{0};

  // Contiguous even-aligned chunks, so each simulator reuses both halves of its noise fields.
  const long pairs = (frames + 1) / 2;
  const long threads =
      std::clamp<long>(static_cast<long>(std::thread::hardware_concurrency()), 1, 8);
  const long workers = std::min(threads, pairs);
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(workers));
  std::vector<std::thread> pool;
  for (long w = 0; w < workers; ++w) {
    const long first = 2 * (pairs * w / workers);
    const long last = std::min(frames, 2 * (pairs * (w + 1) / workers));
    pool.emplace_back([&, w, first, last] {
      try {
        SpeckleSimulator simulator(options.sim);
        std::vector<float> pixels, frame;
        Samples samples;
        for (long i = first; i < last; ++i) {
          simulator.frame(static_cast<std::uint64_t>(i), pixels);
          if (embedded) {
            embedWindow(pixels, options.sim.width, geometry, options.sim,
                        static_cast<std::uint64_t>(i), frame);
          }
          quantise(embedded ? frame : pixels, options.bitpix, samples);
          if (ser) {
            clipped += samples.clipped;
            ser->write(i, samples);
          } else if (cube) {
            clipped += samples.clipped;
            cube->write(i, samples);
          } else {
            writer.write(options.out / frameFileName(options.name, i + 1, digits), samples,
                         geometry.width, geometry.height, frameDate(options.start, i));
          }
        }
      } catch (...) {
        failures[static_cast<std::size_t>(w)] = std::current_exception();
      }
    });
  }
  for (auto& thread : pool) thread.join();
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }

  if (ser) ser->finish();
  if (cube) cube->finish();
  writer.saturated += clipped;

  const std::string single = ser ? options.name + ".ser" : options.name + ".fits";
  const std::string firstFile = ser || cube ? single : frameFileName(options.name, 1, digits);
  const std::string lastFile = ser || cube ? single : frameFileName(options.name, frames, digits);
  const fs::path truthPath = options.out / (options.name + "_truth.json");
  writeTruth(truthPath, options, firstFile, lastFile, writer.saturated);

  // Stray FITS files would be read by korrin together with these frames.
  long strangers = 0;
  const std::string prefix = options.name + "_";
  for (const auto& entry : fs::directory_iterator(options.out)) {
    const std::string file = entry.path().filename().string();
    if (!isFitsName(file) || (cube && file == single)) continue;
    const bool ours = file.size() == prefix.size() + digits + 5 && file.rfind(prefix, 0) == 0 &&
                      file.compare(file.size() - 5, 5, ".fits") == 0 &&
                      std::all_of(file.begin() + static_cast<long>(prefix.size()), file.end() - 5,
                                  [](char c) { return c >= '0' && c <= '9'; }) &&
                      std::stol(file.substr(prefix.size(), digits)) >= 1 &&
                      std::stol(file.substr(prefix.size(), digits)) <= frames;
    if (!ours) ++strangers;
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const PixelOffset offset = separationVector(options.sim);
  std::printf("Wrote %ld frames of %d x %d (BITPIX %d) to %s in %.1f s\n", frames, geometry.width,
              geometry.height, options.bitpix, options.out.string().c_str(), seconds);
  if (embedded) {
    std::printf("The simulated %d x %d window starts at column %d, row %d\n", options.sim.width,
                options.sim.width, geometry.x0, geometry.y0);
  }
  std::printf("Files %s ... %s, truth %s\n", firstFile.c_str(), lastFile.c_str(),
              truthPath.filename().string().c_str());
  if (options.sim.fluxRatio > 0) {
    std::printf("Companion at dx = %.3f, dy = %.3f pixels (separation %g, position angle %g deg)\n",
                offset.dx, offset.dy, options.sim.separation, options.sim.positionAngle);
  } else {
    std::printf("A single star (--ratio=0)\n");
  }
  if (writer.saturated > 0) {
    std::printf(
        "%ld pixels were clipped at the top of the sample range; lower --peak to avoid it\n",
        writer.saturated);
  }
  if (strangers > 0) {
    std::fprintf(stderr,
                 "korrin-sim: warning: %s also holds %ld other FITS files, which korrin would "
                 "read together with these frames\n",
                 options.out.string().c_str(), strangers);
  }
  return 0;
}

}  // namespace
}  // namespace korrin

int main(int argc, char** argv) {
  CLI::App app(korrin::kDescription, "korrin-sim");
  korrin::tool::configure(app);
  korrin::Given given;
  korrin::addOptions(app, given);
  return korrin::tool::cliMain(app, argc, argv,
                               [&] { return korrin::run(korrin::parseOptions(app, given)); });
}
