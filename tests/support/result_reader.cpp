#include "tests/support/result_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "tests/support/temp_dir.h"

namespace korrin::test {

namespace {

// The next little-endian value, whatever the host's byte order.
template <class T>
T little(const std::string& bytes, size_t& at) {
  std::array<char, sizeof(T)> raw;
  std::memcpy(raw.data(), bytes.data() + at, sizeof(T));
  at += sizeof(T);
  if constexpr (std::endian::native == std::endian::big) std::reverse(raw.begin(), raw.end());
  return std::bit_cast<T>(raw);
}

}  // namespace

int64_t expectedPhaseCount(int width, int kmax, int dkmax) {
  int64_t count = 0;
  for (int ux = -kmax; ux <= kmax; ++ux)
    for (int uy = 0; uy <= kmax; ++uy)
      for (int vx = -dkmax; vx <= dkmax; ++vx)
        for (int vy = -dkmax; vy <= dkmax; ++vy) {
          const int cx = width / 2 - (ux + vx);
          const int cy = width / 2 - (uy + vy);
          if (cx >= 0 && cx < width && cy >= 0 && cy < width) ++count;
        }
  return count;
}

bool resultsAgree(const ResultContents& a, const ResultContents& b, double powerScale) {
  if (a.width != b.width || a.power.size() != b.power.size() ||
      a.phases.size() != b.phases.size()) {
    return false;
  }
  double largest = 0.0;
  for (double v : b.power) largest = std::max(largest, std::abs(v * powerScale));
  for (size_t i = 0; i < a.power.size(); ++i) {
    if (std::abs(a.power[i] - b.power[i] * powerScale) > 1e-5 * largest) return false;
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
  if (r.kmax < 0 || r.dkmax < 0 || r.kmax > 2048 || r.dkmax > 2048) return std::nullopt;
  const auto phases = static_cast<size_t>(expectedPhaseCount(r.width, r.kmax, r.dkmax));
  if (bytes.size() != 28 + 8 * pixels + 4 * phases) return std::nullopt;
  r.phases.resize(phases);
  for (auto& v : r.phases) v = little<float>(bytes, at);
  r.phaseChecksum = little<double>(bytes, at);
  return r;
}

}  // namespace korrin::test
