// Steps shared by 2-D and 3-D peak detection: brightest-first ordering, minimum-distance thinning
// and the localization method names.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "parallel.h"

namespace quorlin {

/// The sub-pixel estimator chosen by name.
enum class LocalizationMethod { radial_symmetry, gaussian_fitting };

/// Maps "radial_symmetry" / "gaussian_fitting" (byte for byte) to a method; any other text raises
/// ValueError "Unknown localization method '<text>'. Choose 'radial_symmetry' or
/// 'gaussian_fitting'."
LocalizationMethod parse_localization_method(std::string_view name);

/// Sorts peaks by intensity, highest first, on the pool (unstable: equal intensities in any order).
/// Peak needs a float member `intensity`.
template <class Peak>
void sort_brightest_first(std::vector<Peak>& peaks) {
  parallel_sort(peaks.begin(), peaks.end(),
                [](const Peak& a, const Peak& b) { return a.intensity > b.intensity; });
}

namespace detail {
/// Squared distance of two positions in 32-bit floats: (d0^2 + d1^2) [+ d2^2].
template <std::size_t N>
float squared_distance(const std::array<float, N>& a, const std::array<float, N>& b) {
  float sum = 0.0f;
  for (std::size_t r = 0; r < N; ++r) {
    const float d = a[r] - b[r];
    sum = r == 0 ? d * d : sum + d * d;
  }
  return sum;
}

template <std::size_t N>
struct CellHash {
  std::size_t operator()(const std::array<std::int64_t, N>& c) const {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (auto v : c) h = (h ^ static_cast<std::uint64_t>(v)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<std::size_t>(h ^ (h >> 31));
  }
};
}  // namespace detail

/// Greedy minimum-distance thinning of a brightest-first list. Walks the list once; a peak is
/// dropped when min_distance^2 > d^2 for some already kept peak (d^2 in 32-bit floats on the
/// positions, Peak::position is std::array<float, N>); a peak at exactly min_distance is kept.
///
/// Kept peaks are filed in a grid of cells slightly wider than min_distance, so only the
/// neighbouring cells are searched; the result is exactly that of comparing against every kept
/// peak. Peaks with a non-finite coordinate can neither reject nor be rejected (their d^2 is never
/// finite) and are kept without being filed. Where coordinates are so large against min_distance
/// that cell indices lose precision, the comparison falls back to scanning every kept peak.
template <std::size_t N, class Peak>
std::vector<Peak> thin_by_distance(const std::vector<Peak>& sorted, float min_distance) {
  const float md2 = min_distance * min_distance;
  std::vector<Peak> kept;
  // No squared distance is below 0 (or below NaN): nothing can be rejected.
  if (!(md2 > 0.0f)) return sorted;

  const double side = static_cast<double>(std::fabs(min_distance)) * (1.0 + 1.0 / (1 << 20));
  bool use_grid = std::isfinite(side);
  for (const Peak& p : sorted) {
    for (float c : p.position)
      if (std::isfinite(c) && std::fabs(static_cast<double>(c)) / side > 1073741824.0)
        use_grid = false;
  }

  if (!use_grid) {
    for (const Peak& p : sorted) {
      bool rejected = false;
      for (const Peak& q : kept) {
        if (md2 > detail::squared_distance<N>(p.position, q.position)) {
          rejected = true;
          break;
        }
      }
      if (!rejected) kept.push_back(p);
    }
    return kept;
  }

  using Cell = std::array<std::int64_t, N>;
  std::unordered_map<Cell, std::int64_t, detail::CellHash<N>> head;  // cell -> newest kept index
  std::vector<std::int64_t> next;  // kept index -> older one in cell
  for (const Peak& p : sorted) {
    bool finite = true;
    Cell cell{};
    for (std::size_t r = 0; r < N; ++r) {
      finite &= std::isfinite(p.position[r]);
      if (finite)
        cell[r] = static_cast<std::int64_t>(std::floor(static_cast<double>(p.position[r]) / side));
    }
    if (!finite) {
      kept.push_back(p);
      next.push_back(-1);
      continue;
    }
    bool rejected = false;
    // Any kept peak closer than min_distance lies in a neighbouring cell (offsets -1..1 per axis).
    Cell offset{};
    offset.fill(-1);
    while (!rejected) {
      Cell probe{};
      for (std::size_t r = 0; r < N; ++r) probe[r] = cell[r] + offset[r];
      if (auto it = head.find(probe); it != head.end()) {
        for (std::int64_t k = it->second; k >= 0; k = next[static_cast<std::size_t>(k)]) {
          if (md2 >
              detail::squared_distance<N>(p.position, kept[static_cast<std::size_t>(k)].position)) {
            rejected = true;
            break;
          }
        }
      }
      std::size_t r = 0;
      while (r < N && offset[r] == 1) offset[r++] = -1;
      if (r == N) break;
      ++offset[r];
    }
    if (rejected) continue;
    const auto index = static_cast<std::int64_t>(kept.size());
    kept.push_back(p);
    auto [it, inserted] = head.try_emplace(cell, index);
    next.push_back(inserted ? -1 : it->second);
    it->second = index;
  }
  return kept;
}

}  // namespace quorlin
