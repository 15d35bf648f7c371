#include "tools/inspect/result_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace korrin {

namespace {

constexpr size_t kFixedBytes = 4 + 8 + 4 + 4 + 8;  // width, two checksums, kmax, dkmax

template <class T>
T littleEndian(std::string_view bytes, size_t at) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
  Bits v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    v |= static_cast<Bits>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return std::bit_cast<T>(v);
}

std::string number(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// Same bits, or both NaN: a stored NaN checksum is consistent with values that sum to NaN.
bool sameSum(double stored, double computed) {
  return stored == computed || (std::isnan(stored) && std::isnan(computed));
}

}  // namespace

PhaseLayout::Run PhaseLayout::runFor(int width, int dkmax, int u) {
  // Kept when the component of -(u+v), width/2 - (u + v), is a valid index 0 .. width-1.
  Run run;
  run.first = std::max(-dkmax, 1 - width / 2 - u);
  const int last = std::min(dkmax, width / 2 - u);
  run.length = std::max(0, last - run.first + 1);
  return run;
}

PhaseLayout::PhaseLayout(int width, int kmax, int dkmax) : kmax_(kmax) {
  int64_t xTotal = 0;
  for (int ux = -kmax; ux <= kmax; ++ux) {
    Run run = runFor(width, dkmax, ux);
    run.before = xTotal;
    xTotal += run.length;
    x_.push_back(run);
  }
  for (int uy = 0; uy <= kmax; ++uy) {
    Run run = runFor(width, dkmax, uy);
    run.before = yTotal_;
    yTotal_ += run.length;
    y_.push_back(run);
  }
  count_ = xTotal * yTotal_;
}

int64_t PhaseLayout::position(int ux, int uy, int vx, int vy) const {
  if (ux < -kmax_ || ux > kmax_ || uy < 0 || uy > kmax_) return -1;
  const Run& rx = x_[static_cast<size_t>(ux + kmax_)];
  const Run& ry = y_[static_cast<size_t>(uy)];
  const int64_t ix = int64_t{vx} - rx.first;
  const int64_t iy = int64_t{vy} - ry.first;
  if (ix < 0 || ix >= rx.length || iy < 0 || iy >= ry.length) return -1;
  // All pairs of smaller ux come first (each x pair with every y pair), then, within this ux, all
  // pairs of smaller uy, then vx, with vy running fastest.
  return rx.before * yTotal_ + rx.length * ry.before + ix * ry.length + iy;
}

std::optional<float> ResultData::phaseAt(int ux, int uy, int vx, int vy) const {
  const int64_t at = PhaseLayout(width, kmax, dkmax).position(ux, uy, vx, vy);
  if (at < 0) return std::nullopt;
  return phases[static_cast<size_t>(at)];
}

ReadOutcome parseResult(std::string_view bytes) {
  ReadOutcome outcome;
  const auto fail = [&outcome](std::string why) {
    outcome.error = std::move(why);
    return outcome;
  };
  const size_t size = bytes.size();
  const std::string sizeText = "file is " + std::to_string(size) + " bytes long";
  if (size < 4) return fail(sizeText + ", too short to hold even the width");

  ResultData r;
  r.width = littleEndian<int32_t>(bytes, 0);
  if (r.width != 128 && r.width != 256 && r.width != 512 && r.width != 1024) {
    return fail("width field is " + std::to_string(r.width) +
                ", not one of 128, 256, 512, 1024: not a result file");
  }
  const size_t w = static_cast<size_t>(r.width);
  const size_t pixels = w * w;
  const size_t headerEnd = 4 + 8 * pixels + 8 + 4 + 4;  // up to the first phase
  if (size < headerEnd + 8) {
    return fail(sizeText + ", too short for a width of " + std::to_string(r.width) + " (at least " +
                std::to_string(headerEnd + 8) + " bytes)");
  }
  r.kmax = littleEndian<int32_t>(bytes, headerEnd - 8);
  r.dkmax = littleEndian<int32_t>(bytes, headerEnd - 4);
  const int32_t limit = r.width / 2 - 1;
  if (r.kmax < 0 || r.kmax > limit) {
    return fail("kmax field is " + std::to_string(r.kmax) + ", outside 0.." +
                std::to_string(limit) + " for width " + std::to_string(r.width));
  }
  if (r.dkmax < 0 || r.dkmax > limit) {
    return fail("dkmax field is " + std::to_string(r.dkmax) + ", outside 0.." +
                std::to_string(limit) + " for width " + std::to_string(r.width));
  }
  const int64_t phaseCount = PhaseLayout(r.width, r.kmax, r.dkmax).count();
  const size_t expected = kFixedBytes + 8 * pixels + 4 * static_cast<size_t>(phaseCount);
  if (size != expected) {
    return fail(sizeText + ", but width " + std::to_string(r.width) + ", kmax " +
                std::to_string(r.kmax) + " and dkmax " + std::to_string(r.dkmax) + " need " +
                std::to_string(expected) + " bytes (" + std::to_string(phaseCount) + " phases)");
  }

  // Sums in file order, as the writer took them, so a sound file matches to the last bit.
  r.power.resize(pixels);
  double powerSum = 0.0;
  size_t at = 4;
  for (size_t c = 0; c < w; ++c) {
    for (size_t row = 0; row < w; ++row, at += 8) {
      const double v = littleEndian<double>(bytes, at);
      r.power[row * w + c] = v;
      powerSum += v;
    }
  }
  r.powerChecksum = littleEndian<double>(bytes, at);
  if (!sameSum(r.powerChecksum, powerSum)) {
    return fail("power checksum does not match: stored " + number(r.powerChecksum) +
                ", the power values sum to " + number(powerSum));
  }

  at = headerEnd;
  r.phases.resize(static_cast<size_t>(phaseCount));
  double phaseSum = 0.0;
  for (float& p : r.phases) {
    p = littleEndian<float>(bytes, at);
    at += 4;
    phaseSum += static_cast<double>(p);
  }
  r.phaseChecksum = littleEndian<double>(bytes, at);
  if (!sameSum(r.phaseChecksum, phaseSum)) {
    return fail("phase checksum does not match: stored " + number(r.phaseChecksum) +
                ", the phases sum to " + number(phaseSum));
  }
  outcome.result = std::move(r);
  return outcome;
}

ReadOutcome readResultFile(const std::string& path) {
  // A directory opens for reading on Linux and only fails at the first read.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    ReadOutcome outcome;
    outcome.error = "is a directory";
    return outcome;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ReadOutcome outcome;
    outcome.error = std::string("cannot open: ") + std::strerror(errno);
    return outcome;
  }
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    ReadOutcome outcome;
    outcome.error = "read error";
    return outcome;
  }
  return parseResult(bytes);
}

}  // namespace korrin
