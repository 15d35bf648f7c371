// Reading and checking a result file (.krn1): its layout, its length and both checksums.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

// Where each bispectrum phase sits in the file. The file lists the pairs ux outermost, then uy,
// vx, vy, leaving out every pair whose -(u+v) falls outside the W x W spectrum; along each axis
// the kept v form one contiguous run, so a position is a few prefix sums away.
class PhaseLayout {
 public:
  // width > 0 and even; kmax, dkmax >= 0.
  PhaseLayout(int width, int kmax, int dkmax);

  int64_t count() const { return count_; }
  // File position (0-based, in phases) of the pair u = (ux, uy), v = (vx, vy); -1 when the pair
  // is not in the file.
  int64_t position(int ux, int uy, int vx, int vy) const;

 private:
  struct Run {
    int first = 0;       // lowest kept v on this axis
    int length = 0;      // number of kept v
    int64_t before = 0;  // kept (u, v) pairs on this axis for all smaller u
  };
  static Run runFor(int width, int dkmax, int u);

  int kmax_;
  std::vector<Run> x_;  // indexed by ux + kmax
  std::vector<Run> y_;  // indexed by uy
  int64_t yTotal_ = 0;
  int64_t count_ = 0;
};

struct ResultData {
  int32_t width = 0;
  int32_t kmax = 0;
  int32_t dkmax = 0;
  // Mean power spectrum, row-major with the zero frequency at row W/2, column W/2: frequency
  // (fx, fy) at (fy + W/2) * W + (fx + W/2). The file stores it column by column instead.
  std::vector<double> power;
  double powerChecksum = 0;
  std::vector<float> phases;  // in file order
  double phaseChecksum = 0;

  double powerAt(int fx, int fy) const {
    return power[static_cast<size_t>(fy + width / 2) * static_cast<size_t>(width) +
                 static_cast<size_t>(fx + width / 2)];
  }
  // The phase of (u, v) in radians; empty when the pair is not in the file.
  std::optional<float> phaseAt(int ux, int uy, int vx, int vy) const;
};

struct ReadOutcome {
  std::optional<ResultData> result;
  std::string error;  // what is wrong, when result is empty
};

// Parses the bytes of a result file and checks the width, the length that width, kmax and dkmax
// imply, and both checksums (which must match exactly: they are sums in file order).
ReadOutcome parseResult(std::string_view bytes);

// Reads the whole file and parses it.
ReadOutcome readResultFile(const std::string& path);

}  // namespace korrin
