#include "tools/night/report.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifndef KORRIN_VERSION
#define KORRIN_VERSION "unknown"
#endif

namespace korrin::night {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

// The record file's keys, one list per type that both the writer and the reader walk, so the two
// cannot drift apart. `R` is the type or its const.
template <class R, class Visit>
void recordFields(R& r, Visit&& visit) {
  visit("name", r.name);
  visit("kind", r.kind);
  visit("source", r.source);
  visit("status", r.status);
  visit("reason", r.reason);
  visit("warnings", r.warnings);
  visit("note", r.note);
  visit("epoch_besselian", r.epoch);
  visit("frames_listed", r.framesListed);
  visit("frames_used", r.framesUsed);
  visit("width", r.width);
  visit("reference", r.reference);
  visit("seconds", r.seconds);
  visit("korrin_settings", r.korrinSettings);
  visit("reconstruct_settings", r.reconstructSettings);
}

// Under "files".
template <class R, class Visit>
void fileFields(R& r, Visit&& visit) {
  visit("result", r.result);
  visit("log", r.log);
  visit("autocorr_png", r.autocorrPng);
  visit("power_png", r.powerPng);
  visit("image_png", r.imagePng);
  visit("json", r.json);
}

// Under "measurement", present when the reconstruction ran.
template <class M, class Visit>
void measurementFields(M& m, Visit&& visit) {
  visit("detected", m.detected);
  visit("significance", m.significance);
  visit("separation_px", m.separation);
  visit("separation_err_px", m.separationErr);
  visit("separation_arcsec", m.separationArcsec);
  visit("separation_err_arcsec", m.separationErrArcsec);
  visit("position_angle_deg", m.positionAngle);
  visit("position_angle_err_deg", m.positionAngleErr);
  visit("delta_mag", m.deltaMag);
  visit("delta_mag_err", m.deltaMagErr);
  visit("quadrant_confidence", m.quadrantConfidence);
}

template <class T>
json toJson(const T& value) {
  return json(value);
}

json toJson(const std::optional<double>& value) {
  return value ? json(*value) : json(nullptr);
}

// Every key must be there, except that an absent number is written as null.
template <class T>
void fromJson(const json& j, const char* key, T& value) {
  value = j.at(key).get<T>();
}

void fromJson(const json& j, const char* key, std::optional<double>& value) {
  value = j.contains(key) && j.at(key).is_number() ? std::optional(j.at(key).get<double>())
                                                   : std::nullopt;
}

std::string fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A relative path as a URL: every byte but the unreserved ones and '/' percent-encoded.
std::string url(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    }
  }
  return out;
}

std::string separationText(const Measurement& m, bool arcsec) {
  if (arcsec && m.separationArcsec) {
    return fixed(*m.separationArcsec, 4) + " &plusmn; " + fixed(*m.separationErrArcsec, 4) +
           "&Prime; (" + fixed(m.separation, 3) + " px)";
  }
  return fixed(m.separation, 3) + " &plusmn; " + fixed(m.separationErr, 3) + " px";
}

}  // namespace

fs::path recordPath(const fs::path& report, const std::string& name) {
  return report / name / (name + "-night.json");
}

void replaceFile(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".partial-" + std::to_string(::getpid());
  std::ofstream file(temporary, std::ios::binary);
  file << text;
  file.close();
  std::error_code error;
  if (!file) {
    fs::remove(temporary, error);
    throw std::runtime_error("cannot write " + path.string());
  }
  fs::rename(temporary, path, error);
  if (error) throw std::runtime_error("cannot write " + path.string() + ": " + error.message());
}

void writeRecord(const fs::path& report, const Record& r) {
  json j, files;
  recordFields(r, [&](const char* key, const auto& value) { j[key] = toJson(value); });
  fileFields(r, [&](const char* key, const auto& value) { files[key] = toJson(value); });
  j["files"] = files;
  if (r.measurement) {
    json m;
    measurementFields(*r.measurement,
                      [&](const char* key, const auto& value) { m[key] = toJson(value); });
    j["measurement"] = m;
  }
  replaceFile(recordPath(report, r.name), j.dump(2) + "\n");
}

