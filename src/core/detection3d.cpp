// Peak detection in a 3-D volume.
#include "detection3d.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parallel.h"
#include "peaks.h"

namespace quorlin {

namespace {

/// The 26 neighbour offsets as flat element steps, each with what an equal (or NaN-tied) value
/// there means. A tie with a neighbour that comes later in the total order (later along axis 0,
/// then later along axis 1, then earlier along axis 2) defeats the centre, so against those the
/// centre must be strictly greater; against the others it only must not be smaller.
struct Neighbourhood {
  struct Neighbour {
    std::int64_t step;
    bool tie_defeats;
  };
  std::array<Neighbour, 26> table{};
  std::int64_t plane_step, row_step;

  explicit Neighbourhood(const std::array<std::int64_t, 3>& strides)
      : plane_step(strides[0]), row_step(strides[1]) {
    std::size_t n = 0;
    for (std::int64_t d0 = -1; d0 <= 1; ++d0)
      for (std::int64_t d1 = -1; d1 <= 1; ++d1)
        for (std::int64_t d2 = -1; d2 <= 1; ++d2) {
          if (d0 == 0 && d1 == 0 && d2 == 0) continue;
          table[n++] = {d0 * strides[0] + d1 * strides[1] + d2 * strides[2],
                        d0 > 0 || (d0 == 0 && (d1 > 0 || (d1 == 0 && d2 < 0)))};
        }
    // Nearest in memory first: those are in cache and decide most voxels. The order of the tests
    // does not change their verdict.
    std::stable_sort(table.begin(), table.end(), [](const Neighbour& a, const Neighbour& b) {
      return std::abs(a.step) < std::abs(b.step);
    });
  }

