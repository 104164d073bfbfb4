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
  double residual;  ///< sum of squared residuals of the fit over its pixels
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

/// Two spots are fitted where one's light leaves more than this many noise variances of squared
/// residuals that two would explain: about the gain of one spot of 5 noise sigmas' height spread
/// over its brightest pixels, which noise alone (four more parameters) gives almost never.
constexpr double kPairGain = 30.0;
/// Each of two spots holds at least this share of the single spot's height: fainter, the second
/// is the first's shape or noise, not a spot.
constexpr double kMinPairShare = 0.25;
/// Two spots at least this many widths apart (per axis, the request's widths): closer, they are
/// one spot of another shape.
constexpr double kMinPairWidths = 0.8;
/// The two spots start this many widths on either side of the single one.
constexpr double kPairStart = 0.6;
/// Each of two spots may lie this far from the start along each axis (pixels).
constexpr double kMaxPairShift = 2.5;

/// Two spots of the request's (fixed) widths fitted to the window where the detector found one:
/// two spots closer than the optics resolve give one peak. They start on either side of the one
/// spot's fit along `axis` (the axis along which that spot looks widest). Both, when two explain
/// the window better than one by kPairGain times `noise_variance` (the image's noise, the image's
/// units squared) and satisfy kMinPairShare, kMinPairWidths and kMaxPairShift; none otherwise,
/// and without trying where the one spot leaves no more than the noise and kPairGain variances.
template <std::size_t D>
std::optional<std::array<GaussianSpot<D>, 2>> fit_spot_pair(const StridedView<float, D>& image,
                                                            const SpotFitRequest<D>& request, double noise_variance,
                                                            std::size_t axis);

extern template std::optional<std::array<GaussianSpot<2>, 2>> fit_spot_pair<2>(const StridedView<float, 2>&,
                                                                               const SpotFitRequest<2>&, double,
                                                                               std::size_t);
extern template std::optional<std::array<GaussianSpot<3>, 2>> fit_spot_pair<3>(const StridedView<float, 3>&,
                                                                               const SpotFitRequest<3>&, double,
                                                                               std::size_t);

extern template std::optional<GaussianSpot<2>> fit_gaussian_spot<2>(const StridedView<float, 2>&,
                                                                    const SpotFitRequest<2>&);
extern template std::optional<GaussianSpot<3>> fit_gaussian_spot<3>(const StridedView<float, 3>&,
                                                                    const SpotFitRequest<3>&);

}  // namespace quorlin
