// Sub-pixel positions of the spots of a band-passed frame (see spot_measure.h): how the band-pass
// left each window, the weighted centroid, the camera fit, and spots located beside neighbours.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/array_view.h"
#include "detect/bandpass.h"
#include "localize/spot_image.h"
#include "localize/spot_measure.h"
#include "localize/spot_shape.h"

namespace quorlin {

/// Width (pixels) of the Gaussians through the band-passed peak p and the pixels beside it along
/// each axis, the mean over the two axes; none where they do not bend down.
std::optional<float> peak_width(const View2<float>& filtered, const Index<2>& p);

/// Width (pixels) of the masked centroid's weights: kMaskPerPeakWidth times the frame's peak width
/// (`peak`, see peak_width), or kMaskWidthPerHalf half-windows in a frame without one.
double mask_width(std::optional<float> peak, std::int64_t half);

/// Whether the window (side 2 half + 1) around p lies in the frame (with `half` 1: p is off the
/// frame's edge).
bool window_in_frame(const View2<float>& frame, const Index<2>& p, std::int64_t half);

/// The half-side (pixels) of the window a lone wide spot is located in on the camera's pixels:
/// kWideWindowPerPeakWidth times the frame's peak width (`peak`, see peak_width), rounded; `half`
/// where that is no wider or the frame has no peak width.
std::int64_t wide_half(std::optional<float> peak, std::int64_t half);

/// The offset from p of a lone spot wider than the window suits (see wide_half): the centroid of the
/// camera's window of half-side `wide` around p, less the spot's `background`, weighted by a Gaussian
/// of kWideMaskPerPeakWidth peak widths centred on the centroid itself (the masked centroid's fixed
/// point), started at `start`. The band-pass's square takes in much of such a spot's light and
/// leaves its band-passed window a cut core; the camera's pixels hold all of it. None when the
/// window leaves the frame, holds a missing pixel (`missing`: whether the frame has any) or a spike
/// of `spikes`, or the centroid fails.
std::optional<std::array<float, 2>> wide_spot_centre(const View2<float>& frame, const Index<2>& p, std::int64_t wide,
                                                     float background, float peak, std::array<float, 2> start,
                                                     bool missing, const std::vector<Index<2>>& spikes);

/// How the band-pass has left a spot's window (side 2 half + 1 around the peak pixel).
struct WindowState {
  bool whole;       // the window lies in the frame (else the filter's mirror image of the spot shares it)
  bool nan_window;  // a missing pixel in the window (filled for the filter)
  bool spiked;      // a spike set apart within two half-windows (spread by the filter over its square)

  /// Whether the window is the spot's own, once the spikes' responses are taken out. (Beyond the
  /// edge the filter sees the frame mirrored: a spot whose window reaches the edge meets its mirror
  /// image two half-windows away, whose light the masked centroid's weights pass over.)
  bool clean() const { return whole && !nan_window; }
};

/// How the band-pass has left the window of the spot at p: in the frame, with a missing pixel
/// (`missing`: whether the frame has any), with a spike of `spikes` within two half-windows.
WindowState window_state(const View2<float>& frame, const Index<2>& p, std::int64_t half, bool missing,
                         const std::vector<Index<2>>& spikes);

/// The sub-pixel offset of a spot from its peak pixel, and how it was obtained. A lone spot's comes
/// from its band-passed window (window_centre), with the responses of spikes nearby taken out
/// (they are known: spike_free_window). Where the band-pass has bent the window otherwise, cut by
/// the frame's edge (the filter mirrors the frame there, and the spot's mirror image overlaps it)
/// or around a missing pixel (filled for the filter), the camera's pixels are fitted, the missing
/// and spiked ones left out. On a textured background the window is worth more than that fit,
/// whose background is flat: the fit is kept for those bent windows. A crowded spot's offset
/// comes from its band-passed peak and its neighbours (and is refined later, see locate_beside_neighbours).
std::pair<std::array<float, 2>, Locator> locate_spot(const View2<float>& frame, const View2<float>& filtered,
                                                     const Index<2>& p, std::int64_t half, bool crowded,
                                                     const WindowState& state, float background,
                                                     const std::vector<Index<2>>& spikes,
                                                     const std::optional<BandpassImpulse>& impulse, double mask);

/// The spots with neighbours (`neighbours[i]`, within reach of spot i; empty for the others)
/// located again with their neighbours' light taken out of their windows, kNeighbourRounds rounds.
/// Each round first takes every such spot's light from its band-passed peak (its height less what
/// its neighbours add there, over what a unit spot gives), then, for each spot flagged `movable`,
/// takes the spikes' responses and its neighbours' light (their band-passed images, `image`) out of
/// its window and starts its masked centroid at its offset of the round before (`movable`: 2 for a
/// crowded spot, every round; 1 for a lone one, the first round only; 0 for none). `offsets` (from the
/// peak pixels `kept`) are updated in place; a spot keeps its offset where the centroid fails.
void locate_beside_neighbours(const View2<float>& frame, const View2<float>& filtered,
                              const std::vector<Index<2>>& kept, const std::vector<std::vector<std::size_t>>& neighbours,
                              const std::vector<std::uint8_t>& movable, const SpotImage& image, std::int64_t half,
                              const std::vector<Index<2>>& spikes, const std::optional<BandpassImpulse>& impulse,
                              double mask, std::vector<std::array<float, 2>>& offsets);

}  // namespace quorlin
