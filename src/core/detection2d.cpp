// Peak detection in one 2-D frame.
#include "detection2d.h"

#include <cstddef>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "parallel.h"
#include "peaks.h"

namespace quorlin {

namespace {

/// Column step of a row: a compile-time 1 for contiguous rows, so the scan compiles to a tight
/// loop over consecutive floats, or the view's runtime stride otherwise.
struct UnitStep {
  static constexpr std::int64_t value() { return 1; }
};
struct RuntimeStep {
  std::int64_t step;
  std::int64_t value() const { return step; }
};

/// The 3x3 maximum test of the pixel at offset o of row `here`, neighbours in the order
/// (-1,-1), (-1,0), (-1,1), (0,-1), (0,1), (1,-1), (1,0), (1,1). Neighbours earlier in raster order
/// (the row above and the left one) defeat the pixel only when strictly greater; later ones (the
/// right one and the row below) also on a tie, so `n < v` must hold. NaN compares false both ways
/// and counts as a tie.
template <class Step>
inline bool is_local_max(const float* above, const float* here, const float* below, std::int64_t o,
                         Step step, float v) {
  const std::int64_t s = step.value();
  if (above[o - s] > v || above[o] > v || above[o + s] > v || here[o - s] > v) return false;
  return here[o + s] < v && below[o - s] < v && below[o] < v && below[o + s] < v;
}

/// First index in [j, end) of a contiguous row whose value passes the threshold (that is, not
/// threshold > value: NaN passes), or end. Most pixels of a frame lie below the threshold, so the
/// scan compares whole vectors and stops only where some lane passes.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) std::uint64_t next_passing_avx2(const float* row, std::uint64_t j,
                                                               std::uint64_t end, float threshold) {
  const __m256 t = _mm256_set1_ps(threshold);
  for (; j + 32 <= end; j += 32) {
    const __m256 b0 = _mm256_cmp_ps(t, _mm256_loadu_ps(row + j), _CMP_GT_OQ);
    const __m256 b1 = _mm256_cmp_ps(t, _mm256_loadu_ps(row + j + 8), _CMP_GT_OQ);
    const __m256 b2 = _mm256_cmp_ps(t, _mm256_loadu_ps(row + j + 16), _CMP_GT_OQ);
    const __m256 b3 = _mm256_cmp_ps(t, _mm256_loadu_ps(row + j + 24), _CMP_GT_OQ);
    if (_mm256_movemask_ps(_mm256_and_ps(_mm256_and_ps(b0, b1), _mm256_and_ps(b2, b3))) != 0xFF) break;
  }
  for (; j + 8 <= end; j += 8) {
    const int below = _mm256_movemask_ps(_mm256_cmp_ps(t, _mm256_loadu_ps(row + j), _CMP_GT_OQ));
    if (below != 0xFF) return j + static_cast<std::uint64_t>(__builtin_ctz(~below & 0xFF));
  }
  while (j < end && threshold > row[j]) ++j;
  return j;
}

std::uint64_t next_passing_sse2(const float* row, std::uint64_t j, std::uint64_t end, float threshold) {
  const __m128 t = _mm_set1_ps(threshold);
  for (; j + 4 <= end; j += 4) {
    const int below = _mm_movemask_ps(_mm_cmpgt_ps(t, _mm_loadu_ps(row + j)));
    if (below != 0xF) return j + static_cast<std::uint64_t>(__builtin_ctz(~below & 0xF));
  }
  while (j < end && threshold > row[j]) ++j;
  return j;
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");

std::uint64_t next_passing(const float* row, std::uint64_t j, std::uint64_t end, float threshold) {
  return kHasAvx2 ? next_passing_avx2(row, j, end, threshold) : next_passing_sse2(row, j, end, threshold);
}
#else
std::uint64_t next_passing(const float* row, std::uint64_t j, std::uint64_t end, float threshold) {
  while (j < end && threshold > row[j]) ++j;
  return j;
}
#endif

/// Appends the maxima of interior row i to out, in column order.
template <class Step>
void scan_row(const View2<float>& frame, std::uint64_t i, Step step, float threshold,
              const std::array<float, 4>& to_physical, std::vector<PeakCandidate>& out) {
  const std::int64_t s = step.value();
  const float* here = frame.data + static_cast<std::int64_t>(i) * frame.strides[0];
  const float* above = here - frame.strides[0];
  const float* below = here + frame.strides[0];
  const float row_coordinate = static_cast<float>(i) * to_physical[0] + to_physical[1];
  const auto record = [&](std::uint64_t j, float v) {
    out.push_back({i, j, {row_coordinate, static_cast<float>(j) * to_physical[2] + to_physical[3]}, v});
  };

  const std::uint64_t end = frame.shape[1] - 1;
  if constexpr (std::is_same_v<Step, UnitStep>) {
    for (std::uint64_t j = next_passing(here, 1, end, threshold); j < end;
         j = next_passing(here, j + 1, end, threshold)) {
      const auto o = static_cast<std::int64_t>(j);
      if (is_local_max(above, here, below, o, step, here[o])) record(j, here[o]);
    }
  } else {
    for (std::uint64_t j = 1; j < end; ++j) {
      const std::int64_t o = static_cast<std::int64_t>(j) * s;
      const float v = here[o];
      if (threshold > v) continue;
      if (is_local_max(above, here, below, o, step, v)) record(j, v);
    }
  }
}

}  // namespace

std::vector<PeakCandidate> detect_peaks_2d(const View2<float>& frame, const Extent2d& extent,
                                           float threshold, float min_distance) {
  const std::uint64_t rows = frame.shape[0];
  const std::uint64_t cols = frame.shape[1];
  if (rows < 3 || cols < 3) return {};

  // Pixel index i maps to float(i) * scale + first on each axis; each scale is computed once.
  const float scale0 = (extent[1] - extent[0]) / (static_cast<float>(rows) - 1.0f);
  const float scale1 = (extent[3] - extent[2]) / (static_cast<float>(cols) - 1.0f);
  const std::array<float, 4> to_physical{scale0, extent[0], scale1, extent[2]};

  // Rows are scanned in parallel; the joined list keeps row order, then column order.
  const bool contiguous = frame.strides[1] == 1;
  auto candidates = parallel_gather<PeakCandidate>(
      rows - 2,
      [&](std::size_t k, std::vector<PeakCandidate>& out) {
        const std::uint64_t i = k + 1;
        if (contiguous)
          scan_row(frame, i, UnitStep{}, threshold, to_physical, out);
        else
          scan_row(frame, i, RuntimeStep{frame.strides[1]}, threshold, to_physical, out);
      },
      8);

  sort_brightest_first(candidates);
  return thin_by_distance<2>(candidates, min_distance);
}

PeakArrays2d peak_arrays_2d(const std::vector<PeakCandidate>& peaks) {
  const std::uint64_t n = peaks.size();
  std::vector<float> positions;
  std::vector<float> intensities;
  positions.reserve(2 * n);
  intensities.reserve(n);
  for (const PeakCandidate& p : peaks) {
    positions.push_back(p.position[0]);
    positions.push_back(p.position[1]);
    intensities.push_back(p.intensity);
  }
  return {ResultArray<float>(std::move(positions), {n, 2}), ResultArray<float>(std::move(intensities), {n})};
}

}  // namespace quorlin
