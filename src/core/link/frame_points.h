// One frame's points as linking reads them: a compact copy in a fixed order, filed in the shared
// spatial index so that the points near any position are found without a search.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/saturate.h"
#include "common/sort.h"
#include "common/spatial_index.h"
#include "link/link_cost.h"
#include "link/points.h"

namespace quorlin {

/// The neighbourhood cell: floor(v / max_distance) in 32-bit floats, saturated to unsigned 64 bits
/// (negative coordinates and NaN all give 0). A link needs, besides the distance gate, the two
/// points' neighbourhood cells to differ by at most one on every axis (64-bit wrap-around): the
/// candidates of a source are the points of the 3 x 3 (x 3) block of cells of side max_distance
/// around its own. Points within max_distance of each other almost always lie in neighbouring
/// cells; the exception is a pair at very nearly max_distance whose quotients round across two
/// cell borders, which is then not linked. The saturation folds all negative coordinates into
/// cell 0 and vast ones into the last cell, which only adds neighbours. The rule is kept exactly.
inline std::uint64_t neighbourhood_cell(float v, float max_distance) {
  return sat_u64(std::floor(v / max_distance));
}

namespace frame_points_detail {

/// The cells that fix the order of a frame's points are this many gate reaches wide (twice, and a
/// little more). The order decides which of several equally cheap assignments is taken, so it is
/// part of the results and stays as it is.
inline constexpr double kOrderCellInReaches = 2.0 * (1.0 + 0x1p-18);

/// A target within the distance gate of a source differs from it by at most the gate's reach on
/// every axis in float, so by less than the reach widened by 2^-23 exactly; the index's reach is
/// wider still.
inline constexpr double kIndexReachWidening = 1.0 + 0x1p-20;

/// The index numbers its cells by key up to this many cells per point, and through its bitmap up to
/// kBitmapCellsPerPoint: each frame is searched by the points of up to 2 (max_skip + 1) other
/// frames, so a table of a 4-byte start per cell (at most 128 bytes per point), or a bitmap of
/// at most 96 bytes per point, pays for itself against searching the occupied cells.
inline constexpr std::uint64_t kBoxCellsPerPoint = 32;
inline constexpr std::uint64_t kBitmapCellsPerPoint = 512;

/// A table of more cells than this (a megabyte) outgrows the caches and costs more in page faults
/// and misses than the bitmap's counts: large frames keep to it.
inline constexpr std::uint64_t kLargestTableCells = std::uint64_t{1} << 18;

/// Quotients of smaller magnitude have floors that are exact 64-bit integers; larger doubles are
/// all integers.
inline constexpr double kIntegerCells = 0x1p62;

/// A key ordered like ⌊quotient⌋, distinct for distinct floors, for every finite quotient: floors
/// of magnitude below 2^62 as offset integers (so nearby cells differ only in their low bits and
/// sort in few passes), vaster ones (their own floors) by the ordered bit pattern of the double,
/// which lies beyond every offset integer on the same side.
inline std::uint64_t ordered_cell_key(double quotient) {
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  if (std::fabs(quotient) < kIntegerCells)
    return static_cast<std::uint64_t>(floor_to_int64(quotient)) + kSign;
  const auto bits = std::bit_cast<std::uint64_t>(quotient);
  return (bits & kSign) != 0 ? ~bits : bits | kSign;
}

}  // namespace frame_points_detail

/// One frame's points with finite coordinates (a point with a non-finite coordinate can never pass
/// the distance gate), copied and filed in the spatial index. They also have a fixed order: by the
/// floored quotients (x / w, y / w[, z / w]), lexicographic, w being kOrderCellInReaches gate
/// reaches, then by global index. Sources are taken in this order and each source's targets listed
/// in it.
template <std::size_t D>
struct FramePoints {
  struct Entry {
    std::uint64_t point;  ///< global index
    PointND<D> at;        ///< a copy of the point: a cell's points are read from one run of memory
    std::array<std::uint64_t, D> neighbourhood;  ///< neighbourhood_cell of each coordinate
    std::uint32_t place;  ///< its place in the fixed order (in a frame that is searched)
  };
  /// Grouped by index cell: cell c holds entries[cell_start[c] .. cell_start[c + 1]), in the fixed
  /// order. A frame of 2^32 − 1 points or more is never searched: its entries are in the fixed
  /// order, and cell_start is left empty.
  std::vector<Entry> entries;
  std::vector<std::uint32_t> cell_start;
  SpatialIndex<D> index;  ///< over the points, with a reach beyond the gate's
  std::vector<std::size_t> taken;  ///< the entry at each place of the fixed order

