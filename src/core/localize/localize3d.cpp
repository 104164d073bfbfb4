// Sub-voxel localization of detected 3-D peaks.
#include "localize/localize3d.h"

#include <cmath>
#include <cstddef>

#include "common/extent_axis.h"
#include "localize/gaussian_fit.h"
#include "localize/in_order.h"

namespace quorlin {

std::optional<WindowPosition3d> gaussian_fit_3d(const View3<float>& v) {
  const auto offset = gaussian_fit_offset(v);
  if (!offset) return std::nullopt;
  WindowPosition3d position{};
  for (std::size_t r = 0; r < 3; ++r)
    position[r] = (*offset)[r] + (static_cast<float>(v.shape[r]) - 1.0f) * 0.5f;
  return position;
}

std::vector<PeakCandidate3d> localize_peaks_3d(const View3<float>& volume,
                                               const std::vector<PeakCandidate3d>& peaks,
                                               std::uint64_t a, const Extent3d& extent,
                                               LocalizationMethod method,
                                               std::optional<std::uint64_t> max_num_peaks) {
  const auto& n = volume.shape;
  if (n[0] < a || n[1] < a || n[2] < a) return {};
  const ExtentAxes<3> axes(extent, n);
  const float h = static_cast<float>(a) * 0.5f;
  const std::array<std::uint64_t, 3> window_shape{a, a, a};

  // The window is centred on the peak where possible and shifted to stay inside the volume.
  auto window_start = [&](const PeakCandidate3d& peak) {
    std::array<std::uint64_t, 3> start{};
    for (std::size_t r = 0; r < 3; ++r) {
      start[r] = peak.index[r] < a / 2 ? 0 : peak.index[r] - a / 2;
      if (start[r] + a > n[r]) start[r] = n[r] - a;
    }
    return start;
  };
  auto refine = [&](const PeakCandidate3d& peak) -> std::optional<PeakCandidate3d> {
    const std::array<std::uint64_t, 3> start = window_start(peak);
    std::vector<float> window(static_cast<std::size_t>(a * a * a));
    std::size_t t = 0;
    for (std::uint64_t i = 0; i < a; ++i)
      for (std::uint64_t j = 0; j < a; ++j)
        for (std::uint64_t k = 0; k < a; ++k)
          window[t++] = volume(start[0] + i, start[1] + j, start[2] + k);
    const View3<float> view = contiguous_view(window.data(), window_shape);

    const auto estimate = method == LocalizationMethod::radial_symmetry ? radial_symmetry_3d(view)
                                                                        : gaussian_fit_3d(view);
    if (!estimate) return std::nullopt;
    WindowPosition3d q = *estimate;
    // An estimate that ran further than the window size from the window origin is replaced by
    // the peak voxel's own index in its window, so the peak keeps its detected position.
    if (std::fabs(q[0]) - h > h || std::fabs(q[1]) - h > h || std::fabs(q[2]) - h > h) {
      for (std::size_t r = 0; r < 3; ++r) q[r] = static_cast<float>(peak.index[r] - start[r]);
    }
    PeakCandidate3d refined = peak;
    for (std::size_t r = 0; r < 3; ++r)
      refined.position[r] = axes.position(r, q[r] + static_cast<float>(start[r]));
    return refined;
  };
  return refine_in_order(peaks, max_num_peaks, refine);
}

}  // namespace quorlin
