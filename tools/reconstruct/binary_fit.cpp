#include "tools/reconstruct/binary_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <map>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#include "tools/reconstruct/least_squares.h"
#include "tools/reconstruct/statistics.h"
#include "tools/reconstruct/transform.h"

namespace korrin::reconstruct {

namespace {

using detail::Linearised;
using detail::Matrix;
using detail::median;
using detail::robustSpread;
using detail::solveLinear;
using detail::Vector;

constexpr double kPi = std::numbers::pi;
constexpr double kDetectionSigmas = 5.0;
constexpr std::size_t kCandidates = 3;
constexpr std::size_t kNoisePositions = 100;

// Errors of neighbouring frequencies are correlated over the width of a speckle cloud's
// spectral features, so the covariance comes from the spread of the residuals summed over blocks
// of frequencies (a cluster-robust sandwich), not from the residuals one by one.
struct Blocks {
  int size = 4;
  int perRow = 1;
  int of(const FrequencyPlane& plane, int fx, int fy) const {
    return ((fy + plane.half()) / size) * perRow + (fx + plane.half()) / size;
  }
};

// Blocks an eighth of the cutoff wide, but at most a quarter of the radius the samples fill, so
// that a small region still has some twenty blocks for the spread to come from.
Blocks blocksFor(const FrequencyPlane& plane, double cutoff, double radius) {
  Blocks b;
  b.size = std::max(2L, std::min(std::lround(cutoff / 8), std::lround(radius / 4)));
  b.perRow = (plane.width + b.size - 1) / b.size;
  return b;
}

// ---------------------------------------------------------------------------------------------
// The modulus fit

struct Sample {
  int fx, fy;
  std::size_t index;  // in the centred layout
  double value, weight;
  double level;  // the value expected without a companion, see ringBaseline
  double gain;
  int ring, block;
};

// 1 / sigma^2 where the value is expected to be `expected`. Near the zeros of a model the expected
// error vanishes with the power; a floor of a hundredth of the level without a companion keeps a
// model that is still wrong from giving those frequencies all the weight.
double weightFor(const CalibratedModulus& modulus, const Sample& s, double expected) {
  const double sigma = modulus.sigma(s.index, std::max(expected, 0.01 * s.level));
  return sigma > 0 ? 1 / (sigma * sigma) : 0.0;
}

// Parameters: dx, dy, the fringe contrast gamma = 2 r / (1 + r^2), and with a reference the scale.
// |O(f)|^2 = (1 + r^2) (1 + gamma cos(2 pi f.s / W)): only gamma can be told from the modulus, and
// it fixes r <= 1; r and 1/r (the primary and the companion swapped) give the same modulus.
class ModulusModel {
 public:
  ModulusModel(const CalibratedModulus& modulus, std::vector<Sample> samples)
      : plane_(modulus.plane),
        ringNormalised_(modulus.calibration == Calibration::kRingMean),
        samples_(std::move(samples)) {
    int rings = 0;
    for (const Sample& s : samples_) rings = std::max(rings, s.ring + 1);
    ringCount_.assign(static_cast<std::size_t>(rings), 0.0);
    for (const Sample& s : samples_) ringCount_[static_cast<std::size_t>(s.ring)] += 1;
  }

  int parameters() const { return ringNormalised_ ? 3 : 4; }
  int width() const { return plane_.width; }

  // Weights from the errors the model expects rather than from the data's own values, which
  // would favour the frequencies that came out low and bias the fit.
  void reweight(const CalibratedModulus& modulus, const Vector& theta) {
    const Linearised l = linearise(theta);
    for (std::size_t i = 0; i < samples_.size(); ++i) {
      samples_[i].weight = weightFor(modulus, samples_[i], samples_[i].value - l.residual[i]);
    }
  }

  Linearised linearise(const Vector& theta) const {
    Linearised l;
    linearise(theta, l);
    return l;
  }