  /// The entry at place k of the fixed order.
  const Entry& in_order(std::size_t k) const { return entries[taken[k]]; }

  /// Calls visit(e) for every entry e (a position in `entries`) that may lie within the distance
  /// gate of position p, in no particular order; every entry that does is among them.
  template <class Visit>
  void visit_near(const std::array<float, D>& p, Visit&& visit) const {
    index.any_adjacent_to(p, [&](std::size_t first, std::size_t end) {
      for (std::uint32_t e = cell_start[first], last = cell_start[end]; e < last; ++e) visit(e);
      return false;
    });
  }

  /// How many entries visit_near(p) visits: a bound of the feasible targets of a source at p.
  std::uint64_t count_near(const std::array<float, D>& p) const {
    std::uint64_t count = 0;
    index.any_adjacent_to(p, [&](std::size_t first, std::size_t end) {
      count += cell_start[end] - cell_start[first];
      return false;
    });
    return count;
  }
};

/// Copies, orders and files the points of frame `frame`.
template <std::size_t D>
FramePoints<D> file_frame(const PointStore<D>& store, const DistanceScale& scale,
                          std::size_t frame) {
  using namespace frame_points_detail;
  std::vector<KeyedIndex> order;
  order.reserve(store.frame_begin[frame + 1] - store.frame_begin[frame]);
  for (std::uint64_t p = store.frame_begin[frame]; p < store.frame_begin[frame + 1]; ++p) {
    const auto& pos = store.points[p].position;
    if (std::all_of(pos.begin(), pos.end(), [](float v) { return std::isfinite(v); }))
      order.push_back({0, p});
  }
  // Stable sorts by the last axis's cells, then by the one before, ..., then by the first, from
  // global index order: lexicographic order of the cells, equal cells in global index order.
  const double per_order_side = 1.0 / (scale.axis_reach * kOrderCellInReaches);
  for (std::size_t a = D; a-- > 0;) {
    std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
    for (KeyedIndex& o : order) {
      const double v = store.points[o.index].position[a];
      o.key = ordered_cell_key(v * per_order_side);
      lowest = std::min(lowest, o.key);
    }
    for (KeyedIndex& o : order) o.key -= lowest;  // few differing digits, few radix passes
    radix_sort_by_key(order);
  }

  // Filed in the fixed order, then grouped by cell by a counting sort: cell_start[c] first counts
  // the entries of cells 0 .. c, then each point, last first, is placed just before its cell's
  // end, which leaves cell_start[c] at the cell's start and each cell in the fixed order.
  FramePoints<D> out;
  const std::size_t count = order.size();
  out.index = SpatialIndex<D>(
      count, [&](std::size_t k) { return store.points[order[k].index].position; },
      static_cast<double>(scale.axis_reach) * kIndexReachWidening,
      std::clamp<std::uint64_t>(kLargestTableCells / std::max<std::size_t>(count, 1), 1,
                                kBoxCellsPerPoint),
      kBitmapCellsPerPoint);
  out.taken.resize(count);
  const bool searched = count < std::numeric_limits<std::uint32_t>::max();
  if (searched) {
    auto& start = out.cell_start;
    start.assign(out.index.cell_count() + 1, 0);
    for (std::size_t k = 0; k < count; ++k) ++start[out.index.cell_of(k)];
    std::uint32_t running = 0;
    for (std::uint32_t& s : start) s = running += s;
    for (std::size_t k = count; k-- > 0;) out.taken[k] = --start[out.index.cell_of(k)];
  } else {
    for (std::size_t k = 0; k < count; ++k) out.taken[k] = k;
  }
  out.entries.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    auto& entry = out.entries[out.taken[k]];
    entry.point = order[k].index;
    entry.place = static_cast<std::uint32_t>(k);  // used only where it fits
    entry.at = store.points[entry.point];
    for (std::size_t a = 0; a < D; ++a)
      entry.neighbourhood[a] = neighbourhood_cell(entry.at.position[a], scale.max_distance);
  }
  return out;
}

}  // namespace quorlin
