// Peak detection in one 2-D frame: threshold, 3x3 local maxima with a raster-order tie rule,
// brightest-first ordering and minimum-distance thinning.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// Physical coordinates of the first and last pixel centres: (first0, last0, first1, last1).
using Extent2d = std::array<float, 4>;

/// One detected peak of a frame.
struct PeakCandidate {
  std::uint64_t row;                ///< pixel index along axis 0
  std::uint64_t col;                ///< pixel index along axis 1
  std::array<float, 2> position;    ///< physical (axis-0, axis-1) coordinates, extent units
  float intensity;                  ///< frame value at (row, col)
};

/// Interior pixels (rows 1..R-2, columns 1..C-2) that reach threshold (threshold > v rejects; NaN
/// and equality pass) and are maxima of their 3x3 neighbourhood, where a tie (equal or NaN) with a
/// neighbour later in raster order defeats the pixel. Positions come from the extent; the list is
/// sorted brightest first (equal intensities in raster order) and thinned so no kept peak lies closer than min_distance (extent
/// units) to an earlier kept one. Frames with fewer than three rows or columns have no peaks.
std::vector<PeakCandidate> detect_peaks_2d(const View2<float>& frame, const Extent2d& extent,
                                           float threshold, float min_distance);

/// The result arrays of a peak list: positions (N, 2) and intensities (N,), in list order.
struct PeakArrays2d {
  ResultArray<float> positions;
  ResultArray<float> intensities;
};
PeakArrays2d peak_arrays_2d(const std::vector<PeakCandidate>& peaks);

}  // namespace quorlin
