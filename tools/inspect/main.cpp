// korrin-inspect: checks a result file, prints what it holds and writes its power spectrum and
// autocorrelation as FITS images and PNG previews.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
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

constexpr const char* kDescription =
    "Checks a korrin result file (its length against width, kmax and dkmax, and both\n"
    "checksums) and prints a summary. On request it writes the mean power spectrum and its\n"
    "autocorrelation as 32-bit float FITS images, zero frequency and zero lag at pixel\n"
    "(W/2, W/2) counted from 0 (FITS pixel W/2 + 1), and log-stretched 16-bit PNG previews\n"
    "oriented as a FITS viewer shows the images (row 0 at the bottom). FITS images are never\n"
    "written beside frames korrin would read.\n"
    "\n"
    "  korrin-inspect RESULT.krn1 [--previews[=DIR]] [--fits-power=F] ...\n"
    "\n"
    "Exit status: 0 when the file is sound and every requested image was written, 1 when the\n"
    "file cannot be read or fails a check, or an image cannot be written, 2 for a command-line\n"
    "error.";

struct Options {
  std::string input;
  std::string fitsPower, fitsAutocorr, pngPower, pngAutocorr;
  bool previews = false;
  std::string previewsDir;
};

// PREFIX-previews beside the result, PREFIX being its path without .krn1: apart from the frames
// of the capture, where the result lies by default.
std::string defaultPreviewsDir(std::string result) {
  if (result.size() > 5 && result.substr(result.size() - 5) == ".krn1")
    result.resize(result.size() - 5);
  return result + "-previews";
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

// The header of an image of the power spectrum (a frequency plane) or the autocorrelation (a lag
// plane): zero at the centre pixel, axes along the frames' columns (x) and rows (y).
std::vector<FitsKeyword> planeKeywords(int width, bool frequency) {
  const double centre = width / 2 + 1;  // FITS counts pixels from 1
  const std::string zero = frequency ? "zero frequency" : "zero lag";
  const std::string unit = frequency ? "cycles per frame" : "pixels";
  const std::string what = frequency ? "frequency" : "lag";
  return {
      {"BUNIT", 0, "mean over frames, squared ADU", "ADU**2"},
      {"CTYPE1", 0, what + " along x (the frames' columns), " + unit, frequency ? "FX" : "LAGX"},
      {"CTYPE2", 0, what + " along y (the frames' rows), " + unit, frequency ? "FY" : "LAGY"},
      {"CUNIT1", 0, "", frequency ? "cycle" : "pixel"},
      {"CUNIT2", 0, "", frequency ? "cycle" : "pixel"},
      {"CRPIX1", centre, zero + " column", ""},
      {"CRPIX2", centre, zero + " row", ""},
      {"CRVAL1", 0.0, "", ""},
      {"CRVAL2", 0.0, "", ""},
      {"CDELT1", 1.0, "", ""},
      {"CDELT2", 1.0, "", ""}};
}

int run(const Options& given) {
  Options options = given;
  if (options.previews) {
    if (options.previewsDir.empty()) options.previewsDir = defaultPreviewsDir(options.input);
    const fs::path dir(options.previewsDir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
      std::cerr << "korrin-inspect: cannot create directory " << options.previewsDir
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

  for (const std::string* fits : {&options.fitsPower, &options.fitsAutocorr}) {
    if (fits->empty()) continue;
    if (const std::string why = fitsBesideFrames(*fits); !why.empty()) {
      std::cerr << "korrin-inspect: " << why << "\n";
      return 1;
    }
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
             writeFloatFits(options.fitsPower, "korrin-inspect", w, power, planeKeywords(w, true),
                            {"Mean power spectrum of " + options.input}));
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
             writeFloatFits(options.fitsAutocorr, "korrin-inspect", w, autocorrelation,
                            planeKeywords(w, false),
                            {"Autocorrelation from the power spectrum of " + options.input}));
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
  korrin::Options options;
  CLI::App app(korrin::kDescription, "korrin-inspect");
  korrin::tool::configure(app);
  app.add_option("RESULT", options.input, "the result file (.krn1)");
  app.add_option("--fits-power", options.fitsPower, "write the mean power spectrum as FITS")
      ->type_name("FILE");
  app.add_option("--fits-autocorr", options.fitsAutocorr, "write the autocorrelation as FITS")
      ->type_name("FILE");
  app.add_option("--png-power", options.pngPower, "write a PNG preview of the power spectrum")
      ->type_name("FILE");
  app.add_option("--png-autocorr", options.pngAutocorr,
                 "write a PNG preview of the autocorrelation")
      ->type_name("FILE");
  app.add_option("--previews", options.previewsDir,
                 "write all four into DIR (created if missing; without DIR, P-previews beside "
                 "the result, P being its path without .krn1) as NAME-power.fits, "
                 "NAME-autocorr.fits, NAME-power.png and NAME-autocorr.png, NAME being the "
                 "result's name without .krn1")
      ->expected(0, 1)
      ->type_name("[DIR]");
  return korrin::tool::cliMain(app, argc, argv, [&] {
    if (options.input.empty()) throw korrin::tool::UsageError("no result file given");
    options.previews = app.count("--previews") > 0;
    return korrin::run(options);
  });
}
