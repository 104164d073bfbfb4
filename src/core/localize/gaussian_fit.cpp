// The Gaussian centre fit.
#include "localize/gaussian_fit.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "localize/symmetric.h"

namespace quorlin {

namespace {

/// Steps from the window centre: near the optimum each step roughly squares the error, so five
/// reach float precision for any spot whose centre lies inside the window.
constexpr int kGaussNewtonSteps = 5;
/// Normal equations with a smaller determinant have no usable curvature (the model Gaussian has
/// left the window and its values there vanish); solving them would only amplify rounding.
constexpr float kSingularDeterminant = 1e-10f;

/// The largest value of the window, NaN ignored; -infinity when every value is NaN.
template <std::size_t D, std::size_t Axis = 0>
float window_max(const StridedView<float, D>& v, std::int64_t offset = 0,
                 float peak = -std::numeric_limits<float>::infinity()) {
  for (std::uint64_t i = 0; i < v.shape[Axis]; ++i) {
    const std::int64_t at = offset + static_cast<std::int64_t>(i) * v.strides[Axis];
    if constexpr (Axis + 1 < D) {
      peak = window_max<D, Axis + 1>(v, at, peak);
    } else if (v.data[at] > peak) {
      peak = v.data[at];
    }
  }
  return peak;
}

/// The sums of the Gauss–Newton steps: J^T·J and J^T·residual at the current centre, where the
/// model at offset d from the centre is g = exp(-|d|^2 / 2) and its derivative by the centre d·g.
template <std::size_t D>
class StepSums {
 public:
  using Matrix = typename SymmetricOf<D>::type;

  StepSums(const StridedView<float, D>& v, float peak) : v_(v), peak_(peak) {
    std::size_t total = 0;
    for (std::size_t r = 0; r < D; ++r) total += static_cast<std::size_t>(v.shape[r]);
    table_.resize(2 * total);
    float* at = table_.data();
    for (std::size_t r = 0; r < D; ++r) {
      d_[r] = at;
      half_sq_[r] = at + v.shape[r];
      at += 2 * v.shape[r];
    }
  }

  /// Sums at centre + mu (centre: the window centre, per axis).
  void at(const std::array<float, D>& centre, const std::array<float, D>& mu) {
    for (std::size_t r = 0; r < D; ++r) {
      for (std::uint64_t i = 0; i < v_.shape[r]; ++i) {
        d_[r][i] = (static_cast<float>(i) - centre[r]) - mu[r];
        half_sq_[r][i] = -0.5f * (d_[r][i] * d_[r][i]);
      }
    }
    jtj = Matrix{};
    jtr = {};
    std::array<float, D> d{};
    visit<0>(0, 0.0f, d);
  }

  Matrix jtj{};
  std::array<float, D> jtr{};

 private:
  /// Walks the window in raster order. The exponent is summed from the last axis down,
  /// -d_{D-1}^2/2 + (... + (-d_1^2/2 + -d_0^2/2)), so each element's model value is the same
  /// float whatever the dimension's loop shape.
  template <std::size_t Axis>
  void visit(std::int64_t offset, float exponent, std::array<float, D>& d) {
    for (std::uint64_t i = 0; i < v_.shape[Axis]; ++i) {
      d[Axis] = d_[Axis][i];
      const float e = Axis == 0 ? half_sq_[0][i] : half_sq_[Axis][i] + exponent;
      const std::int64_t at = offset + static_cast<std::int64_t>(i) * v_.strides[Axis];
      if constexpr (Axis + 1 < D) {
        visit<Axis + 1>(at, e, d);
      } else {
        const float g = std::exp(e);
        const float residual = v_.data[at] / peak_ - g;
        std::array<float, D> j{};
        for (std::size_t r = 0; r < D; ++r) j[r] = d[r] * g;
        jtj.add_outer(j);
        for (std::size_t r = 0; r < D; ++r) jtr[r] += j[r] * residual;
      }
    }
  }

  const StridedView<float, D>& v_;
  float peak_;
  std::vector<float> table_;             // storage of the two tables below
  std::array<float*, D> d_{};            // offset of each index from the current centre
  std::array<float*, D> half_sq_{};      // -d^2 / 2 of each index
};

}  // namespace

template <std::size_t D>
std::optional<std::array<float, D>> gaussian_fit_offset(const StridedView<float, D>& v) {
  // The maximum is never NaN (NaN compares false), so "not positive" is the whole test.
  const float peak = window_max(v);
  if (!(peak > 0.0f)) return std::nullopt;

  // float(n - 1) / 2: equal to (float(n) - 1) / 2 for every window that fits in memory.
  std::array<float, D> centre{};
  for (std::size_t r = 0; r < D; ++r) centre[r] = static_cast<float>(v.shape[r] - 1) * 0.5f;
  std::array<float, D> mu{};
  StepSums<D> sums(v, peak);
  for (int step = 0; step < kGaussNewtonSteps; ++step) {
    sums.at(centre, mu);
    const float det = sums.jtj.det();
    // A NaN determinant fails this test and the fit carries on with NaN.
    if (std::fabs(det) < kSingularDeterminant) return std::nullopt;
    const std::array<float, D> adj = sums.jtj.adjugate_times(sums.jtr);
    for (std::size_t r = 0; r < D; ++r) mu[r] += adj[r] / det;
  }
  return mu;
}

template std::optional<std::array<float, 2>> gaussian_fit_offset<2>(const StridedView<float, 2>&);
template std::optional<std::array<float, 3>> gaussian_fit_offset<3>(const StridedView<float, 3>&);

}  // namespace quorlin
