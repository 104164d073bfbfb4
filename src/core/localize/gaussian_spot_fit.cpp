// The Gaussian spot fit of a window with its neighbours' pixels left out.
#include "localize/gaussian_spot_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorlin {
namespace {

/// Damped Gauss-Newton steps at most: from a start within a pixel of the centre a fit settles in
/// 5 to 15.
constexpr int kMaxSteps = 60;
/// The damping starts small (nearly Gauss-Newton steps), grows tenfold after a step that does
/// not lower the squared residuals and shrinks tenfold after one that does; once it exceeds
/// kMaxDamping no step can lower them: the fit has settled.
constexpr double kStartDamping = 1e-3;
constexpr double kMaxDamping = 1e8;
/// A step that moves the centre less than this along every axis (pixels) ends the fit.
constexpr double kSettled = 1e-5;

/// One pixel of the window: its position and value.
template <std::size_t D>
struct Sample {
  std::array<double, D> at;
  double value;
};

/// Parameters: centre (D), height, background, and the widths (D) when they are fitted.
template <std::size_t D>
constexpr std::size_t kMaxParameters = 2 * D + 2;

template <std::size_t D>
using Parameters = std::array<double, kMaxParameters<D>>;

/// The pixels of the window that lie in the image, are finite and are not nearer to another spot.
template <std::size_t D>
std::vector<Sample<D>> window_samples(const StridedView<float, D>& image, const SpotFitRequest<D>& request) {
  Index<D> centre;
  for (std::size_t a = 0; a < D; ++a) centre[a] = static_cast<std::int64_t>(std::nearbyint(request.start[a]));
  // The neighbours that could claim a pixel of the window: within two window sides.
  std::vector<std::array<double, D>> near;
  if (request.neighbours != nullptr) {
    const auto reach = static_cast<double>(4 * request.half + 2);
    for (std::size_t i = 0; i < request.neighbours->size(); ++i) {
      if (i == request.self) continue;
      const std::array<float, D>& o = (*request.neighbours)[i];
      bool close = true;
      std::array<double, D> scaled;
      for (std::size_t a = 0; a < D; ++a) {
        close = close && std::fabs(static_cast<double>(o[a]) - request.start[a]) <= reach;
        scaled[a] = static_cast<double>(o[a]);
      }
      if (close) near.push_back(scaled);
    }
  }
  const auto distance = [&](const Index<D>& at, const std::array<double, D>& to) {
    double sum = 0.0;
    for (std::size_t a = 0; a < D; ++a) {
      const double d = (static_cast<double>(at[a]) - to[a]) / request.sigma[a];
      sum += d * d;
    }
    return sum;
  };
  std::vector<Sample<D>> samples;
  for_each_in_cube<D>(centre, request.half, [&](const Index<D>& at, const Index<D>&) {
    if (!inside(image, at)) return;
    const float value = value_at(image, at);
    if (!std::isfinite(value)) return;
    const double own = distance(at, request.start);
    for (const std::array<double, D>& o : near)
      if (distance(at, o) < own) return;
    Sample<D> s;
    for (std::size_t a = 0; a < D; ++a) s.at[a] = static_cast<double>(at[a]);
    s.value = static_cast<double>(value);
    samples.push_back(s);
  });
  return samples;
}

/// The model's value at a sample and its derivatives by the first `k` parameters.
template <std::size_t D>
double model(const Sample<D>& s, const Parameters<D>& p, const std::array<double, D>& sigma, std::size_t k,
             Parameters<D>& derivative) {
  double exponent = 0.0;
  std::array<double, D> d, scaled;
  for (std::size_t a = 0; a < D; ++a) {
    d[a] = s.at[a] - p[a];
    scaled[a] = d[a] / (sigma[a] * sigma[a]);
    exponent += d[a] * scaled[a];
  }
  const double g = std::exp(-0.5 * exponent);
  const double height = p[D];
  for (std::size_t a = 0; a < D; ++a) derivative[a] = height * g * scaled[a];
  derivative[D] = g;
  derivative[D + 1] = 1.0;
  if (k > D + 2)
    for (std::size_t a = 0; a < D; ++a) derivative[D + 2 + a] = height * g * d[a] * scaled[a] / sigma[a];
  return p[D + 1] + height * g;
}

/// The widths the parameters hold (fitted) or the request's (fixed).
template <std::size_t D>
std::array<double, D> widths(const Parameters<D>& p, const SpotFitRequest<D>& request) {
  if (request.fixed_sigma) return request.sigma;
  std::array<double, D> sigma;
  for (std::size_t a = 0; a < D; ++a) sigma[a] = p[D + 2 + a];
  return sigma;
}

/// The sum of squared residuals, and with `normal` also J^T J (row-major k x k) and J^T r.
template <std::size_t D>
double residuals(const std::vector<Sample<D>>& samples, const Parameters<D>& p, const SpotFitRequest<D>& request,
                 std::size_t k, std::vector<double>* normal, Parameters<D>* gradient) {
  const std::array<double, D> sigma = widths(p, request);
  for (std::size_t a = 0; a < D; ++a)
    if (!(sigma[a] > 0.0)) return std::numeric_limits<double>::infinity();
  if (normal != nullptr) {
    normal->assign(k * k, 0.0);
    gradient->fill(0.0);
  }
  double cost = 0.0;
  Parameters<D> j{};
  for (const Sample<D>& s : samples) {
    const double r = model(s, p, sigma, k, j) - s.value;
    cost += r * r;
    if (normal == nullptr) continue;
    for (std::size_t u = 0; u < k; ++u) {
      (*gradient)[u] += j[u] * r;
      for (std::size_t v = 0; v <= u; ++v) (*normal)[u * k + v] += j[u] * j[v];
    }
  }
  return std::isfinite(cost) ? cost : std::numeric_limits<double>::infinity();
}

/// Solves (A + damping diag A) x = -b by Cholesky (A symmetric, lower triangle given); none when
/// the damped matrix is not positive definite.
template <std::size_t D>
std::optional<Parameters<D>> damped_step(const std::vector<double>& normal, const Parameters<D>& b, std::size_t k,
                                         double damping) {
  std::vector<double> l(k * k, 0.0);
  for (std::size_t u = 0; u < k; ++u)
    for (std::size_t v = 0; v <= u; ++v) {
      double sum = normal[u * k + v] * (u == v ? 1.0 + damping : 1.0);
      for (std::size_t w = 0; w < v; ++w) sum -= l[u * k + w] * l[v * k + w];
      if (u == v) {
        if (!(sum > 0.0)) return std::nullopt;
        l[u * k + u] = std::sqrt(sum);
      } else {
        l[u * k + v] = sum / l[v * k + v];
      }
    }
  Parameters<D> x{};
  for (std::size_t u = 0; u < k; ++u) {
    double sum = -b[u];
    for (std::size_t w = 0; w < u; ++w) sum -= l[u * k + w] * x[w];
    x[u] = sum / l[u * k + u];
  }
  for (std::size_t u = k; u-- > 0;) {
    double sum = x[u];
    for (std::size_t w = u + 1; w < k; ++w) sum -= l[w * k + u] * x[w];
    x[u] = sum / l[u * k + u];
  }
  return x;
}

}  // namespace

