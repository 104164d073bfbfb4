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

#include "common/parallel.h"

namespace quorlin {
namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kInvSqrt2Pi = 0.3989422804014327;  // 1 / sqrt(2 pi), the normal density at 0
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

enum Param { kY = 0, kX = 1, kN = 2, kB = 3, kS = 4 };
constexpr int kMaxParams = 5;
using Params = std::array<double, kMaxParams>;

/// Per-axis fractions of the unit Gaussian falling in each pixel, and their first and second
/// derivatives with respect to the centre (c) and the width (s).
struct AxisProfile {
  std::array<double, kMaxFitWindow> value;
  std::array<double, kMaxFitWindow> slope;  // d/dc
  std::array<double, kMaxFitWindow> widen;  // d/ds
  std::array<double, kMaxFitWindow> bend;   // d2/dc2
  std::array<double, kMaxFitWindow> slope_widen;  // d2/dc ds
  std::array<double, kMaxFitWindow> widen2;       // d2/ds2
};

void axis_profile(int n, double centre, double sigma, AxisProfile& p) {
  const double scale = 1.0 / (kSqrt2 * sigma);
  const double density = kInvSqrt2Pi / sigma;
  const double s2 = sigma * sigma;
  // At each pixel edge: the tail erfc(|z|) and its sign; differences of tails on the same side of
  // the centre keep their relative accuracy far from the centre, where erf differences cancel.
  double t_lo = -0.5 - centre;
  double z_lo = t_lo * scale;
  double q_lo = std::erfc(std::fabs(z_lo));
  double g_lo = std::exp(-z_lo * z_lo);
  for (int k = 0; k < n; ++k) {
    const double t_hi = t_lo + 1.0;
    const double z_hi = t_hi * scale;
    const double q_hi = std::erfc(std::fabs(z_hi));
    const double g_hi = std::exp(-z_hi * z_hi);
    double v;
    if (z_lo >= 0.0)
      v = 0.5 * (q_lo - q_hi);
    else if (z_hi <= 0.0)
      v = 0.5 * (q_hi - q_lo);
    else
      v = 1.0 - 0.5 * (q_lo + q_hi);
    p.value[k] = v;
    // With f(t) = density * g the normal density at edge offset t = edge - c:
    // d/dc f = t f / s^2 and d/ds f = f (t^2 - s^2) / s^3.
    const double f_lo = density * g_lo;
    const double f_hi = density * g_hi;
    p.slope[k] = f_lo - f_hi;
    p.widen[k] = (t_lo * f_lo - t_hi * f_hi) / sigma;
    p.bend[k] = p.widen[k] / sigma;  // the heat equation: dE/ds = s d2E/dc2
    p.slope_widen[k] = (f_lo * (t_lo * t_lo - s2) - f_hi * (t_hi * t_hi - s2)) / (s2 * sigma);
    p.widen2[k] = (t_lo * f_lo * (t_lo * t_lo - 2.0 * s2) - t_hi * f_hi * (t_hi * t_hi - 2.0 * s2)) /
                  (s2 * s2);
    t_lo = t_hi;
    z_lo = z_hi;
    q_lo = q_hi;
    g_lo = g_hi;
  }
}

template <int K>
using Matrix = std::array<std::array<double, K>, K>;

/// Log-likelihood, its gradient, and the Fisher and observed information at one parameter point.
template <int K>
struct Evaluation {
  double loglik = -std::numeric_limits<double>::infinity();
  std::array<double, K> gradient{};
  Matrix<K> information{};
  Matrix<K> observed{};
};

constexpr int kMaxPixels = kMaxFitWindow * kMaxFitWindow;
/// Independent partial sums per dot product, so that the compiler can keep them in vector lanes.
constexpr int kLanes = 4;

double dot(const double* a, const double* b, int n) {
  std::array<double, kLanes> acc{};
  int p = 0;
  for (; p + kLanes <= n; p += kLanes)
    for (int l = 0; l < kLanes; ++l) acc[l] += a[p + l] * b[p + l];
  for (; p < n; ++p) acc[0] += a[p] * b[p];
  return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

/// Per-pixel working columns of one evaluation: the model's derivatives, the same divided by the
/// model, and the counts' ratio to the model.
template <int K>
struct Scratch {
  std::array<std::array<double, kMaxPixels>, K> jacobian;
  std::array<std::array<double, kMaxPixels>, K> weighted;
  std::array<double, kMaxPixels> mu;
  std::array<double, kMaxPixels> ratio;
  std::array<double, kMaxPixels> ones;
};

/// sum over pixels of (d / mu - 1) times the model's second derivatives: the part of the observed
/// information that vanishes on noise-free data. Each second derivative is a sum of products of a
/// row profile and a column profile, so every term is a bilinear form u^T R v of the residual
/// matrix R, from R applied once to each column profile.
template <int K>
Matrix<K> residual_curvature(const Scratch<K>& s, int rows, int cols, const AxisProfile& py,
                             const AxisProfile& px, double n) {
  enum Column { kValue, kSlope, kBend, kWiden, kSlopeWiden, kWiden2, kColumns };
  const std::array<const double*, kColumns> column{px.value.data(), px.slope.data(),
                                                   px.bend.data(), px.widen.data(),
                                                   px.slope_widen.data(), px.widen2.data()};
  constexpr int kUsed = K == 5 ? kColumns : kWiden;  // the width's columns only when it is fitted
  std::array<std::array<double, kMaxFitWindow>, kColumns> rv{};  // (R v)[r] per column profile
  for (int r = 0; r < rows; ++r)
    for (int v = 0; v < kUsed; ++v) {
      double sum = 0.0;
      for (int c = 0; c < cols; ++c) sum += (s.ratio[r * cols + c] - 1.0) * column[v][c];
      rv[v][r] = sum;
    }
  auto form = [&](const std::array<double, kMaxFitWindow>& u, int v) {
    double sum = 0.0;
    for (int r = 0; r < rows; ++r) sum += u[r] * rv[v][r];
    return sum;
  };
  Matrix<K> t{};
  t[kY][kY] = n * form(py.bend, kValue);
  t[kX][kX] = n * form(py.value, kBend);
  t[kY][kX] = n * form(py.slope, kSlope);
  t[kY][kN] = form(py.slope, kValue);
  t[kX][kN] = form(py.value, kSlope);
  if constexpr (K == 5) {
    t[kY][kS] = n * (form(py.slope_widen, kValue) + form(py.slope, kWiden));
    t[kX][kS] = n * (form(py.widen, kSlope) + form(py.value, kSlopeWiden));
    t[kN][kS] = form(py.widen, kValue) + form(py.value, kWiden);
    t[kS][kS] = n * (form(py.widen2, kValue) + 2.0 * form(py.widen, kWiden) +
                     form(py.value, kWiden2));
  }
  for (int a = 0; a < K; ++a)
    for (int c = a + 1; c < K; ++c) t[c][a] = t[a][c];
  return t;
}

template <int K>
bool evaluate(const double* d, int rows, int cols, const Params& theta, Scratch<K>& s,
              Evaluation<K>& e) {
  AxisProfile py, px;
  axis_profile(rows, theta[kY], theta[kS], py);
  axis_profile(cols, theta[kX], theta[kS], px);
  const double n = theta[kN];
  const double b = theta[kB];
  const int pixels = rows * cols;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const int p = r * cols + c;
      const double shape = py.value[r] * px.value[c];
      s.mu[p] = n * shape + b;
      s.jacobian[kY][p] = n * py.slope[r] * px.value[c];
      s.jacobian[kX][p] = n * py.value[r] * px.slope[c];
      s.jacobian[kN][p] = shape;
      s.jacobian[kB][p] = 1.0;
      if constexpr (K == 5)
        s.jacobian[kS][p] = n * (py.widen[r] * px.value[c] + py.value[r] * px.widen[c]);
    }
  }
  double loglik = 0.0;
  for (int p = 0; p < pixels; ++p) {
    const double mu = s.mu[p];
    if (!(mu > 0.0) || !std::isfinite(mu)) return false;
    loglik += (d[p] > 0.0 ? d[p] * std::log(mu) : 0.0) - mu;
    s.ratio[p] = d[p] / mu;
    s.ones[p] = 1.0;
  }
  if (!std::isfinite(loglik)) return false;
  for (int a = 0; a < K; ++a)
    for (int p = 0; p < pixels; ++p) s.weighted[a][p] = s.jacobian[a][p] / s.mu[p];
  // gradient = sum (d / mu - 1) dmu;  information = sum dmu dmu^T / mu;
  // observed = sum (d / mu) dmu dmu^T / mu - sum (d / mu - 1) d2mu.
  e.loglik = loglik;
  const Matrix<K> curvature = residual_curvature<K>(s, rows, cols, py, px, n);
  std::array<double, kMaxPixels> scaled;
  for (int a = 0; a < K; ++a) {
    e.gradient[a] = dot(d, s.weighted[a].data(), pixels) -
                    dot(s.ones.data(), s.jacobian[a].data(), pixels);
    for (int p = 0; p < pixels; ++p) scaled[p] = s.weighted[a][p] * s.ratio[p];
    for (int c = a; c < K; ++c) {
      e.information[a][c] = e.information[c][a] =
          dot(s.weighted[a].data(), s.jacobian[c].data(), pixels);
      e.observed[a][c] = e.observed[c][a] =
          dot(scaled.data(), s.jacobian[c].data(), pixels) - curvature[a][c];
    }
  }
  return true;
}

