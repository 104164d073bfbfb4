// The band-passed image of a spot: what a spot adds to the band-passed frame around it, so that a
// neighbour's light can be taken out of a spot's window.
#pragma once

#include <cstdint>
#include <optional>

namespace quorlin {

/// The band-passed image of a Gaussian spot of unit light and width `psf_width` (pixels) imaged on
/// square pixels, as the band-pass of bandpass.h leaves it away from the frame's edges: the spot
/// smoothed by the filter's Gaussian (width `noise_size`) less the mean over the square of
/// half-side `reach` around each pixel. Both parts are separable.
class SpotImage {
 public:
  SpotImage(double psf_width, double noise_size, std::int64_t reach);

  /// The value at offset (dy, dx) (pixels) of a pixel's centre from the spot's centre.
  double operator()(double dy, double dx) const {
    return smoothed(dy) * smoothed(dx) - inverse_area_ * in_square(dy) * in_square(dx);
  }
  /// The smoothed spot along one axis at offset d: a Gaussian of the spot's width widened by the
  /// filter's and by the pixel's (a pixel adds a twelfth of a square pixel to the variance).
  double smoothed(double d) const;
  /// The share of the spot, along one axis, that the square centred at offset d takes in: the
  /// square's pixels span [d - reach - 1/2, d + reach + 1/2] whole.
  double in_square(double d) const;
  /// One over the square's pixels: the square's mean of the spot is in_square(dy) in_square(dx)
  /// times it.
  double inverse_area() const { return inverse_area_; }

  /// The spot width whose band-passed image, centred on a pixel, bends over that pixel and the two
  /// beside it along an axis as a Gaussian of width `peak_width` does (the width the log values of
  /// three pixels give, see peak_width in spot_measure.cpp); none beyond the widths a spot from
  /// kMinSpotWidth to a half-square wide gives.
  static std::optional<double> for_peak_width(double peak_width, double noise_size, std::int64_t reach);

 private:
  double psf_width_;
  double smoothed_width_;
  double half_side_;  // reach + 1/2
  double inverse_area_;
};

/// Narrowest spot for_peak_width considers, pixels: narrower spots put nearly all their light into
/// one pixel, and their band-passed image is the filter's own.
constexpr double kMinSpotWidth = 0.3;

}  // namespace quorlin
