// The object's Fourier modulus from a mean power spectrum: the additive noise bias removed and the
// atmosphere-telescope transfer function divided out, either by a reference star's spectrum or,
// without one, by the spectrum's own mean over each ring of frequencies.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "tools/reconstruct/frequency_plane.h"

namespace korrin::reconstruct {

enum class Calibration {
  kReference,  // squared = gain * A |O|^2, A an unknown scale
  kRingMean,   // squared = gain * |O|^2 / (mean of |O|^2 over the ring of f)
};

struct ModulusOptions {
  double cutoff = 0;  // cycles per frame where the signal ends; 0: estimate it from the spectrum
};

struct CalibratedModulus {
  FrequencyPlane plane;
  Calibration calibration = Calibration::kRingMean;
  double bias = 0;           // the noise bias of the power, per frequency
  double biasSpread = 0;     // the spread of the power values it was taken from
  double referenceBias = 0;  // likewise for the reference; 0 without one
  double cutoff = 0;
  bool cutoffEstimated = false;
  // Per frequency, in the centred layout; all 0 at the zero frequency and beyond the cutoff.
  std::vector<double> squared;  // the calibrated squared modulus, see Calibration
  std::vector<double> gain;     // what the regularisation of small transfer values leaves, 0..1
  // squared = (power - bias) * inverse; 0 where the transfer function holds no signal.
  std::vector<double> inverse;
  std::vector<double> referencePower;  // the reference's power; empty without one
  // (power - bias) / power, clamped to 0..1: how much of the power is the object's signal.
  std::vector<double> signalFraction;

  // The 1-sigma error of `squared` at frequency i (centred index), up to a factor common to all
  // frequencies, where its expected value is `expected`. The mean of many frames' power has the
  // same relative error at every frequency (speckle noise, with the bias's share), so its error
  // grows with the expected power; a reference adds its own error in the same way.
  double sigma(std::size_t i, double expected) const {
    const double power = expected / inverse[i] + bias;
    const double fromReference = referencePower.empty() ? 0.0 : expected * referencePower[i];
    return std::hypot(power, fromReference) * inverse[i];
  }
};

// Empty when `power` (centred, W x W) can be calibrated, otherwise what is wrong with it.
std::string checkPowerSpectrum(const FrequencyPlane& plane, const std::vector<double>& power);

// `reference` (null for none) must have the width of `power`; both must pass checkPowerSpectrum.
// Throws std::runtime_error when no signal stands above the noise bias.
CalibratedModulus calibrateModulus(const FrequencyPlane& plane, const std::vector<double>& power,
                                   const std::vector<double>* reference,
                                   const ModulusOptions& options);

}  // namespace korrin::reconstruct
