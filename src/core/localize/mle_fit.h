// Poisson maximum-likelihood fit of a pixel-integrated 2-D Gaussian spot, in double precision.
#pragma once

#include <cstddef>
#include <vector>

#include "localize/spot_windows.h"

namespace quorlin {

/// How a spot is fitted. sigma: the PSF standard deviation in pixels when known (then fixed), or
/// NaN to fit it with the other parameters.
struct GaussianFitOptions {
  double sigma;
};

/// One spot's estimate. y, x: row and column position in the coordinates of the window's origin
/// as given to fit_gaussian_window (frame pixels after fit_spots). photons: the spot's total
/// photon count; background: photons per pixel; sigma: PSF width in pixels. y_err, x_err: standard
/// errors from the observed information (the likelihood's curvature) at the estimate, which equals
/// the Fisher information, and so gives the Cramér–Rao bound, on noise-free data; from the Fisher
/// information where the estimate is not a maximum; with the background at its lower bound, the
/// curvature over the other parameters. converged: the iterations settled at a maximum of the
/// likelihood within the parameter bounds (the background may rest at its lower bound, with the
/// likelihood falling away from it), the centre inside the window, photons and width inside
/// their bounds.
struct SpotFit {
  double y;
  double x;
  double photons;
  double background;
  double sigma;
  double y_err;
  double x_err;
  bool converged;
};

/// Fits the model  photons * P(pixel) + background  to one window of photon counts (rows x cols,
/// row-major; pixel (r, c) covers [r - 0.5, r + 0.5] x [c - 0.5, c + 0.5]) by maximizing the
/// Poisson log-likelihood with Levenberg–Marquardt steps on the Fisher information, starting at
/// (start_y, start_x); parameters held at a bound by the gradient stay there while the others
/// step (a projected Newton method).
SpotFit fit_gaussian_window(const double* photons, int rows, int cols, double start_y,
                            double start_x, const GaussianFitOptions& options);

/// Fits every window of the batch in parallel; windows that are not usable give the spot's
/// position unchanged, NaN estimates and converged false. Positions are in frame pixels.
/// y, x: the spots' positions as extracted (count = windows.placement.size()).
std::vector<SpotFit> fit_spots(const SpotWindows& windows, const double* y, const double* x,
                               const GaussianFitOptions& options);

}  // namespace quorlin
