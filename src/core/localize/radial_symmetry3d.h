// The 3-D radial-symmetry estimator: the centre of one bright spot in a small volume window.
#pragma once

#include <array>
#include <optional>

#include "common/array_view.h"
#include "localize/symmetric.h"

namespace quorlin {

/// A position inside a 3-D window in index units: the centre of voxel (i, j, k) is (i, j, k).
using WindowPosition3d = std::array<float, 3>;

/// Weighted least-squares point closest to the gradient lines through the window's grid points
/// (the points between each 2x2x2 block of voxels), in window index units. No result for a window
/// with fewer than 3 voxels along an axis or with no gradient at all. A singular system, or a
/// solution with a NaN component, gives the gradient-weighted centroid of the grid instead.
/// All arithmetic is in 32-bit floats.
std::optional<WindowPosition3d> radial_symmetry_3d(const View3<float>& window);

}  // namespace quorlin
