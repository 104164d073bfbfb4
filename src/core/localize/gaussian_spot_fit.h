// A Gaussian spot of its own width per axis fitted by least squares to the pixels (voxels) of its
// window, its neighbours' share of the window left out: one template for 2-D and 3-D.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "common/array_view.h"
#include "localize/spot_shape.h"

namespace quorlin {

/// A fitted spot: centre (pixels, pixel i centred on i), height and background (the image's
/// units) and width per axis (a Gaussian's sigma, pixels).
template <std::size_t D>
struct GaussianSpot {
  std::array<double, D> centre;
  double height;
  double background;
  std::array<double, D> sigma;
};

/// What a fit starts from and may use.
template <std::size_t D>
struct SpotFitRequest {
  std::array<double, D> start;       ///< the position the fit starts from (pixels)
  std::int64_t half;                 ///< the window's half-side around the start's pixel (pixels)
  double background;                 ///< the background the fit starts from
  std::array<double, D> sigma;       ///< the widths the fit starts from (or keeps, when fixed)
  bool fixed_sigma;                  ///< keep the widths instead of fitting them
  /// The other spots of the image: a pixel nearer to one of them than to the start (distances
  /// per axis in units of `sigma`) is theirs and left out.
  const std::vector<std::array<float, D>>* neighbours;
  std::size_t self;                  ///< the spot's own index in `neighbours` (passed over)
};

/// A fit may move the centre this far from its start along each axis (pixels): further, the
/// window does not hold the spot the start found.
constexpr double kMaxSpotFitShift = 1.5;

/// The Gaussian spot fitted to the finite pixels of the cube window of half-side `half` around
/// the start's pixel (within the image), by damped Gauss-Newton steps from the start; none when
/// fewer pixels than parameters are left, the fit does not settle, its height or a width is not
/// positive, a width exceeds the window, or the centre moves beyond kMaxSpotFitShift.
template <std::size_t D>
std::optional<GaussianSpot<D>> fit_gaussian_spot(const StridedView<float, D>& image, const SpotFitRequest<D>& request);

extern template std::optional<GaussianSpot<2>> fit_gaussian_spot<2>(const StridedView<float, 2>&,
                                                                    const SpotFitRequest<2>&);
extern template std::optional<GaussianSpot<3>> fit_gaussian_spot<3>(const StridedView<float, 3>&,
                                                                    const SpotFitRequest<3>&);

}  // namespace quorlin
