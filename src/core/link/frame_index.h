// The search index of one frame: its points sorted by a grid of cells, and a cursor that finds the
// points of a frame lying in the box of cells around a source.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "common/saturate.h"
#include "link/link_cost.h"
#include "link/points.h"

namespace quorlin::link_index {

/// Index cells are clamped to +-2^62, so the span of two cells (and one more) never overflows.
inline constexpr std::int64_t kCellLimit = std::int64_t{1} << 62;

/// Cells are twice as wide as the reach of the distance gate, so the box around a source spans at
/// most two cells per axis; the factor 1 + 2^-18 keeps the box's rounded bounds inside that.
inline constexpr double kCellWidthInReaches = 2.0 * (1.0 + 0x1p-18);

/// Relative and absolute margins added to a search box's reach: they cover the rounding of the
/// double arithmetic of its bounds (relative error 2^-52 per step, far below either margin).
inline constexpr double kBoxRelativeMargin = 0x1p-20;
inline constexpr double kBoxAbsoluteMargin = 0x1p-50;

/// A cell table is kept while the entries' bounding box holds at most this many cells per entry
/// (plus kTableSlackCells): beyond that its memory would outgrow the entries themselves.
inline constexpr double kTableCellsPerEntry = 4.0;
inline constexpr double kTableSlackCells = 4096.0;

/// Boxes spanning fewer than this many cells per axis are walked row by row; wider ones (only for
/// coordinates vast against max_distance) are searched axis by axis.
inline constexpr std::uint64_t kSmallBoxSpan = 4;

/// Cell of the search index along one axis: floor(v * (1 / side)) in double, clamped to +-2^62.
/// Keeps its sign, so negative coordinates spread over cells like positive ones; monotone in v.
inline std::int64_t index_cell(double v, double inverse_side) {
  const double q = v * inverse_side;
  if (!(q > -static_cast<double>(kCellLimit))) return -kCellLimit;
  if (q >= static_cast<double>(kCellLimit)) return kCellLimit;
  // Floor by truncation and a correction: far cheaper than the library floor on this hot path.
  const auto truncated = static_cast<std::int64_t>(q);
  return truncated - (static_cast<double>(truncated) > q ? 1 : 0);
}

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

template <std::size_t D>
using Cell = std::array<std::int64_t, D>;

/// Lexicographic order of cells.
template <std::size_t D>
bool cell_less(const Cell<D>& a, const Cell<D>& b) {
  for (std::size_t k = 0; k < D; ++k)
    if (a[k] != b[k]) return a[k] < b[k];
  return false;
}

/// Smallest and largest cell per axis over items with a `cell` member; items must not be empty.
template <class Items>
auto cell_bounds(const Items& items) {
  auto lo = items[0].cell, hi = items[0].cell;
  for (const auto& item : items)
    for (std::size_t a = 0; a < lo.size(); ++a) {
      lo[a] = std::min(lo[a], item.cell[a]);
      hi[a] = std::max(hi[a], item.cell[a]);
    }
  return std::pair(lo, hi);
}

/// Steps `row` (a cell whose last axis is ignored) to the next row of the box [lo, hi] in
/// row-major order, like an odometer over the axes before the last; false after the last row.
template <std::size_t D>
bool next_row(Cell<D>& row, const Cell<D>& lo, const Cell<D>& hi) {
  for (std::size_t a = D - 1; a-- > 0;) {
    if (row[a] < hi[a]) {
      ++row[a];
      return true;
    }
    row[a] = lo[a];
  }
  return false;
}

/// Where a point (with finite coordinates) searches as a source: the box of index cells that holds
/// every point within the reach of the distance gate.
template <std::size_t D>
struct SearchBox {
  Cell<D> lo, hi;
};

/// One frame's points with finite coordinates (a point with a non-finite coordinate can never pass
/// the distance gate), sorted by index cell (lexicographic), then by global index.
template <std::size_t D>
struct FrameIndex {
  struct Entry {
    Cell<D> cell;
    std::uint64_t point;
    PointND<D> at;  ///< a copy of the point, so a cell's points are read from one run of memory
    std::array<std::uint64_t, D> neighbourhood;  ///< neighbourhood_cell of each coordinate
  };
  std::vector<Entry> entries;
  std::vector<SearchBox<D>> boxes;  ///< where each entry searches as a source (same order)
  /// Where the cells are few against the entries (the usual case): for each cell of the entries'
  /// bounding box [table_lo, table_hi], numbered row-major, the first entry at or after it, so a
  /// row of cells is one run of entries found without a search. Empty otherwise.
  std::vector<std::uint32_t> cell_start;
  Cell<D> table_lo{}, table_hi{};
};

/// Row-major number of a cell inside the table's bounding box.
template <std::size_t D>
std::size_t cell_table_id(const FrameIndex<D>& index, const Cell<D>& cell) {
  std::size_t id = 0;
  for (std::size_t a = 0; a < D; ++a)
    id = id * static_cast<std::size_t>(index.table_hi[a] - index.table_lo[a] + 1) +
         static_cast<std::size_t>(cell[a] - index.table_lo[a]);
  return id;
}

/// Builds the dense cell table of an index whose entries are sorted by cell (row-major), when its
/// bounding box holds at most a few cells per entry.
template <std::size_t D>
void build_cell_table(FrameIndex<D>& index) {
  const auto& entries = index.entries;
  if (entries.empty() || entries.size() >= std::numeric_limits<std::uint32_t>::max()) return;
  const auto [lo, hi] = cell_bounds(entries);
  const double budget = kTableCellsPerEntry * static_cast<double>(entries.size()) + kTableSlackCells;
  double cells = 1.0;
  for (std::size_t a = 0; a < D; ++a)
    cells *= static_cast<double>(hi[a]) - static_cast<double>(lo[a]) + 1.0;
  if (!(cells <= budget)) return;
  index.table_lo = lo;
  index.table_hi = hi;
  index.cell_start.assign(static_cast<std::size_t>(cells) + 1, 0);
  std::size_t next_id = 0;
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const std::size_t id = cell_table_id(index, entries[e].cell);
    while (next_id <= id) index.cell_start[next_id++] = static_cast<std::uint32_t>(e);
  }
  while (next_id < index.cell_start.size())
    index.cell_start[next_id++] = static_cast<std::uint32_t>(entries.size());
}

