// Synthetic speckle captures: a binary star seen through Kolmogorov turbulence by a telescope with
// a circular (optionally obstructed) pupil, with sky background, photon and read noise.
//
// Image coordinates: x is the column (FITS NAXIS1), y the row (NAXIS2) in file order. Viewers show
// row 0 at the bottom, so +y is north (up) and -x is east (left). The position angle of the
// companion is measured from north (+y) towards east (-x).
//
// Everything here is pure computation; file output belongs to the program around it.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korrin {

struct SimParams {
  int width = 256;              // frame side in pixels (even, at least 16)
  double pupilPixels = 0;       // pupil diameter in pixels; 0 picks width / 2.5 (Nyquist and a bit)
  double diameter = 1.0;        // telescope aperture in metres
  double obstruction = 0.0;     // central obstruction diameter as a fraction of the aperture
  double r0 = 0.1;              // Fried parameter in metres (infinity: no turbulence)
  double separation = 12.0;     // companion distance in pixels
  double positionAngle = 30.0;  // degrees, north (+y) through east (-x)
  double fluxRatio = 0.5;       // companion flux / primary flux
  double photons = 1.0e5;       // mean detected photons of both stars per frame
  double sky = 100.0;           // mean sky background per pixel, photons
  double readNoise = 5.0;       // rms read noise per pixel
  std::uint64_t seed = 1;
};

// Companion minus primary, in pixels.
struct PixelOffset {
  double dx = 0;
  double dy = 0;
};

PixelOffset separationVector(const SimParams& params);

// The pupil diameter in pixels actually used (resolves the 0 default).
double effectivePupilPixels(const SimParams& params);

// Empty when the parameters can be simulated, otherwise a sentence saying what is wrong.
std::string checkParams(const SimParams& params);

// Uniform doubles in [0, 1), standard normals and Poisson counts. The generator is xoshiro256**
// (a few times faster than a Mersenne twister, which matters at a million draws per frame), seeded
// through splitmix64 from a seed, a stream number and an index. The distributions are written out
// rather than taken from <random> so that a seed gives the same frames with any standard library.
class SimRandom {
 public:
  SimRandom(std::uint64_t seed, std::uint64_t stream, std::uint64_t index);
  std::uint64_t next();
  double uniform();
  double normal();
  double poisson(double mean);

 private:
  std::uint64_t state_[4];
  double spareNormal_ = 0;
  bool hasSpare_ = false;
};

// Kolmogorov phase screens on an n x n grid by FFT filtering of complex white noise, with three
// levels of subharmonics to restore the tilt and low orders that a periodic grid cannot hold.
// The real and imaginary parts of one filtered field are two independent screens.
class PhaseScreens {
 public:
  // pixelScale: metres per grid step; r0 in metres.
  PhaseScreens(int n, double pixelScale, double r0);
  ~PhaseScreens();
  PhaseScreens(const PhaseScreens&) = delete;
  PhaseScreens& operator=(const PhaseScreens&) = delete;

  // Fills both with n x n row-major phases in radians.
  void generate(SimRandom& random, std::vector<float>& first, std::vector<float>& second);

  int size() const { return n_; }

 private:
  struct Plan;
  int n_;
  double pixelScale_;
  double r0_;
  std::vector<float> amplitude_;           // sqrt of the phase spectrum times the frequency step
  std::vector<std::complex<double>> low_;  // subharmonic sum, kept to reuse its storage
  std::unique_ptr<Plan> plan_;
};

// Frame simulator. A frame depends only on the parameters and its index, so frames can be made in
// any order, or in parallel by separate simulators, with identical results. Frames 2k and 2k+1
// share one filtered noise field (its two parts), so consecutive frames are cheapest.
class SpeckleSimulator {
 public:
  explicit SpeckleSimulator(const SimParams& params);  // std::invalid_argument on bad parameters
  ~SpeckleSimulator();
  SpeckleSimulator(const SpeckleSimulator&) = delete;
  SpeckleSimulator& operator=(const SpeckleSimulator&) = delete;

  const SimParams& params() const { return params_; }

  // Frame `index`: expected image plus photon and read noise, width x width row-major.
  void frame(std::uint64_t index, std::vector<float>& out);

  // The noise-free image of frame `index` for one photon in total and no sky; the primary sits at
  // (width/2, width/2) apart from the turbulent tilt.
  void intensity(std::uint64_t index, std::vector<float>& out);

  // Mean over frames 0 .. frames-1 of the brightest pixel of `intensity`, for scaling the photon
  // count to a wanted peak level.
  double meanPeakPerPhoton(int frames);

 private:
  struct Fft;
  void phaseFor(std::uint64_t index);

  SimParams params_;
  int n_;
  PixelOffset offset_;
  std::vector<float> pupil_;  // amplitude transmission, n x n
  double normalisation_;      // sum of the PSF for a unit-amplitude pupil: n^2 * sum(pupil^2)
  PhaseScreens screens_;
  std::vector<float> phaseA_, phaseB_;
  std::uint64_t screenPair_ = UINT64_MAX;
  std::vector<float> image_;
  std::unique_ptr<Fft> fft_;
};

}  // namespace korrin
