// The Gaussian spot fit of a window with its neighbours' pixels left out.
#include "localize/gaussian_spot_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/cholesky.h"

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
/// A step that moves the centre less than this along every axis (pixels) ends the fit: far below
/// the error noise leaves.
constexpr double kSettled = 1e-4;

/// One pixel of the window: its position and value.
template <std::size_t D>
struct Sample {
  std::array<double, D> at;
  std::array<std::size_t, D> step;  ///< steps from the window's first pixel along each axis
  double value;
};

/// Parameters: one spot's centre (D), height, background and, when fitted, widths (D); or two
/// spots' centres and heights (2 (D + 1)) and their background.
template <std::size_t D>
constexpr std::size_t kMaxParameters = 2 * D + 3;

template <std::size_t D>
using Parameters = std::array<double, kMaxParameters<D>>;

/// What is fitted: one spot (widths fitted or kept) or two of the request's widths.
struct Model {
  std::size_t parameters;
  bool pair;
};

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
    for (std::size_t a = 0; a < D; ++a) {
      s.at[a] = static_cast<double>(at[a]);
      s.step[a] = static_cast<std::size_t>(at[a] - centre[a] + request.half);
    }
    s.value = static_cast<double>(value);
    samples.push_back(s);
  });
  return samples;
}

/// A Gaussian is the product of one factor per axis: for each spot and axis, the factor at each
/// step of the window (the window's side exponentials per axis instead of one per pixel).
template <std::size_t D>
class AxisFactors {
 public:
  AxisFactors(const SpotFitRequest<D>& request, const Parameters<D>& p, const Model& model,
              const std::array<double, D>& sigma)
      : side_(static_cast<std::size_t>(2 * request.half + 1)), factors_((model.pair ? 2 : 1) * D * side_) {
    for (std::size_t m = 0; m < (model.pair ? 2u : 1u); ++m)
      for (std::size_t a = 0; a < D; ++a) {
        const double first = std::nearbyint(request.start[a]) - static_cast<double>(request.half) - p[m * (D + 1) + a];
        for (std::size_t i = 0; i < side_; ++i) {
          const double d = first + static_cast<double>(i);
          factors_[(m * D + a) * side_ + i] = std::exp(-0.5 * d * d / (sigma[a] * sigma[a]));
        }
      }
  }
  /// The Gaussian of spot m at the sample.
  double at(std::size_t m, const Sample<D>& s) const {
    double g = 1.0;
    for (std::size_t a = 0; a < D; ++a) g *= factors_[(m * D + a) * side_ + s.step[a]];
    return g;
  }

 private:
  std::size_t side_;
  std::vector<double> factors_;
};

/// The model's value at a sample and its derivatives by the model's parameters.
template <std::size_t D>
double model_value(const Sample<D>& s, const Parameters<D>& p, const Model& model, const std::array<double, D>& sigma,
                   const AxisFactors<D>& factors, Parameters<D>& derivative) {
  const std::size_t spots = model.pair ? 2 : 1;
  const std::size_t background = model.pair ? 2 * D + 2 : D + 1;
  double value = p[background];
  derivative[background] = 1.0;
  for (std::size_t m = 0; m < spots; ++m) {
    const std::size_t base = m * (D + 1);
    std::array<double, D> d, scaled;
    for (std::size_t a = 0; a < D; ++a) {
      d[a] = s.at[a] - p[base + a];
      scaled[a] = d[a] / (sigma[a] * sigma[a]);
    }
    const double g = factors.at(m, s);
    const double height = p[base + D];
    for (std::size_t a = 0; a < D; ++a) derivative[base + a] = height * g * scaled[a];
    derivative[base + D] = g;
    value += height * g;
    if (!model.pair && model.parameters > D + 2)
      for (std::size_t a = 0; a < D; ++a) derivative[D + 2 + a] = height * g * d[a] * scaled[a] / sigma[a];
  }
  return value;
}

/// The widths the parameters hold (fitted) or the request's (fixed).
template <std::size_t D>
std::array<double, D> widths(const Parameters<D>& p, const Model& model, const SpotFitRequest<D>& request) {
  if (model.pair || model.parameters == D + 2) return request.sigma;
  std::array<double, D> sigma;
  for (std::size_t a = 0; a < D; ++a) sigma[a] = p[D + 2 + a];
  return sigma;
}

