// The result reader against files the real writer produced, and the autocorrelation against a
// case worked out by hand.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "result/result_file.h"
#include "spectral/bispectrum.h"
#include "tests/support/temp_dir.h"
#include "tools/inspect/previews.h"
#include "tools/inspect/result_reader.h"

namespace korrin {
namespace {

using Slots = std::vector<std::vector<float>>;

// A result file from the product's writer: one slot, one frame, power = its index + 1 and
// bispectrum sums (index + 1, -(index % 7 + 1)), so every value tells where it came from.
std::string writtenResult(int width, int kmax, int dkmax) {
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(width);
  const auto elements = static_cast<size_t>(bispectrumSize(kmax, dkmax));
  Slots power(1, std::vector<float>(pixels)), re(1, std::vector<float>(elements)),
      im(1, std::vector<float>(elements));
  for (size_t i = 0; i < pixels; ++i) power[0][i] = static_cast<float>(i + 1);
  for (size_t i = 0; i < elements; ++i) {
    re[0][i] = static_cast<float>(i + 1);
    im[0][i] = -static_cast<float>(i % 7 + 1);
  }
  test::TempDir tmp;
  const std::string path = tmp.file("r.krn1");
  writeResultFile(path, width, 1, kmax, dkmax, power, re, im);
  return test::readBytes(path);
}

// The phase writtenResult's sums give the pair (u, v).
float expectedPhase(int kmax, int dkmax, int ux, int uy, int vx, int vy) {
  const auto i = static_cast<double>(bispectrumIndex(kmax, dkmax, ux, uy, vx, vy));
  return static_cast<float>(std::atan2(-(std::fmod(i, 7.0) + 1), i + 1));
}

// Every pair of the boxes is found where the writer put it, or nowhere when the writer left it
// out. (128, 62, 3) drops pairs on the high and the low side of x; (128, 4, 63) whole rows.
TEST(ResultReader, FindsEveryValueWhereTheWriterPutIt) {
  for (const auto& [w, k, d] : std::vector<std::tuple<int, int, int>>{
           {128, 62, 3}, {128, 0, 0}, {256, 5, 2}, {128, 63, 6}, {128, 4, 63}}) {
    SCOPED_TRACE(std::to_string(w) + " " + std::to_string(k) + " " + std::to_string(d));
    const ReadOutcome outcome = parseResult(writtenResult(w, k, d));
    ASSERT_TRUE(outcome.result) << outcome.error;
    const ResultData& r = *outcome.result;
    EXPECT_EQ(std::tuple(r.width, r.kmax, r.dkmax), std::tuple(w, k, d));
    // Memory order in the writer's slot, column by column in the file, memory order again here.
    const int h = w / 2;
    for (const auto& [fx, fy] :
         std::vector<std::pair<int, int>>{{0, 0}, {-h, -h}, {h - 1, -h}, {-h, h - 1}, {5, -17}}) {
      EXPECT_EQ(r.powerAt(fx, fy), (fy + h) * w + (fx + h) + 1) << fx << "," << fy;
    }
    const PhaseLayout layout(w, k, d);
    int64_t found = 0, wrong = 0;
    for (int ux = -k; ux <= k; ++ux)
      for (int uy = 0; uy <= k; ++uy)
        for (int vx = -d; vx <= d; ++vx)
          for (int vy = -d; vy <= d; ++vy) {
            const int64_t at = layout.position(ux, uy, vx, vy);
            if (at < 0) continue;
            ++found;
            wrong += r.phases[static_cast<size_t>(at)] != expectedPhase(k, d, ux, uy, vx, vy);
          }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(found, phaseCount(w, k, d));
    EXPECT_EQ(layout.count(), found);
  }
  const ResultData r = *parseResult(writtenResult(128, 62, 3)).result;
  EXPECT_EQ(r.phaseAt(-62, 61, -1, 3), expectedPhase(62, 3, -62, 61, -1, 3));
  EXPECT_FALSE(r.phaseAt(62, 0, 3, 0));  // -(u+v) beyond the spectrum's edge: not in the file
  // Outside the boxes altogether.
  const PhaseLayout layout(256, 4, 2);
  EXPECT_EQ(layout.position(5, 0, 0, 0), -1);
  EXPECT_EQ(layout.position(0, -1, 0, 0), -1);
  EXPECT_EQ(layout.position(0, 0, 3, 0), -1);
  EXPECT_EQ(layout.position(0, 0, 0, -3), -1);
}

TEST(ResultReader, NamesWhatIsWrongWithADamagedFile) {
  const int w = 128, k = 2, d = 1;
  const std::string good = writtenResult(w, k, d);
  const size_t powerEnd = 4 + 8 * 128 * 128;
  const auto with = [&good](size_t at, const void* value, size_t size) {
    std::string bytes = good;
    std::memcpy(bytes.data() + at, value, size);
    return bytes;
  };
  const int32_t width100 = 100, kmax64 = 64, dkmaxMinus = -1;
  const double power = 1e30;
  const float phase = 3.0f;
  const struct {
    const char* what;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"empty", "", "file is 0 bytes long, too short to hold even the width"},
      {"width", with(0, &width100, 4),
       "width field is 100, not one of 128, 256, 512, 1024: not a result file"},
      {"short power", good.substr(0, 1000),
       "file is 1000 bytes long, too short for a width of 128 (at least 131100 bytes)"},
      {"kmax", with(powerEnd + 8, &kmax64, 4), "kmax field is 64, outside 0..63 for width 128"},
      {"dkmax", with(powerEnd + 12, &dkmaxMinus, 4),
       "dkmax field is -1, outside 0..63 for width 128"},
      {"one byte more", good + "x",
       "file is 131641 bytes long, but width 128, kmax 2 and dkmax 1 need 131640 bytes (135 "
       "phases)"},
  };
  ASSERT_EQ(good.size(), 131640u);
  for (const auto& c : cases) {
    const ReadOutcome outcome = parseResult(c.bytes);
    EXPECT_FALSE(outcome.result) << c.what;
    EXPECT_EQ(outcome.error, c.error) << c.what;
  }
  // One changed value in either section breaks its checksum, and the message says which.
  const ReadOutcome badPower = parseResult(with(4 + 8 * 500, &power, 8));
  EXPECT_EQ(badPower.error.rfind("power checksum does not match: stored ", 0), 0u)
      << badPower.error;
  const ReadOutcome badPhase = parseResult(with(powerEnd + 16 + 4 * 44, &phase, 4));
  EXPECT_EQ(badPhase.error.rfind("phase checksum does not match: stored ", 0), 0u)
      << badPhase.error;
  // Stored checksum edited instead of a value: same verdict.
  const double checksum = 0.5;
  EXPECT_NE(parseResult(with(powerEnd, &checksum, 8)).error.find("power checksum"),
            std::string::npos);
  EXPECT_NE(parseResult(with(good.size() - 8, &checksum, 8)).error.find("phase checksum"),
            std::string::npos);

