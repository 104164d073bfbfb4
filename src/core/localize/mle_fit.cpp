// Poisson maximum-likelihood fit of a pixel-integrated 2-D Gaussian spot.
//
// Model: mu(r, c) = N * Ey(r) * Ex(c) + b, with Ey(r) the fraction of a 1-D Gaussian of centre y
// and width s falling in [r - 0.5, r + 0.5] (a difference of error functions), and likewise Ex. The
// log-likelihood of counts d is  L = sum d log mu - mu; its gradient is g = sum (d / mu - 1) dmu.
// Two curvature matrices are at hand: the Fisher information I = sum dmu dmu^T / mu (the expected
// curvature, positive definite wherever the model is identifiable) and the observed information
// J = -Hessian(L) = sum d dmu dmu^T / mu^2 - sum (d / mu - 1) d2mu (the curvature of this window's
// likelihood). Steps solve (J + lambda diag I) delta = g, Newton's method with Levenberg–Marquardt
// damping, which converges fast near the maximum; where J is not positive definite (far from the
// maximum) they solve (I + lambda diag I) delta = g instead (scoring), which always goes uphill.
// Scoring alone converges only linearly when the counts are few: J and I then differ by much.
// A parameter at a bound with the gradient pushing against it (most often the background of a
// spot without background light) is held there and the others step alone, so the iterations
// settle at the maximum within the bounds rather than at a clamped unconstrained step.
//
// The reported uncertainties come from J at the estimate: at a few hundred photons, a window whose
// noise happens to make the spot look narrow and faint has a small Fisher bound but a shallow
// likelihood, and J follows the likelihood (it equals I on noise-free data).
#include "localize/mle_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "common/cholesky.h"
#include "common/parallel.h"
#include "localize/mle_model.h"

namespace quorlin {
namespace {

using mle::Evaluation;
using mle::Matrix;
using mle::Params;
using mle::Scratch;
using mle::evaluate;
using mle::kB;
using mle::kMaxParams;
using mle::kN;
using mle::kS;
using mle::kX;
using mle::kY;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// Smallest spot photon count: keeps the centre's information non-zero so steps stay defined.
constexpr double kMinPhotons = 1e-3;
/// Smallest background per pixel: keeps every expected count positive, so log mu and 1 / mu exist.
constexpr double kMinBackground = 1e-6;
/// Narrowest PSF: below a third of a pixel nearly all light falls in one pixel and the width is
/// no longer identifiable.
constexpr double kMinSigma = 0.3;
/// Starting width when sigma is fitted and the window's moments say nothing useful.
constexpr double kFallbackSigma = 1.0;
/// The start moves from the given position to the window's centroid by at most this (pixels):
/// the centroid of a faint spot is mostly noise.
constexpr double kCentroidReach = 1.0;
/// Iterations are done when the centre moves less than this (pixels; a few percent of the
/// precision at 10^5 photons, negligible added in quadrature)...
constexpr double kPositionTolerance = 1e-4;
/// ...and photons, background and width change by less than this fraction.
constexpr double kRelativeTolerance = 1e-4;
/// Damping of the first step: nearly a plain scoring step.
constexpr double kInitialDamping = 1e-3;
/// Factor by which the damping grows after a step that lowers the likelihood, and shrinks after
/// one that raises it.
constexpr double kDampingFactor = 10.0;
/// Damping up to which a step is close enough to the undamped one to judge convergence by.
constexpr double kSettleDamping = 1.0;
/// Damping beyond which steps are too short to change any parameter in double precision.
constexpr double kMaxDamping = 1e12;
/// Step limit: fits settle within about ten iterations (Newton steps converge quadratically once
/// near the maximum); the rest is room for damping and for scoring steps far from it.
constexpr int kMaxIterations = 60;

struct Bounds {
  Params lower;
  Params upper;
};

/// The parameters held at a bound: at the lower bound with the likelihood rising outwards (or
/// flat), or at the upper bound likewise. Steps leave them where they are, so the others move to
/// the maximum with them fixed: a projected Newton step on the free parameters. A parameter at a
/// bound whose gradient points inwards is free, and the step takes it off the bound.
template <int K>
std::array<bool, K> held_at_bounds(const Params& theta, const Bounds& bounds,
                                   const std::array<double, K>& gradient) {
  std::array<bool, K> held{};
  for (int a = 0; a < K; ++a)
    held[a] = (theta[a] <= bounds.lower[a] && gradient[a] <= 0.0) ||
              (theta[a] >= bounds.upper[a] && gradient[a] >= 0.0);
  return held;
}

/// Removes the held parameters from a system: their rows and columns become those of the
/// identity, so their step (with a zero right-hand side) is zero and they no longer couple.
template <int K>
void hold(Matrix<K>& m, const std::array<bool, K>& held) {
  for (int a = 0; a < K; ++a) {
    if (!held[a]) continue;
    for (int c = 0; c < K; ++c) m[a][c] = m[c][a] = 0.0;
    m[a][a] = 1.0;
  }
}

Params clamp(const Params& theta, const Bounds& bounds) {
  Params out;
  for (int a = 0; a < kMaxParams; ++a)
    out[a] = std::clamp(theta[a], bounds.lower[a], bounds.upper[a]);
  return out;
}

bool settled(const Params& from, const Params& to) {
  auto relative = [&](int a) {
    return std::fabs(to[a] - from[a]) <= kRelativeTolerance * std::max(std::fabs(to[a]), 1.0);
  };
  return std::fabs(to[kY] - from[kY]) <= kPositionTolerance &&
         std::fabs(to[kX] - from[kX]) <= kPositionTolerance && relative(kN) && relative(kB) &&
         relative(kS);
}

/// Start of the iterations: background from the window's border, photons from the excess over
/// it, centre and width from the excess's first and second moments (pixel integration adds 1/12
/// to the variance).
Params start_point(const double* d, int rows, int cols, double y, double x, double sigma) {
  double border = 0.0;
  int border_count = 0;
  double total = 0.0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double v = d[r * cols + c];
      total += v;
      if (r == 0 || c == 0 || r == rows - 1 || c == cols - 1) {
        border += v;
        ++border_count;
      }
    }
  }
  const double b = std::max(border / border_count, kMinBackground);
  Params theta{y, x, std::max(total - b * rows * cols, 1.0), b, sigma};
  double weight = 0.0;
  double sum_y = 0.0;
  double sum_x = 0.0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double excess = std::max(d[r * cols + c] - b, 0.0);
      weight += excess;
      sum_y += excess * r;
      sum_x += excess * c;
    }
  }
  if (!(weight > 0.0)) {
    if (std::isnan(sigma)) theta[kS] = kFallbackSigma;
    return theta;
  }
  theta[kY] = std::clamp(sum_y / weight, y - kCentroidReach, y + kCentroidReach);
  theta[kX] = std::clamp(sum_x / weight, x - kCentroidReach, x + kCentroidReach);
  if (std::isnan(sigma)) {
    double spread = 0.0;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        const double excess = std::max(d[r * cols + c] - b, 0.0);
        const double dy = r - theta[kY];
        const double dx = c - theta[kX];
        spread += excess * (dy * dy + dx * dx);
      }
    }
    const double variance = 0.5 * spread / weight - 1.0 / 12.0;
    const double widest = 0.25 * std::max(rows, cols);
    theta[kS] = variance > kMinSigma * kMinSigma ? std::min(std::sqrt(variance), widest)
                                                  : kFallbackSigma;
  }
  return theta;
}

