// A grid index over points in N dimensions, answering which points may lie within a reach of
// each other.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/radix_sort.h"

namespace quorlin {

/// A fixed set of points filed in a grid of cells a little wider than a reach r, so that two
/// points whose coordinates differ by less than r on every axis lie in adjacent cells (cells
/// whose coordinates differ by at most one on every axis). Only occupied cells exist: they are
/// numbered in row-major order, each lists its points and its occupied adjacent cells, so memory
/// grows with the number of points, never with the bounding box.
///
/// The cell coordinate of v on an axis is ⌊(v − lowest) / side⌋, in double. The side is r
/// widened by kWidening, and never less than 2^-kAxisBits of the widest span of the points: the
/// coordinates then fit in kAxisBits bits and a cell's row-major key in 64 bits for any reach,
/// so a tiny reach over a wide span neither saturates the keys nor lumps the points together
/// (a cell of 2^-31 of the span is far finer than the spacing of any pixel grid of positions).
template <std::size_t N>
class SpatialIndex {
 public:
  using Position = std::array<float, N>;
  static constexpr std::size_t kNoCell = std::numeric_limits<std::size_t>::max();

  /// Files the points 0 .. count − 1, point i at position_of(i) (a Position). reach must be
  /// greater than 0; infinity puts every point in one cell. Points with a non-finite coordinate
  /// are not filed.
  template <class PositionOf>
  SpatialIndex(std::size_t count, PositionOf&& position_of, double reach);

  std::size_t cell_count() const { return cell_begin_.size() - 1; }
  /// The cell of a point, or kNoCell for a point that is not filed.
  std::size_t cell_of(std::size_t point) const { return cell_of_[point]; }
  /// The occupied cells adjacent to a cell, the cell itself included.
  std::span<const std::size_t> adjacent_cells(std::size_t cell) const {
    return {adjacent_.data() + adjacent_begin_[cell], adjacent_.data() + adjacent_begin_[cell + 1]};
  }
  /// The points of a cell, ascending.
  std::span<const std::size_t> points_in(std::size_t cell) const {
    return {points_.data() + cell_begin_[cell], points_.data() + cell_begin_[cell + 1]};
  }
  /// The side of the cells (at least the reach).
  double cell_side() const { return side_; }

 private:
  // Coordinates of kAxisBits bits, padded by one cell on either side, give keys below 2^64.
  static constexpr unsigned kAxisBits = 63 / N;
  // Each cell quotient is rounded twice, off by at most 2^(kAxisBits − 52) cells; widening the
  // cells past the reach by more than twice that keeps points closer than the reach at most one
  // cell apart.
  static constexpr double kWidening = 1.0 / (1 << 16);
  static_assert(N >= 2 && kAxisBits <= 31, "the rounding bound above needs kAxisBits <= 31");

  std::uint64_t coordinate(float v, std::size_t axis) const {
    return static_cast<std::uint64_t>(std::floor((static_cast<double>(v) - lowest_[axis]) / side_));
  }

  /// Calls visit(cell, adjacent) for every pair of adjacent occupied cells, given the sorted keys
  /// of the occupied cells. For each offset of the cell on the leading N − 1 axes, the adjacent
  /// cells form one run of keys (the padding keeps the last axis from wrapping into the next
  /// row), and that run moves forward with the cell, so one forward sweep finds them all.
  template <class Visit>
  void for_each_adjacent(const std::vector<std::uint64_t>& keys, Visit&& visit) const {
    std::array<int, N> offset{};
    offset.fill(-1);
    for (;;) {
      std::uint64_t delta = 0;  // wraps, but every key + delta it forms lies in [0, 2^64)
      for (std::size_t a = 0; a + 1 < N; ++a)
        delta += static_cast<std::uint64_t>(static_cast<std::int64_t>(offset[a])) * stride_[a];
      std::size_t run = 0;
      for (std::size_t c = 0; c < keys.size(); ++c) {
        const std::uint64_t first = keys[c] + delta - 1;
        while (run < keys.size() && keys[run] < first) ++run;
        for (std::size_t k = run; k < keys.size() && keys[k] <= first + 2; ++k) visit(c, k);
      }
      std::size_t a = 0;
      while (a + 1 < N && offset[a] == 1) offset[a++] = -1;
      if (a + 1 == N) return;
      ++offset[a];
    }
  }

  std::array<double, N> lowest_{};
  std::array<std::uint64_t, N> stride_{};
  double side_ = 0.0;
  std::vector<std::size_t> cell_of_;
  std::vector<std::size_t> cell_begin_{0};  // cell c holds points_[cell_begin_[c] ..)
  std::vector<std::size_t> points_;
  std::vector<std::size_t> adjacent_begin_{0};  // cell c borders adjacent_[adjacent_begin_[c] ..)
  std::vector<std::size_t> adjacent_;
};

template <std::size_t N>
template <class PositionOf>
SpatialIndex<N>::SpatialIndex(std::size_t count, PositionOf&& position_of, double reach)
    : cell_of_(count, kNoCell) {
  const auto finite = [](const Position& p) {
    for (float v : p)
      if (!std::isfinite(v)) return false;
    return true;
  };
  std::array<double, N> highest{};
  lowest_.fill(INFINITY);
  highest.fill(-INFINITY);
  for (std::size_t i = 0; i < count; ++i) {
    const Position p = position_of(i);
    if (!finite(p)) continue;
    for (std::size_t a = 0; a < N; ++a) {
      lowest_[a] = std::min(lowest_[a], static_cast<double>(p[a]));
      highest[a] = std::max(highest[a], static_cast<double>(p[a]));
    }
  }
  if (!(lowest_[0] <= highest[0])) return;  // no point is filed

  double widest = 0.0;
  for (std::size_t a = 0; a < N; ++a) widest = std::max(widest, highest[a] - lowest_[a]);
  side_ = std::max(reach, std::ldexp(widest, -static_cast<int>(kAxisBits))) * (1.0 + kWidening);
  std::uint64_t stride = 1;
  for (std::size_t a = N; a-- > 0;) {
    stride_[a] = stride;
    stride *= coordinate(static_cast<float>(highest[a]), a) + 3;  // cells plus padding
  }

  std::vector<KeyedIndex> filed;
  filed.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Position p = position_of(i);
    if (!finite(p)) continue;
    std::uint64_t key = 0;
    for (std::size_t a = 0; a < N; ++a) key += (coordinate(p[a], a) + 1) * stride_[a];
    filed.push_back({key, i});
  }
  radix_sort_by_key(filed);

  std::vector<std::uint64_t> keys;
  points_.resize(filed.size());
  for (std::size_t k = 0; k < filed.size(); ++k) {
    if (k == 0 || filed[k].key != keys.back()) {
      if (k != 0) cell_begin_.push_back(k);
      keys.push_back(filed[k].key);
    }
    points_[k] = filed[k].index;
    cell_of_[filed[k].index] = keys.size() - 1;
  }
  cell_begin_.push_back(filed.size());

  adjacent_begin_.assign(keys.size() + 1, 0);
  for_each_adjacent(keys, [&](std::size_t c, std::size_t) { ++adjacent_begin_[c + 1]; });
  for (std::size_t c = 0; c < keys.size(); ++c) adjacent_begin_[c + 1] += adjacent_begin_[c];
  adjacent_.resize(adjacent_begin_.back());
  std::vector<std::size_t> next(adjacent_begin_.begin(), adjacent_begin_.end() - 1);
  for_each_adjacent(keys, [&](std::size_t c, std::size_t k) { adjacent_[next[c]++] = k; });
}

}  // namespace quorlin
