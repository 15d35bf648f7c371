// The worker's optimised frame path against its straightforward one on real FITS files: the
// same console lines and the same slot sums, word for word, including the share's end rules
// (a file that does not load, a non-finite frame, a frame of another width ending the share
// with a partial batch pending).
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run/frame_worker.h"
#include "spectral/bispectrum.h"
#include "tests/spectral/spectral_test_util.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

using test::SampleType;

struct Slot {
  // The worker only adds: the slot starts from sums it already holds, or from a run's fresh
  // zeros (which lets the optimised path keep the power on the half spectrum).
  Slot(int kmax, int dkmax, bool fresh)
      : re(128 * 128),
        im(re.size()),
        power(fresh ? std::vector<float>(re.size()) : test::uniform(re.size(), 3u, 0.0f, 1.0f)) {
    std::mt19937 rng(9u);
    bispRe = test::uniform(static_cast<size_t>(bispectrumSize(kmax, dkmax)), rng, -1.0f, 1.0f);
    bispIm = test::uniform(bispRe.size(), rng, -1.0f, 1.0f);
    annulus.init(128, 128, 0, 0);
  }
  std::vector<float> re, im, power, bispRe, bispIm;
  StarAnnulus annulus;
  std::string console;

  void run(const std::vector<std::string>& files, int kmax, int dkmax, KernelPath path) {
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    processFilesOnPath<128>(files, kmax, dkmax, 0, 10, re, im, bispRe, bispIm, power, annulus,
                            path);
    std::cout.rdbuf(saved);
    console = captured.str();
  }
};

std::vector<float> speckleFrame(std::mt19937& rng) {
  constexpr int width = 128;
  std::uniform_real_distribution<float> spot(0.0f, static_cast<float>(width));
  std::vector<float> pixels = test::uniform(width * width, rng, 900.0f, 950.0f);
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
                         speckleFrame(rng));
  }
  // A missing file and a frame with an infinity are skipped without touching the slot.
  files.insert(files.begin() + 2, dir.file("missing.fits"));
  std::vector<float> bad = speckleFrame(rng);
  bad[77] = std::numeric_limits<float>::infinity();
  files.insert(files.begin() + 4, dir.file("inf.fits"));
  test::writeFitsImage(files[4], 128, 128, SampleType::F32, bad);
  test::writeConstantFits(dir.file("wide.fits"), 256, 3.0f);

  // Share one runs to its end; share two stops at a wide frame with frames pending.
  const std::vector<std::string> shares[] = {
      files,
      {files[0], files[1], files[3], dir.file("wide.fits"), files[5]},
  };
  for (const auto& share : shares) {
    for (const auto& [kmax, dkmax] : {std::pair{60, 9}, std::pair{63, 4}, std::pair{0, 0}}) {
      for (const bool fresh : {false, true}) {
        Slot reference(kmax, dkmax, fresh), optimised(kmax, dkmax, fresh);
        reference.run(share, kmax, dkmax, KernelPath::Reference);
        optimised.run(share, kmax, dkmax, GetParam());
        SCOPED_TRACE("K=" + std::to_string(kmax) + " D=" + std::to_string(dkmax) +
                     (fresh ? " fresh slot" : ""));
        EXPECT_EQ(reference.console, optimised.console);
        EXPECT_EQ(test::firstDifference(reference.power, optimised.power), -1);
        EXPECT_EQ(test::firstDifference(reference.bispRe, optimised.bispRe), -1);
        EXPECT_EQ(test::firstDifference(reference.bispIm, optimised.bispIm), -1);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, FramePath,
                         ::testing::Values(KernelPath::Auto, KernelPath::Portable, KernelPath::Avx2,
                                           KernelPath::Avx512),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                           return std::string(kernelPathName(info.param));
                         });

}  // namespace
}  // namespace korrin
