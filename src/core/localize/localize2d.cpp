// Sub-pixel localization of 2-D peaks.
#include "localize/localize2d.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/errors.h"
#include "localize/gaussian_fit.h"
#include "localize/window.h"

namespace quorlin {

std::optional<WindowOffset> gaussian_fit_2d(const View2<float>& v) {
  const auto offset = gaussian_fit_offset(v);
  if (!offset) return std::nullopt;
  return *offset;
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

}  // namespace

std::uint64_t checked_window_size(std::optional<std::uint64_t> window_size) {
  const std::uint64_t w = window_size.value_or(kDefaultWindowSize);
  if (w % 2 == 0 || w < 3) throw ValueError("localization_window_size must be an odd integer >= 3");
  return w;
}

std::optional<std::array<std::uint64_t, 2>> centred_window_start(
    const std::array<std::uint64_t, 2>& index, const std::array<std::uint64_t, 2>& shape,
    std::uint64_t w) {
  const std::uint64_t half = (w - 1) / 2;
  if (index[0] < half || index[1] < half || half >= shape[0] - index[0] || half >= shape[1] - index[1])
    return std::nullopt;
  return std::array<std::uint64_t, 2>{index[0] - half, index[1] - half};
}

bool crowded(const View2<float>& window) {
  return count_positive_regional_maxima(window) > kMaxSpotMaxima;
}

std::optional<std::array<float, 2>> locate_in_centred_window(LocalizationMethod method,
                                                             const View2<float>& window,
                                                             const std::array<std::uint64_t, 2>& index) {
  const auto estimate = method == LocalizationMethod::radial_symmetry ? radial_symmetry_2d(window)
                                                                     : gaussian_fit_2d(window);
  if (!estimate) return std::nullopt;
  WindowOffset d = *estimate;
  const std::uint64_t w = window.shape[0];
  const float reach = static_cast<float>(w) * 0.5f;
  // An estimate that left the window ran away; the centroid is a safe fallback. NaN passes.
  if (std::fabs(d[0]) > reach || std::fabs(d[1]) > reach)
    d = centroid_offset(window, static_cast<float>((w - 1) / 2));
  return std::array<float, 2>{static_cast<float>(index[0]) + d[0], static_cast<float>(index[1]) + d[1]};
}

}  // namespace quorlin
