// Peak detection in one 2-D frame.
#include "detect/detection2d.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/extent_axis.h"
#include "common/parallel.h"
#include "common/simd.h"
#include "detect/peaks.h"

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

/// One interior row: pointers to element 0 of the rows above, at and below it.
struct RowScan {
  const float* above;
  const float* here;
  const float* below;
};

/// Calls record(j, v) for each maximum of columns [first, end) of a row, in column order.
template <class Step, class Record>
inline void scan_columns(const RowScan& r, std::uint64_t first, std::uint64_t end, Step step, float threshold,
                         Record&& record) {
  const std::int64_t s = step.value();
  for (std::uint64_t j = first; j < end; ++j) {
    const std::int64_t o = static_cast<std::int64_t>(j) * s;
    const float v = r.here[o];
    if (threshold > v) continue;
    if (is_local_max(r.above, r.here, r.below, o, step, v)) record(j, v);
  }
}

/// Pixels per step of the vector scan: four vectors, so one branch skips a whole dark stretch.
template <class Isa>
constexpr std::uint64_t kStride = 4 * simd::Lanes<Isa>::width;
/// How far ahead (in pixels) the row below is fetched: far enough to cover the memory latency at
/// the scan's speed, near enough to stay in the first-level cache until the 3x3 tests read it.
constexpr std::uint64_t kPrefetchAhead = 512;
/// Floats per 64-byte cache line: each step of the scan fetches the lines it covers.
constexpr std::uint64_t kLineFloats = 16;

// The same scan as scan_columns on a contiguous row, a vector of pixels at a time. The threshold
// compare comes first, and a block in which no pixel reaches the threshold costs one branch;
// otherwise the 3x3 test runs on the whole block at once with the same comparisons: not-greater
// (NaN passes) against the earlier neighbours, less-than (NaN fails) against the later ones.

/// Bit k set when pixel j + k passes the threshold (not threshold > v).
template <class Isa>
inline unsigned passing_lanes(const float* here, std::uint64_t j, float threshold) {
  return simd::Lanes<Isa>::not_greater(threshold, here + j);
}

/// Bit k set when pixel j + k is a maximum of its 3x3 neighbourhood under the tie rule.
template <class Isa>
inline unsigned maxima_lanes(const RowScan& r, std::uint64_t j) {
  using L = simd::Lanes<Isa>;
  const float* v = r.here + j;
  return L::none_greater(v, r.above + j - 1, r.above + j, r.above + j + 1, r.here + j - 1) &
         L::all_less(v, r.here + j + 1, r.below + j - 1, r.below + j, r.below + j + 1);
}

/// Records the maxima among the passing pixels (bits of mask) of the block starting at j.
template <class Isa, class Record>
inline void record_block(const RowScan& r, std::uint64_t j, unsigned mask, Record& record) {
  simd::for_each_bit(mask & maxima_lanes<Isa>(r, j), [&](std::size_t k) { record(j + k, r.here[j + k]); });
}

template <class Isa, class Record>
void scan_contiguous(const RowScan& r, std::uint64_t end, float threshold, Record& record) {
  using L = simd::Lanes<Isa>;
  constexpr std::uint64_t kLanes = L::width;
  constexpr std::uint64_t kStep = kStride<Isa>;
  std::uint64_t j = 1;
  for (; j + kStep <= end; j += kStep) {
    // The row below is read only around candidates, at random: fetch it ahead with the scan so
    // the 3x3 test does not wait on memory. (The next row's scan reads it again from cache.)
    for (std::uint64_t line = 0; line < kStep; line += kLineFloats)
      simd::prefetch(r.below + j + kPrefetchAhead + line);
    const unsigned m0 = passing_lanes<Isa>(r.here, j, threshold);
    const unsigned m1 = passing_lanes<Isa>(r.here, j + kLanes, threshold);
    const unsigned m2 = passing_lanes<Isa>(r.here, j + 2 * kLanes, threshold);
    const unsigned m3 = passing_lanes<Isa>(r.here, j + 3 * kLanes, threshold);
    if ((m0 | m1 | m2 | m3) == 0) continue;
    if (m0) record_block<Isa>(r, j, m0, record);
    if (m1) record_block<Isa>(r, j + kLanes, m1, record);
    if (m2) record_block<Isa>(r, j + 2 * kLanes, m2, record);
    if (m3) record_block<Isa>(r, j + 3 * kLanes, m3, record);
  }
  for (; j + kLanes <= end; j += kLanes)
    if (const unsigned m = passing_lanes<Isa>(r.here, j, threshold)) record_block<Isa>(r, j, m, record);
  scan_columns(r, j, end, UnitStep{}, threshold, record);
}

