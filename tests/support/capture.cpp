#include "tests/support/capture.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korrin::test {

namespace fs = std::filesystem;

Capture::Capture()
    : dir_(tmp_.path() / "capture"),
      outDir_(tmp_.path() / "out"),
      result_((outDir_ / "r.krn1").string()) {
  fs::create_directories(dir_);
  fs::create_directories(outDir_);
}

std::string Capture::add(const std::string& name, const std::string& bytes) const {
  const std::string path = (dir_ / name).string();
  writeBytes(path, bytes);
  return path;
}

std::vector<std::string> Capture::args(const std::vector<std::string>& more) const {
  std::vector<std::string> all{"--dir=" + dir_.string(), "--out=" + result_, "--kmax=16",
                               "--dkmax=3", "--nprocs=1"};
  all.insert(all.end(), more.begin(), more.end());
  return all;
}

std::optional<ResultContents> Capture::result() const {
  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator(outDir_)) entries.push_back(e.path().string());
  if (entries.empty()) return std::nullopt;
  EXPECT_EQ(entries, std::vector<std::string>{result_});
  auto contents = readResult(result_);
  EXPECT_TRUE(contents.has_value()) << "result file is not complete";
  if (!contents) return contents;
  double power = 0.0, phases = 0.0;
  for (double v : contents->power) power += v;
  for (float v : contents->phases) phases += static_cast<double>(v);
  const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
  EXPECT_TRUE(same(contents->powerChecksum, power));
  EXPECT_TRUE(same(contents->phaseChecksum, phases));
  return contents;
}

bool hasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace korrin::test
