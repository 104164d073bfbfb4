// A grid index over points in N dimensions, answering which points may lie within a reach of
// each other.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/sort.h"

namespace quorlin {

/// ⌊q⌋ for |q| < 2^62 (where every floor is an exact 64-bit integer), by truncation and a
/// correction: far cheaper than the library floor on hot paths, and exact.
inline std::int64_t floor_to_int64(double q) {
  const auto truncated = static_cast<std::int64_t>(q);
  return truncated - (static_cast<double>(truncated) > q ? 1 : 0);
}

/// A fixed set of points filed in a grid of cells a little wider than a reach r, so that two
/// points whose coordinates differ by less than r on every axis lie in adjacent cells (cells
/// whose coordinates differ by at most one on every axis).
///
/// The cell coordinate of v on an axis is ⌊(v − lowest) · (1 / side)⌋, in double. The side is r
/// widened by kWidening, and never less than 2^-kAxisBits of the widest span of the points: the
/// coordinates then fit in kAxisBits bits and a cell's row-major key (over the bounding box
/// padded by one cell on every side) in 64 bits for any reach, so a tiny reach over a wide span
/// neither saturates the keys nor lumps the points together (a cell of 2^-31 of the span in 2-D,
/// 2^-21 in 3-D, is finer than the pixel spacing of any frame or volume with fewer pixels than
/// that along an axis).
///
/// Cells are numbered by their key while the padded box has few cells per point; otherwise only
/// the occupied cells are numbered, in key order: found through a bitmap of the box's cells while
/// the box has not too many cells per point (where the caller allows it), else by a radix sort,
/// each cell then keeping its occupied adjacent cells, so memory grows with the number of points,
/// never with the box.
///
/// Besides the filed points' own cells, the index answers which cells are adjacent to any other
/// position (a point of a second set), with the same guarantee.
template <std::size_t N>
class SpatialIndex {
 public:
  using Position = std::array<float, N>;
  static constexpr std::size_t kNoCell = std::numeric_limits<std::size_t>::max();
  // Up to this many cells per point, a table over the whole padded box (one entry per cell for
  // the caller) costs less than sorting the points into their occupied cells.
  static constexpr std::uint64_t kBoxCellsPerPoint = 8;

  /// An index of no points.
  SpatialIndex() = default;
  /// Files the points 0 .. count − 1, point i at position_of(i) (a Position). reach must be
  /// greater than 0; infinity puts every point in one cell. Points with a non-finite coordinate
  /// are not filed. Cells are numbered by key while the padded box holds at most
  /// box_cells_per_point cells per filed point, else through a bitmap while it holds at most
  /// bitmap_cells_per_point (0: never), else by sorting: a caller that asks many positions allows
  /// the bitmap, an eighth of a byte per cell, which answers a position without a search.
  template <class PositionOf>
  SpatialIndex(std::size_t count, PositionOf&& position_of, double reach,
               std::uint64_t box_cells_per_point = kBoxCellsPerPoint,
               std::uint64_t bitmap_cells_per_point = 0);

  /// Cells are numbered 0 .. cell_count() − 1; some may hold no point.
  std::size_t cell_count() const { return cell_count_; }
  /// The cell of a point, or kNoCell for a point that is not filed.
  std::size_t cell_of(std::size_t point) const { return cell_of_[point]; }
  /// Calls visit(adjacent) for the cells adjacent to a cell (every occupied one, the cell itself
  /// included, and possibly some empty ones) until visit returns true; returns whether it did.
  template <class Visit>
  bool any_adjacent(std::size_t cell, Visit&& visit) const {
    if (numbering_ == Numbering::by_key) {  // the adjacent keys are key + delta_[o] + (-1..1)
      for (std::uint64_t d : delta_)
        for (std::size_t c = cell + d - 1, end = c + 3; c != end; ++c)
          if (visit(c)) return true;
      return false;
    }
    if (numbering_ == Numbering::by_bitmap)
      return adjacent_runs(keys_[cell], false, [&](std::size_t first, std::size_t end) {
        for (std::size_t c = first; c < end; ++c)
          if (visit(c)) return true;
        return false;
      });
    for (std::size_t r = run_begin_[cell]; r < run_begin_[cell + 1]; ++r)
      for (std::size_t c = runs_[r] >> 2, end = c + (runs_[r] & 3); c < end; ++c)
        if (visit(c)) return true;
    return false;
  }
  /// Calls visit(first, end) for runs of consecutive cells [first, end), at most one per offset on
  /// the leading axes, adjacent to position p, which need not be filed: every occupied cell
  /// holding a point that differs from p by less than the reach on every axis, and possibly some
  /// other cells, occupied or empty; until visit returns true, and returns whether it did. A
  /// position with a non-finite coordinate has no adjacent cells.
  template <class Visit>
  bool any_adjacent_to(const Position& p, Visit&& visit) const;
  /// The side of the cells (at least the reach).
  double cell_side() const { return side_; }

