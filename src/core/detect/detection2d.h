// Peak detection in one 2-D frame: threshold, 3x3 local maxima with a raster-order tie rule,
// brightest-first ordering and minimum-distance thinning.
#pragma once

#include <cstdint>
#include <vector>

#include "common/array_view.h"
#include "detect/peaks.h"

namespace quorlin {

/// Interior pixels (rows 1..R-2, columns 1..C-2) that reach threshold (threshold > v rejects; NaN
/// and equality pass) and are maxima of their 3x3 neighbourhood, where a tie (equal or NaN) with a
/// neighbour later in raster order defeats the pixel. Positions come from the extent; the list is
/// sorted brightest first (equal intensities in raster order) and thinned so no kept peak lies closer than min_distance (extent
/// units) to an earlier kept one. Frames with fewer than three rows or columns have no peaks.
std::vector<Peak<2>> detect_peaks_2d(const View2<float>& frame, const Extent2d& extent,
                                           float threshold, float min_distance);

/// The pixels on the frame's edge (first and last row and column) that reach threshold (NaN does
/// not) and are maxima of their neighbours in the frame under detect_peaks_2d's tie rule, in raster
/// order (positions from the extent; not sorted, not thinned). Frames with fewer than three rows
/// or columns have none, as for detect_peaks_2d.
std::vector<Peak<2>> detect_edge_peaks_2d(const View2<float>& frame, const Extent2d& extent, float threshold);

}  // namespace quorlin