  /// True when the voxel at p with value v is a local maximum under the tie rule.
  bool is_maximum(const float* p, float v) const {
    for (const Neighbour& m : table) {
      const float w = p[m.step];
      if (m.tie_defeats ? !(v > w) : w > v) return false;
    }
    return true;
  }

#if defined(__SSE2__)
  /// The same test where axis 2 is contiguous and p has two voxels after it along axis 2 (four
  /// values are read from each neighbour row, starting at axis-2 offset -1). Off the centre row
  /// the tie rule depends only on the row: rows later along axis 0, or in the same plane later
  /// along axis 1, defeat on ties.
  bool is_maximum_contiguous(const float* p, float v) const {
    if (!(v > p[-1]) || p[1] > v) return false;  // on the centre row the earlier voxel wins ties
    const __m128 c = _mm_set1_ps(v);
    constexpr int kOurs = 0b0111;  // offsets -1, 0, 1; the fourth value belongs to no neighbour
    auto later = [&](std::int64_t at) { return _mm_cmpngt_ps(c, _mm_loadu_ps(p + at - 1)); };
    auto earlier = [&](std::int64_t at) { return _mm_cmpgt_ps(_mm_loadu_ps(p + at - 1), c); };
    const __m128 plane = _mm_or_ps(later(row_step), earlier(-row_step));
    if (_mm_movemask_ps(plane) & kOurs) return false;
    __m128 planes = _mm_setzero_ps();
    for (std::int64_t d1 = -1; d1 <= 1; ++d1) {
      const std::int64_t at = d1 * row_step;
      planes = _mm_or_ps(planes, _mm_or_ps(later(plane_step + at), earlier(-plane_step + at)));
    }
    return (_mm_movemask_ps(planes) & kOurs) == 0;
  }
#endif
};



/// Maps voxel indices to physical coordinates: ((hi - lo)·i) / (N - 1) + lo per axis.
struct IndexToPosition {
  std::array<float, 3> span{}, denom{}, lo{};
  IndexToPosition(const Extent3d& e, const std::array<std::uint64_t, 3>& shape) {
    for (std::size_t r = 0; r < 3; ++r) {
      lo[r] = e[2 * r];
      span[r] = e[2 * r + 1] - e[2 * r];
      denom[r] = static_cast<float>(shape[r]) - 1.0f;
    }
  }
  std::array<float, 3> operator()(const std::array<std::uint64_t, 3>& i) const {
    std::array<float, 3> p{};
    for (std::size_t r = 0; r < 3; ++r)
      p[r] = (span[r] * static_cast<float>(i[r])) / denom[r] + lo[r];
    return p;
  }
};

/// True when any of the 16 values at p is not below the threshold (threshold > v fails; a NaN
/// value or threshold counts as reaching it).
inline bool any_reaches(const float* p, float threshold) {
#if defined(__SSE2__)
  const __m128 t = _mm_set1_ps(threshold);
  auto reaches = [&](int at) { return _mm_cmpngt_ps(t, _mm_loadu_ps(p + at)); };
  const __m128 m = _mm_or_ps(_mm_or_ps(reaches(0), reaches(4)), _mm_or_ps(reaches(8), reaches(12)));
  return _mm_movemask_ps(m) != 0;
#else
  int reached = 0;
  for (int j = 0; j < 16; ++j) reached |= !(threshold > p[j]);
  return reached != 0;
#endif
}

/// Scans the interior of one row (fixed i0, i1) along axis 2 in increasing order and appends its
/// maxima. On a contiguous row the threshold is first tested on blocks of 16 voxels at once, since
/// most voxels fail it, and the row `ahead` (next along axes 0 and 1) is fetched into the cache:
/// rows are scanned in raster order, so without it the maximum tests would wait for memory on
/// every candidate's neighbours in the next plane.
template <bool UnitStride>
void scan_row(const float* row, std::int64_t stride, std::uint64_t n2, float threshold,
              const float* ahead, const Neighbourhood& nb, std::uint64_t i0, std::uint64_t i1,
              const IndexToPosition& to_position, std::vector<PeakCandidate3d>& out) {
  const std::int64_t step = UnitStride ? 1 : stride;
  auto test = [&](std::uint64_t k) {
    const float* p = row + static_cast<std::int64_t>(k) * step;
    const float v = *p;
    if (threshold > v) return;
#if defined(__SSE2__)
    if (UnitStride && k + 2 < n2) {
      if (!nb.is_maximum_contiguous(p, v)) return;
    } else if (!nb.is_maximum(p, v)) {
      return;
    }
#else
    if (!nb.is_maximum(p, v)) return;
#endif
    const std::array<std::uint64_t, 3> index{i0, i1, k};
    out.push_back(PeakCandidate3d{std::nullopt, index, to_position(index), v});
  };
  const std::uint64_t end = n2 - 1;
  std::uint64_t k = 1;
  if constexpr (UnitStride) {
    constexpr std::uint64_t kBlock = 16;
    for (; k + kBlock <= end; k += kBlock) {
      __builtin_prefetch(ahead + k);
      if (!any_reaches(row + k, threshold)) continue;
      for (std::uint64_t j = 0; j < kBlock; ++j) test(k + j);
    }
  }
  for (; k < end; ++k) test(k);
}

}  // namespace

std::vector<PeakCandidate3d> detect_peaks_3d(const View3<float>& volume, const Extent3d& extent,
                                             float threshold, float min_distance) {
  const auto& shape = volume.shape;
  if (shape[0] < 3 || shape[1] < 3 || shape[2] < 3) return {};
  const std::uint64_t inner0 = shape[0] - 2, inner1 = shape[1] - 2;
  const Neighbourhood nb(volume.strides);
  const IndexToPosition to_position(extent, shape);
  const bool unit = volume.strides[2] == 1;

  // (i0, i1) pairs are the work items, i0 outermost; chunks of pairs are joined in pair order, so
  // the candidates come out in raster order whatever the scheduling.
  const std::size_t grain = std::max<std::uint64_t>(1, 16384 / shape[2]);
  std::vector<PeakCandidate3d> candidates = parallel_gather<PeakCandidate3d>(
      inner0 * inner1,
      [&](std::size_t pair, std::vector<PeakCandidate3d>& out) {
        const std::uint64_t i0 = 1 + pair / inner1, i1 = 1 + pair % inner1;
        const float* row = volume.data + static_cast<std::int64_t>(i0) * volume.strides[0] +
                           static_cast<std::int64_t>(i1) * volume.strides[1];
        // The next plane's row two steps ahead: by the time this row's successors are tested
        // against it, it has arrived.
        const std::uint64_t ahead1 = std::min(i1 + 2, shape[1] - 1);
        const float* ahead = volume.data + static_cast<std::int64_t>(i0 + 1) * volume.strides[0] +
                             static_cast<std::int64_t>(ahead1) * volume.strides[1];
        if (unit)
          scan_row<true>(row, 1, shape[2], threshold, ahead, nb, i0, i1, to_position, out);
        else
          scan_row<false>(row, volume.strides[2], shape[2], threshold, nullptr, nb, i0, i1,
                          to_position, out);
      },
      grain);

  sort_brightest_first(candidates);
  return thin_by_distance<3>(candidates, min_distance);
}

PeakArrays3d peak_arrays_3d(const std::vector<PeakCandidate3d>& peaks) {
  const std::size_t k = peaks.size();
  PeakArrays3d arrays;
  arrays.positions.shape = {k, 3};
  arrays.intensities.shape = {k};
  arrays.positions.data.reserve(3 * k);
  arrays.intensities.data.reserve(k);
  bool scored = false;
  for (const PeakCandidate3d& p : peaks) {
    arrays.positions.data.insert(arrays.positions.data.end(), p.position.begin(), p.position.end());
    arrays.intensities.data.push_back(p.intensity);
    scored |= p.correlation.has_value();
  }
  if (scored) {
    ResultArray<float> scores;
    scores.shape = {k};
    scores.data.reserve(k);
    for (const PeakCandidate3d& p : peaks) scores.data.push_back(p.correlation.value_or(0.0f));
    arrays.correlations = std::move(scores);
  }
  return arrays;
}

}  // namespace quorlin
