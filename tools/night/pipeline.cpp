#include "tools/night/pipeline.h"

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "tools/inspect/result_reader.h"

namespace korrin::night {

namespace fs = std::filesystem;

namespace {

// A step that ends the capture as failed; the text is the reason shown on the page.
class StepFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const char* kindName(CaptureKind kind) {
  switch (kind) {
    case CaptureKind::kSer:
      return "SER recording";
    case CaptureKind::kCube:
      return "FITS cube";
    case CaptureKind::kFrames:
      break;
  }
  return "directory of frames";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

bool startsWith(const std::string& text, const std::string& head) {
  return text.rfind(head, 0) == 0;
}

// The line that says why a program stopped: its last one, leaving out korrin's progress and the
// timing and output lines it writes even after a refusal.
std::string reasonIn(const StepResult& step) {
  const std::vector<std::string> all = lines(step.output);
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if (it->empty() || startsWith(*it, "calcKRN execution time") ||
        startsWith(*it, "Output written to") || startsWith(*it, "Processing ") ||
        startsWith(*it, "Try korrin-")) {
      continue;
    }
    return *it;
  }
  return step.how();
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

class CaptureLog {
 public:
  CaptureLog(const fs::path& path, bool append)
      : file_(path, append ? std::ios::app : std::ios::trunc) {}
  void note(const std::string& text) { file_ << text << "\n" << std::flush; }
  // The command, what it wrote (korrin's per-frame progress counted, not copied) and its end.
  void step(const std::vector<std::string>& argv, const StepResult& result) {
    file_ << "$";
    for (const std::string& arg : argv) file_ << " " << arg;
    file_ << "\n";
    long progress = 0;
    for (const std::string& line : lines(result.output)) {
      if (startsWith(line, "Processing ")) {
        ++progress;
      } else {
        file_ << line << "\n";
      }
    }
    if (progress > 0) file_ << "(" << progress << " 'Processing FILE' lines left out)\n";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", result.seconds);
    file_ << "[" << result.how() << ", " << seconds << "]\n\n" << std::flush;
  }