/// The sum of squared residuals, and with `normal` also J^T J (row-major, lower triangle) and J^T r.
template <std::size_t D>
double residuals(const std::vector<Sample<D>>& samples, const Parameters<D>& p, const Model& model,
                 const SpotFitRequest<D>& request, std::vector<double>* normal, Parameters<D>* gradient) {
  const std::size_t k = model.parameters;
  const std::array<double, D> sigma = widths(p, model, request);
  for (std::size_t a = 0; a < D; ++a)
    if (!(sigma[a] > 0.0)) return std::numeric_limits<double>::infinity();
  if (normal != nullptr) {
    normal->assign(k * k, 0.0);
    gradient->fill(0.0);
  }
  const AxisFactors<D> factors(request, p, model, sigma);
  double cost = 0.0;
  Parameters<D> j{};
  for (const Sample<D>& s : samples) {
    const double r = model_value(s, p, model, sigma, factors, j) - s.value;
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
  std::array<double, kMaxParameters<D> * kMaxParameters<D>> l;
  for (std::size_t u = 0; u < k; ++u)
    for (std::size_t v = 0; v <= u; ++v) l[u * k + v] = normal[u * k + v] * (u == v ? 1.0 + damping : 1.0);
  const auto at = [&l, k](std::size_t u, std::size_t v) -> double& { return l[u * k + v]; };
  if (!cholesky_factor(k, at)) return std::nullopt;
  Parameters<D> x{};
  for (std::size_t u = 0; u < k; ++u) x[u] = -b[u];
  cholesky_solve(k, at, x);
  return x;
}

/// A settled fit: its parameters and sum of squared residuals.
template <std::size_t D>
struct Settled {
  Parameters<D> p;
  double cost;
};

/// Damped Gauss-Newton steps from `p` until a step moves no centre by kSettled or none lowers the
/// squared residuals; none when the fit does not settle within kMaxSteps.
template <std::size_t D>
std::optional<Settled<D>> settle(const std::vector<Sample<D>>& samples, Parameters<D> p, const Model& model,
                                 const SpotFitRequest<D>& request) {
  const std::size_t k = model.parameters;
  std::vector<double> normal;
  Parameters<D> gradient{};
  double damping = kStartDamping;
  for (int step = 0; step < kMaxSteps; ++step) {
    const double cost = residuals(samples, p, model, request, &normal, &gradient);
    if (!std::isfinite(cost)) return std::nullopt;
    while (true) {
      const std::optional<Parameters<D>> delta = damped_step<D>(normal, gradient, k, damping);
      Parameters<D> next = p;
      if (delta)
        for (std::size_t u = 0; u < k; ++u) next[u] += (*delta)[u];
      const double lowered = delta ? residuals<D>(samples, next, model, request, nullptr, nullptr) : cost;
      if (lowered < cost) {
        double moved = 0.0;
        for (std::size_t m = 0; m < (model.pair ? 2u : 1u); ++m)
          for (std::size_t a = 0; a < D; ++a) moved = std::max(moved, std::fabs((*delta)[m * (D + 1) + a]));
        p = next;
        damping = std::max(damping * 0.1, kStartDamping * 1e-6);
        if (moved < kSettled) return Settled<D>{p, lowered};
        break;
      }
      damping *= 10.0;
      if (damping > kMaxDamping) return Settled<D>{p, cost};
    }
  }
  return std::nullopt;
}

/// The spot at parameter `base` of a settled fit, when it lies within `reach` of the start along
/// every axis and its height and widths are usable.
template <std::size_t D>
std::optional<GaussianSpot<D>> spot_of(const Settled<D>& fit, std::size_t base, const Model& model,
                                       const SpotFitRequest<D>& request, double reach) {
  GaussianSpot<D> spot;
  spot.height = fit.p[base + D];
  spot.background = fit.p[model.pair ? 2 * D + 2 : D + 1];
  spot.sigma = widths(fit.p, model, request);
  spot.residual = fit.cost;
  if (!(spot.height > 0.0)) return std::nullopt;
  for (std::size_t a = 0; a < D; ++a) {
    spot.centre[a] = fit.p[base + a];
    if (!(spot.sigma[a] > 0.0 && spot.sigma[a] <= static_cast<double>(request.half)) ||
        !(std::fabs(spot.centre[a] - request.start[a]) <= reach))
      return std::nullopt;
  }
  return spot;
}

/// The start of a one-spot fit: at the request's start, as high as the window's brightest pixel
/// stands above the background.
template <std::size_t D>
Parameters<D> single_start(const std::vector<Sample<D>>& samples, const SpotFitRequest<D>& request) {
  Parameters<D> p{};
  double peak = -std::numeric_limits<double>::infinity();
  for (const Sample<D>& s : samples) peak = std::max(peak, s.value);
  for (std::size_t a = 0; a < D; ++a) p[a] = request.start[a];
  p[D] = std::max(peak - request.background, 0.0);
  p[D + 1] = request.background;
  if (!request.fixed_sigma)
    for (std::size_t a = 0; a < D; ++a) p[D + 2 + a] = request.sigma[a];
  return p;
}

}  // namespace

