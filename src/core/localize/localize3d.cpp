// Sub-voxel localization of 3-D peaks.
#include "localize/localize3d.h"

#include <cmath>
#include <cstddef>

#include "localize/gaussian_fit.h"

namespace quorlin {

std::optional<WindowPosition3d> gaussian_fit_3d(const View3<float>& v) {
  const auto offset = gaussian_fit_offset(v);
  if (!offset) return std::nullopt;
  WindowPosition3d position{};
  for (std::size_t r = 0; r < 3; ++r)
    position[r] = (*offset)[r] + (static_cast<float>(v.shape[r]) - 1.0f) * 0.5f;
  return position;
}

std::optional<std::array<std::uint64_t, 3>> shifted_window_start(
    const std::array<std::uint64_t, 3>& index, const std::array<std::uint64_t, 3>& shape,
    std::uint64_t a) {
  std::array<std::uint64_t, 3> start{};
  for (std::size_t r = 0; r < 3; ++r) {
    if (shape[r] < a) return std::nullopt;
    start[r] = index[r] < a / 2 ? 0 : index[r] - a / 2;
    if (start[r] + a > shape[r]) start[r] = shape[r] - a;
  }
  return start;
}

std::optional<std::array<float, 3>> locate_in_shifted_window(
    LocalizationMethod method, const View3<float>& window,
    const std::array<std::uint64_t, 3>& index, const std::array<std::uint64_t, 3>& start) {
  const auto estimate = method == LocalizationMethod::radial_symmetry ? radial_symmetry_3d(window)
                                                                      : gaussian_fit_3d(window);
  if (!estimate) return std::nullopt;
  WindowPosition3d q = *estimate;
  // An estimate that ran further than the window size from the window origin is replaced by
  // the peak voxel's own index in its window, so the peak keeps its detected position.
  const float h = static_cast<float>(window.shape[0]) * 0.5f;
  if (std::fabs(q[0]) - h > h || std::fabs(q[1]) - h > h || std::fabs(q[2]) - h > h) {
    for (std::size_t r = 0; r < 3; ++r) q[r] = static_cast<float>(index[r] - start[r]);
  }
  std::array<float, 3> at{};
  for (std::size_t r = 0; r < 3; ++r) at[r] = q[r] + static_cast<float>(start[r]);
  return at;
}

}  // namespace quorlin
