// korrin-night end to end: a simulated night of four captures through the real programs, its
// table, its page, a second run that redoes nothing, and its refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fits_fixture.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::TempDir;

ProcessResult night(std::vector<std::string> args) {
  return test::runProgram(KORRIN_NIGHT_BINARY, args);
}

void simulate(std::vector<std::string> args, const std::string& width = "128") {
  args.insert(args.end(), {"--width=" + width, "--frames=24"});
  const ProcessResult r = test::runProgram(KORRIN_SIM_BINARY, args);
  ASSERT_EQ(r.exitCode, 0) << r.err;
}

std::vector<std::string> split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, by);) parts.push_back(part);
  if (!text.empty() && text.back() == by) parts.emplace_back();
  return parts;
}

// Every element closed in order (void elements aside), and every file the page names there.
void expectSoundPage(const fs::path& report) {
  const std::string page = test::readBytes((report / "report.html").string());
  std::vector<std::string> open;
  for (size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
    const size_t end = page.find('>', at);
    ASSERT_NE(end, std::string::npos);
    const std::string tag = page.substr(at + 1, end - at - 1);
    const std::string name = tag.substr(0, tag.find(' '));
    for (const char* attribute : {" src=\"", " href=\""}) {
      const size_t value = tag.find(attribute);
      if (value == std::string::npos || tag[value + std::strlen(attribute)] == '#') continue;
      const size_t from = value + std::strlen(attribute);
      const std::string file = tag.substr(from, tag.find('"', from) - from);
      EXPECT_TRUE(fs::is_regular_file(report / file)) << file;
    }
    if (name == "!DOCTYPE" || name == "meta" || name == "img") continue;
    if (name.front() != '/') {
      open.push_back(name);
    } else {
      ASSERT_FALSE(open.empty()) << tag;
      EXPECT_EQ(open.back(), name.substr(1));
      open.pop_back();
    }
  }
  EXPECT_TRUE(open.empty());
  // Failures and skipped captures before the table.
  EXPECT_LT(page.find("broken</a>: skipped: korrin would give a wrong or partial result"),
            page.find("<h2>Measurements"));
}

TEST(NightProgram, ANightOfFourCapturesToATableAPageAndNothingRedone) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "night", report = tmp.path() / "report";
  simulate({"--out=" + (dir / "binary").string(), "--separation=10", "--angle=30",
            "--start=2025-06-01T22:00:00"});
  simulate({"--out=" + (dir / "star").string(), "--name=star", "--ratio=0", "--seed=2",
            "--start=2025-06-01T23:30:00"});
  simulate({"--out=" + dir.string(), "--name=recording", "--format=ser", "--frame-size=160x144",
            "--separation=10", "--angle=30", "--seed=3", "--start=2025-06-02T01:00:00"});
  // Frames of two widths: some would never be read.
  simulate({"--out=" + (dir / "broken").string(), "--name=a"});
  simulate({"--out=" + tmp.file("wide"), "--name=b"}, "256");
  for (const char* frame : {"b_00001.fits", "b_00002.fits"}) {
    fs::rename(tmp.path() / "wide" / frame, dir / "broken" / frame);
  }
  test::writeBytes(tmp.file("refs.txt"),
                   "# target  reference\n\nbinary star\nrecording star # SER\n");
  const std::vector<std::string> args = {dir.string(), "--out=" + report.string(),
                                         "--refs=" + tmp.file("refs.txt")};

  const ProcessResult first = night(args);
  ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
  EXPECT_NE(first.out.find("[4/4]"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("\nSkipped broken: "), std::string::npos) << first.out;

  std::string csv = test::readBytes((report / "measurements.csv").string());
  ASSERT_EQ(csv.back(), '\n');
  csv.pop_back();
  const std::vector<std::string> lines = split(csv, '\n');
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0],
            "name,epoch_besselian,frames_listed,frames_used,sep_px,sep_err_px,pa_deg,pa_err_deg,"
            "delta_mag,delta_mag_err,detected,quadrant_confidence,status,reference");
  std::map<std::string, std::vector<std::string>> rows;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> fields = split(lines[i], ',');
    ASSERT_EQ(fields.size(), 14u) << lines[i];
    rows[fields[0]] = fields;
  }
  // name, epoch, frames listed and used, detected, status, reference.
  const std::map<std::string, std::vector<std::string>> expected = {
      {"binary", {"2025.4184", "24", "24", "yes", "ok", "star"}},
      {"star", {"2025.4186", "24", "24", "no", "not-detected", ""}},
      {"recording", {"2025.4188", "24", "24", "yes", "ok", "star"}},
      {"broken", {"", "26", "", "", "skipped", ""}}};
  for (const auto& [name, want] : expected) {
    const std::vector<std::string>& row = rows[name];
    ASSERT_EQ(row.size(), 14u) << name;
    EXPECT_EQ((std::vector<std::string>{row[1], row[2], row[3], row[10], row[12], row[13]}), want)
        << name;
    if (want[3] == "yes") {
      EXPECT_NEAR(std::stod(row[4]), 10, 0.1) << name;
      EXPECT_NEAR(std::stod(row[6]), 30, 1) << name;
    }
  }
  expectSoundPage(report);

  // Nothing changed: nothing is done again, not even rewritten.
  const fs::file_time_type written = fs::last_write_time(report / "binary" / "binary.krn1");
  const ProcessResult second = night(args);
  ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
  for (const char* name : {"binary", "star", "recording", "broken"}) {
    EXPECT_NE(second.out.find(std::string(name) + ": up to date"), std::string::npos) << second.out;
  }
  EXPECT_EQ(fs::last_write_time(report / "binary" / "binary.krn1"), written);

  // Refusals, with the night in place; none writes a report.
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } refusals[] = {
      {{dir.string()}, 2, "korrin-night: --out=REPORT_DIR is required\n"},
      {{dir.string(), "--out=" + tmp.file("r"), "--scael=1"},
       2,
       "korrin-night: unknown option --scael (did you mean --scale?)\n"},
      {{dir.string(), "--out=" + tmp.file("r"), "--ref=vega"},
       1,
       "korrin-night: --ref: no capture named 'vega' in the night\n"},
      {{tmp.file("none"), "--out=" + tmp.file("r")},
       1,
       "korrin-night: " + tmp.file("none") + ": not a directory\n"},
  };
  for (const auto& c : refusals) {
    const ProcessResult r = night(c.args);
    EXPECT_EQ(r.exitCode, c.status) << r.err;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
  }
  EXPECT_FALSE(fs::exists(tmp.file("r")));
}

}  // namespace
}  // namespace korrin
