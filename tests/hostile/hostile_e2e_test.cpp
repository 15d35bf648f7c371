// Every hostile file through the real binary, once as the capture's only (so first) frame and
// once behind a valid first frame. Whatever the file holds, the run ends by exit, with the
// expected line, and the result file is either complete or absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <ostream>

#include "app/capture_scan.h"
#include "tests/hostile/hostile_corpus.h"
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

// Small limits keep the runs quick; nothing here depends on their values.
const std::vector<std::string> kLimits{"--kmax=16", "--dkmax=3", "--nprocs=1"};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(text.substr(start, end - start));
  }
  return out;
}

bool hasLine(const std::string& text, const std::string& line) {
  const auto all = lines(text);
  return std::find(all.begin(), all.end(), line) != all.end();
}

std::string withPath(std::string text, const std::string& path) {
  const std::string marker = "<PATH>";
  for (size_t at; (at = text.find(marker)) != std::string::npos;)
    text.replace(at, marker.size(), path);
  return text;
}

ProcessResult run(const fs::path& capture, const fs::path& out) {
  std::vector<std::string> args{"--dir=" + capture.string(), "--out=" + out.string()};
  args.insert(args.end(), kLimits.begin(), kLimits.end());
  return test::runKorrinBinary(args);
}

bool sameValue(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

// The output directory holds the result and nothing else (no temporary left behind), or nothing.
std::optional<ResultContents> resultIn(const fs::path& outDir, const fs::path& result) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(outDir)) {
    entries.push_back(entry.path().filename().string());
  }
  if (entries.empty()) return std::nullopt;
  EXPECT_EQ(entries, std::vector<std::string>{result.filename().string()});
  auto contents = test::readResult(result.string());
  EXPECT_TRUE(contents.has_value()) << "result file is not complete";
  if (contents) {
    double powerTotal = 0.0;
    for (double v : contents->power) powerTotal += v;
    double phaseTotal = 0.0;
    for (float v : contents->phases) phaseTotal += static_cast<double>(v);
    EXPECT_TRUE(sameValue(contents->powerChecksum, powerTotal));
    EXPECT_TRUE(sameValue(contents->phaseChecksum, phaseTotal));
  }
  return contents;
}

bool allZero(const ResultContents& r) {
  return std::all_of(r.power.begin(), r.power.end(), [](double v) { return v == 0.0; }) &&
         std::all_of(r.phases.begin(), r.phases.end(), [](float v) { return v == 0.0f; });
}

bool allFinite(const ResultContents& r) {
  return std::all_of(r.power.begin(), r.power.end(), [](double v) { return std::isfinite(v); }) &&
         std::all_of(r.phases.begin(), r.phases.end(), [](float v) { return std::isfinite(v); });
}

bool supportedWidth(int w) {
  return w == 128 || w == 256 || w == 512 || w == 1024;
}

class HostileInput : public testing::TestWithParam<HostileCase> {
 protected:
  // The valid frame alone: what a run of the valid frame plus one frame that adds nothing
  // must reproduce, with every power value halved by the divisor of two listed files.
  static void SetUpTestSuite() {
    reference_ = new test::TempDir;
    const fs::path capture = reference_->path() / "capture";
    const fs::path outDir = reference_->path() / "out";
    fs::create_directories(capture);
    fs::create_directories(outDir);
    writeValid(capture / "good_1.fits");
    const ProcessResult r = run(capture, outDir / "r.krn1");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    referenceResult_ = new ResultContents(*test::readResult((outDir / "r.krn1").string()));
  }
  static void TearDownTestSuite() {
    delete referenceResult_;
    delete reference_;
  }

  static void writeValid(const fs::path& path) {
    test::writeBytes(path.string(), test::validFrameBytes(128, 16, 7));
  }

  static void expectHalfReference(const ResultContents& r) {
    EXPECT_TRUE(test::resultsAgree(r, *referenceResult_, 0.5));
  }

  static test::TempDir* reference_;
  static ResultContents* referenceResult_;
};

test::TempDir* HostileInput::reference_ = nullptr;
ResultContents* HostileInput::referenceResult_ = nullptr;

TEST_P(HostileInput, AsTheFirstFrame) {
  const HostileCase& hostile = GetParam();
  test::TempDir dir;
  const fs::path capture = dir.path() / "capture";
  const fs::path outDir = dir.path() / "out";
  fs::create_directories(capture);
  fs::create_directories(outDir);
  const std::string path = test::materialize(hostile, capture).string();
  const fs::path result = outDir / "r.krn1";

  const ProcessResult r = run(capture, result);
  ASSERT_EQ(r.termSignal, 0);
  const std::optional<ResultContents> contents = resultIn(outDir, result);

  if (hostile.kind == EntryKind::kDirectory) {
    EXPECT_TRUE(hasLine(r.out, "Found 0 files"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "No fits files found in " + capture.string() + "/\n");
    EXPECT_FALSE(contents);
    return;
  }
  if (hostile.kind == EntryKind::kSymlinkLoop) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Cannot list capture directory " + capture.string() +
                         "/: y.fits: Too many levels of symbolic links\n");
    EXPECT_FALSE(contents);
    return;
  }

  EXPECT_TRUE(hasLine(r.out, "Found 1 files")) << r.out;
  if (!hostile.loads) {
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(hasLine(r.out, "Error loading " + path)) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Unsupported image width -1")) << r.out;
    EXPECT_EQ(r.err, withPath(hostile.readerMessage, path));
    EXPECT_FALSE(contents);
    return;
  }
  EXPECT_EQ(r.err, "");
  if (!supportedWidth(hostile.width)) {
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(hasLine(r.out, "Unsupported image width " + std::to_string(hostile.width)));
    EXPECT_FALSE(contents);
    return;
  }
  const int w = hostile.width;
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Using " + std::to_string(w) + "x" + std::to_string(w) + " FFT"));
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->width, w);
  if (hostile.height != w) {
    EXPECT_TRUE(hasLine(r.out, "Skipping " + path + " height " + std::to_string(hostile.height)))
        << r.out;
    EXPECT_TRUE(allZero(*contents));
  } else if (!hostile.finite) {
    EXPECT_TRUE(hasLine(r.out, "Skipping " + path + ": non-finite pixel values")) << r.out;
    EXPECT_TRUE(allZero(*contents));
  } else if (hostile.tooLarge) {
    EXPECT_TRUE(hasLine(r.out, "Skipping " + path + ": pixel values too large")) << r.out;
    EXPECT_TRUE(allZero(*contents));
  } else {
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_TRUE(allFinite(*contents));
  }
}

