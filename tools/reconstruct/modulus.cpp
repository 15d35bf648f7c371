#include "tools/reconstruct/modulus.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "tools/reconstruct/statistics.h"

namespace korrin::reconstruct {

namespace {

// A ring mean or a transfer value counts as signal from this many standard errors of the noise
// on; the regularisation of the division starts at a third of it.
constexpr double kSignalSigmas = 5.0;
constexpr double kRegularisationSigmas = 3.0;

struct NoiseBias {
  double level = 0;
  double spread = 0;
};

// Detector and photon noise add a flat floor to every frequency. The corners of the spectrum,
// beyond W/2 from the centre, lie beyond the optical cutoff of any frame that samples the
// diffraction limit (lambda/D of 2 pixels or more), so they hold the floor alone. The median and
// the scaled median deviation keep a few hot frequencies (detector patterns) from moving it.
NoiseBias cornerBias(const FrequencyPlane& plane, const std::vector<double>& power) {
  std::vector<double> corner;
  const int h = plane.half();
  for (int fy = -h; fy < h; ++fy) {
    for (int fx = -h; fx < h; ++fx) {
      if (fx * fx + fy * fy > h * h) corner.push_back(power[plane.index(fx, fy)]);
    }
  }
  NoiseBias bias;
  bias.level = detail::median(corner);
  bias.spread = detail::robustSpread(std::move(corner), bias.level);
  // Noise-free data (synthetic spectra) still needs a finite scale for its thresholds.
  bias.spread = std::max(bias.spread, 1e-12 * power[plane.index(0, 0)]);
  return bias;
}

struct RingProfile {
  std::vector<double> mean;   // mean of power - bias over the ring
  std::vector<double> noise;  // standard error of that mean from the bias spread alone
};

RingProfile ringProfile(const FrequencyPlane& plane, const std::vector<double>& power,
                        const NoiseBias& bias) {
  const int h = plane.half();
  RingProfile profile;
  profile.mean.assign(static_cast<std::size_t>(h) + 1, 0.0);
  std::vector<double> count(profile.mean.size(), 0.0);
  for (int fy = -h; fy < h; ++fy) {
    for (int fx = -h; fx < h; ++fx) {
      const int ring = ringOf(fx, fy);
      if (ring > h) continue;
      profile.mean[static_cast<std::size_t>(ring)] += power[plane.index(fx, fy)] - bias.level;
      count[static_cast<std::size_t>(ring)] += 1;
    }
  }
  profile.noise.resize(profile.mean.size());
  for (std::size_t k = 0; k < profile.mean.size(); ++k) {
    profile.mean[k] /= count[k];
    // f and -f carry the same value: half the ring is independent.
    profile.noise[k] = bias.spread / std::sqrt(std::max(1.0, count[k] / 2));
  }
  return profile;
}

// The first ring from which on the signal, averaged over three rings, no longer stands
// kSignalSigmas above the noise.
double estimateCutoff(const RingProfile& profile) {
  const std::size_t last = profile.mean.size() - 1;
  for (std::size_t k = 2; k < last; ++k) {
    const double mean = (profile.mean[k - 1] + profile.mean[k] + profile.mean[k + 1]) / 3;
    const double noise = profile.noise[k] / std::sqrt(3.0);
    if (mean < kSignalSigmas * noise) return static_cast<double>(k);
  }
  return static_cast<double>(last);
}

}  // namespace

std::string checkPowerSpectrum(const FrequencyPlane& plane, const std::vector<double>& power) {
  if (power.size() != plane.size()) return "the power spectrum has the wrong size";
  bool anyNonZero = false;
  for (double v : power) {
    if (!std::isfinite(v)) return "the power spectrum holds non-finite values";
    if (v < 0) return "the power spectrum holds negative values";
    anyNonZero = anyNonZero || v != 0;
  }
  if (!anyNonZero) return "the power spectrum is all zero";
  if (!(power[plane.index(0, 0)] > 0)) return "the power spectrum is zero at zero frequency";
  return {};
}

CalibratedModulus calibrateModulus(const FrequencyPlane& plane, const std::vector<double>& power,
                                   const std::vector<double>* reference,
                                   const ModulusOptions& options) {
  CalibratedModulus m;
  m.plane = plane;
  m.calibration = reference != nullptr ? Calibration::kReference : Calibration::kRingMean;
  const NoiseBias bias = cornerBias(plane, power);
  m.bias = bias.level;
  m.biasSpread = bias.spread;
  const RingProfile profile = ringProfile(plane, power, bias);
  m.cutoffEstimated = !(options.cutoff > 0);
  m.cutoff = m.cutoffEstimated ? estimateCutoff(profile) : options.cutoff;
  if (m.cutoff < 3) {
    std::ostringstream why;
    why << "no signal stands above the noise bias of the power spectrum (" << bias.level
        << " per frequency) beyond " << m.cutoff << " cycles per frame";
    throw std::runtime_error(why.str());
  }

  NoiseBias referenceBias;
  if (reference != nullptr) {
    referenceBias = cornerBias(plane, *reference);
    m.referenceBias = referenceBias.level;
  }

  const std::size_t n = plane.size();
  m.squared.assign(n, 0.0);
  m.gain.assign(n, 0.0);
  m.inverse.assign(n, 0.0);
  if (reference != nullptr) m.referencePower = *reference;
  m.signalFraction.assign(n, 0.0);
  const int h = plane.half();
  for (int fy = -h; fy < h; ++fy) {
    for (int fx = -h; fx < h; ++fx) {
      const std::size_t i = plane.index(fx, fy);
      const int ring = ringOf(fx, fy);
      if ((fx == 0 && fy == 0) || ring > m.cutoff) continue;
      const double p = power[i];
      const double signal = p - bias.level;
      m.signalFraction[i] = p > 0 ? std::clamp(signal / p, 0.0, 1.0) : 0.0;

      double transfer, floor;
      if (reference != nullptr) {
        transfer = (*reference)[i] - referenceBias.level;
        floor = kRegularisationSigmas * referenceBias.spread;
      } else {
        transfer = profile.mean[static_cast<std::size_t>(ring)];
        floor = kRegularisationSigmas * profile.noise[static_cast<std::size_t>(ring)];
      }
      if (!(transfer > 0)) continue;
      // Wiener-like: 1/T where the transfer function stands well above its noise, tending to
      // T/floor^2 (and so to 0) where it does not, so noise is not amplified.
      const double inverse = transfer / (transfer * transfer + floor * floor);
      m.squared[i] = signal * inverse;
      m.gain[i] = transfer * inverse;
      m.inverse[i] = inverse;
    }
  }
  return m;
}

}  // namespace korrin::reconstruct
