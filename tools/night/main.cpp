// korrin-night: a whole night's captures to a table of measurements and a page to look at.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/night/captures.h"
#include "tools/night/pipeline.h"
#include "tools/night/process.h"
#include "tools/night/report.h"
#include "tools/tool_main.h"

namespace korrin::night {
namespace {

namespace fs = std::filesystem;
using tool::UsageError;

constexpr const char* kDescription =
    "Takes a night's captures to a table of double-star measurements and a page to look at.\n"
    "Each SER file, each FITS cube and each directory of FITS frames under NIGHT_DIR is one\n"
    "capture. For each: korrin-prepare when it is not already a capture of square frames, the\n"
    "pre-flight check (a capture it rejects is reported and skipped), korrin with --nprocs=0,\n"
    "the verification of the result file, korrin-inspect --previews and korrin-reconstruct\n"
    "--binary. REPORT_DIR receives measurements.csv, report.html and a directory per capture\n"
    "with its result, images, measurement and log. A capture whose outputs are newer than its\n"
    "files, made with the same options, is not done again.\n"
    "\n"
    "  korrin-night NIGHT_DIR --out=REPORT_DIR [--ref=CAPTURE | --refs=FILE] [--scale=S] ...\n"
    "  korrin-night NIGHT_DIR --list\n"
    "\n"
    "Exit status: 0 when no capture failed (skipped ones included), 1 when one or more failed\n"
    "or the night cannot be read, 2 for a command-line error.";

struct Options {
  std::string night, out, ref, refs;
  std::vector<std::string> only;
  std::optional<int> kmax, dkmax, maskRadius, maskInterval;
  std::optional<double> scale, northAngle;
  bool flip = false, force = false, keepFrames = false, list = false;
};

std::string duration(double seconds) {
  char text[32];
  if (seconds < 90) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 5400) {
    std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
  } else {
    std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
  }
  return text;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

Settings settingsOf(const Options& o) {
  Settings s;
  s.report = o.out;
  s.keepFrames = o.keepFrames;
  // korrin's own spellings; its thread count is always all cores, a night has no other work.
  const std::pair<const char*, const std::optional<int>*> korrin[] = {
      {"--kmax=", &o.kmax},
      {"--dkmax=", &o.dkmax},
      {"--mask_radius=", &o.maskRadius},
      {"--mask_interval=", &o.maskInterval}};
  for (const auto& [key, value] : korrin) {
    if (*value) s.korrinOptions.push_back(key + std::to_string(**value));
  }
  s.korrinOptions.push_back("--nprocs=0");
  if (o.scale) s.calibrationOptions.push_back("--scale=" + number(*o.scale));
  if (o.northAngle) s.calibrationOptions.push_back("--north-angle=" + number(*o.northAngle));
  if (o.flip) s.calibrationOptions.push_back("--flip");
  return s;
}

// Holds an exclusive lock on the report directory for the life of the run: two nights writing
// the same records would undo each other's work.
class ReportLock {
 public:
  explicit ReportLock(const fs::path& report) {
    fd_ = ::open((report / ".korrin-night.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      throw std::runtime_error("another korrin-night is writing to " + report.string());
    }
  }
  ~ReportLock() { ::close(fd_); }
  ReportLock(const ReportLock&) = delete;
  ReportLock& operator=(const ReportLock&) = delete;

 private:
  int fd_ = -1;
};

// The captures to run, references first so that their results are there for the targets.
std::vector<const Capture*> plan(const std::vector<Capture>& captures, const References& refs,
                                 const std::vector<std::string>& only) {
  std::map<std::string, const Capture*> byName;
  for (const Capture& c : captures) byName[c.name] = &c;
  const auto known = [&byName](const std::string& name, const std::string& where) {
    if (byName.count(name) == 0) {
      throw std::runtime_error(where + "no capture named '" + name + "' in the night");
    }
  };
  if (!refs.all.empty()) known(refs.all, "--ref: ");
  for (const auto& [target, reference] : refs.byTarget) {
    known(target, "--refs: ");
    known(reference, "--refs: ");
  }
  std::set<std::string> wanted;
  for (const std::string& name : only) {
    known(name, "--only: ");
    wanted.insert(name);
  }
  if (only.empty()) {
    for (const Capture& c : captures) wanted.insert(c.name);
  }
  std::set<std::string> references;
  for (const std::string& name : std::set<std::string>(wanted)) {
    const std::string reference = refs.referenceOf(name);
    if (!reference.empty() && reference != name) {
      references.insert(reference);
      wanted.insert(reference);
    }
  }
  std::vector<const Capture*> order;
  for (const Capture& c : captures) {
    if (references.count(c.name) > 0) order.push_back(&c);
  }
  for (const Capture& c : captures) {
    if (wanted.count(c.name) > 0 && references.count(c.name) == 0) order.push_back(&c);
  }
  return order;
}

int runNight(const Options& o) {
  const fs::path night = o.night;
  if (!fs::is_directory(night)) throw std::runtime_error(o.night + ": not a directory");
  const std::vector<Capture> captures =
      findCaptures(night, o.out.empty() ? fs::path() : fs::path(o.out));
  if (captures.empty()) {
    throw std::runtime_error("no captures under " + o.night +
                             " (SER files, FITS cubes or directories of FITS frames)");
  }
  if (o.list) {
    for (const Capture& c : captures) std::cout << c.name << "\n";
    return 0;
  }

  References refs;
  refs.all = o.ref;
  if (!o.refs.empty()) refs.byTarget = readReferenceFile(o.refs);
  const std::vector<const Capture*> order = plan(captures, refs, o.only);
  const Programs programs = findPrograms();
  const Settings settings = settingsOf(o);
  fs::create_directories(settings.report);
  const ReportLock lock(settings.report);

  std::cout << "Night " << o.night << ": " << captures.size() << " captures, " << order.size()
            << " to do; report in " << o.out << "\n"
            << std::flush;
  std::map<std::string, Record> records;
  // The table and the page, in the night's order, of the captures this run took.
  const auto publish = [&] {
    std::vector<Record> table;
    for (const Capture& c : captures) {
      if (records.count(c.name) > 0) table.push_back(records.at(c.name));
    }
    fs::path title = fs::absolute(night).lexically_normal();
    if (title.filename().empty()) title = title.parent_path();
    writeCsv(settings.report, table, o.scale.has_value());
    writeHtml(settings.report, title.filename().string(), table, o.scale.has_value());
    return table;
  };
  std::set<std::string> redone;
  double busySeconds = 0;
  int busy = 0;
  const auto nightStart = std::chrono::steady_clock::now();
  for (size_t i = 0; i < order.size(); ++i) {
    const Capture& capture = *order[i];
    std::string reference = refs.referenceOf(capture.name);
    if (reference == capture.name) reference.clear();
    const Record* referenceRecord =
        reference.empty() || records.count(reference) == 0 ? nullptr : &records.at(reference);

    const std::optional<Record> previous =
        o.force ? std::nullopt : readRecord(settings.report, capture.name);
    const fs::file_time_type inputs = newestInput(capture);
    std::error_code error;
    const fs::file_time_type recorded =
        fs::last_write_time(recordPath(settings.report, capture.name), error);
    const bool sameKorrin = previous && previous->korrinSettings == korrinSettings(settings);
    // A reference measured again since (in this run or an earlier one) calibrates anew.
    std::error_code referenceError;
    const bool referenceNewer =
        redone.count(reference) > 0 ||
        (!reference.empty() &&
         fs::last_write_time(recordPath(settings.report, reference), referenceError) > recorded);
    const bool upToDate = previous && !error && recorded > inputs && sameKorrin &&
                          previous->status != "failed" && !referenceNewer &&
                          previous->reconstructSettings == reconstructSettings(settings, reference);
    const std::string counter =
        "[" + std::to_string(i + 1) + "/" + std::to_string(order.size()) + "] ";
    if (upToDate) {
      records[capture.name] = *previous;
      std::cout << counter << capture.name << ": up to date (" << previous->status << ")\n"
                << std::flush;
      continue;
    }
    const bool keepResult = sameKorrin &&
                            (previous->status == "ok" || previous->status == "not-detected") &&
                            resultUsable(settings.report, *previous, inputs);
    const Record record = processCapture(capture, settings, programs, referenceRecord,
                                         keepResult ? &*previous : nullptr);
    records[capture.name] = record;
    redone.insert(capture.name);
    busySeconds += record.seconds;
    ++busy;

    std::string line = counter + capture.name + ": ";
    if (record.framesListed >= 0) line += std::to_string(record.framesListed) + " frames, ";
    line += record.status + ", " + duration(record.seconds);
    const size_t left = order.size() - i - 1;
    if (left > 0) {
      line += "; " + std::to_string(left) + " to go, about " +
              duration(busySeconds / busy * static_cast<double>(left)) + " left";
    }
    std::cout << line << "\n" << std::flush;
    publish();  // an interrupted night still leaves the table of what is done
  }
  const std::vector<Record> table = publish();

  std::map<std::string, int> counts;
  std::vector<const Record*> failed, skipped;
  for (const Record& r : table) {
    ++counts[r.status];
    if (r.status == "failed") failed.push_back(&r);
    if (r.status == "skipped") skipped.push_back(&r);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - nightStart).count();
  std::cout << "Done in " << duration(seconds) << ": " << counts["ok"] << " measured, "
            << counts["not-detected"] << " without a companion detected, " << counts["skipped"]
            << " skipped, " << counts["failed"] << " failed; see "
            << (fs::path(o.out) / "report.html").string() << "\n";
  for (const Record* r : skipped) std::cout << "Skipped " << r->name << ": " << r->reason << "\n";
  for (const Record* r : failed) std::cout << "Failed " << r->name << ": " << r->reason << "\n";
  return failed.empty() ? 0 : 1;
}

}  // namespace
}  // namespace korrin::night

int main(int argc, char** argv) {
  korrin::night::Options o;
  CLI::App app(korrin::night::kDescription, "korrin-night");
  korrin::tool::configure(app);
  app.add_option("NIGHT_DIR", o.night, "the night's captures")->required();
  app.add_option("--out", o.out, "the report directory (created if missing)")
      ->type_name("REPORT_DIR");
  app.add_flag("--list", o.list, "print the names of the captures found, one a line, and stop");
  app.add_option("--only", o.only,
                 "do only these captures (and their reference stars); repeat or separate by "
                 "commas")
      ->delimiter(',')
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("NAME")
      ->default_str("");
  app.add_option("--ref", o.ref, "the reference star's capture for every target")
      ->type_name("CAPTURE");
  app.add_option("--refs", o.refs,
                 "reference captures by target: lines 'TARGET REFERENCE_CAPTURE', # comments")
      ->type_name("FILE");
  app.add_option("--scale", o.scale, "arcsec per pixel: separations in arcsec")
      ->check(CLI::PositiveNumber)
      ->type_name("ARCSEC_PER_PIXEL");
  app.add_option("--north-angle", o.northAngle,
                 "angle from +y towards -x to north (korrin-reconstruct's convention)")
      ->check(CLI::Range(-360.0, 360.0))
      ->type_name("DEG");
  app.add_flag("--flip", o.flip, "the optics mirror the sky");
  app.add_option("--kmax", o.kmax,
                 "largest frequency of u in the bispectrum (korrin's --kmax, default 60)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--dkmax", o.dkmax,
                 "largest frequency of v in the bispectrum (korrin's --dkmax, default 9)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--mask-radius", o.maskRadius,
                 "star mask radius in pixels, 0 for none (korrin's --mask_radius, default 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--mask-interval", o.maskInterval,
                 "frames between new random masks (korrin's --mask_interval, default 10)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--force", o.force, "do every capture again, even when up to date");
  app.add_flag("--keep-frames", o.keepFrames,
               "keep the frames korrin-prepare converts recordings into (REPORT_DIR/NAME/capture)");
  return korrin::tool::cliMain(app, argc, argv, [&] {
    if (!o.list && o.out.empty()) throw korrin::tool::UsageError("--out=REPORT_DIR is required");
    return korrin::night::runNight(o);
  });
}