/// Appends the maxima of interior row i to out, in column order.
template <class Step>
void scan_row(const View2<float>& frame, std::uint64_t i, Step step, float threshold,
              const ExtentAxes<2>& axes, std::vector<Peak<2>>& out) {
  const float* here = frame.data + static_cast<std::int64_t>(i) * frame.strides[0];
  const RowScan rows{here - frame.strides[0], here, here + frame.strides[0]};
  const float row_coordinate = axes.position(0, static_cast<float>(i));
  const auto record = [&](std::uint64_t j, float v) {
    out.push_back({{}, {i, j}, {row_coordinate, axes.position(1, static_cast<float>(j))}, v});
  };
  const std::uint64_t end = frame.shape[1] - 1;
  if constexpr (std::is_same_v<Step, UnitStep>)
    simd::run_widest([&]<class Isa>() { scan_contiguous<Isa>(rows, end, threshold, record); });
  else
    scan_columns(rows, 1, end, step, threshold, record);
}

}  // namespace

std::vector<Peak<2>> detect_peaks_2d(const View2<float>& frame, const Extent2d& extent,
                                           float threshold, float min_distance) {
  const std::uint64_t rows = frame.shape[0];
  const std::uint64_t cols = frame.shape[1];
  if (rows < 3 || cols < 3) return {};

  // Pixel index i maps to float(i) * step + lo on each axis; each step is computed once.
  const ExtentAxes<2> axes(extent, frame.shape);

  // Rows are scanned in parallel; the joined list keeps row order, then column order. A task of
  // kRowsPerTask rows of a large frame is long enough to pay for its scheduling.
  constexpr std::size_t kRowsPerTask = 8;
  const bool contiguous = frame.strides[1] == 1;
  auto candidates = parallel_gather<Peak<2>>(
      rows - 2,
      [&](std::size_t k, std::vector<Peak<2>>& out) {
        const std::uint64_t i = k + 1;
        if (contiguous)
          scan_row(frame, i, UnitStep{}, threshold, axes, out);
        else
          scan_row(frame, i, RuntimeStep{frame.strides[1]}, threshold, axes, out);
      },
      kRowsPerTask);

  sort_brightest_first(candidates);
  return thin_by_distance<2>(candidates, min_distance);
}

std::vector<Peak<2>> detect_edge_peaks_2d(const View2<float>& frame, const Extent2d& extent, float threshold) {
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  std::vector<Peak<2>> out;
  if (rows < 3 || cols < 3) return out;
  const ExtentAxes<2> axes(extent, frame.shape);
  const auto consider = [&](std::int64_t r, std::int64_t c) {
    const float v = frame(r, c);
    if (!(v >= threshold)) return;
    for (std::int64_t dr = -1; dr <= 1; ++dr)
      for (std::int64_t dc = -1; dc <= 1; ++dc) {
        if ((dr == 0 && dc == 0) || r + dr < 0 || r + dr >= rows || c + dc < 0 || c + dc >= cols) continue;
        const float n = frame(r + dr, c + dc);
        // Earlier neighbours in raster order defeat the pixel when greater, later ones on a tie too.
        if (dr < 0 || (dr == 0 && dc < 0) ? n > v : !(n < v)) return;
      }
    const auto i = static_cast<std::uint64_t>(r), j = static_cast<std::uint64_t>(c);
    out.push_back({{}, {i, j}, {axes.position(0, static_cast<float>(i)), axes.position(1, static_cast<float>(j))}, v});
  };
  for_each_on_frame_edge(rows, cols, consider);
  return out;
}

}  // namespace quorlin
