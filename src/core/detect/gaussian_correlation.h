// Gaussian-correlation scores of 3-D peaks: how much the voxels around a peak look like a spot.
#pragma once

#include <array>
#include <vector>

#include "common/array_view.h"
#include "detect/detection3d.h"

namespace quorlin {

/// Sets every peak's `correlation` (list order and length unchanged) to the Pearson correlation
/// between the voxels around its index and a normalised 5x5x5 Gaussian template with widths
/// `sigmas` (physical units, one per axis; the voxel size for the template is span / N). The
/// template is cut to the part inside the volume. A constant neighbourhood scores 0.
void correlate_peaks(const View3<float>& volume, const Extent3d& extent,
                     std::vector<Peak<3>>& peaks, const std::array<float, 3>& sigmas);

/// Keeps, in order, the peaks whose score (0 when absent) is at least `threshold`; a NaN score or
/// threshold removes the peak.
void keep_correlated(std::vector<Peak<3>>& peaks, float threshold);

}  // namespace quorlin
