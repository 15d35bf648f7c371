#include "tools/reconstruct/phase_recovery.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <optional>

namespace korrin::reconstruct {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

double wrap(double angle) {
  return angle - kTwoPi * std::nearbyint(angle / kTwoPi);
}

// The closure phase arg F(a) F(b) F(c), a + b + c = 0. The bispectrum is the same for every
// order of the three frequencies and conjugate for their negatives, so the triple may be stored
// as any ordered pair of them, or of their negatives.
class ClosurePhases {
 public:
  explicit ClosurePhases(const ResultData& result)
      : result_(result), layout_(result.width, result.kmax, result.dkmax) {}

  std::optional<double> operator()(int ax, int ay, int bx, int by) const {
    const int triple[3][2] = {{ax, ay}, {bx, by}, {-ax - bx, -ay - by}};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        if (i == j) continue;
        const int* p = triple[i];
        const int* q = triple[j];
        int64_t at = layout_.position(p[0], p[1], q[0], q[1]);
        if (at >= 0) return result_.phases[static_cast<std::size_t>(at)];
        at = layout_.position(-p[0], -p[1], -q[0], -q[1]);
        if (at >= 0) return -static_cast<double>(result_.phases[static_cast<std::size_t>(at)]);
      }
    }
    return std::nullopt;
  }

  const PhaseLayout& layout() const { return layout_; }

 private:
  const ResultData& result_;
  PhaseLayout layout_;
};

// The unknowns are the phases of the half plane inside the radius. A closure relation reads
// y[a] + y[b] + y[c] = beta, where y holds the unknowns, then their negatives (the phases of the
// other half plane), then one 0 for the zero frequency and the fixed tilt phases.
struct Unknowns {
  std::vector<int> fx, fy;
  std::vector<int32_t> slot;  // per frequency (centred): index into y, or -1 outside the radius
  int32_t zeroSlot = 0;

  std::size_t count() const { return fx.size(); }
};

bool isFixed(int fx, int fy) {
  const int a = std::abs(fx), b = std::abs(fy);
  return a + b <= 1;  // the zero frequency and the four tilt frequencies
}

Unknowns chooseUnknowns(const FrequencyPlane& plane, double radius) {
  Unknowns u;
  radius = std::min(radius, plane.half() - 1.0);  // so that -f is in the plane as well
  const int reach = static_cast<int>(std::floor(radius));
  std::vector<std::pair<int, int>> chosen;
  for (int fy = 0; fy <= reach; ++fy) {
    for (int fx = -reach; fx <= reach; ++fx) {
      if (fx * fx + fy * fy > radius * radius || !inUpperHalf(fx, fy) || isFixed(fx, fy)) continue;
      chosen.emplace_back(fx, fy);
    }
  }
  // Inner frequencies first: the recursion needs the phases of shorter vectors.
  std::stable_sort(chosen.begin(), chosen.end(), [](const auto& p, const auto& q) {
    return p.first * p.first + p.second * p.second < q.first * q.first + q.second * q.second;
  });
  const auto n = static_cast<int32_t>(chosen.size());
  u.zeroSlot = 2 * n;
  u.slot.assign(plane.size(), -1);
  for (int32_t i = 0; i < n; ++i) {
    const auto [fx, fy] = chosen[static_cast<std::size_t>(i)];
    u.fx.push_back(fx);
    u.fy.push_back(fy);
    u.slot[plane.index(fx, fy)] = i;
    u.slot[plane.index(-fx, -fy)] = n + i;
  }
  for (int fy = -1; fy <= 1; ++fy) {
    for (int fx = -1; fx <= 1; ++fx) {
      if (isFixed(fx, fy)) u.slot[plane.index(fx, fy)] = u.zeroSlot;
    }
  }
  return u;
}

