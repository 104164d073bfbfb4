// Sub-voxel localization of detected 3-D peaks.
#include "localize/localize3d.h"

#include <cmath>
#include <cstddef>
#include <limits>

namespace quorlin {

std::optional<WindowPosition3d> gaussian_fit_3d(const View3<float>& v) {
  const auto& size = v.shape;
  float peak = -std::numeric_limits<float>::infinity();
  for (std::uint64_t i = 0; i < size[0]; ++i)
    for (std::uint64_t j = 0; j < size[1]; ++j)
      for (std::uint64_t k = 0; k < size[2]; ++k)
        if (v(i, j, k) > peak) peak = v(i, j, k);
  if (peak <= 0.0f) return std::nullopt;

  std::array<float, 3> half{};
  for (std::size_t r = 0; r < 3; ++r) half[r] = (static_cast<float>(size[r]) - 1.0f) * 0.5f;
  std::array<float, 3> c{0.0f, 0.0f, 0.0f};
  for (int step = 0; step < 5; ++step) {
    Symmetric3 h{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::array<float, 3> b{0.0f, 0.0f, 0.0f};
    for (std::uint64_t i = 0; i < size[0]; ++i) {
      const float d0 = (static_cast<float>(i) - half[0]) - c[0];
      for (std::uint64_t j = 0; j < size[1]; ++j) {
        const float d1 = (static_cast<float>(j) - half[1]) - c[1];
        for (std::uint64_t k = 0; k < size[2]; ++k) {
          const float d2 = (static_cast<float>(k) - half[2]) - c[2];
          const float f = std::exp(-0.5f * (d2 * d2) + (-0.5f * (d1 * d1) + -0.5f * (d0 * d0)));
          const float rho = v(i, j, k) / peak - f;
          const float j0 = f * d0, j1 = f * d1, j2 = f * d2;
          h += Symmetric3{j0 * j0, j0 * j1, j0 * j2, j1 * j1, j1 * j2, j2 * j2};
          b[0] += j0 * rho;
          b[1] += j1 * rho;
          b[2] += j2 * rho;
        }
      }
    }
    const float det = h.det();
    if (std::fabs(det) < 1.0e-10f) return std::nullopt;
    const std::array<float, 3> adj_b = h.adjugate_times(b);
    for (std::size_t r = 0; r < 3; ++r) c[r] += adj_b[r] / det;
  }
  return WindowPosition3d{c[0] + half[0], c[1] + half[1], c[2] + half[2]};
}

std::vector<PeakCandidate3d> localize_peaks_3d(const View3<float>& volume,
                                               const std::vector<PeakCandidate3d>& peaks,
                                               std::uint64_t a, const Extent3d& extent,
                                               LocalizationMethod method,
                                               std::optional<std::uint64_t> max_num_peaks) {
  std::vector<PeakCandidate3d> out;
  const auto& n = volume.shape;
  if (n[0] < a || n[1] < a || n[2] < a) return out;
  if (max_num_peaks && *max_num_peaks == 0) return out;
  out.reserve(peaks.size());

  std::array<float, 3> scale{};
  for (std::size_t r = 0; r < 3; ++r)
    scale[r] = n[r] == 0 ? 0.0f
                         : (extent[2 * r + 1] - extent[2 * r]) / (static_cast<float>(n[r]) - 1.0f);
  const float h = static_cast<float>(a) * 0.5f;
  const std::array<std::uint64_t, 3> window_shape{a, a, a};
  std::vector<float> window(static_cast<std::size_t>(a * a * a));

  // The window is centred on the peak where possible and shifted to stay inside the volume.
  auto window_start = [&](const PeakCandidate3d& peak) {
    std::array<std::uint64_t, 3> start{};
    for (std::size_t r = 0; r < 3; ++r) {
      start[r] = peak.index[r] < a / 2 ? 0 : peak.index[r] - a / 2;
      if (start[r] + a > n[r]) start[r] = n[r] - a;
    }
    return start;
  };
  for (const PeakCandidate3d& peak : peaks) {
    const std::array<std::uint64_t, 3> start = window_start(peak);
    std::size_t t = 0;
    for (std::uint64_t i = 0; i < a; ++i)
      for (std::uint64_t j = 0; j < a; ++j)
        for (std::uint64_t k = 0; k < a; ++k)
          window[t++] = volume(start[0] + i, start[1] + j, start[2] + k);
    const View3<float> view = contiguous_view(window.data(), window_shape);

    const auto estimate = method == LocalizationMethod::radial_symmetry ? radial_symmetry_3d(view)
                                                                        : gaussian_fit_3d(view);
    if (!estimate) continue;
    WindowPosition3d q = *estimate;
    // An estimate that ran further than the window size from the window origin is replaced by
    // the peak voxel's own index in its window, so the peak keeps its detected position.
    if (std::fabs(q[0]) - h > h || std::fabs(q[1]) - h > h || std::fabs(q[2]) - h > h) {
      for (std::size_t r = 0; r < 3; ++r) q[r] = static_cast<float>(peak.index[r] - start[r]);
    }
    PeakCandidate3d refined = peak;
    for (std::size_t r = 0; r < 3; ++r)
      refined.position[r] = (q[r] + static_cast<float>(start[r])) * scale[r] + extent[2 * r];
    out.push_back(refined);
    if (max_num_peaks && out.size() == *max_num_peaks) break;
  }
  return out;
}

}  // namespace quorlin