/// The parameter bounds of a rows x cols window: the centre within the window, photons and
/// background above their least values, and the width from kMinSigma to the window's larger side
/// (K = 5) or held at sigma (K = 4).
template <int K>
Bounds bounds_of(int rows, int cols, double sigma) {
  const double widest = std::max(rows, cols);
  Bounds bounds;
  bounds.lower = {-0.5, -0.5, kMinPhotons, kMinBackground, K == 5 ? kMinSigma : sigma};
  bounds.upper = {rows - 0.5, cols - 0.5, std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity(), K == 5 ? widest : sigma};
  return bounds;
}

/// The damped step from `current` with the held parameters fixed, into step: Newton's system (the
/// observed information, its diagonal raised by damping times the Fisher information's), or where
/// that is not positive definite the scoring system (the Fisher information, its diagonal scaled
/// by 1 + damping). False when neither is positive definite.
template <int K>
bool damped_step(const Evaluation<K>& current, const std::array<bool, K>& held, double damping,
                 std::array<double, K>& step) {
  auto system = current.observed;
  for (int a = 0; a < K; ++a) system[a][a] += damping * current.information[a][a];
  hold<K>(system, held);
  if (!cholesky_factor(system)) {
    system = current.information;
    for (int a = 0; a < K; ++a) system[a][a] *= 1.0 + damping;
    hold<K>(system, held);
    if (!cholesky_factor(system)) return false;
  }
  step = current.gradient;
  for (int a = 0; a < K; ++a)
    if (held[a]) step[a] = 0.0;
  cholesky_solve(system, step);
  return true;
}

/// Levenberg–Marquardt iterations from theta (evaluated in `current`) on the window d, within the
/// bounds: a step that raises the likelihood is taken and the damping lowered, any other raises
/// the damping. Leaves the last accepted point in theta and current; returns whether the
/// iterations settled (a short, lightly damped step within the tolerances).
template <int K>
bool maximize(const double* d, int rows, int cols, const Bounds& bounds, Scratch<K>& scratch, Params& theta,
              Evaluation<K>& current) {
  double damping = kInitialDamping;
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    const std::array<bool, K> held = held_at_bounds<K>(theta, bounds, current.gradient);
    std::array<double, K> step;
    if (!damped_step<K>(current, held, damping, step)) {
      damping *= kDampingFactor;
      if (damping > kMaxDamping) return false;
      continue;
    }
    Params trial = theta;
    for (int a = 0; a < K; ++a) trial[a] += step[a];
    trial = clamp(trial, bounds);
    // A short, lightly damped step lands within the tolerance of the maximum: it is taken
    // without another evaluation.
    if (damping <= kSettleDamping && settled(theta, trial)) {
      theta = trial;
      return true;
    }
    Evaluation<K> next;
    if (evaluate<K>(d, rows, cols, trial, scratch, next) && next.loglik >= current.loglik) {
      theta = trial;
      current = next;
      damping /= kDampingFactor;
    } else {
      damping *= kDampingFactor;
      if (damping > kMaxDamping) return false;
    }
  }
  return false;
}

