// Peak detection in a 3-D volume.
#include "detect/detection3d.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "common/extent_axis.h"
#include "common/parallel.h"
#include "common/simd.h"
#include "detect/peaks.h"

namespace quorlin {

namespace {

#if defined(QUORLIN_X86_SIMD)
/// Voxels per SSE2 vector of floats.
constexpr int kSseLanes = 4;
/// Vectors per block test: a block of 16 voxels is one 64-byte cache line of a row.
constexpr int kBlockVectors = 4;
constexpr std::uint64_t kBlockVoxels = kSseLanes * kBlockVectors;
#endif

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

#if defined(QUORLIN_X86_SIMD)
  /// For 16 voxels from p along a contiguous axis 2 (p[-1] to p[16] readable): a bit per voxel
  /// that reaches the threshold (threshold > v fails) and wins against both its axis-2
  /// neighbours, the earlier of which wins ties. A NaN voxel never wins: it ties its neighbours.
  static unsigned block_candidates(const float* p, float threshold) {
    const __m128 t = _mm_set1_ps(threshold);
    __m128 reaches[kBlockVectors];
    for (int g = 0; g < kBlockVectors; ++g)
      reaches[g] = _mm_cmpngt_ps(t, _mm_loadu_ps(p + kSseLanes * g));
    // Most blocks end here: nothing reaches the threshold.
    static_assert(kBlockVectors == 4, "the early exit below ORs four vectors");
    const __m128 any_01 = _mm_or_ps(reaches[0], reaches[1]);
    if (_mm_movemask_ps(_mm_or_ps(any_01, _mm_or_ps(reaches[2], reaches[3]))) == 0) return 0;
    unsigned bits = 0;
    for (int g = 0; g < kBlockVectors; ++g) {
      const float* at = p + kSseLanes * g;
      const __m128 x = _mm_loadu_ps(at);
      const __m128 beats_earlier = _mm_cmpgt_ps(x, _mm_loadu_ps(at - 1));
      const __m128 holds_later = _mm_cmpngt_ps(_mm_loadu_ps(at + 1), x);
      const __m128 m = _mm_and_ps(reaches[g], _mm_and_ps(beats_earlier, holds_later));
      bits |= static_cast<unsigned>(_mm_movemask_ps(m)) << (kSseLanes * g);
    }
    return bits;
  }

  /// The rest of the test for a voxel that won on its own row, where axis 2 is contiguous and
  /// p has two voxels after it along axis 2 (four values are read from each neighbour row,
  /// starting at axis-2 offset -1). Off the centre row the tie rule depends only on the row:
  /// rows later along axis 0, or in the same plane later along axis 1, defeat on ties.
  bool other_rows_allow(const float* p) const {
    const __m128 c = _mm_set1_ps(*p);
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

/// Physical position of a voxel: ((hi - lo)·i) / (N - 1) + lo per axis.
std::array<float, 3> voxel_position(const ExtentAxes<3>& axes, const std::array<std::uint64_t, 3>& i) {
  std::array<float, 3> p{};
  for (std::size_t r = 0; r < 3; ++r) p[r] = axes.position_scaled_first(r, i[r]);
  return p;
}

/// Scans the interior of one row (fixed i0, i1) along axis 2 in increasing order and appends its
/// maxima. On a contiguous row, blocks of 16 voxels are first tested at once against the
/// threshold and their own row, since most voxels fail there; and the row `ahead` (in the next
/// plane) is fetched into the cache: rows are scanned in raster order, so without it the maximum
/// tests would wait for memory on every candidate's neighbours in the next plane.
template <bool UnitStride>
void scan_row(const float* row, std::int64_t stride, std::uint64_t n2, float threshold,
              [[maybe_unused]] const float* ahead, const Neighbourhood& nb, std::uint64_t i0,
              std::uint64_t i1, const ExtentAxes<3>& axes,
              std::vector<PeakCandidate3d>& out) {
  const std::int64_t step = UnitStride ? 1 : stride;
  auto emit = [&](std::uint64_t k, float v) {
    const std::array<std::uint64_t, 3> index{i0, i1, k};
    out.push_back(PeakCandidate3d{std::nullopt, index, voxel_position(axes, index), v});
  };
  const std::uint64_t end = n2 - 1;
  std::uint64_t k = 1;
#if defined(QUORLIN_X86_SIMD)
  if constexpr (UnitStride) {
    for (; k + kBlockVoxels <= end; k += kBlockVoxels) {
      __builtin_prefetch(ahead + k);
      for (unsigned bits = Neighbourhood::block_candidates(row + k, threshold); bits != 0;
           bits &= bits - 1) {
        const std::uint64_t at = k + static_cast<std::uint64_t>(__builtin_ctz(bits));
        const float* p = row + at;
        if (at + 2 < n2 ? nb.other_rows_allow(p) : nb.is_maximum(p, *p)) emit(at, *p);
      }
    }
  }
#endif
  for (; k < end; ++k) {
    const float* p = row + static_cast<std::int64_t>(k) * step;
    if (!(threshold > *p) && nb.is_maximum(p, *p)) emit(k, *p);
  }
}

}  // namespace

std::vector<PeakCandidate3d> detect_peaks_3d(const View3<float>& volume, const Extent3d& extent,
                                             float threshold, float min_distance) {
  const auto& shape = volume.shape;
  if (shape[0] < 3 || shape[1] < 3 || shape[2] < 3) return {};
  const std::uint64_t inner0 = shape[0] - 2, inner1 = shape[1] - 2;
  const Neighbourhood nb(volume.strides);
  const ExtentAxes<3> axes(extent, shape);
  const bool unit = volume.strides[2] == 1;

  // (i0, i1) pairs are the work items, i0 outermost; chunks of pairs are joined in pair order, so
  // the candidates come out in raster order whatever the scheduling.
  // A task scans about kVoxelsPerTask voxels: enough to pay for its scheduling, few enough
  // that the rows of a small volume still spread over the workers.
  constexpr std::uint64_t kVoxelsPerTask = 16384;
  const std::size_t grain = std::max<std::uint64_t>(1, kVoxelsPerTask / shape[2]);
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
          scan_row<true>(row, 1, shape[2], threshold, ahead, nb, i0, i1, axes, out);
        else
          scan_row<false>(row, volume.strides[2], shape[2], threshold, nullptr, nb, i0, i1, axes,
                          out);
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
