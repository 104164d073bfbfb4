// The likelihood of the Poisson spot fit: see mle_fit.cpp for the model and the curvatures.
#include "localize/mle_model.h"

#include <cmath>

namespace quorlin::mle {

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kInvSqrt2Pi = 0.3989422804014327;  // 1 / sqrt(2 pi), the normal density at 0

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

}  // namespace

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

template bool evaluate<4>(const double*, int, int, const Params&, Scratch<4>&, Evaluation<4>&);
template bool evaluate<5>(const double*, int, int, const Params&, Scratch<5>&, Evaluation<5>&);

}  // namespace quorlin::mle
