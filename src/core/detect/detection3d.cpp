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

/// The vector lanes of the block tests: the target's baseline set.
using L = simd::Lanes<simd::Baseline>;
/// Voxels per block test: one 64-byte cache line of a row.
constexpr std::uint64_t kBlockVoxels = 16;
/// Vectors per block test.
constexpr std::size_t kBlockVectors = kBlockVoxels / L::width;
static_assert(kBlockVoxels % L::width == 0, "a block is whole vectors");
// other_rows_allow reads one vector per neighbour row, from offset -1: the three neighbours and,
// for four lanes, one more value that p's two following voxels keep inside the row.
static_assert(L::width == 4, "other_rows_allow reads four values per neighbour row");

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

  /// For kBlockVoxels voxels from p along a contiguous axis 2 (p[-1] to p[kBlockVoxels]
  /// readable): a bit per voxel that reaches the threshold (threshold > v fails) and wins against
  /// both its axis-2 neighbours, the earlier of which wins ties. A NaN voxel never wins: it ties
  /// its neighbours.
  static unsigned block_candidates(const float* p, float threshold) {
    unsigned reaches[kBlockVectors];
    unsigned any = 0;
    for (std::size_t g = 0; g < kBlockVectors; ++g) {
      reaches[g] = L::not_greater(threshold, p + L::width * g);
      any |= reaches[g];
    }
    // Most blocks end here: nothing reaches the threshold.
    if (any == 0) return 0;
    unsigned bits = 0;
    for (std::size_t g = 0; g < kBlockVectors; ++g) {
      const float* at = p + L::width * g;
      const unsigned beats_earlier = L::greater(at, at - 1);
      const unsigned holds_later = L::not_greater(at + 1, at);
      bits |= (reaches[g] & beats_earlier & holds_later) << (L::width * g);
    }
    return bits;
  }

  /// The rest of the test for a voxel that won on its own row, where axis 2 is contiguous and
  /// p has two voxels after it along axis 2 (four values are read from each neighbour row,
  /// starting at axis-2 offset -1). Off the centre row the tie rule depends only on the row:
  /// rows later along axis 0, or in the same plane later along axis 1, defeat on ties.
  bool other_rows_allow(const float* p) const {
    const float c = *p;
    constexpr unsigned kOurs = 0b0111;  // offsets -1, 0, 1; the fourth value belongs to no neighbour
    auto later = [&](std::int64_t at) { return L::not_greater(c, p + at - 1); };
    auto earlier = [&](std::int64_t at) { return L::greater(p + at - 1, c); };
    if ((later(row_step) | earlier(-row_step)) & kOurs) return false;
    unsigned planes = 0;
    for (std::int64_t d1 = -1; d1 <= 1; ++d1) {
      const std::int64_t at = d1 * row_step;
      planes |= later(plane_step + at) | earlier(-plane_step + at);
    }
    return (planes & kOurs) == 0;
  }
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
              std::vector<Peak<3>>& out) {
  const std::int64_t step = UnitStride ? 1 : stride;
  auto emit = [&](std::uint64_t k, float v) {
    const std::array<std::uint64_t, 3> index{i0, i1, k};
    out.push_back(Peak<3>{{std::nullopt}, index, voxel_position(axes, index), v});
  };
  const std::uint64_t end = n2 - 1;
  std::uint64_t k = 1;
  if constexpr (UnitStride) {
    for (; k + kBlockVoxels <= end; k += kBlockVoxels) {
      simd::prefetch(ahead + k);
      simd::for_each_bit(Neighbourhood::block_candidates(row + k, threshold), [&](std::size_t b) {
        const std::uint64_t at = k + b;
        const float* p = row + at;
        if (at + 2 < n2 ? nb.other_rows_allow(p) : nb.is_maximum(p, *p)) emit(at, *p);
      });
    }
  }
  for (; k < end; ++k) {
    const float* p = row + static_cast<std::int64_t>(k) * step;
    if (!(threshold > *p) && nb.is_maximum(p, *p)) emit(k, *p);
  }
}

}  // namespace

std::vector<Peak<3>> detect_peaks_3d(const View3<float>& volume, const Extent3d& extent,
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
  std::vector<Peak<3>> candidates = parallel_gather<Peak<3>>(
      inner0 * inner1,
      [&](std::size_t pair, std::vector<Peak<3>>& out) {
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

}  // namespace quorlin
