// The object's Fourier phase from the bispectrum phases of a result file.
//
// The file holds beta(u, v) = arg F(u) F(v) F(-(u + v)) of the forward transform with
// exp(-2 pi i f.x / W), so every stored pair ties three object phases together:
//     phase(u) + phase(v) - phase(u + v) = beta(u, v)   (mod 2 pi).
// The recursion of Lohmann, Weigelt and Wirnitzer walks outwards from the origin and sets each
// phase(w) to the argument of the weighted mean of the unit phasors exp(i (phase(u) + phase(v) -
// beta(u, v))) over all stored pairs with u + v = w whose phases are already known; a weighted
// least-squares fit of all closure relations inside the radius then refines it (Gauss-Newton on
// the wrapped residuals, conjugate gradients on the normal equations, no dense matrix).
// phase(0) = 0 and the tilt phases at (1, 0) and (0, 1) are fixed to 0: the image position is
// free. phase(-f) = -phase(f), and a pair whose u lies in the half plane the file leaves out is
// found as its negative, whose bispectrum is the complex conjugate.
#pragma once

#include <cstddef>
#include <vector>

#include "tools/inspect/result_reader.h"
#include "tools/reconstruct/frequency_plane.h"

namespace korrin::reconstruct {

struct PhaseOptions {
  double radius = 0;   // recover every frequency with |f| <= radius; at most the file's kmax
  bool refine = true;  // run the least-squares refinement after the recursion
  int maxRefinements = 4;
  int maxConjugateGradientSteps = 80;
};

struct PhaseSolution {
  FrequencyPlane plane;
  double radius = 0;
  // Centred layout; phase(-f) = -phase(f), in -pi .. pi; 0 outside the radius.
  std::vector<double> phase;
  // 0..1: how closely the recursion's estimates of a frequency agreed (the length of their mean
  // unit phasor); 0 outside the radius and where no stored pair reached the frequency.
  std::vector<double> consistency;
  std::size_t unknowns = 0;  // frequencies solved for, one of each pair f, -f
  std::size_t closures = 0;  // closure relations in the least squares
  int refinements = 0;
  double rmsResidual = 0;  // weighted rms of the wrapped closure residuals, radians
};

// `weight` (centred, 0..1) says how reliable the spectrum is at each frequency; a closure
// relation counts with the product of its three frequencies' weights.
PhaseSolution recoverPhases(const ResultData& result, const std::vector<double>& weight,
                            const PhaseOptions& options);

}  // namespace korrin::reconstruct