std::optional<Record> readRecord(const fs::path& report, const std::string& name) {
  std::ifstream file(recordPath(report, name));
  if (!file) return std::nullopt;
  try {
    const json j = json::parse(file);
    Record r;
    recordFields(r, [&](const char* key, auto& value) { fromJson(j, key, value); });
    const json& files = j.at("files");
    fileFields(r, [&](const char* key, auto& value) { fromJson(files, key, value); });
    if (j.contains("measurement")) {
      Measurement m;
      measurementFields(
          m, [&](const char* key, auto& value) { fromJson(j.at("measurement"), key, value); });
      r.measurement = m;
    }
    return r;
  } catch (const json::exception&) {
    return std::nullopt;  // damaged or of another version: the capture is done again
  }
}

void writeCsv(const fs::path& report, const std::vector<Record>& records, bool arcsec) {
  std::ostringstream csv;
  const std::string unit = arcsec ? "arcsec" : "px";
  csv << "name,epoch_besselian,frames_listed,frames_used,sep_" << unit << ",sep_err_" << unit
      << ",pa_deg,pa_err_deg,delta_mag,delta_mag_err,detected,quadrant_confidence,status,"
         "reference\n";
  for (const Record& r : records) {
    const auto count = [](long n) { return n < 0 ? std::string() : std::to_string(n); };
    csv << csvField(r.name) << "," << (r.epoch ? fixed(*r.epoch, 4) : "") << ","
        << count(r.framesListed) << "," << count(r.framesUsed) << ",";
    const Measurement* m = r.measurement ? &*r.measurement : nullptr;
    if (m != nullptr && m->detected) {
      const bool inArcsec = arcsec && m->separationArcsec;
      csv << (inArcsec ? fixed(*m->separationArcsec, 4) : fixed(m->separation, 3)) << ","
          << (inArcsec ? fixed(*m->separationErrArcsec, 4) : fixed(m->separationErr, 3)) << ","
          << fixed(m->positionAngle, 2) << "," << fixed(m->positionAngleErr, 2) << ","
          << fixed(m->deltaMag, 3) << "," << fixed(m->deltaMagErr, 3) << ",yes,"
          << fixed(m->quadrantConfidence, 4);
    } else {
      csv << ",,,,,," << (m != nullptr ? "no" : "") << ",";
    }
    csv << "," << r.status << "," << csvField(r.reference) << "\n";
  }
  replaceFile(report / "measurements.csv", csv.str());
}