 private:
  // Coordinates of kAxisBits bits, padded by one cell on either side, give keys below 2^64.
  static constexpr unsigned kAxisBits = 63 / N;
  // Each cell quotient carries three roundings (difference, reciprocal, product), so it is off by
  // less than 2^(kAxisBits − 51) cells; widening the cells past the reach by more than twice that
  // keeps points closer than the reach at most one cell apart.
  static constexpr double kWidening = 1.0 / (1 << 16);
  static_assert(N >= 2 && kAxisBits <= 31, "the rounding bound above needs kAxisBits <= 31");
  // Offsets of an adjacent cell on the leading N − 1 axes, each −1, 0 or 1.
  static constexpr std::size_t kRuns = [] {
    std::size_t runs = 1;
    for (std::size_t a = 0; a + 1 < N; ++a) runs *= 3;
    return runs;
  }();

  // Bits of one word of the bitmap.
  static constexpr unsigned kWordBits = 64;

  /// ⌊(v − lowest) / side⌋; the quotient is never negative, so truncation floors it.
  std::uint64_t coordinate(float v, std::size_t axis) const {
    return static_cast<std::uint64_t>((static_cast<double>(v) - lowest_[axis]) * per_side_);
  }

  /// Whether every coordinate of p is finite: only such points are filed.
  static bool finite(const Position& p) {
    for (float v : p)
      if (!std::isfinite(v)) return false;
    return true;
  }
  /// The row-major key of p's cell in the padded box.
  std::uint64_t key_of(const Position& p) const {
    std::uint64_t key = 0;
    for (std::size_t a = 0; a < N; ++a) key += (coordinate(p[a], a) + 1) * stride_[a];
    return key;
  }

  // The steps of the constructor.
  /// Sets lowest_ and highest to the bounds of the filed points; returns how many there are.
  template <class PositionOf>
  std::size_t bound(std::size_t count, PositionOf& position_of, Position& highest);
  /// The cell side, the padded box and its strides, and the key steps to adjacent cells.
  void lay_out(double reach, const Position& highest);
  /// Cells numbered by their key.
  template <class PositionOf>
  void number_by_key(std::size_t count, PositionOf& position_of);
  /// Occupied cells numbered in key order through a bitmap of the box.
  template <class PositionOf>
  void number_by_bitmap(std::size_t count, PositionOf& position_of);
  /// Occupied cells numbered in key order by sorting the points' keys.
  template <class PositionOf>
  void number_by_sorted_keys(std::size_t count, PositionOf& position_of, std::size_t filed_count);
  /// For numbering by sorted keys: each cell's adjacent occupied cells as runs.
  void find_adjacent_runs();

  /// The number of occupied cells with a key below `key` (at most box_), by the bitmap.
  std::size_t rank(std::uint64_t key) const {
    const std::uint64_t word = occupied_[key / kWordBits];
    return word_rank_[key / kWordBits] +
           static_cast<std::size_t>(std::popcount(word & ((std::uint64_t{1} << key % kWordBits) - 1)));
  }

  /// Calls visit(first, end) for runs of consecutive cells adjacent to the cell with padded key
  /// `key`, one per offset on the leading axes, until visit returns true; returns whether it did.
  /// clip: whether the key's coordinates may lie in the padding.
  template <class Visit>
  bool adjacent_runs(std::uint64_t key, bool clip, Visit&& visit) const;