  // Into `l`, reusing its storage: a fit linearises thousands of times.
  void linearise(const Vector& theta, Linearised& l) const {
    const double dx = theta[0], dy = theta[1], gamma = theta[2];
    const double k = 2 * kPi / plane_.width;
    const std::size_t n = samples_.size();
    std::vector<double>& cosine = cosine_;
    std::vector<double>& sine = sine_;
    cosine.resize(n);
    sine.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double phi = k * (samples_[i].fx * dx + samples_[i].fy * dy);
      cosine[i] = std::cos(phi);
      sine[i] = std::sin(phi);
    }
    // Ring means of cos(phi) and of its derivatives in dx and dy.
    std::vector<double> c(ringCount_.size(), 0.0), cx(ringCount_.size(), 0.0),
        cy(ringCount_.size(), 0.0);
    if (ringNormalised_) {
      for (std::size_t i = 0; i < n; ++i) {
        const auto r = static_cast<std::size_t>(samples_[i].ring);
        c[r] += cosine[i] / ringCount_[r];
        cx[r] -= sine[i] * k * samples_[i].fx / ringCount_[r];
        cy[r] -= sine[i] * k * samples_[i].fy / ringCount_[r];
      }
    }
    l.reset(n, parameters());
    for (std::size_t i = 0; i < n; ++i) {
      const Sample& s = samples_[i];
      const double fringe = 1 + gamma * cosine[i];
      const double dFringeDx = -gamma * sine[i] * k * s.fx, dFringeDy = -gamma * sine[i] * k * s.fy;
      Vector& j = l.jacobian[i];
      double model;
      if (ringNormalised_) {
        const auto r = static_cast<std::size_t>(s.ring);
        const double norm = 1 + gamma * c[r];
        model = s.gain * fringe / norm;
        j[0] = s.gain * (dFringeDx / norm - fringe * gamma * cx[r] / (norm * norm));
        j[1] = s.gain * (dFringeDy / norm - fringe * gamma * cy[r] / (norm * norm));
        j[2] = s.gain * (cosine[i] / norm - fringe * c[r] / (norm * norm));
      } else {
        const double scale = theta[3];
        model = scale * s.gain * fringe;
        j[0] = scale * s.gain * dFringeDx;
        j[1] = scale * s.gain * dFringeDy;
        j[2] = scale * s.gain * cosine[i];
        j[3] = s.gain * fringe;
      }
      l.residual[i] = s.value - model;
      l.weight[i] = s.weight;
      l.block[i] = s.block;
    }
  }

 private:
  FrequencyPlane plane_;
  bool ringNormalised_;
  std::vector<Sample> samples_;
  std::vector<double> ringCount_;
  mutable std::vector<double> cosine_, sine_;
};

// Keeps gamma in its range and the offset inside the frame: the modulus repeats with period W in
// dx and dy, as the frequencies are integers.
Vector constrain(Vector theta, int width) {
  for (int p = 0; p < 2; ++p) theta[p] -= width * std::nearbyint(theta[p] / width);
  theta[2] = std::clamp(theta[2], 1e-6, 1.0);
  return theta;
}

// Levenberg-Marquardt from `start`; returns the parameters and their chi-square.
std::pair<Vector, double> fitModulus(const ModulusModel& model, Vector start) {
  Vector theta = constrain(start, model.width());
  Linearised l, trial;
  model.linearise(theta, l);
  double chi = l.chiSquare();
  double lambda = 1e-3;
  const int n = model.parameters();
  for (int iteration = 0; iteration < 60; ++iteration) {
    Matrix h;
    Vector g;
    l.normal(h, g);
    bool improved = false;
    while (lambda < 1e12) {
      Matrix damped = h;
      for (int p = 0; p < n; ++p) damped[p][p] += lambda * h[p][p];
      Vector step{};
      if (!solveLinear(damped, g, n, step)) {
        lambda *= 10;
        continue;
      }
      Vector next = theta;
      for (int p = 0; p < n; ++p) next[p] += step[p];
      next = constrain(next, model.width());
      model.linearise(next, trial);
      const double trialChi = trial.chiSquare();
      if (trialChi < chi) {
        const double gain = chi - trialChi;
        theta = next;
        std::swap(l, trial);
        chi = trialChi;
        lambda = std::max(lambda / 10, 1e-9);
        improved = gain > 1e-9 * chi;
        break;
      }
      lambda *= 10;
    }
    if (!improved) break;
  }
  return {theta, chi};
}

struct Candidate {
  double x, y, contrast;
};

// What is round about the origin in `values` (one per sample): per ring, the multiple of the
// samples' gains that fits them best. The gain is the same all round a ring with ring means as
// the transfer function, and follows the reference's spectrum with one.
std::vector<double> ringBaseline(const std::vector<Sample>& samples,
                                 const std::vector<double>& values) {
  std::vector<double> cross, square;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto r = static_cast<std::size_t>(samples[i].ring);
    if (r >= cross.size()) {
      cross.resize(r + 1, 0.0);
      square.resize(r + 1, 0.0);
    }
    cross[r] += values[i] * samples[i].gain;
    square[r] += samples[i].gain * samples[i].gain;
  }
  std::vector<double> baseline(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto r = static_cast<std::size_t>(samples[i].ring);
    baseline[i] = square[r] > 0 ? samples[i].gain * cross[r] / square[r] : 0.0;
  }
  return baseline;
}

