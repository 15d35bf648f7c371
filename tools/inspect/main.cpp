// korrin-inspect: checks a result file, prints what it holds and writes its power spectrum and
// autocorrelation as FITS images and PNG previews.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/inspect/image_files.h"
#include "tools/inspect/previews.h"
#include "tools/inspect/result_reader.h"
#include "tools/tool_main.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "Usage: korrin-inspect FILE.krn1 [options]\n"
    "Checks a korrin result file (its length against width, kmax and dkmax, and both\n"
    "checksums) and prints a summary. On request it writes the mean power spectrum and its\n"
    "autocorrelation as 32-bit float FITS images, zero frequency and zero lag at pixel\n"
    "(W/2, W/2) counted from 0 (FITS pixel W/2 + 1), and log-stretched 16-bit PNG previews\n"
    "oriented as a FITS viewer shows the images (row 0 at the bottom).\n"
    "\n"
    "Options:\n"
    "  --fits-power=FILE     write the mean power spectrum as FITS\n"
    "  --fits-autocorr=FILE  write the autocorrelation as FITS\n"
    "  --png-power=FILE      write a PNG preview of the power spectrum\n"
    "  --png-autocorr=FILE   write a PNG preview of the autocorrelation\n"
    "  --previews=DIR        write all four into DIR (created if missing) as NAME-power.fits,\n"
    "                        NAME-autocorr.fits, NAME-power.png and NAME-autocorr.png, NAME\n"
    "                        being the result file's name without .krn1\n"
    "  --help                this text\n"
    "\n"
    "Exit status: 0 when the file is sound and every requested image was written, 1 when the\n"
    "file cannot be read or fails a check, or an image cannot be written, 2 for a command-line\n"
    "error.\n";

struct Options {
  std::string input;
  std::string fitsPower, fitsAutocorr, pngPower, pngAutocorr;
  std::string previews;
};

using tool::UsageError;

// Returns nullopt when --help was asked for.
std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  bool haveInput = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return std::nullopt;
    if (arg.rfind("--", 0) != 0) {
      if (haveInput) throw UsageError{"only one result file, not also '" + arg + "'"};
      options.input = arg;
      haveInput = true;
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string key = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    std::string* target = key == "fits-power"      ? &options.fitsPower
                          : key == "fits-autocorr" ? &options.fitsAutocorr
                          : key == "png-power"     ? &options.pngPower
                          : key == "png-autocorr"  ? &options.pngAutocorr
                          : key == "previews"      ? &options.previews
                                                   : nullptr;
    if (target == nullptr) throw UsageError{"unknown option " + arg.substr(0, eq)};
    if (eq == std::string::npos || eq + 1 == arg.size()) {
      throw UsageError{"--" + key + " needs a file name: --" + key + "=NAME"};
    }
    *target = arg.substr(eq + 1);
  }
  if (!haveInput) throw UsageError{"no result file given"};
  if (options.input.empty()) throw UsageError{"the result file name is empty"};
  return options;
}

std::string general(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

void printSummary(const std::string& path, const ResultData& r) {
  const auto [low, high] = std::minmax_element(r.power.begin(), r.power.end());
  std::cout << "Result file:    " << path << "\n"
            << "Width:          " << r.width << " x " << r.width << "\n"
            << "kmax:           " << r.kmax << "\n"
            << "dkmax:          " << r.dkmax << "\n"
            << "Phases:         " << r.phases.size() << "\n"
            << "Power range:    " << general(*low) << " .. " << general(*high)
            << " (zero frequency " << general(r.powerAt(0, 0)) << ")\n"
            << "Checksums:      OK (power " << general(r.powerChecksum) << ", phases "
            << general(r.phaseChecksum) << ")\n";
}

std::vector<FitsKeyword> centreKeywords(int width, const char* unit) {
  const double centre = width / 2 + 1;  // FITS counts pixels from 1
  return {{"CRPIX1", centre, std::string("zero ") + unit + " column"},
          {"CRPIX2", centre, std::string("zero ") + unit + " row"},
          {"CRVAL1", 0.0, ""},
          {"CRVAL2", 0.0, ""},
          {"CDELT1", 1.0, ""},
          {"CDELT2", 1.0, ""}};
}

int run(const Options& given) {
  Options options = given;
  if (!options.previews.empty()) {
    const fs::path dir(options.previews);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
      std::cerr << "korrin-inspect: cannot create directory " << options.previews
                << (ec ? ": " + ec.message() : std::string()) << "\n";
      return 1;
    }
    std::string stem = fs::path(options.input).filename().string();
    if (stem.size() > 5 && stem.substr(stem.size() - 5) == ".krn1") stem.resize(stem.size() - 5);
    const auto into = [&](const std::string& suffix) { return (dir / (stem + suffix)).string(); };
    options.fitsPower = into("-power.fits");
    options.fitsAutocorr = into("-autocorr.fits");
    options.pngPower = into("-power.png");
    options.pngAutocorr = into("-autocorr.png");
  }

  const ReadOutcome outcome = readResultFile(options.input);
  if (!outcome.result) {
    std::cerr << "korrin-inspect: " << options.input << ": " << outcome.error << "\n";
    return 1;
  }
  const ResultData& result = *outcome.result;
  printSummary(options.input, result);

  const int w = result.width;
  int status = 0;
  const auto report = [&status](const std::string& what, const std::string& path,
                                const std::string& error) {
    if (error.empty()) {
      std::cout << "Wrote " << what << ": " << path << "\n";
    } else {
      std::cerr << "korrin-inspect: cannot write " << path << ": " << error << "\n";
      status = 1;
    }
  };

  if (!options.fitsPower.empty() || !options.pngPower.empty()) {
    const std::vector<float> power = powerSpectrumImage(result);
    if (!options.fitsPower.empty()) {
      report("power spectrum (FITS)", options.fitsPower,
             writeFloatFits(options.fitsPower, w, power, centreKeywords(w, "frequency")));
    }
    if (!options.pngPower.empty()) {
      report("power spectrum preview (PNG)", options.pngPower,
             writeGreyPng16(options.pngPower, w, powerSpectrumDisplay(w, power)));
    }
  }
  if (!options.fitsAutocorr.empty() || !options.pngAutocorr.empty()) {
    const std::vector<float> autocorrelation = autocorrelationImage(result);
    if (!options.fitsAutocorr.empty()) {
      report("autocorrelation (FITS)", options.fitsAutocorr,
             writeFloatFits(options.fitsAutocorr, w, autocorrelation, centreKeywords(w, "lag")));
    }
    if (!options.pngAutocorr.empty()) {
      report("autocorrelation preview (PNG)", options.pngAutocorr,
             writeGreyPng16(options.pngAutocorr, w, autocorrelationDisplay(w, autocorrelation)));
    }
  }
  return status;
}

}  // namespace
}  // namespace korrin

int main(int argc, char** argv) {
  return korrin::tool::toolMain("korrin-inspect", korrin::kUsage, argc, argv, korrin::parseOptions,
                                korrin::run);
}
