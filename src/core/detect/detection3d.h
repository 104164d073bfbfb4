// Peak detection in a 3-D volume: threshold, 26-neighbour maximum test, brightest-first order and
// minimum-distance thinning.
#pragma once

#include <cstdint>
#include <vector>

#include "common/array_view.h"
#include "detect/peaks.h"

namespace quorlin {

/// Interior voxels with threshold <= value (or a NaN value) that beat all 26 neighbours, brightest
/// first (equal intensities in raster order: axis 0, then 1, then 2), thinned so that no kept peak lies closer than min_distance (physical units) to a
/// brighter kept one. Equal neighbours are decided by one total order: the later voxel along
/// axis 0, then along axis 1 wins; along axis 2 the earlier one wins. A volume with fewer than 3
/// voxels along an axis (0 included) has no interior and no peaks.
std::vector<Peak<3>> detect_peaks_3d(const View3<float>& volume, const Extent3d& extent,
                                             float threshold, float min_distance);

}  // namespace quorlin