// Where a companion may be, and how much contrast noise alone shows. A companion at s adds a
// fringe gamma cos(2 pi f.s / W) to the modulus; with the ring means taken out (they hold what is
// round about the origin: the primary's own spectrum, the seeing) the weighted transform of the
// rest estimates gamma at every s at once, peaking at s and -s. The spread of that map over the
// positions at one distance is what a search finds there without a companion: residual speckle
// noise, correlated over wide ranges of frequency, and whatever the calibration left. It grows
// towards the origin, where the seeing's slow changes across the spectrum land, so it is measured
// in rings of positions three pixels wide.
class ContrastMap {
 public:
  // The map of the samples' values, or of `instead` (one value per sample, such as the residuals
  // of a fit) in the samples' place; the contrast scale comes from the samples' level either way.
  ContrastMap(const CalibratedModulus& modulus, const std::vector<Sample>& samples,
              const std::vector<double>* instead = nullptr)
      : width_(modulus.plane.width), exclusion_(0.5 * width_ / modulus.cutoff) {  // lambda/2D
    const FrequencyPlane& plane = modulus.plane;
    std::vector<double> values(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      values[i] = instead != nullptr ? (*instead)[i] : samples[i].value;
    }
    const std::vector<double> baseline = ringBaseline(samples, values);
    // Linearised in gamma, the model is level (1 + gamma cos phi), and the least-squares gamma
    // for one s is sum w level d cos phi / sum w level^2 cos^2 phi, d the value less its
    // baseline: a transform of w level d, the mean of cos^2 being 1/2.
    std::vector<std::complex<double>> spectrum(plane.size(), 0.0);
    double norm = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const Sample& s = samples[i];
      const double v = s.weight * s.level * (values[i] - baseline[i]);
      spectrum[plane.index(s.fx, s.fy)] = v;
      spectrum[plane.index(-s.fx, -s.fy)] = v;
      norm += 2 * s.weight * s.level * s.level;
    }
    const std::vector<std::complex<double>> lag = inverseTransform(width_, spectrum);
    const double scale = norm > 0 ? 2 / norm : 0;
    contrast_.resize(lag.size());
    for (std::size_t i = 0; i < lag.size(); ++i) contrast_[i] = scale * lag[i].real();

