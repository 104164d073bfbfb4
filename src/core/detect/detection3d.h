// Peak detection in a 3-D volume: threshold, 26-neighbour maximum test, brightest-first order and
// minimum-distance thinning.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// One detected 3-D peak.
struct PeakCandidate3d {
  /// Gaussian-correlation score; absent until correlation scoring sets it.
  std::optional<float> correlation;
  /// Voxel index (i0, i1, i2) of the peak.
  std::array<std::uint64_t, 3> index;
  /// Physical position along axes 0, 1, 2, in the units of the extent.
  std::array<float, 3> position;
  /// The volume value at the peak voxel.
  float intensity;
};

/// Physical extent of a volume: (e0, e1) are the coordinates of the first and last voxel centre
/// along axis 0, (e2, e3) along axis 1, (e4, e5) along axis 2.
using Extent3d = std::array<float, 6>;

/// Interior voxels with threshold <= value (or a NaN value) that beat all 26 neighbours, brightest
/// first (equal intensities in raster order: axis 0, then 1, then 2), thinned so that no kept peak lies closer than min_distance (physical units) to a
/// brighter kept one. Equal neighbours are decided by one total order: the later voxel along
/// axis 0, then along axis 1 wins; along axis 2 the earlier one wins. A volume with fewer than 3
/// voxels along an axis (0 included) has no interior and no peaks.
std::vector<PeakCandidate3d> detect_peaks_3d(const View3<float>& volume, const Extent3d& extent,
                                             float threshold, float min_distance);

/// The result arrays of 3-D detection: positions (K, 3), intensities (K,), and correlations (K,)
/// with 0 for absent scores, present only when at least one peak carries a score.
struct PeakArrays3d {
  ResultArray<float> positions;
  ResultArray<float> intensities;
  std::optional<ResultArray<float>> correlations;
};

/// Lays out the peaks, in list order, as result arrays.
PeakArrays3d peak_arrays_3d(const std::vector<PeakCandidate3d>& peaks);

}  // namespace quorlin
