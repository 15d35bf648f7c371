// korrin-reconstruct: from a result file to a picture of the object and, for a double star, its
// separation, position angle and magnitude difference.

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "tools/inspect/image_files.h"
#include "tools/inspect/result_reader.h"
#include "tools/reconstruct/binary_fit.h"
#include "tools/reconstruct/image.h"
#include "tools/reconstruct/modulus.h"
#include "tools/reconstruct/phase_recovery.h"
#include "tools/reconstruct/report.h"
#include "tools/tool_main.h"

namespace korrin::reconstruct {
namespace {

namespace fs = std::filesystem;
using tool::UsageError;

struct Options {
  std::string input, reference, prefix, json;
  bool binary = false, flip = false;
  double cutoff = 0, scale = 0, northAngle = 0;
};

ResultData readChecked(const std::string& path) {
  ReadOutcome outcome = readResultFile(path);
  if (!outcome.result) throw std::runtime_error(path + ": " + outcome.error);
  ResultData& r = *outcome.result;
  std::string why = checkPowerSpectrum(FrequencyPlane{r.width}, r.power);
  for (float p : r.phases) {
    if (why.empty() && !std::isfinite(p)) why = "the bispectrum phases hold non-finite values";
  }
  if (!why.empty()) throw std::runtime_error(path + ": " + why);
  return std::move(r);
}

// Everything is written under a temporary name first and renamed once all outputs are complete,
// so a failure leaves none of them half-written.
class PendingFiles {
 public:
  ~PendingFiles() {
    for (const auto& [temporary, final] : files_) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
    }
  }
  std::string add(const std::string& path) {
    std::string temporary = path + ".partial-" + std::to_string(::getpid());
    files_.emplace_back(temporary, path);
    return temporary;
  }
  void commit() {
    for (const auto& [temporary, final] : files_) {
      std::error_code error;
      fs::rename(temporary, final, error);
      if (error) throw std::runtime_error("cannot write " + final + ": " + error.message());
    }
    files_.clear();
  }

 private:
  std::vector<std::pair<std::string, std::string>> files_;
};

// The picture's units and axes: pixels of the input frames, the primary at the centre pixel.
std::vector<FitsKeyword> imageKeywords() {
  return {{"BUNIT", 0, "brightness relative to the brightest pixel", "relative"},
          {"CTYPE1", 0, "x: the input frames' columns", "X"},
          {"CTYPE2", 0, "y: the input frames' rows", "Y"},
          {"CUNIT1", 0, "", "pixel"},
          {"CUNIT2", 0, "", "pixel"}};
}

void check(const std::string& path, const std::string& error) {
  if (!error.empty()) throw std::runtime_error("cannot write " + path + ": " + error);
}

int run(const Options& o) {
  const ResultData result = readChecked(o.input);
  const FrequencyPlane plane{result.width};
  std::optional<ResultData> reference;
  if (!o.reference.empty()) {
    reference = readChecked(o.reference);
    if (reference->width != result.width) {
      throw std::runtime_error(o.reference + ": the reference is " +
                               std::to_string(reference->width) + " pixels wide, the result " +
                               std::to_string(result.width));
    }
  }
  if (o.cutoff > plane.half()) {
    std::ostringstream given;
    given << o.cutoff;
    throw UsageError("--cutoff=" + given.str() + " lies beyond the highest frequency (" +
                     std::to_string(plane.half()) + " cycles per frame) of a " +
                     std::to_string(result.width) + "-pixel result");
  }
  if (result.dkmax < 1) {
    throw std::runtime_error(o.input +
                             ": dkmax 0 holds no closure phases; process the capture again with "
                             "--dkmax=1 or more");
  }

  CalibratedModulus modulus;
  try {
    modulus = calibrateModulus(plane, result.power, reference ? &reference->power : nullptr,
                               ModulusOptions{o.cutoff});
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(o.input + ": " + e.what());
  }
  // The phases fix the image and the side of a companion. A companion 2 lambda/D away is a
  // quarter of a fringe into its phase signature at an eighth of the cutoff; a kmax short of
  // that leaves the side of most companions, and any detail in the image, to guesswork.
  const double needed = std::max(4.0, std::ceil(modulus.cutoff / 8));
  if (result.kmax < needed) {
    throw std::runtime_error(o.input + ": kmax " + std::to_string(result.kmax) +
                             " reaches too little of the signal, which ends at " +
                             std::to_string(static_cast<int>(modulus.cutoff)) +
                             " cycles per frame (kmax " + std::to_string(static_cast<int>(needed)) +
                             " or more needed); process the capture again with a larger --kmax "
                             "or give a lower --cutoff");
  }
  PhaseOptions phaseOptions;
  phaseOptions.radius = std::min<double>(modulus.cutoff, result.kmax);
  const PhaseSolution phases = recoverPhases(result, modulus.signalFraction, phaseOptions);
  const std::vector<float> image = reconstructImage(modulus, phases);

  Summary s;
  s.result = o.input;
  s.reference = o.reference;
  s.width = result.width;
  s.kmax = result.kmax;
  s.dkmax = result.dkmax;
  s.requestedCutoff = o.cutoff;
  s.scale = o.scale;
  s.sky = SkyOrientation{o.northAngle, o.flip};
  s.prefix = o.prefix;
  if (s.prefix.empty()) {
    // RESULT-previews/RESULT-image: apart from the frames of the capture, where the result lies
    // by default, and beside korrin-inspect's previews of the same result.
    std::string stem = o.input;
    if (stem.size() > 5 && stem.substr(stem.size() - 5) == ".krn1") stem.resize(stem.size() - 5);
    const fs::path dir = stem + "-previews";
    std::error_code error;
    fs::create_directories(dir, error);
    if (error)
      throw std::runtime_error("cannot create directory " + dir.string() + ": " + error.message());
    s.prefix = (dir / fs::path(stem).filename()).string();
  }
  s.imageFits = s.prefix + "-image.fits";
  if (const std::string why = fitsBesideFrames(s.imageFits); !why.empty()) {
    throw std::runtime_error(why);
  }
  s.imagePng = s.prefix + "-image.png";
  s.modulus = &modulus;
  s.phases = &phases;
  if (o.binary) s.binary = measureBinary(modulus, phases);

  PendingFiles pending;
  const std::string fits = pending.add(s.imageFits);
  check(s.imageFits, writeFloatFits(fits, "korrin-reconstruct", result.width, image,
                                    imageKeywords(), historyLines(s)));
  const std::string png = pending.add(s.imagePng);
  check(s.imagePng, writeGreyPng16(png, result.width, displayImage(image)));
  const std::string json = summaryJson(s).dump(2) + "\n";
  if (!o.json.empty() && o.json != "-") {
    const std::string path = pending.add(o.json);
    std::ofstream file(path, std::ios::binary);
    file << json;
    file.close();
    if (!file) throw std::runtime_error("cannot write " + o.json);
  }
  pending.commit();

  if (o.json == "-") {
    std::cout << json;
  } else {
    printSummary(std::cout, s);
  }
  return 0;
}

}  // namespace
}  // namespace korrin::reconstruct