  enum class Numbering { by_key, by_bitmap, by_sorted_keys };
  Numbering numbering_ = Numbering::by_key;
  std::array<double, N> lowest_{};
  std::uint64_t box_ = 0;  // cells of the padded box
  std::array<std::uint64_t, N> top_{};     // the highest cell coordinate of a filed point, per axis
  std::array<std::uint64_t, N> stride_{};  // key difference of one cell along each axis
  double side_ = 0.0;
  double per_side_ = 0.0;  // 1 / side_
  // Key differences of the adjacent cells at each offset o on the leading axes: the adjacent keys
  // at offset o are key + delta_[o] − 1 .. key + delta_[o] + 1 (the padding
  // keeps the last axis from wrapping into the next row). They wrap, but every key + delta_[o]
  // formed lies in [0, 2^64).
  std::array<std::uint64_t, kRuns> delta_{};
  std::size_t cell_count_ = 0;
  std::vector<std::size_t> cell_of_;
  // Numbered by occupied cell only: keys_, the keys of the occupied cells, ascending. By sorted
  // keys, the adjacent cells of cell c as runs of consecutive cells, at most one run per offset on
  // the leading axes, runs_[run_begin_[c] ..), each the run's first cell << 2 | its length (1 to
  // 3). By bitmap, bit k of occupied_ tells whether key k is occupied, and word_rank_[w] counts
  // the occupied keys below word w.
  std::vector<std::uint64_t> keys_;
  std::vector<std::size_t> run_begin_;
  std::vector<std::uint64_t> runs_;
  std::vector<std::uint64_t> occupied_;
  std::vector<std::uint32_t> word_rank_;
};

template <std::size_t N>
template <class PositionOf>
SpatialIndex<N>::SpatialIndex(std::size_t count, PositionOf&& position_of, double reach,
                              std::uint64_t box_cells_per_point,
                              std::uint64_t bitmap_cells_per_point)
    : cell_of_(count, kNoCell) {
  Position highest{};
  const std::size_t filed_count = bound(count, position_of, highest);
  if (filed_count == 0) return;
  lay_out(reach, highest);
  if (box_ / box_cells_per_point <= filed_count) {
    number_by_key(count, position_of);
  } else if (bitmap_cells_per_point != 0 && box_ / bitmap_cells_per_point <= filed_count &&
             filed_count < std::numeric_limits<std::uint32_t>::max()) {
    number_by_bitmap(count, position_of);
  } else {
    number_by_sorted_keys(count, position_of, filed_count);
    find_adjacent_runs();
  }
}

template <std::size_t N>
template <class PositionOf>
std::size_t SpatialIndex<N>::bound(std::size_t count, PositionOf& position_of, Position& highest) {
  std::array<double, N> high{};
  lowest_.fill(INFINITY);
  high.fill(-INFINITY);
  std::size_t filed_count = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Position p = position_of(i);
    if (!finite(p)) continue;
    ++filed_count;
    for (std::size_t a = 0; a < N; ++a) {
      lowest_[a] = std::min(lowest_[a], static_cast<double>(p[a]));
      high[a] = std::max(high[a], static_cast<double>(p[a]));
    }
  }
  for (std::size_t a = 0; a < N; ++a) highest[a] = static_cast<float>(high[a]);
  return filed_count;
}

template <std::size_t N>
void SpatialIndex<N>::lay_out(double reach, const Position& highest) {
  double widest = 0.0;
  for (std::size_t a = 0; a < N; ++a)
    widest = std::max(widest, static_cast<double>(highest[a]) - lowest_[a]);
  side_ = std::max(reach, std::ldexp(widest, -static_cast<int>(kAxisBits))) * (1.0 + kWidening);
  per_side_ = 1.0 / side_;
  std::uint64_t box = 1;
  for (std::size_t a = N; a-- > 0;) {
    stride_[a] = box;
    top_[a] = coordinate(highest[a], a);
    box *= top_[a] + 3;  // cells plus padding
  }
  box_ = box;
  for (std::size_t o = 0; o < kRuns; ++o)
    for (std::size_t a = 0, rest = o; a + 1 < N; ++a, rest /= 3)
      delta_[o] += (rest % 3 - std::uint64_t{1}) * stride_[N - 2 - a];
}

template <std::size_t N>
template <class PositionOf>
void SpatialIndex<N>::number_by_key(std::size_t count, PositionOf& position_of) {
  cell_count_ = box_;
  for (std::size_t i = 0; i < count; ++i) {
    const Position p = position_of(i);
    if (finite(p)) cell_of_[i] = key_of(p);
  }
}

template <std::size_t N>
template <class PositionOf>
void SpatialIndex<N>::number_by_bitmap(std::size_t count, PositionOf& position_of) {
  numbering_ = Numbering::by_bitmap;
  occupied_.assign(box_ / kWordBits + 1, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const Position p = position_of(i);
    if (!finite(p)) continue;
    cell_of_[i] = key_of(p);
    occupied_[cell_of_[i] / kWordBits] |= std::uint64_t{1} << cell_of_[i] % kWordBits;
  }
  word_rank_.resize(occupied_.size());
  std::uint32_t running = 0;
  for (std::size_t w = 0; w < occupied_.size(); ++w) {
    word_rank_[w] = running;
    running += static_cast<std::uint32_t>(std::popcount(occupied_[w]));
    for (std::uint64_t bits = occupied_[w]; bits != 0; bits &= bits - 1)
      keys_.push_back(w * kWordBits + static_cast<unsigned>(std::countr_zero(bits)));
  }
  cell_count_ = running;
  for (std::size_t& cell : cell_of_)
    if (cell != kNoCell) cell = rank(cell);
}