TEST_P(HostileInput, BehindAValidFirstFrame) {
  const HostileCase& hostile = GetParam();
  test::TempDir dir;
  const fs::path capture = dir.path() / "capture";
  const fs::path outDir = dir.path() / "out";
  fs::create_directories(capture);
  fs::create_directories(outDir);
  const std::string path = test::materialize(hostile, capture).string();

  // The listing order is the file system's; rename the valid frame until it comes first.
  fs::path valid = capture / "good_1.fits";
  writeValid(valid);
  bool validFirst = false;
  for (int attempt = 0; attempt < 4000 && !validFirst; ++attempt) {
    const fs::path next = capture / ("good" + std::to_string(attempt) + "_1.fits");
    fs::rename(valid, next);
    valid = next;
    std::vector<std::string> files;
    std::string reason;
    findFitsFiles(capture.string() + "/", files, reason);
    validFirst =
        !files.empty() && files.front() == capture.string() + "/" + valid.filename().string();
  }
  ASSERT_TRUE(validFirst || hostile.kind == EntryKind::kSymlinkLoop);

  const fs::path result = outDir / "r.krn1";
  const ProcessResult r = run(capture, result);
  ASSERT_EQ(r.termSignal, 0);
  const std::optional<ResultContents> contents = resultIn(outDir, result);

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

  std::string skipLine;
  if (!hostile.loads) {
    skipLine = "Error loading " + path;
  } else if (hostile.width != 128) {
    skipLine = "Skipping " + path + " width " + std::to_string(hostile.width);
  } else if (hostile.height != 128) {
    skipLine = "Skipping " + path + " height " + std::to_string(hostile.height);
  } else if (!hostile.finite) {
    skipLine = "Skipping " + path + ": non-finite pixel values";
  } else if (hostile.tooLarge) {
    skipLine = "Skipping " + path + ": pixel values too large";
  }
  EXPECT_EQ(r.err, hostile.loads ? "" : withPath(hostile.readerMessage, path));
  if (skipLine.empty()) {
    EXPECT_EQ(r.out.find("Skipping"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Error loading"), std::string::npos) << r.out;
    EXPECT_TRUE(allFinite(*contents));
  } else {
    EXPECT_TRUE(hasLine(r.out, skipLine)) << r.out;
    // The frame adds nothing, but still counts in the power divisor.
    expectHalfReference(*contents);
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileInput, testing::ValuesIn(test::hostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           return info.param.name;
                         });

// All hostile files in one capture behind a valid first frame, dealt to two workers that meet
// them at the same time.
TEST(HostileCorpus, WholeCorpusInOneCaptureWithTwoWorkers) {
  test::TempDir dir;
  const fs::path capture = dir.path() / "capture";
  const fs::path outDir = dir.path() / "out";
  fs::create_directories(capture);
  fs::create_directories(outDir);
  int files = 0;
  for (const auto& hostile : test::hostileCases()) {
    if (hostile.kind != EntryKind::kFile) continue;
    test::materialize(hostile, capture);
    ++files;
  }
  fs::path valid = capture / "good_1.fits";
  test::writeBytes(valid.string(), test::validFrameBytes(128, 16, 7));
  for (int attempt = 0; attempt < 4000; ++attempt) {
    std::vector<std::string> listed;
    std::string reason;
    findFitsFiles(capture.string() + "/", listed, reason);
    if (listed.front() == capture.string() + "/" + valid.filename().string()) break;
    const fs::path next = capture / ("good" + std::to_string(attempt) + "_1.fits");
    fs::rename(valid, next);
    valid = next;
  }
  const fs::path result = outDir / "r.krn1";
  const ProcessResult r =
      test::runKorrinBinary({"--dir=" + capture.string(), "--out=" + result.string(), "--kmax=16",
                             "--dkmax=3", "--nprocs=2"});
  ASSERT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Found " + std::to_string(files + 1) + " files"));
  // Every line on standard error is one of the reader's messages.
  for (const auto& line : lines(r.err)) {
    EXPECT_TRUE(line.rfind("fitsio.cpp (", 0) == 0 || line.rfind("negative ", 0) == 0) << line;
  }
  const auto contents = resultIn(outDir, result);
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->width, 128);
}

TEST(HostileCorpus, HasAtLeastFortyDistinctCases) {
  const auto cases = test::hostileCases();
  EXPECT_GE(cases.size(), 40u);
  std::vector<std::string> names;
  for (const auto& c : cases) names.push_back(c.fileName);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

}  // namespace
}  // namespace korrin
