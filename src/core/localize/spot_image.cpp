// The band-passed image of a spot.
#include "localize/spot_image.h"

#include <cmath>
#include <numbers>

namespace quorlin {

namespace {

/// Halvings of the width interval that for_peak_width searches: far below a thousandth of a pixel.
constexpr int kWidthHalvings = 40;
/// Variance a square pixel of unit side adds to a spot it integrates (square pixels).
constexpr double kPixelVariance = 1.0 / 12.0;

/// The width the log values of a spot image's centre pixel and its neighbour along an axis give
/// (symmetric about the centre): 1 / sqrt(-(ln v(1) - 2 ln v(0) + ln v(-1))); none where the image
/// does not bend down there.
std::optional<double> bend_width(const SpotImage& image) {
  const double centre = image(0.0, 0.0), beside = image(1.0, 0.0);
  if (!(centre > 0.0 && beside > 0.0 && beside < centre)) return std::nullopt;
  return 1.0 / std::sqrt(2.0 * std::log(centre / beside));
}

}  // namespace

SpotImage::SpotImage(double psf_width, double noise_size, std::int64_t reach)
    : psf_width_(psf_width),
      smoothed_width_(std::sqrt(psf_width * psf_width + noise_size * noise_size + kPixelVariance)),
      half_side_(static_cast<double>(reach) + 0.5),
      inverse_area_(1.0 / ((2.0 * half_side_) * (2.0 * half_side_))) {}

// Both parts in single precision, far finer than any frame's noise: a neighbour's light is taken
// out of many windows, and the single-precision functions cost a fraction of the double ones.
double SpotImage::smoothed(double d) const {
  const auto z = static_cast<float>(d / smoothed_width_);
  return static_cast<double>(std::exp(-0.5f * z * z)) / (std::sqrt(2.0 * std::numbers::pi) * smoothed_width_);
}

double SpotImage::in_square(double d) const {
  const double scale = 1.0 / (std::numbers::sqrt2 * psf_width_);
  return 0.5 * static_cast<double>(std::erf(static_cast<float>((d + half_side_) * scale)) -
                                   std::erf(static_cast<float>((d - half_side_) * scale)));
}

std::optional<double> SpotImage::for_peak_width(double peak_width, double noise_size, std::int64_t reach) {
  double low = kMinSpotWidth, high = static_cast<double>(reach) + 0.5;
  const auto low_width = bend_width(SpotImage(low, noise_size, reach));
  const auto high_width = bend_width(SpotImage(high, noise_size, reach));
  if (!low_width || !high_width || !(peak_width >= *low_width && peak_width <= *high_width)) return std::nullopt;
  // The band-passed image's bend widens with the spot: halve the interval that holds the width.
  for (int step = 0; step < kWidthHalvings; ++step) {
    const double middle = 0.5 * (low + high);
    const auto width = bend_width(SpotImage(middle, noise_size, reach));
    if (width && *width < peak_width)
      low = middle;
    else
      high = middle;
  }
  return 0.5 * (low + high);
}

}  // namespace quorlin
