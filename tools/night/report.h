// What a night leaves for its observer: one record per capture (kept beside the capture's files,
// so a later run knows what is done), the table of measurements and the page to look at.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korrin::night {

struct Measurement {
  bool detected = false;
  double significance = 0;
  double separation = 0, separationErr = 0;  // pixels
  std::optional<double> separationArcsec, separationErrArcsec;
  double positionAngle = 0, positionAngleErr = 0;  // degrees, north through east
  double deltaMag = 0, deltaMagErr = 0;
  double quadrantConfidence = 0;
};

// The outcome of one capture. Paths are relative to the report directory.
struct Record {
  std::string name, kind, source;
  std::string status;  // "ok", "not-detected", "skipped" (the check rejected it) or "failed"
  std::string reason;  // why it was skipped or failed
  std::vector<std::string> warnings;  // from the check and the main program
  std::string note;                   // from the previews and the reconstruction
  std::optional<double> epoch;        // Besselian year of mid-capture
  long framesListed = -1, framesUsed = -1;
  int width = 0;
  std::string reference;  // the reference capture used, empty for none
  std::optional<Measurement> measurement;
  double seconds = 0;
  std::string korrinSettings, reconstructSettings;
  std::string result, log, autocorrPng, powerPng, imagePng, json;
};

// The record file of capture `name` in the report directory.
std::filesystem::path recordPath(const std::filesystem::path& report, const std::string& name);
// Written under a temporary name and renamed, so a record is whole or absent.
void writeRecord(const std::filesystem::path& report, const Record& record);
// Empty when absent or unreadable.
std::optional<Record> readRecord(const std::filesystem::path& report, const std::string& name);

// measurements.csv: one row per record; the separation columns are named after their unit,
// arcsec with a scale, else pixels.
void writeCsv(const std::filesystem::path& report, const std::vector<Record>& records, bool arcsec);

// report.html: a static page, no scripts, failures and skipped captures at the top.
void writeHtml(const std::filesystem::path& report, const std::string& night,
               const std::vector<Record>& records, bool arcsec);

// Replaces `path` by `text` through a temporary file and a rename.
void replaceFile(const std::filesystem::path& path, const std::string& text);

}  // namespace korrin::night