template <std::size_t D>
SearchBox<D> search_box(const PointND<D>& point, const DistanceScale& scale, double inverse_side) {
  SearchBox<D> box{};
  // A point passes the distance gate only if |fl(x_i - x_j)| <= axis_reach on every axis, so its
  // exact offset is within axis_reach * (1 + 2^-24). The box adds a margin for the double
  // arithmetic of its bounds; the exact tests of the frame pair decide.
  for (std::size_t a = 0; a < D; ++a) {
    const double x = point.position[a];
    const double reach = scale.axis_reach * (1.0 + kBoxRelativeMargin) +
                         (std::fabs(x) + scale.axis_reach) * kBoxAbsoluteMargin;
    box.lo[a] = index_cell(x - reach, inverse_side);
    box.hi[a] = index_cell(x + reach, inverse_side);
  }
  return box;
}

/// Sorts keys (cell, point), given in ascending point order, by cell then point: the cells are
/// numbered row-major within their bounding box and the numbers sorted by a stable byte-wise
/// radix sort, which keeps equal cells in point order. Returns false, leaving keys untouched, when
/// the box holds 2^64 cells or more (only for coordinates vast against max_distance).
template <class Key>
bool radix_sort_by_cell(std::vector<Key>& keys) {
  if (keys.empty()) return true;
  if (keys.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  constexpr std::size_t D = std::tuple_size_v<decltype(Key::cell)>;
  const auto [lo, hi] = cell_bounds(keys);
  // Row-major numbering: axis 0 most significant. The largest number is the product of the spans
  // minus one, which must fit in 64 bits.
  std::array<std::uint64_t, D> span{};
  unsigned __int128 cells = 1;
  for (std::size_t a = 0; a < D; ++a) {
    span[a] = static_cast<std::uint64_t>(hi[a]) - static_cast<std::uint64_t>(lo[a]) + 1;
    cells *= span[a];
    if (span[a] == 0 || cells > std::numeric_limits<std::uint64_t>::max()) return false;
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> order(keys.size()), scratch(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::uint64_t number = 0;
    for (std::size_t a = 0; a < D; ++a)
      number = number * span[a] +
               (static_cast<std::uint64_t>(keys[i].cell[a]) - static_cast<std::uint64_t>(lo[a]));
    order[i] = {number, static_cast<std::uint32_t>(i)};
  }
  const std::uint64_t largest = static_cast<std::uint64_t>(cells - 1);
  constexpr unsigned kDigitBits = 8;  // one byte per pass: a 256-entry count fits in L1
  for (unsigned shift = 0; shift < 64 && (largest >> shift) != 0; shift += kDigitBits) {
    std::array<std::size_t, 257> count{};
    for (const auto& o : order) ++count[((o.first >> shift) & 0xFF) + 1];
    for (std::size_t d = 0; d < 256; ++d) count[d + 1] += count[d];
    for (const auto& o : order) scratch[count[(o.first >> shift) & 0xFF]++] = o;
    order.swap(scratch);
  }
  std::vector<Key> sorted(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) sorted[i] = keys[order[i].second];
  keys.swap(sorted);
  return true;
}

/// The index of frame `frame`, with cells of 1 / inverse_side per axis.
template <std::size_t D>
FrameIndex<D> build_index(const PointStore<D>& store, const DistanceScale& scale, std::size_t frame,
                          double inverse_side) {
  using Entry = typename FrameIndex<D>::Entry;
  FrameIndex<D> index;
  const std::uint64_t first = store.frame_begin[frame], last = store.frame_begin[frame + 1];
  // Sorting small (cell, point) keys first moves far less memory than sorting whole entries.
  struct Key {
    Cell<D> cell;
    std::uint64_t point;
  };
  std::vector<Key> keys;
  keys.reserve(last - first);
  for (std::uint64_t p = first; p < last; ++p) {
    const auto& pos = store.points[p].position;
    if (!std::all_of(pos.begin(), pos.end(), [](float v) { return std::isfinite(v); })) continue;
    Key k{};
    for (std::size_t a = 0; a < D; ++a) k.cell[a] = index_cell(pos[a], inverse_side);
    k.point = p;
    keys.push_back(k);
  }
  if (!radix_sort_by_cell(keys)) {
    std::sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
      if (x.cell != y.cell) return cell_less<D>(x.cell, y.cell);
      return x.point < y.point;
    });
  }
  index.entries.resize(keys.size());
  index.boxes.resize(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto& point = store.points[keys[i].point];
    Entry& e = index.entries[i];
    e.cell = keys[i].cell;
    e.point = keys[i].point;
    e.at = point;
    for (std::size_t a = 0; a < D; ++a)
      e.neighbourhood[a] = neighbourhood_cell(point.position[a], scale.max_distance);
    index.boxes[i] = search_box(point, scale, inverse_side);
  }
  build_cell_table(index);
  return index;
}