    // Every distance in the frame lies below width (w / sqrt(2) at most).
    std::vector<std::vector<double>> byRing(static_cast<std::size_t>(width_));
    forHalfPlane([&](int x, int y) { byRing[ringIndex(x, y)].push_back(at(x, y)); });
    noise_.assign(byRing.size(), 0.0);
    for (std::size_t r = 1; r + 1 < byRing.size(); ++r) {
      // At least three rings, and enough positions for a steady estimate close to the origin.
      std::vector<double> values;
      for (std::size_t spread = 1; spread < r && (spread == 1 || values.size() < kNoisePositions);
           ++spread) {
        values.clear();
        for (std::size_t q = r - spread; q <= r + spread && q < byRing.size(); ++q) {
          values.insert(values.end(), byRing[q].begin(), byRing[q].end());
        }
      }
      if (values.empty()) continue;
      const double centre = median(values);
      noise_[r] = robustSpread(std::move(values), centre);
    }
  }

  // The peaks of highest contrast and those of highest significance (they differ where the
  // noise varies), for the fit to start from.
  std::vector<Candidate> candidates() const {
    std::vector<Candidate> peaks;
    forHalfPlane([&](int x, int y) {
      const double v = at(x, y);
      if (std::hypot(x, y) < exclusion_ || !(noise_[ringIndex(x, y)] > 0)) return;
      for (int ny = -1; ny <= 1; ++ny) {
        for (int nx = -1; nx <= 1; ++nx) {
          if ((nx != 0 || ny != 0) && at(x + nx, y + ny) > v) return;
        }
      }
      // Parabolic refinement along each axis.
      const double lx = at(x - 1, y), rx = at(x + 1, y), ly = at(x, y - 1), ry = at(x, y + 1);
      const double denomX = lx - 2 * v + rx, denomY = ly - 2 * v + ry;
      const double ox = denomX < 0 ? std::clamp(0.5 * (lx - rx) / denomX, -0.5, 0.5) : 0.0;
      const double oy = denomY < 0 ? std::clamp(0.5 * (ly - ry) / denomY, -0.5, 0.5) : 0.0;
      peaks.push_back({x + ox, y + oy, v});
    });
    std::vector<Candidate> chosen;
    const auto takeBest = [&](auto better) {
      std::sort(peaks.begin(), peaks.end(), better);
      chosen.insert(
          chosen.end(), peaks.begin(),
          peaks.begin() + static_cast<std::ptrdiff_t>(std::min(peaks.size(), kCandidates)));
    };
    takeBest([](const Candidate& a, const Candidate& b) { return a.contrast > b.contrast; });
    takeBest([this](const Candidate& a, const Candidate& b) {
      return a.contrast / noiseAt(a.x, a.y) > b.contrast / noiseAt(b.x, b.y);
    });
    std::sort(chosen.begin(), chosen.end(), [](const Candidate& a, const Candidate& b) {
      return std::tie(a.x, a.y) < std::tie(b.x, b.y);
    });
    chosen.erase(std::unique(chosen.begin(), chosen.end(),
                             [](const Candidate& a, const Candidate& b) {
                               return a.x == b.x && a.y == b.y;
                             }),
                 chosen.end());
    return chosen;
  }

  // The map's contrast at the pixel nearest to (x, y) over the noise of `noise` at that distance;
  // 0 closer than lambda / D, where the ring means take most of a companion's fringe away and
  // what remains cannot be told from lumps of the speckle halo.
  double significance(double x, double y, const ContrastMap& noise) const {
    if (std::hypot(x, y) < 2 * exclusion_) return 0;
    const double sigma = noise.noiseAt(x, y);
    const int px = static_cast<int>(std::lround(x)), py = static_cast<int>(std::lround(y));
    return sigma > 0 ? at(px, py) / sigma : 0;
  }

 private:
  template <class Visit>
  void forHalfPlane(Visit visit) const {
    for (int y = 0; y < width_ / 2; ++y) {
      for (int x = -width_ / 2 + 1; x < width_ / 2; ++x) {
        if (inUpperHalf(x, y)) visit(x, y);
      }
    }
  }
  std::size_t ringIndex(int x, int y) const { return static_cast<std::size_t>(ringOf(x, y)); }
  double noiseAt(double x, double y) const {
    const auto r = static_cast<std::size_t>(std::lround(std::hypot(x, y)));
    return r < noise_.size() ? noise_[r] : 0.0;
  }
  double at(int x, int y) const {
    const int w = width_;
    return contrast_[static_cast<std::size_t>(((y % w) + w) % w) * w +
                     static_cast<std::size_t>(((x % w) + w) % w)];
  }

  int width_;
  double exclusion_;
  std::vector<double> contrast_;  // lag (x, y) at ((y mod W) * W + x mod W)
  std::vector<double> noise_;     // per distance in pixels
};