/// Cholesky factor (lower, in place) of a symmetric matrix; false when it is not positive definite.
template <int K>
bool cholesky(Matrix<K>& m) {
  for (int i = 0; i < K; ++i) {
    for (int j = 0; j <= i; ++j) {
      double sum = m[i][j];
      for (int k = 0; k < j; ++k) sum -= m[i][k] * m[j][k];
      if (i == j) {
        if (!(sum > 0.0)) return false;
        m[i][i] = std::sqrt(sum);
      } else {
        m[i][j] = sum / m[j][j];
      }
    }
  }
  return true;
}

/// Solves L L^T x = rhs in place, L from cholesky.
template <int K>
void cholesky_solve(const Matrix<K>& l, std::array<double, K>& x) {
  for (int i = 0; i < K; ++i) {
    for (int k = 0; k < i; ++k) x[i] -= l[i][k] * x[k];
    x[i] /= l[i][i];
  }
  for (int i = K; i-- > 0;) {
    for (int k = i + 1; k < K; ++k) x[i] -= l[k][i] * x[k];
    x[i] /= l[i][i];
  }
}

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

template <int K>
SpotFit fit(const double* d, int rows, int cols, double start_y, double start_x, double sigma) {
  const double widest = std::max(rows, cols);
  Bounds bounds;
  bounds.lower = {-0.5, -0.5, kMinPhotons, kMinBackground, K == 5 ? kMinSigma : sigma};
  bounds.upper = {rows - 0.5, cols - 0.5, std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity(), K == 5 ? widest : sigma};
  Params theta = clamp(start_point(d, rows, cols, start_y, start_x, sigma), bounds);

  SpotFit out{start_y, start_x, kNaN, kNaN, kNaN, kNaN, kNaN, false};
  Scratch<K> scratch;
  Evaluation<K> current;
  if (!evaluate<K>(d, rows, cols, theta, scratch, current)) return out;
  double damping = kInitialDamping;
  bool done = false;
  for (int iteration = 0; iteration < kMaxIterations && !done; ++iteration) {
    const std::array<bool, K> held = held_at_bounds<K>(theta, bounds, current.gradient);
    auto system = current.observed;
    for (int a = 0; a < K; ++a) system[a][a] += damping * current.information[a][a];
    hold<K>(system, held);
    if (!cholesky<K>(system)) {
      system = current.information;
      for (int a = 0; a < K; ++a) system[a][a] *= 1.0 + damping;
      hold<K>(system, held);
      if (!cholesky<K>(system)) {
        damping *= kDampingFactor;
        if (damping > kMaxDamping) break;
        continue;
      }
    }
    std::array<double, K> step = current.gradient;
    for (int a = 0; a < K; ++a)
      if (held[a]) step[a] = 0.0;
    cholesky_solve<K>(system, step);
    Params trial = theta;
    for (int a = 0; a < K; ++a) trial[a] += step[a];
    trial = clamp(trial, bounds);
    // A short, lightly damped step lands within the tolerance of the maximum: it is taken
    // without another evaluation.
    if (damping <= kSettleDamping && settled(theta, trial)) {
      theta = trial;
      done = true;
      break;
    }
    Evaluation<K> next;
    if (evaluate<K>(d, rows, cols, trial, scratch, next) && next.loglik >= current.loglik) {
      theta = trial;
      current = next;
      damping /= kDampingFactor;
    } else {
      damping *= kDampingFactor;
      if (damping > kMaxDamping) break;
    }
  }

  out.y = theta[kY];
  out.x = theta[kX];
  out.photons = theta[kN];
  out.background = theta[kB];
  out.sigma = theta[kS];
  // The estimate is a maximum where the observed information over the free parameters is
  // positive definite and every parameter at a bound is held there by the gradient (the
  // Karush-Kuhn-Tucker conditions of the bounded maximum). The uncertainties come from that
  // information (the curvature with the held parameters fixed), else from the Fisher information.
  const std::array<bool, K> held = held_at_bounds<K>(theta, bounds, current.gradient);
  bool bounds_hold = true;
  for (int a = 0; a < K; ++a)
    if ((theta[a] <= bounds.lower[a] || theta[a] >= bounds.upper[a]) && !held[a])
      bounds_hold = false;
  auto information = current.observed;
  hold<K>(information, held);
  const bool at_maximum = bounds_hold && cholesky<K>(information);
  if (!at_maximum) {
    information = current.information;
    hold<K>(information, held);
  }
  if (at_maximum || cholesky<K>(information)) {
    std::array<double, K> ey{};
    std::array<double, K> ex{};
    ey[kY] = 1.0;
    ex[kX] = 1.0;
    cholesky_solve<K>(information, ey);
    cholesky_solve<K>(information, ex);
    out.y_err = std::sqrt(ey[kY]);
    out.x_err = std::sqrt(ex[kX]);
  }
  // Only the background may rest at its bound (no background light): a centre at the window's
  // edge, no photons or a width at either limit mean the spot was not found.
  auto inside = [&](int a) { return theta[a] > bounds.lower[a] && theta[a] < bounds.upper[a]; };
  out.converged = done && at_maximum && inside(kY) && inside(kX) && inside(kN) &&
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
