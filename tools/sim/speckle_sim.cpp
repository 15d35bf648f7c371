#include "tools/sim/speckle_sim.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>
#include <sstream>
#include <stdexcept>

namespace korrin {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// FFTW's planner is not thread-safe; simulators may be built and destroyed on several threads.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

// One in-place single-precision complex transform of n x n points, with its aligned buffer.
class ComplexFft {
 public:
  ComplexFft(int n, int sign) : n_(n) {
    const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    data_ = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * count));
    if (data_ == nullptr) throw std::bad_alloc();
    std::lock_guard lock(plannerMutex());
    plan_ = fftwf_plan_dft_2d(n, n, data_, data_, sign, FFTW_ESTIMATE);
  }
  ~ComplexFft() {
    std::lock_guard lock(plannerMutex());
    fftwf_destroy_plan(plan_);
    fftwf_free(data_);
  }
  ComplexFft(const ComplexFft&) = delete;
  ComplexFft& operator=(const ComplexFft&) = delete;

  std::complex<float>* data() { return reinterpret_cast<std::complex<float>*>(data_); }
  void clear() { std::memset(data_, 0, sizeof(fftwf_complex) * static_cast<std::size_t>(n_) * n_); }
  void execute() { fftwf_execute(plan_); }

 private:
  int n_;
  fftwf_complex* data_ = nullptr;
  fftwf_plan plan_ = nullptr;
};

// Phase power spectral density of Kolmogorov turbulence, rad^2 m^2 at spatial frequency f (1/m).
double kolmogorovPsd(double r0, double f) {
  return 0.023 * std::pow(r0, -5.0 / 3.0) * std::pow(f, -11.0 / 3.0);
}

// Signed frequency index of FFT bin k.
int binFrequency(int k, int n) {
  return k < n / 2 ? k : k - n;
}

}  // namespace

PixelOffset separationVector(const SimParams& params) {
  const double angle = params.positionAngle * std::numbers::pi / 180.0;
  return {-params.separation * std::sin(angle), params.separation * std::cos(angle)};
}

double effectivePupilPixels(const SimParams& params) {
  return params.pupilPixels > 0 ? params.pupilPixels : params.width / 2.5;
}

std::string checkParams(const SimParams& p) {
  std::ostringstream why;
  const double pupil = effectivePupilPixels(p);
  if (p.width < 16 || p.width % 2 != 0 || p.width > 4096) {
    why << "width must be even and between 16 and 4096, not " << p.width;
  } else if (!std::isfinite(p.pupilPixels) || p.pupilPixels < 0) {
    why << "pupil diameter in pixels must be positive";
  } else if (pupil < 4 || pupil > p.width / 2.0) {
    // Beyond width/2 the PSF's spectrum no longer fits the frame and aliases.
    why << "pupil diameter must be between 4 and " << p.width / 2 << " pixels (width / 2), not "
        << pupil;
  } else if (!std::isfinite(p.diameter) || p.diameter <= 0) {
    why << "telescope diameter must be a positive number of metres";
  } else if (!(p.obstruction >= 0 && p.obstruction < 1)) {
    why << "central obstruction must be a fraction from 0 to below 1";
  } else if (!(p.r0 > 0)) {
    why << "r0 must be positive";
  } else if (p.diameter / p.r0 > pupil / 2) {
    // Fewer than two pupil pixels per r0 and the phase differences between neighbours wrap.
    why << "turbulence too strong for the pupil sampling: diameter/r0 = " << p.diameter / p.r0
        << " exceeds half the pupil diameter in pixels (" << pupil / 2 << ")";
  } else if (!std::isfinite(p.separation) || p.separation < 0 || p.separation >= p.width / 2.0) {
    why << "separation must be at least 0 and below " << p.width / 2 << " pixels (width / 2)";
  } else if (!std::isfinite(p.positionAngle)) {
    why << "position angle must be a number of degrees";
  } else if (!std::isfinite(p.fluxRatio) || p.fluxRatio < 0) {
    why << "flux ratio must be 0 or positive";
  } else if (!std::isfinite(p.photons) || p.photons < 0) {
    why << "photon count must be 0 or positive";
  } else if (!std::isfinite(p.sky) || p.sky < 0) {
    why << "sky background must be 0 or positive";
  } else if (!std::isfinite(p.readNoise) || p.readNoise < 0) {
    why << "read noise must be 0 or positive";
  }
  return why.str();
}

// ---------------------------------------------------------------------------------------------
// Random numbers

