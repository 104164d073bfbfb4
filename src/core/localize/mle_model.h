// The likelihood of the Poisson spot fit (mle_fit.cpp): the pixel-integrated Gaussian model, the
// log-likelihood of a window's counts under it, its gradient and its two curvature matrices.
#pragma once

#include <array>
#include <limits>

#include "localize/spot_windows.h"

namespace quorlin::mle {

/// The parameters: centre (y, x; pixels of the window), photons, background per pixel, width.
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

/// The profile of n pixels (pixel k covering [k - 0.5, k + 0.5]) of a Gaussian of the given centre
/// and width, into p.
void axis_profile(int n, double centre, double sigma, AxisProfile& p);

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

/// The most pixels a fit window holds.
constexpr int kMaxPixels = kMaxFitWindow * kMaxFitWindow;

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

/// Evaluates the model at theta on the window d (rows x cols counts, row-major) into e, with s as
/// working memory; K = 5 fits the width, K = 4 holds it at theta[kS]. False where the model is not
/// positive and finite at every pixel or the log-likelihood is not finite.
template <int K>
bool evaluate(const double* d, int rows, int cols, const Params& theta, Scratch<K>& s, Evaluation<K>& e);
extern template bool evaluate<4>(const double*, int, int, const Params&, Scratch<4>&, Evaluation<4>&);
extern template bool evaluate<5>(const double*, int, int, const Params&, Scratch<5>&, Evaluation<5>&);

}  // namespace quorlin::mle
