#include "tests/support/result_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "tests/support/temp_dir.h"

namespace korrin::test {

namespace {

// The next little-endian value (the layout is little-endian whatever the host; tests run on one).
static_assert(std::endian::native == std::endian::little);
template <class T>
T little(const std::string& bytes, size_t& at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof(T));
  at += sizeof(T);
  return value;
}

}  // namespace

bool resultsAgree(const ResultContents& a, const ResultContents& b) {
  if (a.width != b.width || a.power.size() != b.power.size() ||
      a.phases.size() != b.phases.size()) {
    return false;
  }
  double largest = 0.0;
  for (double v : b.power) largest = std::max(largest, std::abs(v));
  for (size_t i = 0; i < a.power.size(); ++i) {
    if (std::abs(a.power[i] - b.power[i]) > 1e-5 * largest) return false;
  }
  size_t apart = 0;
  for (size_t i = 0; i < a.phases.size(); ++i) {
    double d = std::abs(static_cast<double>(a.phases[i]) - b.phases[i]);
    d = std::min(d, 2 * std::numbers::pi - d);
    if (d > 0.01) ++apart;
  }
  return apart <= a.phases.size() / 100;
}

std::optional<ResultContents> readResult(const std::string& path) {
  const std::string bytes = readBytes(path);
  if (bytes.size() < 28) return std::nullopt;
  ResultContents r;
  size_t at = 0;
  r.width = little<int32_t>(bytes, at);
  if (r.width <= 0 || r.width > 4096) return std::nullopt;
  const size_t pixels = static_cast<size_t>(r.width) * r.width;
  if (bytes.size() < 28 + 8 * pixels) return std::nullopt;
  r.power.resize(pixels);
  for (auto& v : r.power) v = little<double>(bytes, at);
  r.powerChecksum = little<double>(bytes, at);
  r.kmax = little<int32_t>(bytes, at);
  r.dkmax = little<int32_t>(bytes, at);
  if ((bytes.size() - 28 - 8 * pixels) % 4 != 0) return std::nullopt;
  const size_t phases = (bytes.size() - 28 - 8 * pixels) / 4;
  r.phases.resize(phases);
  for (auto& v : r.phases) v = little<float>(bytes, at);
  r.phaseChecksum = little<double>(bytes, at);
  return r;
}

}  // namespace korrin::test
