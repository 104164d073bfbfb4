// Band-pass prefilter of a 2-D frame: a Gaussian low-pass minus a local mean background.
#pragma once

#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// Widest filter radius accepted, in pixels: far beyond any spot, and it bounds the work per pixel.
constexpr double kMaxFilterRadius = 1000.0;

/// Noise power gain of the filter: the sum of the squared weights of its kernel (a Gaussian minus
/// the square's mean, away from the edges), so white noise of variance v leaves it with variance
/// v times this.
double bandpass_noise_gain(double noise_size, double feature_size);

/// Checks the filter sizes; throws ValueError naming the argument.
void validate_bandpass(double noise_size, double feature_size);

/// Gaussian low-pass of standard deviation noise_size (pixels; 0 leaves the frame unsmoothed)
/// minus the mean over the (2w + 1) x (2w + 1) square around each pixel, w = round(feature_size).
/// Values beyond the frame's edges are mirrored (d c b a | a b c d). Separable passes, rows in
/// parallel; each output value is computed by one task in a fixed order, so the result does not
/// depend on the number of workers. Writes rows x cols values, row-major, to out, and the square's
/// mean (the local background the filter removes) to local_mean when it is given.
void bandpass(const View2<float>& frame, double noise_size, double feature_size, float* out,
              float* local_mean = nullptr);

/// The filter's response to a unit impulse (one pixel of value 1 on a frame of zeros), away from
/// the frame's edges: its value at offset (dy, dx) from the impulse, the Gaussian's share there
/// less the square's mean. The filter is linear, so a spike of height h adds h times it.
class BandpassImpulse {
 public:
  /// Checks the filter sizes as bandpass does.
  BandpassImpulse(double noise_size, double feature_size);
  float operator()(std::int64_t dy, std::int64_t dx) const;

 private:
  std::vector<float> taps_;  // the Gaussian's taps at offsets 0, 1, ...
  std::int64_t reach_;       // the square's half-side
  float inverse_area_;
};

}  // namespace quorlin