double ratioFromContrast(double gamma) {
  gamma = std::clamp(gamma, 0.0, 1.0);
  return gamma / (1 + std::sqrt(1 - gamma * gamma));  // (1 - sqrt(1 - gamma^2)) / gamma
}

double magnitudes(double ratio) {
  return -2.5 * std::log10(ratio);
}

// ---------------------------------------------------------------------------------------------
// The side of the companion

struct PhaseSample {
  int fx, fy;
  double phase, weight, binary;  // binary: arg(1 + r exp(-i 2 pi f.s / W))
  int block;
};

// The phases of a pair with the companion at s are arg(1 + r exp(-2 pi i f.s / W)) (the forward
// transform's sign) plus a tilt for wherever the reconstruction put the primary; with the
// companion at -s they are the negative. For a bright companion the two differ by little more
// than a tilt (for an equal pair, by exactly a tilt), so each side gets its own best tilt, found
// coarsely by a transform and refined by Gauss-Newton on the wrapped residuals, before the two
// are compared frequency by frequency.
class PhaseFit {
 public:
  PhaseFit(std::vector<PhaseSample> samples, int width)
      : samples_(std::move(samples)), width_(width), k_(2 * kPi / width) {}

  bool empty() const { return samples_.empty(); }

  // The residuals of side h (+1: companion at s, -1: at -s) with its best tilt.
  std::vector<double> residuals(int h, const FrequencyPlane& plane) const {
    Vector tilt{};
    std::tie(tilt[0], tilt[1]) = coarseTilt(h, plane);
    Linearised l;
    for (int iteration = 0; iteration < 10; ++iteration) {
      linearise(h, tilt, l);
      Matrix normal;
      Vector g, step{};
      l.normal(normal, g);
      if (!solveLinear(normal, g, 2, step)) break;
      tilt[0] += step[0];
      tilt[1] += step[1];
      if (std::hypot(step[0], step[1]) < 1e-7) break;
    }
    linearise(h, tilt, l);
    return l.residual;
  }

  // How much better side h fits than the other, in standard errors: the weighted sum over
  // frequencies of cos(its residual) - cos(the other's), over the spread of that sum's parts
  // in blocks of frequencies.
  double preference(const std::vector<double>& mine, const std::vector<double>& other) const {
    std::map<int, double> blocks;
    double total = 0;
    for (std::size_t i = 0; i < samples_.size(); ++i) {
      const double d = samples_[i].weight * (std::cos(mine[i]) - std::cos(other[i]));
      blocks[samples_[i].block] += d;
      total += d;
    }
    const double count = static_cast<double>(blocks.size());
    if (count < 2) return 0;
    double spread = 0;
    for (const auto& [id, sum] : blocks) spread += (sum - total / count) * (sum - total / count);
    spread *= count / (count - 1);
    return spread > 0 ? total / std::sqrt(spread) : 0;
  }

 private:
  // The integer tilt that best fits side h: the peak of the transform of the phase residuals.
  std::pair<double, double> coarseTilt(int h, const FrequencyPlane& plane) const {
    std::vector<std::complex<double>> spectrum(plane.size(), 0.0);
    for (const PhaseSample& s : samples_) {
      const std::complex<double> z = std::polar(s.weight, s.phase - h * s.binary);
      spectrum[plane.index(s.fx, s.fy)] = z;
      spectrum[plane.index(-s.fx, -s.fy)] = std::conj(z);
    }
    const std::vector<std::complex<double>> lag = inverseTransform(width_, spectrum);
    std::size_t best = 0;
    for (std::size_t i = 1; i < lag.size(); ++i) {
      if (lag[i].real() > lag[best].real()) best = i;
    }
    const int x = static_cast<int>(best % width_), y = static_cast<int>(best / width_);
    return {x < width_ / 2 ? x : x - width_, y < width_ / 2 ? y : y - width_};
  }

