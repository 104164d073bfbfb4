// Steps shared by 2-D and 3-D peak detection: brightest-first ordering, minimum-distance thinning
// and the localization method names.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/parallel.h"

namespace quorlin {

/// The sub-pixel estimator chosen by name.
enum class LocalizationMethod { radial_symmetry, gaussian_fitting };

/// Maps "radial_symmetry" / "gaussian_fitting" (byte for byte) to a method; any other text raises
/// ValueError "Unknown localization method '<text>'. Choose 'radial_symmetry' or
/// 'gaussian_fitting'."
LocalizationMethod parse_localization_method(std::string_view name);

namespace detail {
/// A 32-bit key whose ascending order is the intensities' descending order; -0 and +0 get the
/// same key, as they compare equal.
inline std::uint32_t dimmer_first_key(float intensity) {
  const auto bits = std::bit_cast<std::uint32_t>(intensity + 0.0f);  // + 0.0f turns -0 into +0
  constexpr std::uint32_t kSign = 0x80000000u;
  const std::uint32_t ascending = (bits & kSign) != 0 ? ~bits : bits | kSign;
  return ~ascending;
}
}  // namespace detail

/// Sorts a raster-ordered candidate list by intensity, highest first, and among equal intensities
/// by list position, so the order (and the thinning that follows it) is one and the same on every
/// call and for any number of workers: the result of a stable sort. Peak needs a float member
/// `intensity`.
///
/// On the pool, each peak becomes one 64-bit key (intensity key above its list position); a
/// stable radix sort of the keys moves 8-byte integers instead of whole peaks, and its cost does
/// not grow with the number of equal intensities, as a comparison sort's does with distinct keys.
template <class Peak>
void sort_brightest_first(std::vector<Peak>& peaks) {
  // Waking the pool costs more than sorting a few thousand peaks on the calling thread.
  constexpr std::size_t kParallelSortFrom = 16384;
  // List positions must fit in the low half of a key.
  constexpr std::uint64_t kKeyedPeaksLimit = std::uint64_t{1} << 32;
  const std::size_t n = peaks.size();
  if (n < kParallelSortFrom || n > kKeyedPeaksLimit) {
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const Peak& a, const Peak& b) { return a.intensity > b.intensity; });
    return;
  }
  std::vector<std::uint64_t> keys(n);
  parallel_for(n, [&](std::size_t i) {
    keys[i] = std::uint64_t{detail::dimmer_first_key(peaks[i].intensity)} << 32 | i;
  });
  stable_sort_by_upper_half(keys);
  constexpr std::uint64_t kPositionMask = kKeyedPeaksLimit - 1;
  std::vector<Peak> sorted(n);
  parallel_for(n, [&](std::size_t k) {
    sorted[k] = peaks[static_cast<std::size_t>(keys[k] & kPositionMask)];
  });
  peaks.swap(sorted);
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
/// Open-addressing map from a linear cell index to the newest kept peak filed there; sized once
/// for at most `capacity_hint` cells, so filing never allocates.
class CellHeads {
 public:
  explicit CellHeads(std::size_t capacity_hint) {
    std::size_t size = 16;
    while (size < 2 * capacity_hint + 16) size *= 2;
    keys_.assign(size, kEmpty);
    values_.resize(size);
    mask_ = size - 1;
  }
  /// The slot of key: where it is stored, or the empty slot where it would go.
  std::size_t slot(std::uint64_t key) const {
    std::size_t i = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask_;
    while (keys_[i] != kEmpty && keys_[i] != key) i = (i + 1) & mask_;
    return i;
  }
  std::int64_t find(std::uint64_t key) const {
    const std::size_t i = slot(key);
    return keys_[i] == key ? values_[i] : -1;
  }
  /// Files index under key and returns the previous newest index there (-1 when none).
  std::int64_t exchange(std::uint64_t key, std::int64_t index) {
    const std::size_t i = slot(key);
    const std::int64_t previous = keys_[i] == key ? values_[i] : -1;
    keys_[i] = key;
    values_[i] = index;
    return previous;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  std::vector<std::uint64_t> keys_;
  std::vector<std::int64_t> values_;
  std::size_t mask_ = 0;
};
}  // namespace detail