// The recursion: each unknown, innermost first, from the pairs u + v = w with v in the file's
// small box and both phases known.
void recurse(const ResultData& result, const FrequencyPlane& plane, const Unknowns& unknowns,
             const ClosurePhases& closure, const std::vector<double>& weight,
             std::vector<double>& phase, std::vector<double>& consistency) {
  std::vector<char> known(plane.size(), 0);
  for (std::size_t i = 0; i < plane.size(); ++i) known[i] = unknowns.slot[i] == unknowns.zeroSlot;
  const int d = result.dkmax;
  for (std::size_t k = 0; k < unknowns.count(); ++k) {
    const int wx = unknowns.fx[k], wy = unknowns.fy[k];
    const double ww = weight[plane.index(wx, wy)];
    std::complex<double> sum = 0;
    double total = 0;
    for (int vy = -d; vy <= d; ++vy) {
      for (int vx = -d; vx <= d; ++vx) {
        const int ux = wx - vx, uy = wy - vy;
        if ((vx == 0 && vy == 0) || (ux == 0 && uy == 0) || !plane.contains(ux, uy)) continue;
        const std::size_t iu = plane.index(ux, uy), iv = plane.index(vx, vy);
        if (!known[iu] || !known[iv]) continue;
        const double w = weight[iu] * weight[iv] * ww;
        if (!(w > 0)) continue;
        const std::optional<double> beta = closure(ux, uy, vx, vy);
        if (!beta) continue;
        sum += std::polar(w, phase[iu] + phase[iv] - *beta);
        total += w;
      }
    }
    if (!(total > 0)) continue;  // unreachable: left unknown, phase 0
    const double value = std::arg(sum);
    const std::size_t at = plane.index(wx, wy), mirror = plane.index(-wx, -wy);
    phase[at] = value;
    phase[mirror] = -value;
    consistency[at] = consistency[mirror] = std::abs(sum) / total;
    known[at] = known[mirror] = 1;
  }
}

// The closure relations y[a] + y[b] + y[c] = beta, grouped by a (the slot of u): the file lists
// all v of one u together, and keeping a's sum in a register spares the scatter loop a chain of
// stores to one address.
struct Closures {
  std::vector<int32_t> groupSlot;     // a of each group
  std::vector<std::size_t> groupEnd;  // one past the group's last relation
  std::vector<int32_t> b, c;
  std::vector<float> beta, weight;

  std::size_t size() const { return b.size(); }
};

// Every stored pair whose three frequencies lie inside the radius and are not all fixed.
Closures collectClosures(const ResultData& result, const FrequencyPlane& plane,
                         const Unknowns& unknowns, const PhaseLayout& layout,
                         const std::vector<double>& weight) {
  Closures closures;
  const int k = result.kmax, d = result.dkmax;
  // Each u of the half plane, and of the row uy = 0 on its left, pairs with at most every v.
  const std::size_t expected = (unknowns.count() + static_cast<std::size_t>(k) + 3) *
                               static_cast<std::size_t>((2 * d + 1) * (2 * d + 1));
  closures.b.reserve(expected);
  closures.c.reserve(expected);
  closures.beta.reserve(expected);
  closures.weight.reserve(expected);
  const auto slotOf = [&](int fx, int fy) {
    return plane.contains(fx, fy) ? unknowns.slot[plane.index(fx, fy)] : int32_t{-1};
  };
  for (int ux = -k; ux <= k; ++ux) {
    for (int uy = 0; uy <= k; ++uy) {
      const int32_t a = slotOf(ux, uy);
      if (a < 0 || (ux == 0 && uy == 0)) continue;
      const double wu = weight[plane.index(ux, uy)];
      for (int vx = -d; vx <= d; ++vx) {
        for (int vy = -d; vy <= d; ++vy) {
          const int wx = ux + vx, wy = uy + vy;
          if ((vx == 0 && vy == 0) || (wx == 0 && wy == 0)) continue;
          const int32_t b = slotOf(vx, vy), c = slotOf(-wx, -wy);
          if (b < 0 || c < 0) continue;
          if (a == unknowns.zeroSlot && b == unknowns.zeroSlot && c == unknowns.zeroSlot) continue;
          const double w = wu * weight[plane.index(vx, vy)] * weight[plane.index(wx, wy)];
          if (!(w > 0)) continue;
          const int64_t at = layout.position(ux, uy, vx, vy);
          if (at < 0) continue;
          closures.b.push_back(b);
          closures.c.push_back(c);
          closures.beta.push_back(result.phases[static_cast<std::size_t>(at)]);
          closures.weight.push_back(static_cast<float>(w));
        }
      }
      if (closures.groupEnd.empty() ? !closures.b.empty()
                                    : closures.groupEnd.back() != closures.b.size()) {
        closures.groupSlot.push_back(a);
        closures.groupEnd.push_back(closures.b.size());
      }
    }
  }
  return closures;
}