  // phase = h * binary - 2 pi f.tilt / W, residuals wrapped to -pi .. pi.
  void linearise(int h, const Vector& tilt, Linearised& l) const {
    const std::size_t n = samples_.size();
    l.reset(n, 2);
    for (std::size_t i = 0; i < n; ++i) {
      const PhaseSample& s = samples_[i];
      const double d = s.phase - (h * s.binary - k_ * (s.fx * tilt[0] + s.fy * tilt[1]));
      l.residual[i] = d - 2 * kPi * std::nearbyint(d / (2 * kPi));
      l.jacobian[i] = {-k_ * s.fx, -k_ * s.fy, 0, 0};
      l.weight[i] = s.weight;
      l.block[i] = s.block;
    }
  }

  std::vector<PhaseSample> samples_;
  int width_;
  double k_;
};

void decideQuadrant(const CalibratedModulus& modulus, const PhaseSolution& phases,
                    const Blocks& blocks, BinaryMeasurement& m) {
  const FrequencyPlane& plane = phases.plane;
  const double k = 2 * kPi / plane.width;
  const double r = m.fluxRatio;
  std::vector<PhaseSample> samples;
  const int reach = static_cast<int>(std::floor(phases.radius));
  for (int fy = 0; fy <= reach; ++fy) {
    for (int fx = -reach; fx <= reach; ++fx) {
      if (!inUpperHalf(fx, fy) || std::hypot(fx, fy) > phases.radius) continue;
      const std::size_t i = plane.index(fx, fy);
      const std::complex<double> object = 1.0 + std::polar(r, -k * (fx * m.dx + fy * m.dy));
      // Near the zeros of a bright pair's fringes the phase is ill-defined: weight by |O|^2.
      const double weight = modulus.signalFraction[i] * phases.consistency[i] * std::norm(object) /
                            ((1 + r) * (1 + r));
      if (!(weight > 0)) continue;
      samples.push_back(
          {fx, fy, phases.phase[i], weight, std::arg(object), blocks.of(plane, fx, fy)});
    }
  }
  const PhaseFit fit(std::move(samples), plane.width);
  if (fit.empty()) return;
  const double z = fit.preference(fit.residuals(1, plane), fit.residuals(-1, plane));
  m.quadrantSignificance = std::fabs(z);
  m.quadrantConfidence = 0.5 * std::erfc(-std::fabs(z) / std::sqrt(2.0));
  if (z < 0) {
    m.dx = -m.dx;
    m.dy = -m.dy;
  }
}

}  // namespace