/// Calls run(first, last) for every run [first, last) of entries (indices into `entries`) whose
/// cell lies within [lo, hi] on every axis from A on; entries [first, last) share their cells on
/// the axes before A. Used for boxes of many cells, which only arise for coordinates vast against
/// max_distance.
template <std::size_t A, std::size_t D, class Entry, class Run>
void box_runs(const std::vector<Entry>& entries, std::size_t first, std::size_t last,
              const Cell<D>& lo, const Cell<D>& hi, Run& run) {
  const Entry* base = entries.data();
  const Entry* it = std::lower_bound(base + first, base + last, lo[A],
                                     [](const Entry& e, std::int64_t c) { return e.cell[A] < c; });
  if constexpr (A + 1 == D) {
    const Entry* end = std::upper_bound(
        it, base + last, hi[A], [](std::int64_t c, const Entry& e) { return c < e.cell[A]; });
    if (it != end) run(static_cast<std::size_t>(it - base), static_cast<std::size_t>(end - base));
  } else {
    while (it != base + last && it->cell[A] <= hi[A]) {
      const Entry* run_end = std::upper_bound(
          it, base + last, it->cell[A], [](std::int64_t c, const Entry& e) { return c < e.cell[A]; });
      box_runs<A + 1, D>(entries, static_cast<std::size_t>(it - base),
                         static_cast<std::size_t>(run_end - base), lo, hi, run);
      it = run_end;
    }
  }
}

/// Finds the entries of a frame index inside search boxes, for a stream of boxes in (roughly)
/// ascending cell order: each box row (fixed cells on all axes but the last) is one contiguous run
/// of entries, found through the cell table or by galloping from where the same row of the
/// previous box started.
template <std::size_t D>
class IndexCursor {
 public:
  using Entry = typename FrameIndex<D>::Entry;
  explicit IndexCursor(const FrameIndex<D>& index) : index_(index), entries_(index.entries) {}