template <std::size_t D>
std::optional<GaussianSpot<D>> fit_gaussian_spot(const StridedView<float, D>& image, const SpotFitRequest<D>& request) {
  const std::vector<Sample<D>> samples = window_samples(image, request);
  const Model model{request.fixed_sigma ? D + 2 : 2 * D + 2, false};
  if (samples.size() <= model.parameters) return std::nullopt;
  const std::optional<Settled<D>> fit = settle(samples, single_start(samples, request), model, request);
  if (!fit) return std::nullopt;
  return spot_of(*fit, 0, model, request, kMaxSpotFitShift);
}

template <std::size_t D>
std::optional<std::array<GaussianSpot<D>, 2>> fit_spot_pair(const StridedView<float, D>& image,
                                                            const SpotFitRequest<D>& request, double noise_variance,
                                                            std::size_t axis) {
  const std::vector<Sample<D>> samples = window_samples(image, request);
  const Model one{D + 2, false}, two{2 * D + 3, true};
  if (samples.size() <= two.parameters || !(noise_variance > 0.0) || axis >= D) return std::nullopt;
  const std::optional<Settled<D>> single = settle(samples, single_start(samples, request), one, request);
  // Two spots can only gain kPairGain noise variances where one leaves that much beyond the noise.
  const double noise = static_cast<double>(samples.size()) * noise_variance;
  if (!single || single->cost < noise + kPairGain * noise_variance) return std::nullopt;
  // The two spots start on either side of the single one along the axis, half as high each.
  Parameters<D> p{};
  for (std::size_t m = 0; m < 2; ++m) {
    for (std::size_t a = 0; a < D; ++a)
      p[m * (D + 1) + a] = single->p[a] + (a == axis ? (m == 0 ? -1.0 : 1.0) * kPairStart * request.sigma[a] : 0.0);
    p[m * (D + 1) + D] = 0.5 * single->p[D];
  }
  p[2 * D + 2] = single->p[D + 1];
  const std::optional<Settled<D>> best = settle(samples, p, two, request);
  if (!best || (single->cost - best->cost) < kPairGain * noise_variance) return std::nullopt;
  const auto first = spot_of(*best, 0, two, request, kMaxPairShift);
  const auto second = spot_of(*best, D + 1, two, request, kMaxPairShift);
  if (!first || !second || std::min(first->height, second->height) < kMinPairShare * single->p[D]) return std::nullopt;
  double apart = 0.0;
  for (std::size_t a = 0; a < D; ++a) {
    const double d = (first->centre[a] - second->centre[a]) / request.sigma[a];
    apart += d * d;
  }
  if (apart < kMinPairWidths * kMinPairWidths) return std::nullopt;
  return std::array<GaussianSpot<D>, 2>{*first, *second};
}

template std::optional<GaussianSpot<2>> fit_gaussian_spot<2>(const StridedView<float, 2>&, const SpotFitRequest<2>&);
template std::optional<GaussianSpot<3>> fit_gaussian_spot<3>(const StridedView<float, 3>&, const SpotFitRequest<3>&);
template std::optional<std::array<GaussianSpot<2>, 2>> fit_spot_pair<2>(const StridedView<float, 2>&,
                                                                        const SpotFitRequest<2>&, double, std::size_t);
template std::optional<std::array<GaussianSpot<3>, 2>> fit_spot_pair<3>(const StridedView<float, 3>&,
                                                                        const SpotFitRequest<3>&, double, std::size_t);

}  // namespace quorlin
