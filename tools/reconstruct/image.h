// The picture of the object: calibrated modulus and recovered phase combined, transformed back.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/reconstruct/modulus.h"
#include "tools/reconstruct/phase_recovery.h"

namespace korrin::reconstruct {

// W x W, row-major, x the column and y the row as in the input frames. The spectrum is used
// inside the phase radius, apodised with cos^2(pi |f| / (2 radius)) so the picture does not ring;
// the brightest pixel is moved to (W/2, W/2) and scaled to 1.
std::vector<float> reconstructImage(const CalibratedModulus& modulus, const PhaseSolution& phases);

// A 16-bit display stretch, asinh(v / 0.01) over asinh(1 / 0.01): linear below a hundredth of the
// peak, logarithmic above, so a companion a few magnitudes fainter than the primary still shows
// next to it. Negative values are black.
std::vector<uint16_t> displayImage(const std::vector<float>& image);

}  // namespace korrin::reconstruct