  /// Calls visit(entry) for every entry whose cell lies in [box.lo, box.hi] on every axis, in
  /// index order.
  template <class Visit>
  void visit(const SearchBox<D>& box, Visit& visit) {
    auto run = [&](std::size_t first, std::size_t last) {
      for (std::size_t it = first; it < last; ++it) visit(entries_[it]);
    };
    runs(box, run);
  }

  /// The number of entries whose cell lies in the box: an upper bound of its feasible targets.
  std::uint64_t count(const SearchBox<D>& box) {
    std::uint64_t total = 0;
    auto run = [&](std::size_t first, std::size_t last) { total += last - first; };
    runs(box, run);
    return total;
  }

 private:
  /// Calls run(first, last) for the runs of entries inside the box, in index order.
  template <class Run>
  void runs(const SearchBox<D>& box, Run& run) {
    bool small = true;
    for (std::size_t a = 0; a < D; ++a)
      small = small && static_cast<std::uint64_t>(box.hi[a]) -
                               static_cast<std::uint64_t>(box.lo[a]) <
                           kSmallBoxSpan;
    if (!small) return box_runs<0, D>(entries_, 0, entries_.size(), box.lo, box.hi, run);
    if (!index_.cell_start.empty()) return table_runs(box, run);
    Cell<D> row = box.lo;
    do {
      Cell<D> last = row;
      last[D - 1] = box.hi[D - 1];
      // Hints are kept per row position modulo 4 on each axis, so a row seen again by the next
      // source (usually one cell over) starts from its own previous position.
      std::size_t slot = 0;
      for (std::size_t a = 0; a + 1 < D; ++a)
        slot = slot * kSmallBoxSpan + static_cast<std::size_t>(row[a] & (kSmallBoxSpan - 1));
      const std::size_t first = lower_bound_from(hints_[slot], row);
      hints_[slot] = first;
      std::size_t end = first;
      while (end < entries_.size() && !cell_less<D>(last, entries_[end].cell)) ++end;
      if (end != first) run(first, end);
    } while (next_row<D>(row, box.lo, box.hi));
  }

  /// runs() through the dense cell table: the rows of the box clipped to the table's bounding box,
  /// in the same order, each row one run of entries.
  template <class Run>
  void table_runs(const SearchBox<D>& box, Run& run) {
    Cell<D> lo = box.lo, hi = box.hi;
    for (std::size_t a = 0; a < D; ++a) {
      lo[a] = std::max(lo[a], index_.table_lo[a]);
      hi[a] = std::min(hi[a], index_.table_hi[a]);
      if (lo[a] > hi[a]) return;
    }
    Cell<D> row = lo;
    do {
      Cell<D> last = row;
      last[D - 1] = hi[D - 1];
      const std::uint32_t first = index_.cell_start[cell_table_id(index_, row)];
      const std::uint32_t end = index_.cell_start[cell_table_id(index_, last) + 1];
      if (end > first) run(first, end);
    } while (next_row<D>(row, lo, hi));
  }

  /// First entry whose cell is not below key, searched outward from hint.
  std::size_t lower_bound_from(std::size_t hint, const Cell<D>& key) const {
    const std::size_t n = entries_.size();
    auto below = [&](std::size_t i) { return cell_less<D>(entries_[i].cell, key); };
    std::size_t lo = 0, hi = n;
    hint = std::min(hint, n);
    if (hint < n && below(hint)) {
      lo = hint + 1;
      for (std::size_t step = 1;; step *= 2) {
        const std::size_t probe = lo + step - 1;
        if (probe >= n) break;
        if (!below(probe)) {
          hi = probe;
          break;
        }
        lo = probe + 1;
      }
    } else {
      hi = hint;
      for (std::size_t step = 1;; step *= 2) {
        if (hi < step) {
          lo = 0;
          break;
        }
        const std::size_t probe = hi - step;
        if (below(probe)) {
          lo = probe + 1;
          break;
        }
        hi = probe;
      }
    }
    const auto* found =
        std::lower_bound(entries_.data() + lo, entries_.data() + hi, key,
                         [](const Entry& e, const auto& k) { return cell_less<D>(e.cell, k); });
    return static_cast<std::size_t>(found - entries_.data());
  }

  static constexpr std::size_t kHintSlots = [] {
    std::size_t slots = 1;
    for (std::size_t a = 1; a < D; ++a) slots *= kSmallBoxSpan;
    return slots;
  }();
  const FrameIndex<D>& index_;
  const std::vector<Entry>& entries_;
  std::array<std::size_t, kHintSlots> hints_{};
};

}  // namespace quorlin::link_index