/// Whether the estimate is a maximum, and the centre's standard errors (NaN where the curvature
/// gives none).
struct Precision {
  bool at_maximum = false;
  double y_err = kNaN;
  double x_err = kNaN;
};

/// The estimate is a maximum where the observed information over the free parameters is positive
/// definite and every parameter at a bound is held there by the gradient (the Karush-Kuhn-Tucker
/// conditions of the bounded maximum). The uncertainties come from that information (the
/// curvature with the held parameters fixed), else from the Fisher information.
template <int K>
Precision precision_at(const Params& theta, const Bounds& bounds, const Evaluation<K>& current) {
  const std::array<bool, K> held = held_at_bounds<K>(theta, bounds, current.gradient);
  bool bounds_hold = true;
  for (int a = 0; a < K; ++a)
    if ((theta[a] <= bounds.lower[a] || theta[a] >= bounds.upper[a]) && !held[a])
      bounds_hold = false;
  Precision out;
  auto information = current.observed;
  hold<K>(information, held);
  out.at_maximum = bounds_hold && cholesky_factor(information);
  if (!out.at_maximum) {
    information = current.information;
    hold<K>(information, held);
  }
  if (out.at_maximum || cholesky_factor(information)) {
    std::array<double, K> ey{};
    std::array<double, K> ex{};
    ey[kY] = 1.0;
    ex[kX] = 1.0;
    cholesky_solve(information, ey);
    cholesky_solve(information, ex);
    out.y_err = std::sqrt(ey[kY]);
    out.x_err = std::sqrt(ex[kX]);
  }
  return out;
}

template <int K>
SpotFit fit(const double* d, int rows, int cols, double start_y, double start_x, double sigma) {
  const Bounds bounds = bounds_of<K>(rows, cols, sigma);
  Params theta = clamp(start_point(d, rows, cols, start_y, start_x, sigma), bounds);
  SpotFit out{start_y, start_x, kNaN, kNaN, kNaN, kNaN, kNaN, false};
  Scratch<K> scratch;
  Evaluation<K> current;
  if (!evaluate<K>(d, rows, cols, theta, scratch, current)) return out;
  const bool settled_down = maximize<K>(d, rows, cols, bounds, scratch, theta, current);
  out.y = theta[kY];
  out.x = theta[kX];
  out.photons = theta[kN];
  out.background = theta[kB];
  out.sigma = theta[kS];
  const Precision precision = precision_at<K>(theta, bounds, current);
  out.y_err = precision.y_err;
  out.x_err = precision.x_err;
  // Only the background may rest at its bound (no background light): a centre at the window's
  // edge, no photons or a width at either limit mean the spot was not found.
  auto inside = [&](int a) { return theta[a] > bounds.lower[a] && theta[a] < bounds.upper[a]; };
  out.converged = settled_down && precision.at_maximum && inside(kY) && inside(kX) && inside(kN) &&
                  (K == 4 || inside(kS)) && std::isfinite(out.y_err) && std::isfinite(out.x_err);
  return out;
}

}  // namespace

SpotFit fit_gaussian_window(const double* photons, int rows, int cols, double start_y,
                            double start_x, const GaussianFitOptions& options) {
  if (std::isnan(options.sigma)) return fit<5>(photons, rows, cols, start_y, start_x, kNaN);
  return fit<4>(photons, rows, cols, start_y, start_x, options.sigma);
}

std::vector<SpotFit> fit_spots(const SpotWindows& windows, const double* y, const double* x,
                               const GaussianFitOptions& options) {
  std::vector<SpotFit> fits(windows.placement.size());
  parallel_for(fits.size(), [&](std::size_t i) {
    const WindowPlacement& p = windows.placement[i];
    if (!p.usable) {
      fits[i] = SpotFit{y[i], x[i], kNaN, kNaN, kNaN, kNaN, kNaN, false};
      return;
    }
    SpotFit f = fit_gaussian_window(windows.photons.data() + p.offset, static_cast<int>(p.rows),
                                    static_cast<int>(p.cols), p.start_y, p.start_x, options);
    f.y += static_cast<double>(p.row0);
    f.x += static_cast<double>(p.col0);
    fits[i] = f;
  });
  return fits;
}

}  // namespace quorlin
