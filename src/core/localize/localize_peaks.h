// The per-peak window loop of localization, one template for 2-D and 3-D: each peak's window
// copied into a buffer kept by each thread, refined by the dimension's rules, in list order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/array_view.h"
#include "common/extent_axis.h"
#include "detect/peaks.h"
#include "localize/in_order.h"

namespace quorlin {

namespace localize_detail {
/// Copies the window of w samples per axis whose first sample is at `at` (axes from Axis on) to
/// out in row-major order; returns the end of what was written.
template <std::size_t N, std::size_t Axis = 0>
float* copy_window(const float* at, const std::array<std::int64_t, N>& strides, std::uint64_t w,
                   float* out) {
  for (std::uint64_t k = 0; k < w; ++k) {
    const float* next = at + static_cast<std::int64_t>(k) * strides[Axis];
    if constexpr (Axis + 1 == N)
      *out++ = *next;
    else
      out = copy_window<N, Axis + 1>(next, strides, w, out);
  }
  return out;
}
}  // namespace localize_detail

/// Refines each peak in its window of w samples per axis, in list order, by the rules of Policy
/// (see detect_and_localize.h): Policy::window_start places the window or drops the peak,
/// Policy::keeps_detected_position leaves a peak as detected, Policy::locate gives its refined
/// index position or drops it. Positions are then mapped to extent units with Policy::kLastIndex.
/// With max_num_peaks, the output stops once that many peaks are kept.
template <class Policy, std::size_t N>
std::vector<Peak<N>> localize_peaks(const StridedView<float, N>& image,
                                    const std::vector<Peak<N>>& peaks, const Extent<N>& extent,
                                    std::uint64_t w, LocalizationMethod method,
                                    std::optional<std::uint64_t> max_num_peaks) {
  const ExtentAxes<N> axes(extent, image.shape, Policy::kLastIndex);
  std::array<std::uint64_t, N> window_shape;
  window_shape.fill(w);
  std::uint64_t window_samples = 1;
  for (std::size_t r = 0; r < N; ++r) window_samples *= w;
  const auto refine = [&](const Peak<N>& peak) -> std::optional<Peak<N>> {
    const std::optional<std::array<std::uint64_t, N>> start =
        Policy::window_start(peak.index, image.shape, w);
    if (!start) return std::nullopt;
    // The window's copy, kept by each thread: this runs once per peak, and no estimator runs a
    // parallel loop that could start another peak on this thread meanwhile.
    thread_local std::vector<float> values;
    values.resize(static_cast<std::size_t>(window_samples));
    std::int64_t first = 0;
    for (std::size_t r = 0; r < N; ++r) first += static_cast<std::int64_t>((*start)[r]) * image.strides[r];
    localize_detail::copy_window<N>(image.data + first, image.strides, w, values.data());
    const StridedView<float, N> window = contiguous_view<float, N>(values.data(), window_shape);

    if (Policy::keeps_detected_position(window)) return peak;
    const std::optional<std::array<float, N>> at = Policy::locate(method, window, peak.index, *start);
    if (!at) return std::nullopt;
    Peak<N> refined = peak;
    for (std::size_t r = 0; r < N; ++r) refined.position[r] = axes.position(r, (*at)[r]);
    return refined;
  };
  return refine_in_order(peaks, max_num_peaks, refine);
}

}  // namespace quorlin
