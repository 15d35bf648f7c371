// The run driver: learns the width from the first frame, deals the frames out to parallel worker
// tasks and has their sums merged into the result file.
#pragma once

#include <string>
#include <vector>

#include "spectral/star_annulus.h"

namespace korrin {

// 0 after the result file was written, -1 when the run was refused (first frame unreadable or of
// an unsupported width, kmax or dkmax out of range) or the result could not be written (said on
// standard error).
// Requires at least one path and 1 <= nthreads <= files.size().
int calcKRN(const std::vector<std::string>& files, int nthreads, int kmax, int dkmax,
            int maskRadius, int maskInterval, std::string outPath);

// nthreads lists; path i goes to list i mod min(n, nthreads), so the lists past the path count
// stay empty.
std::vector<std::vector<std::string>> dealShares(const std::vector<std::string>& files,
                                                 int nthreads);

using SlotVectors = std::vector<std::vector<float>>;

// Deals path i to share i mod S (S = min(n, nthreads)), runs one task per share and waits for
// them in launch order.
template <int Width>
void launchTasks(const std::vector<std::string>& files, int nthreads, int kmax, int dkmax,
                 int maskRadius, int maskInterval, SlotVectors& re, SlotVectors& im,
                 SlotVectors& bispRe, SlotVectors& bispIm, SlotVectors& power,
                 std::vector<StarAnnulus>& annuli);

}  // namespace korrin
