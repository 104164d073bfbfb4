// Sub-pixel localization of 2-D peaks.
#include "localize/localize.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "common/errors.h"
#include "common/extent_axis.h"
#include "localize/gaussian_fit.h"
#include "localize/in_order.h"
#include "localize/window.h"

namespace quorlin {

std::optional<WindowOffset> gaussian_fit_2d(const View2<float>& v) {
  const auto offset = gaussian_fit_offset(v);
  if (!offset) return std::nullopt;
  return WindowOffset{(*offset)[0], (*offset)[1]};
}

std::uint64_t count_positive_regional_maxima(const View2<float>& v) {
  const auto rows = static_cast<std::int64_t>(v.shape[0]);
  const auto cols = static_cast<std::int64_t>(v.shape[1]);
  static constexpr std::array<std::array<std::int64_t, 2>, 8> kNeighbours{
      {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}}};
  // Scratch kept by each thread: this runs once per localized spot.
  thread_local std::vector<unsigned char> visited;
  thread_local std::vector<std::array<std::int64_t, 2>> plateau;  // flood queue, then the plateau
  visited.assign(static_cast<std::size_t>(rows * cols), 0);
  const auto has_brighter_neighbour = [&](std::int64_t r, std::int64_t c, float value) {
    for (const auto& [dr, dc] : kNeighbours) {
      const std::int64_t nr = r + dr;
      const std::int64_t nc = c + dc;
      if (nr >= 0 && nr < rows && nc >= 0 && nc < cols && v(nr, nc) > value) return true;
    }
    return false;
  };
  std::uint64_t count = 0;
  for (std::int64_t i = 0; i < rows; ++i) {
    for (std::int64_t j = 0; j < cols; ++j) {
      if (visited[static_cast<std::size_t>(i * cols + j)]) continue;
      const float value = v(i, j);
      // Most pixels have a brighter neighbour, so their plateau is no maximum. It needs no flood
      // from here: a flood from another of its pixels reaches this one and sees the same.
      if (has_brighter_neighbour(i, j, value)) continue;
      visited[static_cast<std::size_t>(i * cols + j)] = 1;
      plateau.assign(1, {i, j});
      bool is_max = true;
      for (std::size_t q = 0; q < plateau.size(); ++q) {
        const auto [r, c] = plateau[q];
        for (const auto& [dr, dc] : kNeighbours) {
          const std::int64_t nr = r + dr;
          const std::int64_t nc = c + dc;
          if (nr < 0 || nr >= rows || nc < 0 || nc >= cols) continue;
          const float n = v(nr, nc);
          if (n > value) {
            is_max = false;
          } else if (n == value && !visited[static_cast<std::size_t>(nr * cols + nc)]) {
            visited[static_cast<std::size_t>(nr * cols + nc)] = 1;
            plateau.push_back({nr, nc});
          }
        }
      }
      // Every pixel of a plateau holds the same value, so it counts whole or not at all.
      if (is_max && value > 0.0f) count += plateau.size();
    }
  }
  return count;
}

namespace {

/// A window with more positive regional maxima than this holds more than one spot; two are
/// allowed, since the top of one spot can be a pair of equal pixels.
constexpr std::uint64_t kMaxSpotMaxima = 2;

/// Offset of the window's intensity centroid from its centre; (0, 0) when the values sum to 0.
WindowOffset centroid_offset(const View2<float>& v, float half) {
  float total = 0.0f, sum_i = 0.0f, sum_j = 0.0f;
  for (std::uint64_t i = 0; i < v.shape[0]; ++i) {
    for (std::uint64_t j = 0; j < v.shape[1]; ++j) {
      const float value = v(i, j);
      total += value;
      sum_i += value * static_cast<float>(i);
      sum_j += value * static_cast<float>(j);
    }
  }
  if (total == 0.0f) return {0.0f, 0.0f};
  return {sum_i / total - half, sum_j / total - half};
}

/// Fixed inputs of the per-peak localization.
struct LocalizeSetup {
  const View2<float>& frame;
  std::uint64_t w;
  std::uint64_t half;
  LocalizationMethod method;
  ExtentAxes<2> axes;
};

/// The refined peak, or nothing when it is dropped (window off the frame, no estimate).
std::optional<PeakCandidate> localize_one(const LocalizeSetup& s, const PeakCandidate& peak) {
  const std::uint64_t rows = s.frame.shape[0];
  const std::uint64_t cols = s.frame.shape[1];
  if (peak.row < s.half || peak.col < s.half || s.half >= rows - peak.row || s.half >= cols - peak.col)
    return std::nullopt;

  thread_local std::vector<float> values;  // the window's copy, kept by each thread
  values.resize(static_cast<std::size_t>(s.w * s.w));
  const std::uint64_t top = peak.row - s.half;
  const std::uint64_t left = peak.col - s.half;
  for (std::uint64_t i = 0; i < s.w; ++i)
    for (std::uint64_t j = 0; j < s.w; ++j) values[i * s.w + j] = s.frame(top + i, left + j);
  const View2<float> window = contiguous_view<float, 2>(values.data(), {s.w, s.w});

  // A crowded window (several bright maxima) would bias any estimate: keep the pixel position.
  if (count_positive_regional_maxima(window) > kMaxSpotMaxima) return peak;

  const auto estimate = s.method == LocalizationMethod::radial_symmetry ? radial_symmetry_2d(window)
                                                                       : gaussian_fit_2d(window);
  if (!estimate) return std::nullopt;
  WindowOffset d = *estimate;
  const float reach = static_cast<float>(s.w) * 0.5f;
  // An estimate that left the window ran away; the centroid is a safe fallback. NaN passes.
  if (std::fabs(d.d0) > reach || std::fabs(d.d1) > reach) d = centroid_offset(window, static_cast<float>(s.half));

  PeakCandidate out = peak;
  out.position = {s.axes.position(0, static_cast<float>(peak.row) + d.d0),
                  s.axes.position(1, static_cast<float>(peak.col) + d.d1)};
  return out;
}

}  // namespace

std::vector<PeakCandidate> localize_peaks_2d(const View2<float>& frame,
                                             const std::vector<PeakCandidate>& peaks,
                                             const Extent2d& extent, std::uint64_t window_size,
                                             LocalizationMethod method,
                                             std::optional<std::uint64_t> max_num_peaks) {
  const LocalizeSetup setup{frame, window_size, (window_size - 1) / 2, method,
                            ExtentAxes<2>(extent, frame.shape, LastIndex::exact)};
  return refine_in_order(peaks, max_num_peaks,
                         [&](const PeakCandidate& peak) { return localize_one(setup, peak); });
}

std::uint64_t checked_window_size(std::optional<std::uint64_t> window_size) {
  const std::uint64_t w = window_size.value_or(kDefaultWindowSize);
  if (w % 2 == 0 || w < 3) throw ValueError("localization_window_size must be an odd integer >= 3");
  return w;
}

std::vector<PeakCandidate> refine_peaks_2d(const View2<float>& frame, std::vector<PeakCandidate> peaks,
                                           const Extent2d& extent,
                                           std::optional<std::string_view> method,
                                           std::optional<std::uint64_t> window_size,
                                           std::optional<std::uint64_t> max_num_peaks) {
  if (!method) {
    if (max_num_peaks && peaks.size() > *max_num_peaks) peaks.resize(static_cast<std::size_t>(*max_num_peaks));
    return peaks;
  }
  const std::uint64_t w = checked_window_size(window_size);
  const LocalizationMethod parsed = parse_localization_method(*method);
  return localize_peaks_2d(frame, peaks, extent, w, parsed, max_num_peaks);
}

}  // namespace quorlin