namespace {

std::uint64_t splitMix(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t rotateLeft(std::uint64_t x, int k) {
  return (x << k) | (x >> (64 - k));
}

// log(k!) without std::lgamma, which writes the global signgam and so races between threads.
double logFactorial(double k) {
  static const auto table = [] {
    std::array<double, 16> values{};
    for (std::size_t i = 2; i < values.size(); ++i) {
      values[i] = values[i - 1] + std::log(static_cast<double>(i));
    }
    return values;
  }();
  if (k < static_cast<double>(table.size())) return table[static_cast<std::size_t>(k)];
  // Stirling's series for log Gamma(k + 1); from 16 on its error is about 1e-12 or less.
  const double x = k + 1;
  const double inv = 1 / x;
  const double inv2 = inv * inv;
  return (x - 0.5) * std::log(x) - x + 0.5 * std::log(kTwoPi) +
         inv * (1.0 / 12 - inv2 * (1.0 / 360 - inv2 * (1.0 / 1260)));
}

}  // namespace

SimRandom::SimRandom(std::uint64_t seed, std::uint64_t stream, std::uint64_t index) {
  // Each input passes through the mixer on its own, so neighbouring seeds, streams and indices
  // give unrelated states.
  std::uint64_t x = seed;
  std::uint64_t mixed = splitMix(x);
  x = mixed ^ stream;
  mixed = splitMix(x);
  x = mixed ^ index;
  for (auto& word : state_) word = splitMix(x);
}

std::uint64_t SimRandom::next() {
  const std::uint64_t result = rotateLeft(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = rotateLeft(state_[3], 45);
  return result;
}

double SimRandom::uniform() {
  return static_cast<double>(next() >> 11) * 0x1.0p-53;  // 53 random mantissa bits
}

double SimRandom::normal() {
  // Marsaglia's polar method; the second value of each pair is kept for the next call.
  if (hasSpare_) {
    hasSpare_ = false;
    return spareNormal_;
  }
  double u, v, s;
  do {
    u = 2.0 * uniform() - 1.0;
    v = 2.0 * uniform() - 1.0;
    s = u * u + v * v;
  } while (s >= 1.0 || s == 0.0);
  const double factor = std::sqrt(-2.0 * std::log(s) / s);
  spareNormal_ = v * factor;
  hasSpare_ = true;
  return u * factor;
}

double SimRandom::poisson(double mean) {
  if (!(mean > 0)) return 0;
  if (mean < 10) {
    // Multiplication of uniforms: exact and quick for small means.
    const double limit = std::exp(-mean);
    double product = uniform();
    double count = 0;
    while (product > limit) {
      product *= uniform();
      count += 1;
    }
    return count;
  }
  // Hörmann's transformed rejection with squeeze (PTRS), exact for any larger mean.
  const double sqrtMean = std::sqrt(mean);
  const double logMean = std::log(mean);
  const double b = 0.931 + 2.53 * sqrtMean;
  const double a = -0.059 + 0.02483 * b;
  const double invAlpha = 1.1239 + 1.1328 / (b - 3.4);
  const double vr = 0.9277 - 3.6224 / (b - 2);
  for (;;) {
    const double u = uniform() - 0.5;
    const double v = uniform();
    const double us = 0.5 - std::fabs(u);
    const double k = std::floor((2 * a / us + b) * u + mean + 0.43);
    if (us >= 0.07 && v <= vr) return k;
    if (k < 0 || (us < 0.013 && v > us)) continue;
    if (std::log(v) + std::log(invAlpha) - std::log(a / (us * us) + b) <=
        -mean + k * logMean - logFactorial(k)) {
      return k;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Phase screens

struct PhaseScreens::Plan {
  explicit Plan(int n) : fft(n, FFTW_BACKWARD) {}
  ComplexFft fft;
};

namespace {
// Bins within this many steps of zero frequency get the mean spectrum of their cell.
constexpr int kAveragedBins = 8;
constexpr int kCellSamples = 16;
}  // namespace

PhaseScreens::PhaseScreens(int n, double pixelScale, double r0)
    : n_(n), pixelScale_(pixelScale), r0_(r0), plan_(std::make_unique<Plan>(n)) {
  const double df = 1.0 / (n * pixelScale);
  amplitude_.assign(static_cast<std::size_t>(n) * n, 0.0f);
  for (int ky = 0; ky < n; ++ky) {
    for (int kx = 0; kx < n; ++kx) {
      if (kx == 0 && ky == 0) continue;  // piston does not change an image
      const int fx = binFrequency(kx, n);
      const int fy = binFrequency(ky, n);
      double psd = kolmogorovPsd(r0, df * std::hypot(fx, fy));
      if (std::abs(fx) <= kAveragedBins && std::abs(fy) <= kAveragedBins) {
        // The spectrum is steep near the origin, where the value at a bin's centre falls well
        // short of the power the bin stands for; the cell mean keeps large scales' share.
        double sum = 0;
        for (int sy = 0; sy < kCellSamples; ++sy) {
          for (int sx = 0; sx < kCellSamples; ++sx) {
            const double gx = fx - 0.5 + (sx + 0.5) / kCellSamples;
            const double gy = fy - 0.5 + (sy + 0.5) / kCellSamples;
            sum += kolmogorovPsd(r0, df * std::hypot(gx, gy));
          }
        }
        psd = sum / (kCellSamples * kCellSamples);
      }
      amplitude_[static_cast<std::size_t>(ky) * n + kx] = static_cast<float>(std::sqrt(psd) * df);
    }
  }
}

PhaseScreens::~PhaseScreens() = default;

void PhaseScreens::generate(SimRandom& random, std::vector<float>& first,
                            std::vector<float>& second) {
  const std::size_t count = static_cast<std::size_t>(n_) * n_;
  std::complex<float>* field = plan_->fft.data();
  // Unit normals in both parts: E|c|^2 = 2 PSD df^2, which gives each of the two real screens the
  // structure function 2 * integral PSD (1 - cos).
  for (std::size_t i = 0; i < count; ++i) {
    const double re = random.normal();
    const double im = random.normal();
    field[i] = {static_cast<float>(re * amplitude_[i]), static_cast<float>(im * amplitude_[i])};
  }
  plan_->fft.execute();
  first.resize(count);
  second.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    first[i] = field[i].real();
    second[i] = field[i].imag();
  }

  // Subharmonics: three levels of 3 x 3 frequencies at 1/3, 1/9, 1/27 of the grid step. Each
  // level is a sum of separable plane waves, built as row phasors times column phasors.
  const double df = 1.0 / (n_ * pixelScale_);
  std::vector<std::complex<double>>& low = low_;
  low.assign(count, 0.0);
  std::vector<std::complex<double>> columnSum[3];
  std::vector<std::complex<double>> rowWave[3];
  for (int level = 1; level <= 3; ++level) {
    const double step = df / std::pow(3.0, level);
    for (int b = 0; b < 3; ++b) {
      columnSum[b].assign(n_, 0.0);
      rowWave[b].resize(n_);
      for (int y = 0; y < n_; ++y) {
        rowWave[b][y] = std::polar(1.0, kTwoPi * (b - 1) * step * y * pixelScale_);
      }
    }
    for (int b = 0; b < 3; ++b) {
      for (int a = 0; a < 3; ++a) {
        if (a == 1 && b == 1) continue;
        const double f = step * std::hypot(a - 1, b - 1);
        const double amp = std::sqrt(kolmogorovPsd(r0_, f)) * step;
        const std::complex<double> c(amp * random.normal(), amp * random.normal());
        for (int x = 0; x < n_; ++x) {
          columnSum[b][x] += c * std::polar(1.0, kTwoPi * (a - 1) * step * x * pixelScale_);
        }
      }
    }
    for (int y = 0; y < n_; ++y) {
      std::complex<double>* row = low.data() + static_cast<std::size_t>(y) * n_;
      for (int b = 0; b < 3; ++b) {
        const std::complex<double> wave = rowWave[b][y];
        for (int x = 0; x < n_; ++x) row[x] += columnSum[b][x] * wave;
      }
    }
  }
  std::complex<double> mean = 0.0;
  for (const auto& v : low) mean += v;
  mean /= static_cast<double>(count);
  for (std::size_t i = 0; i < count; ++i) {
    first[i] += static_cast<float>(low[i].real() - mean.real());
    second[i] += static_cast<float>(low[i].imag() - mean.imag());
  }
}

// ---------------------------------------------------------------------------------------------
// Frames

struct SpeckleSimulator::Fft {
  explicit Fft(int n) : primary(n, FFTW_FORWARD), companion(n, FFTW_FORWARD) {}
  ComplexFft primary;
  ComplexFft companion;
  // Pupil pixels with their amplitude times the tilt that centres the primary, and the extra
  // tilt that moves the companion by the separation vector.
  std::vector<std::size_t> index;
  std::vector<std::complex<float>> primaryTilt;
  std::vector<std::complex<float>> companionTilt;
};

namespace {

// Random streams: one per pair of phase screens, one per frame for the detector noise.
constexpr std::uint64_t kScreenStream = 0;
constexpr std::uint64_t kNoiseStream = 1;

std::vector<float> makePupil(int n, double diameter, double obstruction) {
  // Amplitude = covered fraction of each pixel (8 x 8 subsamples), so small pupils keep their
  // area and roundness.
  constexpr int kSub = 8;
  const double outer = diameter / 2;
  const double inner = obstruction * outer;
  const double centre = n / 2.0;
  std::vector<float> pupil(static_cast<std::size_t>(n) * n, 0.0f);
  const int lo = std::max(0, static_cast<int>(std::floor(centre - outer)) - 1);
  const int hi = std::min(n - 1, static_cast<int>(std::ceil(centre + outer)) + 1);
  for (int y = lo; y <= hi; ++y) {
    for (int x = lo; x <= hi; ++x) {
      int inside = 0;
      for (int sy = 0; sy < kSub; ++sy) {
        for (int sx = 0; sx < kSub; ++sx) {
          const double px = x + (sx + 0.5) / kSub - centre;
          const double py = y + (sy + 0.5) / kSub - centre;
          const double r = std::hypot(px, py);
          if (r <= outer && r >= inner) ++inside;
        }
      }
      pupil[static_cast<std::size_t>(y) * n + x] = static_cast<float>(inside) / (kSub * kSub);
    }
  }
  return pupil;
}

const SimParams& checked(const SimParams& params) {
  if (const std::string why = checkParams(params); !why.empty()) throw std::invalid_argument(why);
  return params;
}

}  // namespace

SpeckleSimulator::SpeckleSimulator(const SimParams& params)
    : params_(checked(params)),
      n_(params.width),
      offset_(separationVector(params)),
      normalisation_(0),
      screens_(params.width, params.diameter / effectivePupilPixels(params), params.r0) {
  const double pupilPixels = effectivePupilPixels(params);
  pupil_ = makePupil(n_, pupilPixels, params.obstruction);
  fft_ = std::make_unique<Fft>(n_);

  // A tilt of exp(2 pi i u.s / n) in the pupil moves the image by +s (forward transform); the
  // centring tilt puts the primary at (n/2, n/2) instead of the corner.
  const double centre = n_ / 2.0;
  double power = 0;
  for (int y = 0; y < n_; ++y) {
    for (int x = 0; x < n_; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * n_ + x;
      if (pupil_[i] == 0) continue;
      power += static_cast<double>(pupil_[i]) * pupil_[i];
      const double centring = kTwoPi * (x * centre + y * centre) / n_;
      const double shift = kTwoPi * (x * offset_.dx + y * offset_.dy) / n_;
      fft_->index.push_back(i);
      fft_->primaryTilt.push_back(
          std::complex<float>(std::polar(static_cast<double>(pupil_[i]), centring)));
      fft_->companionTilt.push_back(std::complex<float>(std::polar(1.0, shift)));
    }
  }
  // Parseval: the unnormalised transform of the pupil field sums to n^2 times its power.
  normalisation_ = static_cast<double>(n_) * n_ * power;
  image_.resize(static_cast<std::size_t>(n_) * n_);
}

SpeckleSimulator::~SpeckleSimulator() = default;

void SpeckleSimulator::phaseFor(std::uint64_t index) {
  const std::uint64_t pair = index / 2;
  if (pair != screenPair_) {
    SimRandom random(params_.seed, kScreenStream, pair);
    screens_.generate(random, phaseA_, phaseB_);
    screenPair_ = pair;
  }
}

void SpeckleSimulator::intensity(std::uint64_t index, std::vector<float>& out) {
  phaseFor(index);
  const std::vector<float>& phase = index % 2 == 0 ? phaseA_ : phaseB_;
  Fft& fft = *fft_;
  fft.primary.clear();
  fft.companion.clear();
  std::complex<float>* primary = fft.primary.data();
  std::complex<float>* companion = fft.companion.data();
  for (std::size_t k = 0; k < fft.index.size(); ++k) {
    const std::size_t i = fft.index[k];
    const float phi = phase[i];
    const std::complex<float> field =
        fft.primaryTilt[k] * std::complex<float>(std::cos(phi), std::sin(phi));
    primary[i] = field;
    companion[i] = field * fft.companionTilt[k];
  }
  fft.primary.execute();
  const bool hasCompanion = params_.fluxRatio > 0;
  if (hasCompanion) fft.companion.execute();

  const double primaryFlux = 1.0 / (1.0 + params_.fluxRatio) / normalisation_;
  const double companionFlux = params_.fluxRatio / (1.0 + params_.fluxRatio) / normalisation_;
  out.resize(image_.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    double value = primaryFlux * std::norm(primary[i]);
    if (hasCompanion) value += companionFlux * std::norm(companion[i]);
    out[i] = static_cast<float>(value);
  }
}

void SpeckleSimulator::frame(std::uint64_t index, std::vector<float>& out) {
  intensity(index, image_);
  SimRandom random(params_.seed, kNoiseStream, index);
  out.resize(image_.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double expected = params_.photons * image_[i] + params_.sky;
    double value = random.poisson(expected);
    if (params_.readNoise > 0) value += params_.readNoise * random.normal();
    out[i] = static_cast<float>(value);
  }
}

double SpeckleSimulator::meanPeakPerPhoton(int frames) {
  if (frames <= 0) return 0;
  std::vector<float> image;
  double sum = 0;
  for (int i = 0; i < frames; ++i) {
    intensity(static_cast<std::uint64_t>(i), image);
    sum += *std::max_element(image.begin(), image.end());
  }
  return sum / frames;
}

}  // namespace korrin
