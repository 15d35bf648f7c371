// The body of one worker task: loads, masks, transforms and accumulates every frame of its share.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "spectral/bispectrum_batch.h"
#include "spectral/star_annulus.h"

namespace korrin {

// One worker taken apart into its three stages, so that the run driver can order them across
// workers: planning is serial (one planner lock) and measured, about 0.1 s, while the first touch
// of a slot's sums and the batch's buffers costs tens of milliseconds of page faults. The stages
// run in this order for any one worker, but the memory of a worker may be prepared by another
// thread (the caller orders the hand-over).
template <int Width>
class FrameWorker {
 public:
  // Keeps references to the slot's vectors; allocates nothing yet.
  FrameWorker(int kmax, int dkmax, std::vector<float>& re, std::vector<float>& im,
              std::vector<float>& bispRe, std::vector<float>& bispIm, std::vector<float>& power,
              KernelPath path);
  FrameWorker(const FrameWorker&) = delete;
  FrameWorker& operator=(const FrameWorker&) = delete;
  ~FrameWorker();

  // Memory only: the batch, which takes over the slot's current sums.
  void prepareSums();
  // Creates the FFT engine (plans while holding the planner lock).
  void prepareEngine();
  // Processes the share in order and leaves the sums in the slot. Requires both stages above.
  void run(const std::vector<std::string>& files, int maskRadius, int maskInterval,
           StarAnnulus& annulus);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

template <int Width>
void processFiles(const std::vector<std::string>& files, int kmax, int dkmax, int maskRadius,
                  int maskInterval, std::vector<float>& re, std::vector<float>& im,
                  std::vector<float>& bispRe, std::vector<float>& bispIm, std::vector<float>& power,
                  StarAnnulus& annulus);

// processFiles with the accumulation path chosen by the caller (tests, benchmarks). Every path
// gives the same sums bit for bit; a path the CPU cannot run is replaced by the portable one.
template <int Width>
void processFilesOnPath(const std::vector<std::string>& files, int kmax, int dkmax, int maskRadius,
                        int maskInterval, std::vector<float>& re, std::vector<float>& im,
                        std::vector<float>& bispRe, std::vector<float>& bispIm,
                        std::vector<float>& power, StarAnnulus& annulus, KernelPath path);

// The path the first overload uses: Auto, unless the build chose another.
KernelPath defaultKernelPath();

// Keeps the pixels at the ascending targets and sets every other pixel to `fill`, in one pass.
// Targets below 0 each keep one pixel at the start; targets past the end are never reached.
void fillOutsideTargets(float* pixels, int pixelCount, const std::vector<int>& keepOffsets,
                        int centre, float fill);

}  // namespace korrin
