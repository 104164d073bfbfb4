// Sub-voxel localization of 3-D peaks: the 3-D Gaussian centre fit, and the window rules of
// rs_detect_peaks3d (a window shifted to stay inside the volume, the fallback to the peak voxel).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "common/array_view.h"
#include "detect/peaks.h"
#include "localize/radial_symmetry3d.h"

namespace quorlin {

/// Centre of a unit-width, unit-height Gaussian fitted to the window scaled by 1/max (five
/// Gauss-Newton steps from the window centre), in window index units. No result when the maximum
/// (NaN ignored) is not positive or a step's determinant is below 1e-10 in magnitude.
std::optional<WindowPosition3d> gaussian_fit_3d(const View3<float>& window);

/// The first voxel of the window of a voxels per axis around the voxel at index: centred where
/// possible, shifted to stay inside the volume. Nothing when the volume is smaller than the window
/// along an axis.
std::optional<std::array<std::uint64_t, 3>> shifted_window_start(
    const std::array<std::uint64_t, 3>& index, const std::array<std::uint64_t, 3>& shape,
    std::uint64_t a);

/// The refined index position (fractional, volume index units) of the peak at index, from its
/// window starting at start: the estimator's position in the window, or the peak voxel's own when
/// the estimate lies further than the window size from the window origin on an axis. Nothing when
/// the estimator gives no result.
std::optional<std::array<float, 3>> locate_in_shifted_window(
    LocalizationMethod method, const View3<float>& window,
    const std::array<std::uint64_t, 3>& index, const std::array<std::uint64_t, 3>& start);

}  // namespace quorlin