 private:
  std::ofstream file_;
};

struct Paths {
  fs::path dir;          // report/NAME
  fs::path result;       // report/NAME/NAME.krn1
  fs::path previews;     // report/NAME/NAME-previews, where korrin-inspect and -reconstruct write
  fs::path json;         // report/NAME/NAME.json
  fs::path converted;    // report/NAME/capture
  std::string relative;  // NAME/
};

Paths pathsOf(const Settings& settings, const std::string& name) {
  Paths p;
  p.dir = settings.report / name;
  p.result = p.dir / (name + ".krn1");
  p.previews = p.dir / (name + "-previews");
  p.json = p.dir / (name + ".json");
  p.converted = p.dir / "capture";
  p.relative = name + "/";
  return p;
}

StepResult run(CaptureLog& log, const Paths& paths, const std::vector<std::string>& argv) {
  const StepResult result = runStep(argv, paths.dir / ".step-output");
  log.step(argv, result);
  return result;
}

// Conversion when needed, the check, korrin and the verification of its result. Leaves the
// record skipped when the check rejects the capture.
void runKorrin(const Capture& capture, const Settings& settings, const Programs& programs,
               const Paths& paths, CaptureLog& log, Record& r) {
  fs::path captureDir = capture.path;
  const bool converted = needsPreparing(capture);
  std::error_code ignored;
  if (converted) {
    captureDir = paths.converted;
    fs::remove_all(captureDir, ignored);
    const StepResult prepare =
        run(log, paths, {programs.prepare, capture.path.string(), "--out=" + captureDir.string()});
    if (prepare.status != 0) throw StepFailure(reasonIn(prepare));
  }

  const StepResult check =
      run(log, paths, {programs.prepare, "--check", captureDir.string(), "--nprocs=0"});
  std::string verdict, problems;
  for (const std::string& line : lines(check.output)) {
    long files = 0;
    if (std::sscanf(line.c_str(), "Frames: %ld files", &files) == 1) r.framesListed = files;
    if (startsWith(line, "warning: ")) r.warnings.push_back("check: " + line.substr(9));
    if (startsWith(line, "problem: ")) problems += (problems.empty() ? "" : "; ") + line.substr(9);
    if (startsWith(line, "Verdict: ")) verdict = line.substr(9);
  }
  if (check.status == 1) {
    // The verdict's first clause and the problems it counts, which the check lists above it.
    r.reason = problems.empty() ? verdict : verdict.substr(0, verdict.find(": ")) + ": " + problems;
    r.status = "skipped";
    if (converted && !settings.keepFrames) fs::remove_all(captureDir, ignored);
    return;
  }
  if (check.status != 0) throw StepFailure("korrin-prepare --check: " + reasonIn(check));

  const std::vector<fs::path> frames = fitsFiles(captureDir);
  const std::optional<FitsHeader> first =
      frames.empty() ? std::nullopt : readHeader(frames.front());
  r.width = first ? static_cast<int>(first->width) : 0;
  r.epoch = midCaptureEpoch(captureDir);
  if (!r.epoch) r.warnings.push_back("no DATE-OBS in the first or last frame: no epoch");

  // An old result must not pass for this run's.
  fs::remove(paths.result, ignored);
  const auto started = fs::file_time_type::clock::now();
  std::vector<std::string> argv = {programs.korrin, "--dir=" + captureDir.string(),
                                   "--out=" + paths.result.string()};
  argv.insert(argv.end(), settings.korrinOptions.begin(), settings.korrinOptions.end());
  const StepResult korrin = run(log, paths, argv);
  long processing = 0, skipped = 0;
  for (const std::string& line : lines(korrin.output)) {
    long files = 0;
    if (std::sscanf(line.c_str(), "Found %ld files", &files) == 1) r.framesListed = files;
    if (startsWith(line, "Processing ")) ++processing;
    if (startsWith(line, "Error loading ") || startsWith(line, "Skipping ")) ++skipped;
  }
  if (korrin.status != 0) throw StepFailure("korrin: " + reasonIn(korrin));
  r.framesUsed = processing - skipped;
  if (skipped > 0) {
    r.warnings.push_back("korrin skipped " + std::to_string(skipped) + " frames (see the log)");
  }

  const ReadOutcome outcome = readResultFile(paths.result.string());
  if (!outcome.result) throw StepFailure("result file: " + outcome.error);
  // File times come from a coarser clock than the one read above: a second's allowance.
  if (fs::last_write_time(paths.result, ignored) < started - std::chrono::seconds(1)) {
    throw StepFailure("the result file is older than the run: korrin did not write it");
  }
  if (outcome.result->width != r.width) {
    throw StepFailure("the result is " + std::to_string(outcome.result->width) +
                      " pixels wide, the capture's frames " + std::to_string(r.width));
  }
  r.result = paths.relative + paths.result.filename().string();
  if (converted && !settings.keepFrames) fs::remove_all(captureDir, ignored);
}

// The previews and the measurement, from a verified result.
void runReconstruction(const Settings& settings, const Programs& programs, const Paths& paths,
                       const Record* reference, CaptureLog& log, Record& r) {
  const std::string name = paths.result.stem().string();
  const std::string previews = paths.relative + paths.previews.filename().string() + "/" + name;
  const StepResult inspect =
      run(log, paths, {programs.inspect, paths.result.string(), "--previews"});
  if (inspect.status == 0) {
    r.autocorrPng = previews + "-autocorr.png";
    r.powerPng = previews + "-power.png";
  } else {
    r.note = "no previews: " + reasonIn(inspect);
  }

  std::vector<std::string> argv = {programs.reconstruct, paths.result.string(), "--binary",
                                   "--json=" + paths.json.string()};
  argv.insert(argv.end(), settings.calibrationOptions.begin(), settings.calibrationOptions.end());
  if (reference != nullptr) {
    if (!reference->result.empty() &&
        (reference->status == "ok" || reference->status == "not-detected")) {
      argv.push_back("--ref=" + (settings.report / reference->result).string());
      r.reference = reference->name;
    } else {
      r.note = "reference " + reference->name + " is " + reference->status +
               ": calibrated with the ring means of its own spectrum instead";
    }
  }
  const StepResult reconstruct = run(log, paths, argv);
  if (reconstruct.status != 0) throw StepFailure(reasonIn(reconstruct));
  r.imagePng = previews + "-image.png";
  r.json = paths.relative + paths.json.filename().string();

  std::ifstream file(paths.json);
  const nlohmann::json j = nlohmann::json::parse(file, nullptr, false);
  if (j.is_discarded() || !j.contains("binary")) {
    throw StepFailure("cannot read the measurement " + paths.json.string());
  }
  const nlohmann::json& b = j.at("binary");
  Measurement m;
  m.detected = b.value("detected", false);
  m.significance = b.value("significance", 0.0);
  if (m.detected) {
    m.separation = b.at("separation_px");
    m.separationErr = b.at("separation_err_px");
    if (b.contains("separation_arcsec")) {
      m.separationArcsec = b.at("separation_arcsec").get<double>();
      m.separationErrArcsec = b.at("separation_err_arcsec").get<double>();
    }
    m.positionAngle = b.at("position_angle_deg");
    m.positionAngleErr = b.at("position_angle_err_deg");
    m.deltaMag = b.at("delta_mag");
    m.deltaMagErr = b.at("delta_mag_err");
    m.quadrantConfidence = b.at("quadrant_confidence");
  }
  r.measurement = m;
  r.status = m.detected ? "ok" : "not-detected";
}

}  // namespace

std::string korrinSettings(const Settings& settings) {
  return joined(settings.korrinOptions);
}

std::string reconstructSettings(const Settings& settings, const std::string& reference) {
  return joined(settings.calibrationOptions) + " reference=" + reference;
}

bool resultUsable(const fs::path& report, const Record& record, fs::file_time_type since) {
  std::error_code error;
  const fs::path result = report / record.result;
  if (record.result.empty() || fs::last_write_time(result, error) <= since || error) return false;
  return readResultFile(result.string()).result.has_value();
}

Record processCapture(const Capture& capture, const Settings& settings, const Programs& programs,
                      const Record* reference, const Record* reuse) {
  const auto start = std::chrono::steady_clock::now();
  const Paths paths = pathsOf(settings, capture.name);
  fs::create_directories(paths.dir);
  Record r;
  if (reuse != nullptr) r = *reuse;
  r.name = capture.name;
  r.kind = kindName(capture.kind);
  r.source = capture.path.string();
  r.status = "failed";
  r.note.clear();
  r.reference.clear();
  r.measurement.reset();
  r.autocorrPng = r.powerPng = r.imagePng = r.json = "";
  r.korrinSettings = korrinSettings(settings);
  r.reconstructSettings =
      reconstructSettings(settings, reference != nullptr ? reference->name : std::string());
  r.log = paths.relative + capture.name + ".log";
  CaptureLog log(paths.dir / (capture.name + ".log"), reuse != nullptr);
  if (reuse != nullptr) {
    log.note("The result is up to date: previews and measurement again.\n");
  } else {
    r.reason.clear();
    r.warnings.clear();
    r.epoch.reset();
    r.framesListed = r.framesUsed = -1;
    r.width = 0;
    r.result.clear();
    log.note("Capture " + capture.name + ": " + kindName(capture.kind) + " " +
             capture.path.string() + "\n");
  }
  try {
    if (reuse == nullptr) runKorrin(capture, settings, programs, paths, log, r);
    if (r.status != "skipped") runReconstruction(settings, programs, paths, reference, log, r);
  } catch (
      const std::exception& e) {  // a step, or the file system: this capture fails, not the night
    r.status = "failed";
    r.reason = e.what();
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  log.note("Status: " + r.status + (r.reason.empty() ? "" : ": " + r.reason) +
           (r.note.empty() ? "" : "\nNote: " + r.note));
  writeRecord(settings.report, r);
  return r;
}

}  // namespace korrin::night
