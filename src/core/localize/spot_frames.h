// The default detection path of many 2-D frames of camera samples at once: calibrated,
// band-passed, thresholded against each pixel's noise, every spot measured.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/stop.h"
#include "detect/noise_model.h"
#include "localize/spot_measure.h"
#include "localize/spot_shape.h"

namespace quorlin {

/// The automatic threshold, in noise sigmas of the band-passed frame: pure camera noise (shot and
/// read noise, noisy pixels, uneven light) then gives about one false spot in 5 million pixels.
constexpr float kSpotSigmas = 5.5f;
/// The lowest the automatic threshold falls to in a frame whose peaks outnumber its dips (faint
/// spots): noise reaches it about once in 10,000 pixels, so a few false spots can only come
/// with many real ones.
constexpr float kLowestSpotSigmas = 4.0f;

/// The choices of the spot path, resolved (spot_path_settings).
struct SpotPathSettings {
  std::uint64_t window;                ///< the spot diameter: odd, pixels
  std::optional<float> threshold;      ///< band-passed units; absent: kSpotSigmas noise sigmas
  float min_distance;
  double gain;                         ///< counts per photon (1 without a camera model)
  double offset;                       ///< counts at zero light (0 without a camera model)
  KnownNoise known;
  bool invert;
  bool keep_hot_pixels;
  std::vector<Index<2>> stuck;         ///< stuck pixels painted over in every frame, row by row
};

/// The settings of a call: the spot diameter (odd, >= 3 pixels; ValueError otherwise), the
/// threshold (band-passed units; absent: automatic), the least distance between spots (pixels),
/// the camera model (gain: counts per photon, offset: counts at zero light, read noise: counts;
/// `camera`: whether one was given, so that the shot noise is known), dark particles (`invert`)
/// and whether single-pixel spikes are kept.
SpotPathSettings spot_path_settings(std::uint64_t diameter, std::optional<float> threshold, float min_distance,
                                    double gain, double offset, std::optional<double> read_noise, bool camera,
                                    bool invert, bool keep_hot_pixels);

/// The spots of each of `frames` contiguous (rows, cols) frames of samples (any real type a movie
/// may hold), frames in parallel. Once `stopped` asks, the frames not yet started are skipped
/// (their results stay empty). The stuck pixels of the settings must lie in the frame
/// (ValueError otherwise).
template <class T>
std::vector<FrameSpots> detect_spot_frames(const T* samples, std::uint64_t frames, std::uint64_t rows,
                                           std::uint64_t cols, const SpotPathSettings& settings,
                                           const StopRequested& stopped);

}  // namespace quorlin
