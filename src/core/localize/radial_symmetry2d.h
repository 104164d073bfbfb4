// The 2-D radial-symmetry estimator: the centre of one bright spot in a small window.
#pragma once

#include <array>
#include <optional>

#include "common/array_view.h"

namespace quorlin {

/// Offset in pixels from the window centre ((R-1)/2, (C-1)/2), along axis 0, then axis 1.
using WindowOffset = std::array<float, 2>;

/// Weighted least-squares point closest to the gradient lines of the window's grid points.
/// No result when the lines have no unique closest point (determinant exactly 0). All arithmetic
/// is in 32-bit floats.
std::optional<WindowOffset> radial_symmetry_2d(const View2<float>& window);

}  // namespace quorlin
