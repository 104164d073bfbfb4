// Spots of a band-passed frame measured on the camera frame: background, mass, size and the
// sub-pixel position of every spot, each position saying how it was obtained; single-pixel spikes
// and spots on missing (NaN) pixels are set apart and counted.
#pragma once

#include <cstdint>
#include <vector>

#include "common/array_view.h"
#include "detect/detection2d.h"

namespace quorlin {

/// How a spot's position was obtained.
enum class Locator : std::uint8_t {
  radial_symmetry = 0,  ///< radial-symmetry centre of the band-passed window
  gaussian = 1,         ///< Gaussian through the band-passed peak and its neighbours, per axis
  centroid = 2,         ///< centroid of the band-passed 3 x 3 neighbourhood
};

/// One measured spot. Positions in pixels (pixel (i, j) centred on (i, j)); background, mass in
/// the frame's units (photons with a camera model); size in pixels; snr in noise sigmas.
struct Spot {
  float y;
  float x;
  float signal;      ///< band-passed value at the peak pixel: its height above the local background
  float mass;        ///< sum of (value - background) over the disk of radius half-window
  float background;  ///< median of the finite pixels on the border of the window grown by one pixel
  float size;        ///< sqrt(second moment / 2) of the background-subtracted disk: a Gaussian's sigma
  float snr;         ///< band-passed peak value over the local noise of the band-passed frame
  Locator located_by;
};

struct SpotSettings {
  std::uint64_t window;  ///< odd window side, pixels
  bool keep_hot_pixels;
  bool missing_pixels;   ///< whether the frame has NaN pixels (without, none is looked for)
};

/// The spots of a frame, and how many peaks were set apart and why.
struct FrameSpots {
  std::vector<Spot> spots;
  std::uint64_t dropped_nan = 0;  ///< a missing (NaN) pixel at the peak or next to it
  std::uint64_t dropped_hot = 0;  ///< a single-pixel spike (hot pixel)
};

/// A peak is a single-pixel spike when its eight neighbours together hold less than this share of
/// its own height above the background: an optical spot of Gaussian width sigma gives them about
/// 8 exp(-1 / (2 sigma^2)) (4.8 at 1.3 pixels, still 2.7 at 0.8, the width of a spot sampled at
/// the Nyquist rate), a hot pixel nothing but noise.
constexpr float kMinNeighbourShare = 1.0f;
/// A spot whose nearest other spot lies closer than this many window sides is crowded: the
/// neighbour's light fills its window, so its position comes from its 3 x 3 peak instead.
constexpr float kCrowdedWindows = 5.0f / 7.0f;
/// The radial-symmetry centre must lie within this distance of the peak pixel along each axis
/// (pixels); beyond it the window does not hold one symmetric spot.
constexpr float kMaxRadialShift = 1.0f;

/// Measures each peak (found on `filtered`, in list order) on `frame` (the camera frame, NaN where
/// pixels are missing) and `filtered` (its band-passed copy, finite); `squared_significance` holds
/// s |s| of each pixel's significance s (band-passed value in local noise sigmas), which becomes
/// the spot's snr. The three share one shape.
FrameSpots measure_spots(const View2<float>& frame, const View2<float>& filtered,
                         const View2<float>& squared_significance, const std::vector<PeakCandidate>& peaks,
                         const SpotSettings& settings);

}  // namespace quorlin
