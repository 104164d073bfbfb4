// The Gaussian centre fit, one template for 2-D and 3-D windows.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "common/array_view.h"

namespace quorlin {

/// Fits the centre of a unit-width, unit-height Gaussian to the window scaled by 1/max, by
/// Gauss–Newton steps from the window centre. Returns the offset of the centre from the window
/// centre ((n - 1)/2 per axis) in index units, axis 0 first. No result when the window's maximum
/// (NaN ignored) is not positive or a step's normal equations are singular (determinant below
/// 1e-10 in magnitude). All arithmetic is in 32-bit floats, in raster order of the window.
template <std::size_t D>
std::optional<std::array<float, D>> gaussian_fit_offset(const StridedView<float, D>& window);

extern template std::optional<std::array<float, 2>> gaussian_fit_offset<2>(const StridedView<float, 2>&);
extern template std::optional<std::array<float, 3>> gaussian_fit_offset<3>(const StridedView<float, 3>&);

}  // namespace quorlin
