// What 2-D and 3-D peak detection share: the peak record, brightest-first ordering,
// minimum-distance thinning, the result arrays and the localization method names.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/array_view.h"
#include "common/parallel.h"
#include "common/sort.h"
#include "common/spatial_index.h"

namespace quorlin {

/// Physical coordinates of the first and last pixel (voxel) centres along each axis:
/// (first0, last0, first1, last1, ...), in the caller's units.
template <std::size_t N>
using Extent = std::array<float, 2 * N>;
using Extent2d = Extent<2>;
using Extent3d = Extent<3>;

/// A peak's Gaussian-correlation score. Only volumes are scored (correlation_sigmas of
/// rs_detect_peaks3d), so only 3-D peaks carry one; for 2-D the record stays empty.
template <std::size_t N>
struct PeakScore {};
template <>
struct PeakScore<3> {
  std::optional<float> correlation;  ///< absent until correlation scoring sets it
};

/// One detected peak of an N-dimensional image.
template <std::size_t N>
struct Peak : PeakScore<N> {
  std::array<std::uint64_t, N> index;  ///< pixel (voxel) index along each axis
  std::array<float, N> position;       ///< physical position along each axis, extent units
  float intensity;                     ///< the image value at index
};

/// The result arrays of a peak list, in list order: positions (K, N), intensities (K,) and, for
/// volumes with at least one scored peak, correlations (K,) with 0 for absent scores.
struct PeakArrays {
  ResultArray<float> positions;
  ResultArray<float> intensities;
  std::optional<ResultArray<float>> correlations;
};
template <std::size_t N>
PeakArrays peak_arrays(const std::vector<Peak<N>>& peaks);
extern template PeakArrays peak_arrays<2>(const std::vector<Peak<2>>&);
extern template PeakArrays peak_arrays<3>(const std::vector<Peak<3>>&);

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

// 2^64 is the smallest float whose square overflows to infinity in 32 bits: two positions with a
// finite squared distance differ by less than it on every axis.
constexpr double kFiniteSquareReach = 18446744073709551616.0;
}  // namespace detail

/// Greedy minimum-distance thinning of a brightest-first list. Walks the list once; a peak is
/// dropped when min_distance^2 > d^2 for some already kept peak (d^2 in 32-bit floats on the
/// positions, Peak::position is std::array<float, N>); a peak at exactly min_distance is kept.
///
/// A kept peak that rejects p differs from it by less than |min_distance| on every axis (each
/// rounded square, and each rounded sum of squares, is monotone and at least its terms, and
/// min_distance is itself a float), and by less than 2^64 (d^2 is finite when min_distance^2
/// overflows). So only the kept peaks in the cells of a spatial index with that reach adjacent to
/// p's cell are compared, and the result is exactly that of comparing against every kept peak.
/// Peaks with a non-finite coordinate can neither reject nor be rejected (their d^2 is never
/// finite) and are kept without being filed.
template <std::size_t N, class Peak>
std::vector<Peak> thin_by_distance(const std::vector<Peak>& sorted, float min_distance) {
  const float md2 = min_distance * min_distance;
  // No squared distance is below 0 (or below NaN): nothing can be rejected.
  if (!(md2 > 0.0f)) return sorted;
  const double reach =
      std::min(std::fabs(static_cast<double>(min_distance)), detail::kFiniteSquareReach);
  const SpatialIndex<N> index(
      sorted.size(), [&](std::size_t i) { return sorted[i].position; }, reach);

  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> newest(index.cell_count(), kNone);  // cell -> newest kept peak there
  // Per filed kept peak: its position (a compact copy, for the comparisons) and the kept peak filed
  // before it in its cell.
  std::vector<std::array<float, N>> filed_at;
  std::vector<std::size_t> older;
  std::vector<Peak> kept;
  // Room for every peak up front: pages that are never written are never taken.
  filed_at.reserve(sorted.size());
  older.reserve(sorted.size());
  kept.reserve(sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const Peak& p = sorted[i];
    const std::size_t cell = index.cell_of(i);
    if (cell != index.kNoCell) {
      const bool rejected = index.any_adjacent(cell, [&](std::size_t c) {
        for (std::size_t k = newest[c]; k != kNone; k = older[k])
          if (md2 > detail::squared_distance<N>(p.position, filed_at[k])) return true;
        return false;
      });
      if (rejected) continue;
      older.push_back(std::exchange(newest[cell], filed_at.size()));
      filed_at.push_back(p.position);
    }
    kept.push_back(p);
  }
  return kept;
}

}  // namespace quorlin
