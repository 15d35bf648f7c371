// Double-star measurement: a two-point model fitted to the calibrated modulus, the side of the
// companion taken from the recovered phases, which the modulus alone cannot tell.
#pragma once

#include <cstddef>

#include "tools/reconstruct/modulus.h"
#include "tools/reconstruct/phase_recovery.h"

namespace korrin::reconstruct {

// Uncertainties are 1 sigma. Pixels: x along NAXIS1 (the column), y along NAXIS2 (the row), the
// first stored row being y = 0, as in the input frames.
struct BinaryMeasurement {
  // The companion's fringe contrast over its 1-sigma error; detected from 5 on. Without a
  // detection no other field is meaningful.
  double significance = 0;
  bool detected = false;
  double dx = 0, dy = 0, dxErr = 0, dyErr = 0;  // companion minus primary (the brighter star)
  double separation = 0, separationErr = 0;
  double angleDeg = 0, angleErrDeg = 0;  // atan2(dy, dx), 0 .. 360
  double fluxRatio = 0, fluxRatioErr = 0;
  double deltaMag = 0, deltaMagErr = 0;
  // How clearly the phases place the companion at (dx, dy) rather than at (-dx, -dy): the
  // number of standard errors by which they fit that side better, and the probability it gives
  // that the side is right, from 0.5 (they cannot tell, as for an equal pair) to 1.
  double quadrantConfidence = 0.5;
  double quadrantSignificance = 0;
  // The frequencies of the modulus fit: one of each pair f, -f, with inner <= |f| <= outer.
  std::size_t frequencies = 0;
  double innerRadius = 0, outerRadius = 0;
};

BinaryMeasurement measureBinary(const CalibratedModulus& modulus, const PhaseSolution& phases);

// The sky orientation of the frames. North is +y turned by northAngleDeg towards -x; east lies
// 90 degrees further on in the same sense (-x when northAngleDeg is 0), or the other way with
// flip, for optics that mirror the sky.
struct SkyOrientation {
  double northAngleDeg = 0;
  bool flip = false;
};

// The position angle of the offset (dx, dy), from north through east, 0 .. 360 degrees.
double positionAngle(double dx, double dy, const SkyOrientation& sky);

}  // namespace korrin::reconstruct