template <std::size_t N>
template <class PositionOf>
void SpatialIndex<N>::number_by_sorted_keys(std::size_t count, PositionOf& position_of,
                                            std::size_t filed_count) {
  numbering_ = Numbering::by_sorted_keys;
  std::vector<KeyedIndex> filed;
  filed.reserve(filed_count);
  for (std::size_t i = 0; i < count; ++i) {
    const Position p = position_of(i);
    if (finite(p)) filed.push_back({key_of(p), i});
  }
  radix_sort_by_key(filed);
  keys_.reserve(filed.size());
  for (const KeyedIndex& f : filed) {
    if (keys_.empty() || f.key != keys_.back()) keys_.push_back(f.key);
    cell_of_[f.index] = keys_.size() - 1;
  }
  cell_count_ = keys_.size();
}

template <std::size_t N>
void SpatialIndex<N>::find_adjacent_runs() {
  // The window of adjacent keys at each offset moves forward with the cell, so one forward sweep
  // with a cursor per offset finds every run.
  const std::vector<std::uint64_t>& keys = keys_;
  std::array<std::size_t, kRuns> cursor{};
  run_begin_.reserve(keys.size() + 1);
  runs_.reserve(keys.size());
  run_begin_.push_back(0);
  for (std::size_t c = 0; c < keys.size(); ++c) {
    for (std::size_t o = 0; o < kRuns; ++o) {
      const std::uint64_t first = keys[c] + delta_[o] - 1;
      std::size_t k = cursor[o];
      while (k < keys.size() && keys[k] < first) ++k;
      cursor[o] = k;
      std::uint64_t length = 0;
      while (length < 3 && k + length < keys.size() && keys[k + length] <= first + 2) ++length;
      if (length != 0) runs_.push_back(static_cast<std::uint64_t>(k) << 2 | length);
    }
    run_begin_.push_back(runs_.size());
  }
}

template <std::size_t N>
template <class Visit>
bool SpatialIndex<N>::any_adjacent_to(const Position& p, Visit&& visit) const {
  if (cell_count_ == 0) return false;
  // p's padded cell coordinates. p is adjacent to a filed cell (padded coordinates 1 .. top + 1)
  // only if ⌊q⌋ lies in −1 .. top + 1 on every axis (NaN fails); the quotients then stay below
  // 2^kAxisBits + 2 cells, where the rounding bound of the filed points holds as well.
  std::uint64_t key = 0;
  bool clip = false;  // whether p's padded coordinates lie in the padding on some axis
  for (std::size_t a = 0; a < N; ++a) {
    const double q = (static_cast<double>(p[a]) - lowest_[a]) * per_side_;
    if (!(q >= -1.0 && q < static_cast<double>(top_[a]) + 2.0)) return false;
    const std::int64_t floored = floor_to_int64(q);
    clip = clip || floored < 0 || floored > static_cast<std::int64_t>(top_[a]);
    key += static_cast<std::uint64_t>(floored + 1) * stride_[a];
  }
  return adjacent_runs(key, clip, visit);
}

template <std::size_t N>
template <class Visit>
bool SpatialIndex<N>::adjacent_runs(std::uint64_t key, bool clip, Visit&& visit) const {
  // The adjacent keys are key + delta_[o] + (-1..1). Where a padded coordinate is 0 or top + 2, a
  // step past the padding wraps into a padding cell of the next or previous row, which holds no
  // point, or leaves the box (below key 0 or past the last): there the runs are clipped to the
  // box.
  for (std::uint64_t d : delta_) {
    std::uint64_t first = key + d - 1, end = first + 3;
    if (numbering_ == Numbering::by_sorted_keys) {  // the occupied keys among them, consecutive
      const auto found = std::lower_bound(keys_.begin(), keys_.end(), first);
      const auto past = std::upper_bound(
          found, found + std::min<std::ptrdiff_t>(3, keys_.end() - found), first + 2);
      first = static_cast<std::uint64_t>(found - keys_.begin());
      end = static_cast<std::uint64_t>(past - keys_.begin());
    } else {
      if (clip) {
        while (first != end && first >= box_) ++first;
        while (end != first && end - 1 >= box_) --end;
      }
      if (first != end && numbering_ == Numbering::by_bitmap) {
        first = rank(first);
        end = rank(end);
      }
    }
    if (first != end && visit(static_cast<std::size_t>(first), static_cast<std::size_t>(end)))
      return true;
  }
  return false;
}

}  // namespace quorlin