// The normal equations A^T W A of the closure relations, applied without forming the matrix.
class NormalEquations {
 public:
  NormalEquations(const Closures& closures, std::size_t unknowns)
      : closures_(closures), n_(unknowns), y_(2 * unknowns + 1), g_(2 * unknowns + 1) {}

  // out = A^T W A x
  void apply(const std::vector<double>& x, std::vector<double>& out) {
    expand(x);
    scatter([](std::size_t, double sum) { return sum; });
    fold(out);
  }

  struct Misfit {
    double phasor = 0;   // sum w (1 - cos r)
    double squares = 0;  // sum w r^2, r wrapped to -pi .. pi
    double weights = 0;  // sum w
  };

  // out = A^T W sin(r), r the closure residuals at x: the descent direction of the phasor
  // misfit sum w |exp(i beta) - exp(i (y_a + y_b + y_c))|^2 = 2 sum w (1 - cos r), which needs no
  // decision on which way a residual near pi wraps and lets such outliers fade out.
  Misfit gradient(const std::vector<double>& x, std::vector<double>& out) {
    expand(x);
    Misfit m;
    scatter([&](std::size_t e, double sum) {
      const double r = wrap(closures_.beta[e] - sum);
      const double w = closures_.weight[e];
      m.phasor += w * (1 - std::cos(r));
      m.squares += w * r * r;
      m.weights += w;
      return -std::sin(r);
    });
    for (double& v : g_) v = -v;
    fold(out);
    return m;
  }

  // The diagonal of A^T W A: a frequency may appear twice in one relation (u = v), or its
  // phase and its negative's may cancel.
  std::vector<double> diagonal() const {
    std::vector<double> diag(n_, 0.0);
    std::size_t e = 0;
    for (std::size_t group = 0; group < closures_.groupSlot.size(); ++group) {
      for (; e < closures_.groupEnd[group]; ++e) {
        int32_t index[3];
        double coefficient[3];
        int terms = 0;
        for (int32_t s : {closures_.groupSlot[group], closures_.b[e], closures_.c[e]}) {
          if (s == static_cast<int32_t>(2 * n_)) continue;
          const int32_t i = s < static_cast<int32_t>(n_) ? s : s - static_cast<int32_t>(n_);
          const double sign = s < static_cast<int32_t>(n_) ? 1.0 : -1.0;
          int t = 0;
          while (t < terms && index[t] != i) ++t;
          if (t == terms) {
            index[terms] = i;
            coefficient[terms++] = 0;
          }
          coefficient[t] += sign;
        }
        for (int t = 0; t < terms; ++t) {
          diag[static_cast<std::size_t>(index[t])] +=
              closures_.weight[e] * coefficient[t] * coefficient[t];
        }
      }
    }
    return diag;
  }

 private:
  // g = sum over relations of w * f(e, y_a + y_b + y_c) times the relation's row of A.
  template <class F>
  void scatter(F f) {
    std::fill(g_.begin(), g_.end(), 0.0);
    const int32_t* b = closures_.b.data();
    const int32_t* c = closures_.c.data();
    const float* w = closures_.weight.data();
    std::size_t e = 0;
    for (std::size_t group = 0; group < closures_.groupSlot.size(); ++group) {
      const int32_t a = closures_.groupSlot[group];
      const double ya = y_[a];
      double sumA = 0;
      for (const std::size_t end = closures_.groupEnd[group]; e < end; ++e) {
        const double t = w[e] * f(e, ya + y_[b[e]] + y_[c[e]]);
        sumA += t;
        g_[b[e]] += t;
        g_[c[e]] += t;
      }
      g_[a] += sumA;
    }
  }
  void expand(const std::vector<double>& x) {
    for (std::size_t i = 0; i < n_; ++i) {
      y_[i] = x[i];
      y_[n_ + i] = -x[i];
    }
    y_[2 * n_] = 0;
  }
  void fold(std::vector<double>& out) const {
    out.resize(n_);
    for (std::size_t i = 0; i < n_; ++i) out[i] = g_[i] - g_[n_ + i];
  }