BinaryMeasurement measureBinary(const CalibratedModulus& modulus, const PhaseSolution& phases) {
  const FrequencyPlane& plane = modulus.plane;
  const Blocks blocks = blocksFor(plane, modulus.cutoff, modulus.cutoff);
  BinaryMeasurement m;
  // The lowest frequencies carry the seeing halo, which a reference taken under other seeing
  // does not match; they are left out of the fit.
  m.innerRadius = std::max(2.0, std::ceil(modulus.cutoff / 10));
  m.outerRadius = std::floor(modulus.cutoff);
  std::vector<Sample> samples;
  const int reach = static_cast<int>(m.outerRadius);
  for (int fy = 0; fy <= reach; ++fy) {
    for (int fx = -reach; fx <= reach; ++fx) {
      const int ring = ringOf(fx, fy);
      if (!inUpperHalf(fx, fy) || ring < m.innerRadius || ring > m.outerRadius) continue;
      const std::size_t i = plane.index(fx, fy);
      if (!(modulus.inverse[i] > 0)) continue;
      samples.push_back(
          {fx, fy, i, modulus.squared[i], 0, 0, modulus.gain[i], ring, blocks.of(plane, fx, fy)});
    }
  }
  m.frequencies = samples.size();
  if (samples.size() < 16) return m;
  // Until a model is fitted, the ring's baseline stands in for the expected values: the data's
  // own values would give the frequencies that came out near zero by chance huge weights.
  std::vector<double> values(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) values[i] = samples[i].value;
  const std::vector<double> baseline = ringBaseline(samples, values);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i].level = std::max(baseline[i], 0.0);
    samples[i].weight = weightFor(modulus, samples[i], samples[i].level);
  }

  const std::vector<Sample> kept = samples;
  const ContrastMap map(modulus, samples);
  const std::vector<Candidate> candidates = map.candidates();
  if (candidates.empty()) return m;
  ModulusModel model(modulus, std::move(samples));
  const int n = model.parameters();
  Vector best{};
  double bestChi = std::numeric_limits<double>::infinity();
  for (const Candidate& c : candidates) {
    Vector start{c.x, c.y, std::clamp(c.contrast, 0.01, 0.95), 0};
    if (n == 4) {
      // The scale that fits the level of the data for this start, by linear least squares.
      start[3] = 1;
      const Linearised l = model.linearise(start);
      double num = 0, den = 0;
      for (std::size_t i = 0; i < l.residual.size(); ++i) {
        const double unit = l.jacobian[i][3];
        num += l.weight[i] * (l.residual[i] + unit) * unit;
        den += l.weight[i] * unit * unit;
      }
      start[3] = den > 0 ? num / den : 1;
    }
    const auto [theta, chi] = fitModulus(model, start);
    if (chi < bestChi) {
      bestChi = chi;
      best = theta;
    }
  }
  if (!std::isfinite(bestChi)) return m;
  for (int round = 0; round < 2; ++round) {
    model.reweight(modulus, best);
    best = fitModulus(model, best).first;
  }

  // Significance: the companion's contrast over the noise of the same map made of what the fit
  // leaves, where the companion's own pattern (its sidelobes, the dent the ring means make at its
  // distance) no longer counts as noise.
  const std::vector<double> residual = model.linearise(best).residual;
  m.significance = map.significance(best[0], best[1], ContrastMap(modulus, kept, &residual));
  Matrix cov;
  if (!model.linearise(best).covariance(cov) || !(cov[2][2] > 0)) return m;
  const double gamma = best[2], gammaErr = std::sqrt(cov[2][2]);
  // The fit's own contrast over its error must agree: lumps of the mean speckle halo close to the
  // primary fool one measure more easily than both.
  m.significance = std::min(m.significance, gamma / gammaErr);
  m.detected = m.significance >= kDetectionSigmas;
  if (!m.detected) return m;
  m.dx = best[0];
  m.dy = best[1];
  m.dxErr = std::sqrt(cov[0][0]);
  m.dyErr = std::sqrt(cov[1][1]);
  m.separation = std::hypot(m.dx, m.dy);
  const double s2 = m.separation * m.separation;
  m.separationErr =
      std::sqrt(m.dx * m.dx * cov[0][0] + 2 * m.dx * m.dy * cov[0][1] + m.dy * m.dy * cov[1][1]) /
      m.separation;
  m.angleErrDeg =
      std::sqrt(m.dy * m.dy * cov[0][0] - 2 * m.dx * m.dy * cov[0][1] + m.dx * m.dx * cov[1][1]) /
      s2 * 180 / kPi;
  // r(gamma) is steep near gamma = 1 (an equal pair), so the errors of r and of the magnitude
  // difference are half the range that gamma +- its error gives, not a derivative.
  const double low = std::max(gamma - gammaErr, 1e-12), high = std::min(gamma + gammaErr, 1.0);
  m.fluxRatio = ratioFromContrast(gamma);
  m.fluxRatioErr = (ratioFromContrast(high) - ratioFromContrast(low)) / 2;
  m.deltaMag = magnitudes(m.fluxRatio);
  m.deltaMagErr = (magnitudes(ratioFromContrast(low)) - magnitudes(ratioFromContrast(high))) / 2;

  decideQuadrant(modulus, phases, blocksFor(plane, modulus.cutoff, phases.radius), m);
  m.angleDeg = std::atan2(m.dy, m.dx) * 180 / kPi;
  if (m.angleDeg < 0) m.angleDeg += 360;
  return m;
}

double positionAngle(double dx, double dy, const SkyOrientation& sky) {
  const double a = sky.northAngleDeg * kPi / 180;
  const double northX = -std::sin(a), northY = std::cos(a);
  const double eastSign = sky.flip ? -1.0 : 1.0;
  const double eastX = -std::cos(a) * eastSign, eastY = -std::sin(a) * eastSign;
  double angle = std::atan2(dx * eastX + dy * eastY, dx * northX + dy * northY) * 180 / kPi;
  if (angle < 0) angle += 360;
  return angle;
}

}  // namespace korrin::reconstruct
