// The noise of a band-passed camera frame, pixel by pixel: a variance that grows linearly with the
// local background (shot noise plus read noise), known from the camera or estimated from the frame.
#pragma once

#include <cstdint>
#include <optional>

namespace quorlin {

/// Variance of a pixel with local background b: intercept + slope * b (frame units squared),
/// never below floor; a band-passed value then has `filter_gain` times that variance.
struct NoiseModel {
  double intercept = 0.0;
  double slope = 0.0;
  double floor = 0.0;
  double filter_gain = 1.0;
};

/// What the camera tells of the noise: with a known gain the frame is in photons, so the variance
/// grows by 1 per photon of background (slope); with a known read noise the intercept is its
/// square in photons. Parts not given are estimated from the frame.
struct KnownNoise {
  std::optional<double> slope;
  std::optional<double> intercept;
};

/// Estimates the noise model of a frame (rows x cols, row-major, finite values) from a regular
/// sample of its interior pixels: each sample's deviation from the mean of its four neighbours
/// (which removes smooth background and texture; white noise of variance v gives it variance
/// 1.25 v) is grouped by the sample's local background into bins of equal counts, each bin's
/// variance is taken from its median absolute deviation (robust to spots and hot pixels), and a
/// line is fitted through the bins. The result does not depend on the number of threads.
/// Where the band-passed frame (`filtered`) varies more than white noise of that variance would
/// make it (noise correlated between pixels, as after compression or interpolation), the model
/// is scaled up by the ratio measured in the darker half of the bins, where few spots lie.
NoiseModel estimate_noise(const float* frame, const float* local_mean, const float* filtered,
                          std::uint64_t rows, std::uint64_t cols, const KnownNoise& known,
                          double filter_gain);

}  // namespace quorlin
