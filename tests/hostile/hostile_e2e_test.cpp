// Every hostile file through the real binary, once as the capture's only (so first) frame and
// once behind a valid first frame. Whatever the file holds, the run ends by exit, with the
// expected line, and the result file is either complete or absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <ostream>
#include <sstream>

#include "tests/hostile/hostile_corpus.h"
#include "tests/hostile/listed_first.h"
#include "tests/support/result_reader.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace korrin::test {
// Test listings show the case's name, not its bytes.
void PrintTo(const HostileCase& hostile, std::ostream* os) {
  *os << hostile.name;
}
}  // namespace korrin::test

namespace korrin {
namespace {

namespace fs = std::filesystem;
using test::EntryKind;
using test::HostileCase;
using test::ProcessResult;
using test::ResultContents;

bool hasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::string withPath(std::string text, const std::string& path) {
  const std::string marker = "<PATH>";
  for (size_t at; (at = text.find(marker)) != std::string::npos;)
    text.replace(at, marker.size(), path);
  return text;
}

// The worker's line for a frame that adds nothing to a run of width `runWidth`, or "".
std::string skipLine(const HostileCase& hostile, const std::string& path, int runWidth) {
  const std::string skipping = "Skipping " + path;
  if (!hostile.loads) return "Error loading " + path;
  if (hostile.width != runWidth) return skipping + " width " + std::to_string(hostile.width);
  if (hostile.height != runWidth) return skipping + " height " + std::to_string(hostile.height);
  if (!hostile.finite) return skipping + ": non-finite pixel values";
  if (hostile.tooLarge) return skipping + ": pixel values too large";
  return "";
}

bool sameValue(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

bool allZero(const ResultContents& r) {
  return std::all_of(r.power.begin(), r.power.end(), [](double v) { return v == 0.0; }) &&
         std::all_of(r.phases.begin(), r.phases.end(), [](float v) { return v == 0.0f; });
}

bool allFinite(const ResultContents& r) {
  return std::all_of(r.power.begin(), r.power.end(), [](double v) { return std::isfinite(v); }) &&
         std::all_of(r.phases.begin(), r.phases.end(), [](float v) { return std::isfinite(v); });
}

// A capture directory and a separate output directory; small limits keep the runs quick.
struct Capture {
  test::TempDir dir;
  fs::path capture = dir.path() / "capture";
  fs::path outDir = dir.path() / "out";
  fs::path result = outDir / "r.krn1";

  Capture() {
    fs::create_directories(capture);
    fs::create_directories(outDir);
  }
  fs::path addValid() const {
    const fs::path valid = capture / "good_1.fits";
    test::writeBytes(valid.string(), test::validFrameBytes(128, 16, 7));
    return valid;
  }
  ProcessResult run(int workers = 1) const {
    return test::runKorrinBinary({"--dir=" + capture.string(), "--out=" + result.string(),
                                  "--kmax=16", "--dkmax=3", "--nprocs=" + std::to_string(workers)});
  }
  // The output directory holds the complete result and nothing else (no temporary), or nothing.
  std::optional<ResultContents> resultFile() const {
    if (fs::is_empty(outDir)) return std::nullopt;
    EXPECT_EQ(fs::directory_iterator(outDir)->path(), result);
    EXPECT_EQ(std::distance(fs::directory_iterator(outDir), fs::directory_iterator()), 1);
    auto contents = test::readResult(result.string());
    EXPECT_TRUE(contents.has_value()) << "result file is not complete";
    if (contents) {
      double powerTotal = 0.0, phaseTotal = 0.0;
      for (double v : contents->power) powerTotal += v;
      for (float v : contents->phases) phaseTotal += static_cast<double>(v);
      EXPECT_TRUE(sameValue(contents->powerChecksum, powerTotal));
      EXPECT_TRUE(sameValue(contents->phaseChecksum, phaseTotal));
    }
    return contents;
  }
};

class HostileInput : public testing::TestWithParam<HostileCase> {
 protected:
  // The valid frame alone: a run of the valid frame plus one frame that adds nothing must
  // reproduce it, with every power value halved by the divisor of two listed files.
  static void SetUpTestSuite() {
    reference_ = new Capture;
    reference_->addValid();
    const ProcessResult r = reference_->run();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    referenceResult_ = new ResultContents(*test::readResult(reference_->result.string()));
  }
  static void TearDownTestSuite() {
    delete referenceResult_;
    delete reference_;
  }

  static Capture* reference_;
  static ResultContents* referenceResult_;
};

Capture* HostileInput::reference_ = nullptr;
ResultContents* HostileInput::referenceResult_ = nullptr;

TEST_P(HostileInput, AsTheFirstFrame) {
  const HostileCase& hostile = GetParam();
  const Capture c;
  const std::string path = test::materialize(hostile, c.capture).string();
  const ProcessResult r = c.run();
  ASSERT_EQ(r.termSignal, 0);
  const std::optional<ResultContents> contents = c.resultFile();

  if (hostile.kind == EntryKind::kDirectory) {
    EXPECT_TRUE(hasLine(r.out, "Found 0 files"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "No fits files found in " + c.capture.string() + "/\n");
    EXPECT_FALSE(contents);
    return;
  }
  if (hostile.kind == EntryKind::kSymlinkLoop) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Cannot list capture directory " + c.capture.string() +
                         "/: y.fits: Too many levels of symbolic links\n");
    EXPECT_FALSE(contents);
    return;
  }

  EXPECT_TRUE(hasLine(r.out, "Found 1 files")) << r.out;
  EXPECT_EQ(r.err, hostile.loads ? "" : withPath(hostile.readerMessage, path));
  const int w = hostile.width;
  if (!hostile.loads || (w != 128 && w != 256 && w != 512 && w != 1024)) {
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(hostile.loads || hasLine(r.out, "Error loading " + path)) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Unsupported image width " + std::to_string(hostile.loads ? w : -1)))
        << r.out;
    EXPECT_FALSE(contents);
    return;
  }
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Using " + std::to_string(w) + "x" + std::to_string(w) + " FFT"));
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->width, w);
  const std::string skip = skipLine(hostile, path, w);
  if (skip.empty()) {
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_TRUE(allFinite(*contents));
  } else {
    EXPECT_TRUE(hasLine(r.out, skip)) << r.out;
    EXPECT_TRUE(allZero(*contents));
  }
}

TEST_P(HostileInput, BehindAValidFirstFrame) {
  const HostileCase& hostile = GetParam();
  const Capture c;
  const std::string path = test::materialize(hostile, c.capture).string();
  const bool validFirst = !test::listedFirst(c.capture, c.addValid()).empty();
  ASSERT_TRUE(validFirst || hostile.kind == EntryKind::kSymlinkLoop);
  const ProcessResult r = c.run();
  ASSERT_EQ(r.termSignal, 0);
  const std::optional<ResultContents> contents = c.resultFile();

  if (hostile.kind == EntryKind::kSymlinkLoop) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("y.fits: Too many levels of symbolic links\n"), std::string::npos);
    EXPECT_FALSE(contents);
    return;
  }
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_TRUE(contents);
  if (hostile.kind == EntryKind::kDirectory) {
    EXPECT_TRUE(hasLine(r.out, "Found 1 files"));
    EXPECT_EQ(contents->power, referenceResult_->power);
    return;
  }
  EXPECT_TRUE(hasLine(r.out, "Found 2 files"));
  EXPECT_TRUE(hasLine(r.out, "Processing " + path)) << r.out;
  EXPECT_EQ(r.err, hostile.loads ? "" : withPath(hostile.readerMessage, path));
  const std::string skip = skipLine(hostile, path, 128);
  if (skip.empty()) {
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Error loading"), std::string::npos) << r.out;
    EXPECT_TRUE(allFinite(*contents));
  } else {
    EXPECT_TRUE(hasLine(r.out, skip)) << r.out;
    // The frame adds nothing, but still counts in the power divisor.
    EXPECT_TRUE(test::resultsAgree(*contents, *referenceResult_, 0.5));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileInput, testing::ValuesIn(test::hostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           return info.param.name;
                         });

// All hostile files in one capture behind a valid first frame, dealt to two workers that meet
// them at the same time.
TEST(HostileCorpus, WholeCorpusInOneCaptureWithTwoWorkers) {
  const Capture c;
  int files = 0;
  for (const auto& hostile : test::hostileCases()) {
    if (hostile.kind != EntryKind::kFile) continue;
    test::materialize(hostile, c.capture);
    ++files;
  }
  ASSERT_FALSE(test::listedFirst(c.capture, c.addValid()).empty());
  const ProcessResult r = c.run(2);
  ASSERT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Found " + std::to_string(files + 1) + " files"));
  // Every line on standard error is one of the reader's messages.
  std::istringstream err(r.err);
  for (std::string line; std::getline(err, line);) {
    EXPECT_TRUE(line.starts_with("fitsio.cpp (") || line.starts_with("negative ")) << line;
  }
  const auto contents = c.resultFile();
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->width, 128);
}

}  // namespace
}  // namespace korrin
