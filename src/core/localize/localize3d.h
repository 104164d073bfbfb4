// Sub-voxel localization of detected 3-D peaks, and the 3-D Gaussian centre fit.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/array_view.h"
#include "detect/detection3d.h"
#include "detect/peaks.h"
#include "localize/radial_symmetry3d.h"

namespace quorlin {

/// Centre of a unit-width, unit-height Gaussian fitted to the window scaled by 1/max (five
/// Gauss-Newton steps from the window centre), in window index units. No result when the maximum
/// (NaN ignored) is not positive or a step's determinant is below 1e-10 in magnitude.
std::optional<WindowPosition3d> gaussian_fit_3d(const View3<float>& window);

/// Refines each peak, in list order, with the chosen estimator on a window of `window_size`
/// voxels per axis around its voxel, shifted to stay inside the volume. Peaks without an estimate
/// are left out; an estimate further than the window size from the window origin is replaced by
/// the peak voxel itself. Output records keep correlation, index and intensity; only the
/// position (physical units, index mapping (hi - lo)/(N - 1)) changes. The output stops at
/// `max_num_peaks` records when given. A volume smaller than the window yields no peaks.
std::vector<PeakCandidate3d> localize_peaks_3d(const View3<float>& volume,
                                               const std::vector<PeakCandidate3d>& peaks,
                                               std::uint64_t window_size, const Extent3d& extent,
                                               LocalizationMethod method,
                                               std::optional<std::uint64_t> max_num_peaks);

}  // namespace quorlin