template <std::size_t D>
std::optional<GaussianSpot<D>> fit_gaussian_spot(const StridedView<float, D>& image, const SpotFitRequest<D>& request) {
  const std::vector<Sample<D>> samples = window_samples(image, request);
  const std::size_t k = request.fixed_sigma ? D + 2 : 2 * D + 2;
  if (samples.size() <= k) return std::nullopt;
  Parameters<D> p{};
  double peak = -std::numeric_limits<double>::infinity();
  for (const Sample<D>& s : samples) peak = std::max(peak, s.value);
  for (std::size_t a = 0; a < D; ++a) p[a] = request.start[a];
  p[D] = std::max(peak - request.background, 0.0);
  p[D + 1] = request.background;
  if (!request.fixed_sigma)
    for (std::size_t a = 0; a < D; ++a) p[D + 2 + a] = request.sigma[a];
  std::vector<double> normal;
  Parameters<D> gradient{};
  double damping = kStartDamping;
  bool settled = false;
  for (int step = 0; step < kMaxSteps && !settled; ++step) {
    const double cost = residuals(samples, p, request, k, &normal, &gradient);
    if (!std::isfinite(cost)) return std::nullopt;
    while (true) {
      const std::optional<Parameters<D>> delta = damped_step<D>(normal, gradient, k, damping);
      Parameters<D> next = p;
      if (delta)
        for (std::size_t u = 0; u < k; ++u) next[u] += (*delta)[u];
      if (delta && residuals<D>(samples, next, request, k, nullptr, nullptr) < cost) {
        double moved = 0.0;
        for (std::size_t a = 0; a < D; ++a) moved = std::max(moved, std::fabs((*delta)[a]));
        p = next;
        damping = std::max(damping * 0.1, kStartDamping * 1e-6);
        settled = moved < kSettled;
        break;
      }
      damping *= 10.0;
      if (damping > kMaxDamping) {
        settled = true;
        break;
      }
    }
  }
  if (!settled) return std::nullopt;
  GaussianSpot<D> spot;
  spot.height = p[D];
  spot.background = p[D + 1];
  spot.sigma = widths(p, request);
  if (!(spot.height > 0.0)) return std::nullopt;
  for (std::size_t a = 0; a < D; ++a) {
    spot.centre[a] = p[a];
    if (!(spot.sigma[a] > 0.0 && spot.sigma[a] <= static_cast<double>(request.half)) ||
        !(std::fabs(p[a] - request.start[a]) <= kMaxSpotFitShift))
      return std::nullopt;
  }
  return spot;
}

template std::optional<GaussianSpot<2>> fit_gaussian_spot<2>(const StridedView<float, 2>&, const SpotFitRequest<2>&);
template std::optional<GaussianSpot<3>> fit_gaussian_spot<3>(const StridedView<float, 3>&, const SpotFitRequest<3>&);

}  // namespace quorlin