int main(int argc, char** argv) {
  using korrin::reconstruct::Options;
  Options o;
  CLI::App app(
      "Reconstructs the object of a korrin result file: its Fourier modulus from the mean power\n"
      "spectrum (noise bias removed, divided by a reference star's spectrum or by the spectrum's\n"
      "own ring means), its Fourier phase from the bispectrum phases, and the image from both,\n"
      "written as PREFIX-image.fits (32-bit float, primary at pixel (W/2, W/2) counted from 0,\n"
      "row 0 at the bottom) and PREFIX-image.png, by default in a directory of their own beside\n"
      "the result and never beside frames korrin would read. With --binary it fits a double star\n"
      "and prints its separation, position angle and magnitude difference with 1-sigma errors.\n"
      "Pixels: x is the column (NAXIS1), y the row (NAXIS2) of the input frames. Exit status: 0\n"
      "done, 1 failed (a file cannot be read or written, or holds no usable signal), 2 bad\n"
      "command line.",
      "korrin-reconstruct");
  korrin::tool::configure(app);
  app.add_option("result", o.input, "the result file (.krn1)")->required()->type_name("RESULT");
  app.add_option("--ref", o.reference,
                 "result file of an unresolved star under similar seeing, same width")
      ->type_name("REF.krn1");
  app.add_option("--out", o.prefix, "prefix of the image files")
      ->type_name("PREFIX")
      ->default_str("P-previews/P, P being RESULT without .krn1");
  CLI::Option* binary = app.add_flag("--binary", o.binary, "measure a double star");
  app.add_option("--json", o.json,
                 "write the figures as one JSON object to FILE (-: standard output, instead of "
                 "the readable lines)")
      ->type_name("FILE");
  // Text that is no number at all is left to the conversion, which says so.
  const auto check = [](bool positive) {
    return [positive](std::string& text) {
      double v = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (error != std::errc() || end != text.data() + text.size()) return std::string();
      if (!std::isfinite(v)) return std::string("must be a finite number");
      return positive && !(v > 0) ? std::string("must be a positive number") : std::string();
    };
  };
  const CLI::Validator finite(check(false), "NUMBER");
  const CLI::Validator positive(check(true), "POSITIVE");
  app.add_option("--cutoff", o.cutoff, "where the signal ends, in cycles per frame")
      ->check(positive)
      ->type_name("F")
      ->default_str("estimated");
  app.add_option("--scale", o.scale, "arcsec per pixel, for the separation in arcsec")
      ->check(positive)
      ->type_name("ARCSEC_PER_PIXEL")
      ->default_str("")
      ->needs(binary);
  app.add_option("--north-angle", o.northAngle,
                 "angle from +y towards -x to north (0: north +y, east -x)")
      ->check(finite)
      ->type_name("DEG")
      ->needs(binary);
  app.add_flag("--flip", o.flip, "the optics mirror the sky: east is +x at north angle 0")
      ->needs(binary);
  return korrin::tool::cliMain(app, argc, argv, [&] { return korrin::reconstruct::run(o); });
}
