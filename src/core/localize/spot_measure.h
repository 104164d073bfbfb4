// Spots of a band-passed frame measured on the camera frame: background, mass, size and the
// sub-pixel position of every spot, each position saying how it was obtained; single-pixel spikes
// and spots on missing (NaN) pixels are set apart and counted.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/array_view.h"
#include "detect/detection2d.h"

namespace quorlin {

/// How a spot's position was obtained.
enum class Locator : std::uint8_t {
  radial_symmetry = 0,  ///< Gaussian-weighted centroid of the band-passed window, started at its radial-symmetry
                        ///< centre (of the camera's window, less the background, for a lone spot wider than the
                        ///< window suits)
  gaussian = 1,         ///< Gaussian fitted to the camera's pixels, or through the band-passed peak and its
                        ///< neighbours per axis (for a crowded spot, the start of its weighted centroid)
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
  float snr;         ///< band-passed peak value over the local noise of the band-passed frame (for a
                     ///< faint spot, raised to the ring's around it where that varies more)
  Locator located_by;
};

struct SpotSettings {
  std::uint64_t window;  ///< odd window side, pixels
  bool keep_hot_pixels;
  bool missing_pixels;   ///< whether the frame has missing (NaN or infinite) pixels (without, none is looked for)
  double noise_size;     ///< width (pixels) of the band-pass's Gaussian, which smoothed the frame
  /// The automatic threshold (noise sigmas), when the peaks were found with it: a spot below
  /// kTextureCheck times it is checked against the spread of the significance in the ring
  /// around it, relative to `typical_spread`, the frame's (median |significance| over that of
  /// normal noise, see frame_spread).
  std::optional<float> min_snr;
  std::optional<float> typical_spread;
  /// With the automatic threshold, the lowest it may fall to where the frame's peaks outnumber its
  /// dips (see balanced_threshold; the peaks and dips were found down to it).
  float lowest_snr = 0.0f;
  /// The band-pass's noise gain: a band-passed value's noise variance over a camera pixel's.
  double filter_gain = 1.0;
};

/// The frame's spread of the significance: median |significance| over a regular sample of about
/// kSpreadSamples pixels over that of normal noise. None for a frame without pixels.
std::optional<float> frame_spread(const View2<float>& squared_significance);

/// The spots of a frame, and how many peaks were set apart and why.
struct FrameSpots {
  std::vector<Spot> spots;
  std::uint64_t dropped_nan = 0;  ///< a missing (NaN) pixel at the peak or next to it
  std::uint64_t dropped_hot = 0;  ///< a single-pixel spike (hot pixel)
};

/// Spots found with the automatic threshold that stand less than this many times the threshold
/// above the noise are checked against the band-passed frame's variation around them: a textured
/// background varies more than the noise model says, and its bumps are no spots. The check costs
/// a median over the ring, so the bright spots, which no texture the model misses could reach,
/// skip it; cells three to eight times brighter than the background, textured by a third, still
/// give bumps of 8 to 11 noise sigmas.
constexpr float kTextureCheck = 2.5f;
/// The frame's spread is taken from about this many pixels on a square grid: its median to
/// within about 2 %, at a small cost on any frame.
constexpr std::uint64_t kSpreadSamples = 4096;
/// A spot whose nearest other spot lies closer than this many window sides is crowded: the
/// neighbour's light fills its window, so its position comes from its 3 x 3 peak instead.
constexpr float kCrowdedWindows = 5.0f / 7.0f;
/// The radial-symmetry centre must lie within this distance of the peak pixel along each axis
/// (pixels); beyond it the window does not hold one symmetric spot.
constexpr float kMaxRadialShift = 1.0f;

/// A spot the automatic threshold keeps below SpotSettings::min_snr must hold at least this many
/// noise sigmas of light in its ball (radius half a window; see mass_sigmas). Noise peaks near the
/// threshold are narrow bumps of the smoothed noise whose ball holds little light, while faint
/// spots spread theirs over it: on camera movies of dim spots (330-350 photons) this sets apart
/// three in four of the false spots (precision 0.98 to 0.995) for two to four real spots in
/// 1,000. A stricter test costs more of the faintest spots: 3.5 loses 0.03 of F1 on 150-photon
/// spots, 3.0 loses 0.017 there, for nothing gained on brighter ones.
constexpr float kMassSigmas = 3.0f;

/// Of the automatic threshold's peaks, the share that may be noise where the threshold falls below
/// SpotSettings::min_snr: a few false spots for many more real ones in a frame of faint spots.
constexpr float kFalseSpotShare = 0.05f;
/// Of the peaks the threshold's fall below SpotSettings::min_snr takes in, the share that may be
/// noise: the fall must bring in real faint spots, not only noise paid for by bright spots above
/// the threshold (a frame of 5000-photon spots kept 1 % of false spots by kFalseSpotShare alone).
constexpr float kAddedFalseSpotShare = 0.2f;

/// Measures each peak (found on `filtered`, in list order) on `frame` (the camera frame, NaN where
/// pixels are missing) and `filtered` (its band-passed copy, finite); `squared_significance` holds
/// s |s| of each pixel's significance s (band-passed value in local noise sigmas), which becomes
/// the spot's snr. The three share one shape. With the automatic threshold the spots kept are
/// those at or above balanced_threshold (between `lowest_snr` and `min_snr`) of the spots' snr
/// (single-pixel spikes kept with keep_hot_pixels not counted) against the sizes of the
/// significance's dips that noise alone would give (those clear of the dark halo the band-pass
/// leaves around every peak and around the frame's edge pixels that reach `lowest_snr`, and not
/// single-pixel dips), and those below `min_snr` must hold kMassSigmas of light in their ball.
FrameSpots measure_spots(const View2<float>& frame, const View2<float>& filtered,
                         const View2<float>& squared_significance, const std::vector<Peak<2>>& peaks,
                         const SpotSettings& settings);

}  // namespace quorlin