/// Greedy minimum-distance thinning of a brightest-first list. Walks the list once; a peak is
/// dropped when min_distance^2 > d^2 for some already kept peak (d^2 in 32-bit floats on the
/// positions, Peak::position is std::array<float, N>); a peak at exactly min_distance is kept.
///
/// Kept peaks are filed in a grid of cells slightly wider than min_distance over the bounding box
/// of the positions, so only the neighbouring cells are searched; the result is exactly that of
/// comparing against every kept peak. (A kept peak closer than min_distance differs by less than
/// one cell side on every axis; the widening by 2^-20 covers the rounding of the cell quotients.)
/// The grid is a dense table of cell heads when it has few cells, otherwise a hash table behind an
/// occupancy bitmap (the common probe of an empty cell costs one bit test), and a general hash map
/// only when the bounding box holds too many cells for a bitmap. Peaks with a
/// non-finite coordinate can neither reject nor be rejected (their d^2 is never finite) and are
/// kept without being filed. Where the positions span so many cells that cell indices would lose
/// precision, the comparison falls back to scanning every kept peak.
template <std::size_t N, class Peak>
std::vector<Peak> thin_by_distance(const std::vector<Peak>& sorted, float min_distance) {
  const float md2 = min_distance * min_distance;
  // No squared distance is below 0 (or below NaN): nothing can be rejected.
  if (!(md2 > 0.0f)) return sorted;
  std::vector<Peak> kept;

  const double side = static_cast<double>(std::fabs(min_distance)) * (1.0 + 1.0 / (1 << 20));
  std::array<double, N> lo, hi;
  lo.fill(INFINITY);
  hi.fill(-INFINITY);
  for (const Peak& p : sorted) {
    bool finite = true;
    for (float c : p.position) finite &= std::isfinite(c);
    if (!finite) continue;
    for (std::size_t r = 0; r < N; ++r) {
      lo[r] = std::min(lo[r], static_cast<double>(p.position[r]));
      hi[r] = std::max(hi[r], static_cast<double>(p.position[r]));
    }
  }
  bool use_grid = std::isfinite(side);
  std::array<std::uint64_t, N> dims{};
  double total_cells = 1.0;
  for (std::size_t r = 0; r < N && use_grid; ++r) {
    const double span = hi[r] >= lo[r] ? (hi[r] - lo[r]) / side : 0.0;
    if (!(span < 1073741824.0)) use_grid = false;
    dims[r] = use_grid ? static_cast<std::uint64_t>(span) + 1 : 0;
    total_cells *= static_cast<double>(dims[r]);
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
  const double n = static_cast<double>(sorted.size());
  const bool dense = total_cells <= std::max(65536.0, 8.0 * n);
  const bool bitmap = !dense && total_cells <= std::max(4194304.0, 64.0 * n);
  const std::size_t table_size = dense || bitmap ? static_cast<std::size_t>(total_cells) : 0;
  std::vector<std::int64_t> dense_head(dense ? table_size : 0, -1);          // cell -> newest kept
  std::vector<std::uint64_t> occupied(bitmap ? (table_size + 63) / 64 : 0);  // cell has a kept peak
  detail::CellHeads sparse_head(bitmap ? sorted.size() : 0);                 // cell -> newest kept
  std::unordered_map<Cell, std::int64_t, detail::CellHash<N>> head;          // huge grids only
  std::vector<std::int64_t> next;  // kept index -> older kept index in the same cell
  const auto linear = [&](const Cell& c) {
    std::uint64_t index = 0;
    for (std::size_t r = 0; r < N; ++r) index = index * dims[r] + static_cast<std::uint64_t>(c[r]);
    return static_cast<std::size_t>(index);
  };
  const auto newest_in = [&](const Cell& c) -> std::int64_t {
    if (dense) return dense_head[linear(c)];
    if (bitmap) {
      const std::size_t i = linear(c);
      if (!((occupied[i / 64] >> (i % 64)) & 1u)) return -1;
      return sparse_head.find(i);
    }
    const auto it = head.find(c);
    return it == head.end() ? -1 : it->second;
  };
  const auto file = [&](const Cell& c, std::int64_t index) {
    if (dense) {
      std::int64_t& h = dense_head[linear(c)];
      next.push_back(h);
      h = index;
      return;
    }
    if (bitmap) {
      const std::size_t i = linear(c);
      occupied[i / 64] |= std::uint64_t{1} << (i % 64);
      next.push_back(sparse_head.exchange(i, index));
      return;
    }
    auto [it, inserted] = head.try_emplace(c, index);
    next.push_back(inserted ? -1 : it->second);
    it->second = index;
  };

  for (const Peak& p : sorted) {
    bool finite = true;
    for (float c : p.position) finite &= std::isfinite(c);
    if (!finite) {
      kept.push_back(p);
      next.push_back(-1);
      continue;
    }
    Cell cell{};
    for (std::size_t r = 0; r < N; ++r) {
      const double q = std::floor((static_cast<double>(p.position[r]) - lo[r]) / side);
      cell[r] = std::min(static_cast<std::int64_t>(q), static_cast<std::int64_t>(dims[r]) - 1);
    }
    bool rejected = false;
    // Any kept peak closer than min_distance lies in a neighbouring cell (offsets -1..1 per axis).
    Cell offset{};
    offset.fill(-1);
    while (!rejected) {
      Cell probe{};
      bool inside = true;
      for (std::size_t r = 0; r < N; ++r) {
        probe[r] = cell[r] + offset[r];
        inside &= probe[r] >= 0 && probe[r] < static_cast<std::int64_t>(dims[r]);
      }
      if (inside) {
        for (std::int64_t k = newest_in(probe); k >= 0; k = next[static_cast<std::size_t>(k)]) {
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
    file(cell, index);
  }
  return kept;
}

}  // namespace quorlin