  EXPECT_EQ(readResultFile("/").error, "is a directory");
}

TEST(Autocorrelation, TwoPointImageGivesItsPeaksAtThePlusAndMinusSeparation) {
  // I = delta at p plus a * delta at p + s. Per frame the file holds |F / W^2|^2 =
  // (1 + a^2 + 2a cos(2 pi f.s / W)) / W^4; the autocovariance is (1/W^2) sum I(x) I(x + lag)
  // minus the squared mean m^2: (1 + a^2)/W^2 - m^2 at 0, a/W^2 - m^2 at +-s, -m^2 elsewhere.
  const int w = 128, sx = 3, sy = -5;
  const double a = 0.5;
  ResultData r;
  r.width = w;
  r.power.resize(static_cast<size_t>(w) * w);
  const double w2 = static_cast<double>(w) * w;
  for (int fy = -w / 2; fy < w / 2; ++fy) {
    for (int fx = -w / 2; fx < w / 2; ++fx) {
      const double phase = 2 * std::numbers::pi * (fx * sx + fy * sy) / w;
      r.power[static_cast<size_t>((fy + w / 2) * w + fx + w / 2)] =
          (1 + a * a + 2 * a * std::cos(phase)) / (w2 * w2);
    }
  }
  const std::vector<float> image = autocorrelationImage(r);
  const double m2 = (1 + a) * (1 + a) / (w2 * w2);
  const auto at = [&](int lx, int ly) {
    return image[static_cast<size_t>((ly + w / 2) * w + lx + w / 2)];
  };
  const double tolerance = 1e-3 / w2;
  EXPECT_NEAR(at(0, 0), (1 + a * a) / w2 - m2, tolerance);
  EXPECT_NEAR(at(sx, sy), a / w2 - m2, tolerance);
  EXPECT_NEAR(at(-sx, -sy), a / w2 - m2, tolerance);
  // Swapped axes or a lost sign would put the peak here instead.
  EXPECT_NEAR(at(sy, sx), -m2, tolerance);
  EXPECT_NEAR(at(sx, -sy), -m2, tolerance);
  EXPECT_NEAR(at(1, 0), -m2, tolerance);
  EXPECT_NEAR(at(-w / 2, -w / 2), -m2, tolerance);
}

}  // namespace
}  // namespace korrin