  const Closures& closures_;
  std::size_t n_;
  std::vector<double> y_, g_;
};

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// Preconditioned conjugate gradients for N delta = rhs, from delta = 0.
std::vector<double> solve(NormalEquations& normal, const std::vector<double>& inverseDiagonal,
                          const std::vector<double>& rhs, int maxSteps) {
  const std::size_t n = rhs.size();
  std::vector<double> delta(n, 0.0), residual = rhs, z(n), p(n), q(n);
  for (std::size_t i = 0; i < n; ++i) z[i] = inverseDiagonal[i] * residual[i];
  p = z;
  double rz = dot(residual, z);
  // A thousandth of the step's size is far below the phases' own noise.
  const double target = 1e-6 * dot(rhs, rhs);
  for (int step = 0; step < maxSteps && dot(residual, residual) > target; ++step) {
    normal.apply(p, q);
    const double pq = dot(p, q);
    if (!(pq > 0)) break;
    const double alpha = rz / pq;
    for (std::size_t i = 0; i < n; ++i) {
      delta[i] += alpha * p[i];
      residual[i] -= alpha * q[i];
      z[i] = inverseDiagonal[i] * residual[i];
    }
    const double next = dot(residual, z);
    const double beta = next / rz;
    rz = next;
    for (std::size_t i = 0; i < n; ++i) p[i] = z[i] + beta * p[i];
  }
  return delta;
}

}  // namespace

PhaseSolution recoverPhases(const ResultData& result, const std::vector<double>& weight,
                            const PhaseOptions& options) {
  PhaseSolution s;
  s.plane = FrequencyPlane{result.width};
  s.radius = options.radius;
  const FrequencyPlane& plane = s.plane;
  s.phase.assign(plane.size(), 0.0);
  s.consistency.assign(plane.size(), 0.0);

  const Unknowns unknowns = chooseUnknowns(plane, options.radius);
  s.unknowns = unknowns.count();
  const ClosurePhases closure(result);
  recurse(result, plane, unknowns, closure, weight, s.phase, s.consistency);

  const Closures closures = collectClosures(result, plane, unknowns, closure.layout(), weight);
  s.closures = closures.size();
  const std::size_t n = unknowns.count();
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = s.phase[plane.index(unknowns.fx[i], unknowns.fy[i])];

  NormalEquations normal(closures, n);
  std::vector<double> inverseDiagonal = normal.diagonal();
  for (double& v : inverseDiagonal) v = v > 0 ? 1 / v : 0;
  std::vector<double> rhs, trialRhs;
  NormalEquations::Misfit misfit = normal.gradient(x, rhs);
  for (int step = 0; options.refine && step < options.maxRefinements; ++step) {
    const std::vector<double> delta =
        solve(normal, inverseDiagonal, rhs, options.maxConjugateGradientSteps);
    std::vector<double> trial = x;
    for (std::size_t i = 0; i < n; ++i) trial[i] += delta[i];
    const NormalEquations::Misfit next = normal.gradient(trial, trialRhs);
    if (!(next.phasor < misfit.phasor)) break;  // a step too long for the linearisation
    s.refinements = step + 1;
    const bool small = next.phasor > misfit.phasor * (1 - 1e-4);
    x.swap(trial);
    rhs.swap(trialRhs);
    misfit = next;
    // Smooth changes of the phases cost the closure relations next to nothing, so the steps can
    // go on moving them long after the fit has stopped improving.
    if (small) break;
  }
  s.rmsResidual = misfit.weights > 0 ? std::sqrt(misfit.squares / misfit.weights) : 0;

  for (std::size_t i = 0; i < n; ++i) {
    const double value = wrap(x[i]);
    s.phase[plane.index(unknowns.fx[i], unknowns.fy[i])] = value;
    s.phase[plane.index(-unknowns.fx[i], -unknowns.fy[i])] = -value;
  }
  return s;
}

}  // namespace korrin::reconstruct
