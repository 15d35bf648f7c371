// The worker's optimised frame path against its straightforward one on real FITS files: the
// same console lines and the same slot sums, word for word, including the share's end rules
// (a file that does not load, a non-finite frame, a frame of another width ending the share
// with a partial batch pending).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run/frame_worker.h"
#include "spectral/bispectrum.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::SampleType;

struct Slot {
  Slot(int width, int kmax, int dkmax)
      : re(static_cast<size_t>(width) * width),
        im(re.size()),
        power(re.size()),
        bispRe(static_cast<size_t>(bispectrumSize(kmax, dkmax))),
        bispIm(bispRe.size()) {
    annulus.init(width, width, 0, 0);
  }
  std::vector<float> re, im, power, bispRe, bispIm;
  StarAnnulus annulus;
  std::string console;
};

template <int W>
void runShare(const std::vector<std::string>& files, int kmax, int dkmax, KernelPath path,
              Slot& slot) {
  std::ostringstream captured;
  std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
  processFilesOnPath<W>(files, kmax, dkmax, 0, 10, slot.re, slot.im, slot.bispRe, slot.bispIm,
                        slot.power, slot.annulus, path);
  std::cout.rdbuf(saved);
  slot.console = captured.str();
}

bool sameWords(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i])) return false;
  }
  return true;
}

std::vector<float> speckleFrame(int width, std::mt19937& rng) {
  std::uniform_real_distribution<float> noise(0.0f, 50.0f);
  std::uniform_real_distribution<float> spot(0.0f, static_cast<float>(width));
  std::vector<float> pixels(static_cast<size_t>(width) * width);
  for (float& p : pixels) p = 900.0f + noise(rng);
  for (int s = 0; s < 12; ++s) {
    const float cx = spot(rng) * 0.3f + width * 0.35f;
    const float cy = spot(rng) * 0.3f + width * 0.35f;
    for (int y = 0; y < width; ++y) {
      for (int x = 0; x < width; ++x) {
        const float r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        pixels[static_cast<size_t>(y) * width + x] += 4000.0f * std::exp(-r2 / 4.0f);
      }
    }
  }
  return pixels;
}

class FramePath : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!kernelPathSupported(GetParam())) GTEST_SKIP() << "not supported by this CPU";
  }
};

TEST_P(FramePath, SlotAndConsoleEqualTheStraightforwardPath) {
  test::TempDir dir;
  std::mt19937 rng(5u);
  std::vector<std::string> files;
  for (int i = 0; i < 6; ++i) {
    files.push_back(dir.file(std::to_string(i) + ".fits"));
    test::writeFitsImage(files.back(), 128, 128, i % 2 ? SampleType::U16 : SampleType::F32,
                         speckleFrame(128, rng));
  }
  // A missing file and a frame with an infinity are skipped without touching the slot.
  files.insert(files.begin() + 2, dir.file("missing.fits"));
  std::vector<float> bad = speckleFrame(128, rng);
  bad[77] = std::numeric_limits<float>::infinity();
  files.insert(files.begin() + 4, dir.file("inf.fits"));
  test::writeFitsImage(files[4], 128, 128, SampleType::F32, bad);

  // Share one runs to its end; share two stops at a wide frame with frames pending.
  const std::vector<std::string> shares[] = {
      files,
      {files[0], files[1], files[3], dir.file("wide.fits"), files[5]},
  };
  test::writeConstantFits(dir.file("wide.fits"), 256, 3.0f);

  for (const auto& share : shares) {
    for (const auto& [kmax, dkmax] : {std::pair{60, 9}, std::pair{63, 4}, std::pair{0, 0}}) {
      Slot reference(128, kmax, dkmax), optimised(128, kmax, dkmax);
      runShare<128>(share, kmax, dkmax, KernelPath::Reference, reference);
      runShare<128>(share, kmax, dkmax, GetParam(), optimised);
      const std::string where = "K=" + std::to_string(kmax) + " D=" + std::to_string(dkmax);
      EXPECT_EQ(reference.console, optimised.console) << where;
      EXPECT_TRUE(sameWords(reference.power, optimised.power)) << where;
      EXPECT_TRUE(sameWords(reference.bispRe, optimised.bispRe)) << where;
      EXPECT_TRUE(sameWords(reference.bispIm, optimised.bispIm)) << where;
    }
  }
}

TEST_P(FramePath, AddsToSumsThatAreNotEmpty) {
  // The worker only adds: a slot that already holds sums keeps them as the first addend.
  test::TempDir dir;
  std::mt19937 rng(9u);
  const std::vector<std::string> files = {dir.file("a.fits"), dir.file("b.fits")};
  for (const auto& f : files)
    test::writeFitsImage(f, 256, 256, SampleType::F32, speckleFrame(256, rng));
  Slot reference(256, 60, 9), optimised(256, 60, 9);
  std::uniform_real_distribution<float> start(-1.0f, 1.0f);
  for (size_t i = 0; i < reference.bispRe.size(); ++i) {
    reference.bispRe[i] = optimised.bispRe[i] = start(rng);
    reference.bispIm[i] = optimised.bispIm[i] = start(rng);
  }
  runShare<256>(files, 60, 9, KernelPath::Reference, reference);
  runShare<256>(files, 60, 9, GetParam(), optimised);
  EXPECT_TRUE(sameWords(reference.power, optimised.power));
  EXPECT_TRUE(sameWords(reference.bispRe, optimised.bispRe));
  EXPECT_TRUE(sameWords(reference.bispIm, optimised.bispIm));
}

INSTANTIATE_TEST_SUITE_P(Paths, FramePath,
                         ::testing::Values(KernelPath::Auto, KernelPath::Portable, KernelPath::Avx2,
                                           KernelPath::Avx512),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                           return std::string(kernelPathName(info.param));
                         });

}  // namespace
}  // namespace korrin