void writeHtml(const fs::path& report, const std::string& night, const std::vector<Record>& records,
               bool arcsec) {
  std::ostringstream page;
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", &utc);
  int counts[4] = {0, 0, 0, 0};
  for (const Record& r : records) {
    counts[r.status == "ok" ? 0 : r.status == "not-detected" ? 1 : r.status == "skipped" ? 2 : 3]++;
  }
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       << "<title>Korrin night " << escape(night) << "</title>\n"
       << "<style>\nbody { font-family: sans-serif; margin: 2em; }\n"
          "table { border-collapse: collapse; }\n"
          "td, th { border: 1px solid #999; padding: 0.2em 0.5em; text-align: right; }\n"
          "td:first-child { text-align: left; }\n"
          ".failed, .skipped { color: #b00; }\n.warning { color: #a60; }\n"
          "figure { display: inline-block; margin: 0 1em 1em 0; }\n"
          "img { width: 256px; image-rendering: pixelated; background: #000; }\n"
          "</style>\n</head>\n<body>\n"
       << "<h1>Night " << escape(night) << "</h1>\n"
       << "<p>" << records.size() << " captures: " << counts[0] << " with a companion measured, "
       << counts[1] << " without a companion detected, " << counts[2] << " skipped, " << counts[3]
       << " failed. Written " << when << " by korrin-night " KORRIN_VERSION
       << "; the table is also in <a href=\"measurements.csv\">measurements.csv</a>.</p>\n";

  if (counts[2] + counts[3] > 0) {
    page << "<h2>Failed and skipped</h2>\n<ul>\n";
    for (size_t i = 0; i < records.size(); ++i) {
      const Record& r = records[i];
      if (r.status != "failed" && r.status != "skipped") continue;
      page << "<li class=\"" << r.status << "\"><a href=\"#capture-" << i << "\">" << escape(r.name)
           << "</a>: " << r.status << ": " << escape(r.reason) << "</li>\n";
    }
    page << "</ul>\n";
  }

  page << "<h2>Measurements</h2>\n<table>\n<tr><th>Capture</th><th>Epoch (B)</th>"
       << "<th>Frames used / listed</th><th>Separation</th><th>Position angle</th>"
       << "<th>&Delta;m</th><th>Quadrant confidence</th><th>Status</th></tr>\n";
  for (size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    page << "<tr><td><a href=\"#capture-" << i << "\">" << escape(r.name) << "</a></td><td>"
         << (r.epoch ? fixed(*r.epoch, 4) : "") << "</td><td>"
         << (r.framesListed < 0
                 ? std::string()
                 : (r.framesUsed < 0 ? std::string("?") : std::to_string(r.framesUsed)) + " / " +
                       std::to_string(r.framesListed))
         << "</td>";
    if (r.measurement && r.measurement->detected) {
      const Measurement& m = *r.measurement;
      page << "<td>" << separationText(m, arcsec) << "</td><td>" << fixed(m.positionAngle, 2)
           << "&deg; &plusmn; " << fixed(m.positionAngleErr, 2) << "</td><td>"
           << fixed(m.deltaMag, 3) << " &plusmn; " << fixed(m.deltaMagErr, 3) << "</td><td>"
           << fixed(m.quadrantConfidence, 4) << "</td>";
    } else {
      page << "<td></td><td></td><td></td><td></td>";
    }
    page << "<td class=\"" << r.status << "\">" << r.status << "</td></tr>\n";
  }
  page << "</table>\n<h2>Captures</h2>\n";

  for (size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    page << "<section id=\"capture-" << i << "\">\n<h3>" << escape(r.name) << " <span class=\""
         << r.status << "\">(" << r.status << ")</span></h3>\n<p>" << escape(r.kind) << " "
         << escape(r.source);
    if (r.framesListed >= 0) page << "; " << r.framesListed << " frames listed";
    if (r.framesUsed >= 0) page << ", " << r.framesUsed << " used";
    if (r.width > 0) page << "; " << r.width << " x " << r.width << " pixels";
    if (r.epoch) page << "; epoch B" << fixed(*r.epoch, 4);
    page << "; reference: " << (r.reference.empty() ? "none (ring means)" : escape(r.reference))
         << "</p>\n";
    if (!r.reason.empty())
      page << "<p class=\"" << r.status << "\">" << escape(r.reason) << "</p>\n";
    if (!r.warnings.empty() || !r.note.empty()) {
      page << "<ul>\n";
      for (const std::string& w : r.warnings) {
        page << "<li class=\"warning\">" << escape(w) << "</li>\n";
      }
      if (!r.note.empty()) page << "<li class=\"warning\">" << escape(r.note) << "</li>\n";
      page << "</ul>\n";
    }
    for (const auto& [file, caption] :
         {std::pair{&r.autocorrPng, "Autocorrelation (halo removed)"},
          {&r.imagePng, "Reconstructed image (north and east as calibrated; row 0 at the bottom)"},
          {&r.powerPng, "Mean power spectrum"}}) {
      if (file->empty()) continue;
      page << "<figure><img src=\"" << url(*file) << "\" alt=\"" << caption << " of "
           << escape(r.name) << "\"><figcaption>" << caption << "</figcaption></figure>\n";
    }
    if (r.measurement) {
      const Measurement& m = *r.measurement;
      if (m.detected) {
        page << "<p>Companion detected at " << fixed(m.significance, 1) << " sigma: separation "
             << separationText(m, arcsec) << ", position angle " << fixed(m.positionAngle, 2)
             << "&deg; &plusmn; " << fixed(m.positionAngleErr, 2) << ", &Delta;m "
             << fixed(m.deltaMag, 3) << " &plusmn; " << fixed(m.deltaMagErr, 3)
             << ", quadrant confidence " << fixed(m.quadrantConfidence, 4) << ".</p>\n";
      } else {
        page << "<p>No companion detected (" << fixed(m.significance, 1)
             << " sigma, 5 needed).</p>\n";
      }
    }
    page << "<p>";
    for (const auto& [file, label] :
         {std::pair{&r.log, "log"}, {&r.result, "result file"}, {&r.json, "measurement (JSON)"}}) {
      if (!file->empty()) page << "<a href=\"" << url(*file) << "\">" << label << "</a> ";
    }
    page << "</p>\n</section>\n";
  }
  page << "</body>\n</html>\n";
  replaceFile(report / "report.html", page.str());
}

}  // namespace korrin::night
