// The worker's optimised frame path against its straightforward one on real FITS files of every
// sample type: the same console lines and the same slot sums, word for word, including the share's
// end rules (a file that does not load or is cut short, a non-finite frame, a frame of another
// width ending the share with a partial batch pending). The optimised path decodes each frame
// straight into the transform's input, the straightforward one loads it the ordinary way.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "run/frame_worker.h"
#include "spectral/bispectrum.h"
#include "tests/hostile/hostile_corpus.h"
#include "tests/spectral/spectral_test_util.h"
#include "tests/support/fits_fixture.h"
#include "tests/support/temp_dir.h"

namespace korrin {
namespace {

struct Slot {
  // The worker only adds: the slot starts from sums it already holds, or from a run's fresh
  // zeros (which lets the optimised path keep the power on the half spectrum).
  Slot(int kmax, int dkmax, bool fresh)
      : power(fresh ? std::vector<float>(re.size()) : test::uniform(re.size(), 3u, 0.0f, 1.0f)) {
    std::mt19937 rng(9u);
    bispRe = test::uniform(static_cast<size_t>(bispectrumSize(kmax, dkmax)), rng, -1.0f, 1.0f);
    bispIm = test::uniform(bispRe.size(), rng, -1.0f, 1.0f);
    annulus.init(128, 128, 0, 0);
  }
  std::vector<float> re = std::vector<float>(128 * 128), im = re, power, bispRe, bispIm;
  StarAnnulus annulus;
  std::string console;

  void run(const std::vector<std::string>& files, int kmax, int dkmax, KernelPath path) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    processFilesOnPath<128>(files, kmax, dkmax, 0, 10, re, im, bispRe, bispIm, power, annulus,
                            path);
    console = testing::internal::GetCapturedStdout();
    console += testing::internal::GetCapturedStderr();
  }
};

class FramePath : public ::testing::TestWithParam<KernelPath> {};

TEST_P(FramePath, SlotAndConsoleEqualTheStraightforwardPath) {
  if (!kernelPathSupported(GetParam())) GTEST_SKIP() << "not supported by this CPU";
  const test::TempDir dir;
  std::vector<std::string> files;
  for (int i = 0; i < 6; ++i) {
    files.push_back(dir.file(std::to_string(i) + ".fits"));
    test::writeBytes(files.back(), test::validFrameBytes(128, std::vector{8, 16, -32}[i % 3], i));
  }
  // A missing file and a frame with an infinity are skipped without touching the slot; frames
  // cut short are read with zeros, with and without BZERO.
  std::string infinite = test::validFrameBytes(128, -32, 9);
  infinite.replace(2880 + 4 * 77, 4, "\x7f\x80\0\0", 4);
  files.insert(files.begin() + 2, {dir.file("missing.fits"), dir.file("inf.fits")});
  test::writeBytes(files[3], infinite);
  files.push_back(dir.file("cut.fits"));
  test::writeBytes(files.back(), test::header("BZERO=32768") + test::samples16({1, 2, 3}));
  files.push_back(dir.file("short.fits"));
  test::writeBytes(files.back(), test::validFrameBytes(128, 16, 8).substr(0, 9000));
  test::writeConstantFits(dir.file("wide.fits"), 256, 3.0f);

  // Share one runs to its end; share two stops at a wide frame with frames pending.
  const std::vector<std::string> shares[] = {
      files, {files[0], files[1], files[4], dir.file("wide.fits"), files[5]}};
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
