// Spots of a volume measured around the positions the 3-D detector found: background, mass, size
// and snr, with the same rules as 2-D spots (single-voxel spikes and spots on missing voxels set
// apart and counted), and each position refined by a Gaussian fit of the spot's own widths.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// The measures of one spot of a volume: background and mass in the volume's units, size in
/// voxels (a Gaussian's sigma), snr in noise sigmas of the volume.
struct VolumeSpot {
  float mass;        ///< sum of (value - background) over the ball of radius half-window
  float background;  ///< median of the finite voxels on the border of the window grown by one voxel
  float size;        ///< sqrt(second moment / 3) of the background-subtracted ball
  float snr;         ///< height of the peak voxel above the background over the volume's noise sigma
  std::array<float, 3> position;  ///< z, y, x (voxels): the fitted centre, or the detector's where no fit held
  bool fitted;                    ///< whether the position is the fitted centre
};

/// The measured spots (in list order, the ones set apart left out, a spot split in two followed by
/// its second) and the input position each came from.
struct VolumeSpots {
  std::vector<VolumeSpot> spots;
  std::vector<std::int64_t> source;  ///< per spot: the index of its input position
  std::uint64_t dropped_nan = 0;   ///< a NaN position, or a missing (NaN) voxel at the peak or next to it
  std::uint64_t dropped_hot = 0;   ///< a single-voxel spike (hot pixel)
};

/// The noise sigma of a volume: each sampled voxel's deviation from the mean of its six
/// neighbours (white noise of variance v gives it variance 7/6 v), its median absolute value
/// over that of normal noise. 0 for a volume without interior voxels or with no finite samples.
float volume_noise_sigma(const View3<float>& volume);

/// A spot's widths are fitted where at least this many spots of the volume give them; their
/// median per axis is then the volume's, with which every spot is fitted again: one width per
/// axis for all spots (the microscope's), where each spot's own fit lets noise and neighbours
/// widen or narrow it.
constexpr std::size_t kMinWidthSpots = 3;

/// Measures the spot at each position (z, y, x in voxels, voxel (i, j, k) centred on (i, j, k))
/// on the volume (NaN where voxels are missing), in a cube window of odd side `window`, and
/// refines each position by fit_gaussian_spot on the voxels of that window: first with its own
/// widths per axis (started from a quarter of the window's side less one), then with the volume's
/// (the median per axis of the first fits), the voxels nearer to another spot left out. Where two
/// spots of the volume's widths explain the window better (fit_spot_pair), the spot is split in
/// two; of fitted spots closer than one width (kSameSpot) only the first stays.
VolumeSpots measure_volume_spots(const View3<float>& volume, const std::vector<std::array<float, 3>>& positions,
                                 std::uint64_t window, bool keep_hot_pixels);

}  // namespace quorlin
