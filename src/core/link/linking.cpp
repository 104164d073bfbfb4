// The linking machinery shared by 2-D and 3-D, and the 2-D entry `link_points`.
#include "link/linking.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>

#include "link/assignment.h"
#include "common/errors.h"
#include "common/parallel.h"
#include "detect/peaks.h"
#include "common/saturate.h"

namespace quorlin {

template <std::size_t D>
PointStore<D> read_points(std::span<const View2<float>> frames) {
  PointStore<D> store;
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const auto& f = frames[k];
    if (f.shape[0] > 0 && f.shape[1] < D + 1) {
      const char* columns = D == 2 ? "x, y, intensity" : "x, y, z, intensity";
      throw ValueError("points_list[" + std::to_string(k) +
                       "]: a frame with points needs at least " + std::to_string(D + 1) +
                       " columns (" + columns + "), got " + std::to_string(f.shape[1]));
    }
    total += f.shape[0];
  }
  store.points.reserve(total);
  store.frame_begin.reserve(frames.size() + 1);
  for (const auto& f : frames) {
    for (std::uint64_t r = 0; r < f.shape[0]; ++r) {
      PointND<D> p{};
      for (std::size_t a = 0; a < D; ++a) p.position[a] = f(r, a);
      p.intensity = f(r, D);
      store.points.push_back(p);
    }
    store.frame_begin.push_back(store.points.size());
  }
  return store;
}

template <std::size_t D>
Tracks assemble_tracks(const PointStore<D>& store, const LinkTable& links) {
  Tracks tracks;
  tracks.width = D + 1;
  std::uint64_t linked = 0;
  for (std::uint64_t p = 0; p < store.points.size(); ++p)
    linked += links.predecessor[p] != LinkTable::kNone || links.successor[p] != LinkTable::kNone;
  tracks.values.reserve(linked * tracks.width);
  for (std::uint64_t start = 0; start < store.points.size(); ++start) {
    if (links.predecessor[start] != LinkTable::kNone || links.successor[start] == LinkTable::kNone)
      continue;
    std::uint64_t length = 0;
    for (std::uint64_t p = start; p != LinkTable::kNone; p = links.successor[p], ++length) {
      const auto& point = store.points[p];
      tracks.values.insert(tracks.values.end(), point.position.begin(), point.position.end());
      tracks.values.push_back(point.intensity);
    }
    tracks.lengths.push_back(length);
  }
  return tracks;
}

DistanceScale distance_scale(float max_distance) {
  DistanceScale scale;
  scale.max_distance = max_distance;
  scale.no_link_cost = sat_i64(1000000.0f * max_distance);
  // The forbidden cost of the dense formulation is 10 * S: it must not wrap, and S must be positive
  // for a link to be worth making at all.
  constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max() / 10;
  if (scale.no_link_cost <= 0 || scale.no_link_cost > kLargest) {
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.9g", static_cast<double>(max_distance));
    throw ValueError(std::string("max_distance must be at least 0.000001 and at most about ") +
                     "9.2e11, got " + shown);
  }
  scale.max_distance_squared = max_distance * max_distance;
  float t = std::sqrt(scale.max_distance_squared);
  const float inf = std::numeric_limits<float>::infinity();
  while (std::nextafter(t, inf) * std::nextafter(t, inf) <= scale.max_distance_squared)
    t = std::nextafter(t, inf);
  while (t * t > scale.max_distance_squared) t = std::nextafter(t, 0.0f);
  scale.axis_reach = t;
  return scale;
}

namespace {

constexpr std::int64_t kCellLimit = std::int64_t{1} << 62;

/// Cell of the search index along one axis: floor(v * (1 / side)) in double, clamped to +-2^62.
/// Keeps its sign, so negative coordinates spread over cells like positive ones; monotone in v.
std::int64_t index_cell(double v, double inverse_side) {
  const double q = v * inverse_side;
  if (!(q > -static_cast<double>(kCellLimit))) return -kCellLimit;
  if (q >= static_cast<double>(kCellLimit)) return kCellLimit;
  // Floor by truncation and a correction: far cheaper than the library floor on this hot path.
  const auto truncated = static_cast<std::int64_t>(q);
  return truncated - (static_cast<double>(truncated) > q ? 1 : 0);
}

/// The neighbourhood cell: floor(v / max_distance) in 32-bit floats, saturated to unsigned 64 bits
/// (negative coordinates and NaN all give 0). Two points are neighbours when these differ by at
/// most one on every axis, with 64-bit wrap-around.
std::uint64_t neighbourhood_cell(float v, float max_distance) {
  return sat_u64(std::floor(v / max_distance));
}

/// Lexicographic order of cells.
template <std::size_t D>
bool cell_less(const std::array<std::int64_t, D>& a, const std::array<std::int64_t, D>& b) {
  for (std::size_t k = 0; k < D; ++k)
    if (a[k] != b[k]) return a[k] < b[k];
  return false;
}

/// Where a point (with finite coordinates) searches as a source: the box of index cells that holds
/// every point within the reach of the distance gate.
template <std::size_t D>
struct SearchBox {
  std::array<std::int64_t, D> lo, hi;
};

/// One frame's points with finite coordinates (a point with a non-finite coordinate can never pass
/// the distance gate), sorted by index cell (lexicographic), then by global index.
template <std::size_t D>
struct FrameIndex {
  struct Entry {
    std::array<std::int64_t, D> cell;
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
  std::array<std::int64_t, D> table_lo{}, table_hi{};
};

/// Row-major number of a cell inside the table's bounding box.
template <std::size_t D>
std::size_t cell_table_id(const FrameIndex<D>& index, const std::array<std::int64_t, D>& cell) {
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
  std::array<std::int64_t, D> lo = entries[0].cell, hi = entries[0].cell;
  for (const auto& e : entries)
    for (std::size_t a = 0; a < D; ++a) {
      lo[a] = std::min(lo[a], e.cell[a]);
      hi[a] = std::max(hi[a], e.cell[a]);
    }
  const double budget = 4.0 * static_cast<double>(entries.size()) + 4096.0;
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
  // arithmetic of its bounds; the exact tests of feasible_entries decide.
  for (std::size_t a = 0; a < D; ++a) {
    const double x = point.position[a];
    const double reach =
        scale.axis_reach * (1.0 + 0x1p-20) + (std::fabs(x) + scale.axis_reach) * 0x1p-50;
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
  constexpr std::size_t D = std::tuple_size_v<decltype(Key::cell)>;
  std::array<std::int64_t, D> lo = keys[0].cell, hi = keys[0].cell;
  for (const auto& k : keys)
    for (std::size_t a = 0; a < D; ++a) {
      lo[a] = std::min(lo[a], k.cell[a]);
      hi[a] = std::max(hi[a], k.cell[a]);
    }
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
  if (keys.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::uint64_t number = 0;
    for (std::size_t a = 0; a < D; ++a)
      number = number * span[a] +
               (static_cast<std::uint64_t>(keys[i].cell[a]) - static_cast<std::uint64_t>(lo[a]));
    order[i] = {number, static_cast<std::uint32_t>(i)};
  }
  const std::uint64_t largest = static_cast<std::uint64_t>(cells - 1);
  for (unsigned shift = 0; shift < 64 && (largest >> shift) != 0; shift += 8) {
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

template <std::size_t D>
FrameIndex<D> build_index(const PointStore<D>& store, const DistanceScale& scale, std::size_t frame,
                          double inverse_side) {
  using Entry = typename FrameIndex<D>::Entry;
  FrameIndex<D> index;
  const std::uint64_t first = store.frame_begin[frame], last = store.frame_begin[frame + 1];
  // Sorting small (cell, point) keys first moves far less memory than sorting whole entries.
  struct Key {
    std::array<std::int64_t, D> cell;
    std::uint64_t point;
  };
  std::vector<Key> keys;
  keys.reserve(last - first);
  for (std::uint64_t p = first; p < last; ++p) {
    const auto& pos = store.points[p].position;
    if (!std::all_of(pos.begin(), pos.end(), [](float v) { return std::isfinite(v); })) continue;
    Key k{};
    for (std::size_t a = 0; a < D; ++a)
      k.cell[a] = index_cell(store.points[p].position[a], inverse_side);
    k.point = p;
    keys.push_back(k);
  }
  if (!radix_sort_by_cell(keys)) {
    std::sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
      for (std::size_t a = 0; a < D; ++a)
        if (x.cell[a] != y.cell[a]) return x.cell[a] < y.cell[a];
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

/// Calls visit(entry) for every entry of the sorted range [first, last) whose cell lies within
/// [lo, hi] on every axis from A on; the entries of the range share their cells on earlier axes.
/// Used for boxes of many cells, which only arise for coordinates vast against max_distance.
template <std::size_t A, std::size_t D, class Visit>
void visit_box(const typename FrameIndex<D>::Entry* first,
               const typename FrameIndex<D>::Entry* last, const std::array<std::int64_t, D>& lo,
               const std::array<std::int64_t, D>& hi, Visit& visit) {
  using Entry = typename FrameIndex<D>::Entry;
  const Entry* it = std::lower_bound(first, last, lo[A],
                                     [](const Entry& e, std::int64_t c) { return e.cell[A] < c; });
  if constexpr (A + 1 == D) {
    for (; it != last && it->cell[A] <= hi[A]; ++it) visit(*it);
  } else {
    while (it != last && it->cell[A] <= hi[A]) {
      const Entry* run_end = std::upper_bound(
          it, last, it->cell[A], [](std::int64_t c, const Entry& e) { return c < e.cell[A]; });
      visit_box<A + 1, D>(it, run_end, lo, hi, visit);
      it = run_end;
    }
  }
}

/// Finds the entries of a frame index inside search boxes, for a stream of boxes in (roughly)
/// ascending cell order: each box row (fixed cells on all axes but the last) is one contiguous run
/// of entries, found by galloping from where the same row of the previous box started.
template <std::size_t D>
class IndexCursor {
 public:
  using Entry = typename FrameIndex<D>::Entry;
  explicit IndexCursor(const FrameIndex<D>& index) : index_(index), entries_(index.entries) {}

  /// Calls visit(entry) for every entry whose cell lies in [box.lo, box.hi] on every axis.
  template <class Visit>
  void visit(const SearchBox<D>& box, Visit& visit) {
    bool small = true;
    for (std::size_t a = 0; a < D; ++a)
      small = small &&
              static_cast<std::uint64_t>(box.hi[a]) - static_cast<std::uint64_t>(box.lo[a]) < 4;
    if (!small) {
      // Only coordinates vast against max_distance give boxes of many cells.
      visit_box<0, D>(entries_.data(), entries_.data() + entries_.size(), box.lo, box.hi, visit);
      return;
    }
    if (!index_.cell_start.empty()) return visit_table(box, visit);
    std::array<std::int64_t, D> first = box.lo;
    while (true) {
      std::array<std::int64_t, D> last = first;
      last[D - 1] = box.hi[D - 1];
      // Hints are kept per row position modulo 4 on each axis, so a row seen again by the next
      // source (usually one cell over) starts from its own previous position.
      std::size_t row = 0;
      for (std::size_t a = 0; a + 1 < D; ++a)
        row = row * 4 + static_cast<std::size_t>(first[a] & 3);
      std::size_t it = lower_bound_from(hints_[row], first);
      hints_[row] = it;
      for (; it < entries_.size() && !cell_less<D>(last, entries_[it].cell); ++it)
        visit(entries_[it]);
      std::size_t a = D - 1;  // next row: odometer over the axes before the last
      while (a-- > 0) {
        if (first[a] < box.hi[a]) {
          ++first[a];
          break;
        }
        first[a] = box.lo[a];
      }
      if (a == static_cast<std::size_t>(-1)) return;
    }
  }

 private:
  /// visit() through the dense cell table: the rows of the box clipped to the table's bounding
  /// box, in the same order, each row one run of entries.
  template <class Visit>
  void visit_table(const SearchBox<D>& box, Visit& visit) {
    std::array<std::int64_t, D> lo = box.lo, hi = box.hi;
    for (std::size_t a = 0; a < D; ++a) {
      lo[a] = std::max(lo[a], index_.table_lo[a]);
      hi[a] = std::min(hi[a], index_.table_hi[a]);
      if (lo[a] > hi[a]) return;
    }
    std::array<std::int64_t, D> first = lo;
    while (true) {
      std::array<std::int64_t, D> last = first;
      last[D - 1] = hi[D - 1];
      const std::uint32_t end = index_.cell_start[cell_table_id(index_, last) + 1];
      for (std::uint32_t it = index_.cell_start[cell_table_id(index_, first)]; it < end; ++it)
        visit(entries_[it]);
      std::size_t a = D - 1;  // next row: odometer over the axes before the last
      while (a-- > 0) {
        if (first[a] < hi[a]) {
          ++first[a];
          break;
        }
        first[a] = lo[a];
      }
      if (a == static_cast<std::size_t>(-1)) return;
    }
  }

  /// First entry whose cell is not below key, searched outward from hint.
  std::size_t lower_bound_from(std::size_t hint, const std::array<std::int64_t, D>& key) const {
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

  static constexpr std::size_t kRows = [] {
    std::size_t rows = 1;
    for (std::size_t a = 1; a < D; ++a) rows *= 4;
    return rows;
  }();
  const FrameIndex<D>& index_;
  const std::vector<Entry>& entries_;
  std::array<std::size_t, kRows> hints_{};
};

/// Everything a (frame, gap) task reads; shared and read-only during the proposal phase.
template <std::size_t D, class Gate>
struct LinkContext {
  const PointStore<D>& store;
  const std::vector<FrameIndex<D>>& indexes;
  DistanceScale scale;
  Gate gate;
};

/// A feasible (source, target) entry of one frame pair: the source by its position in the cell
/// order of its frame, the target by its row in its frame.
struct Candidate {
  std::uint64_t source;
  std::uint64_t target;
  std::int64_t cost;
};

/// The feasible entries of one source: within the distance gate, passing the intensity gate, in
/// neighbouring cells, and costing no more than S (a dearer link never beats staying unlinked).
template <std::size_t D, class Gate>
void feasible_entries(const LinkContext<D, Gate>& ctx, const typename FrameIndex<D>::Entry& source,
                      std::size_t source_frame, std::uint64_t source_id,
                      std::uint64_t targets_first, IndexCursor<D>& targets,
                      std::vector<Candidate>& out) {
  const SearchBox<D>& box = ctx.indexes[source_frame].boxes[source_id];
  auto visit = [&](const typename FrameIndex<D>::Entry& target) {
    const float d2 = detail::squared_distance<D>(source.at.position, target.at.position);
    if (!(d2 <= ctx.scale.max_distance_squared)) return;
    if (!ctx.gate(source.at.intensity, target.at.intensity)) return;
    for (std::size_t a = 0; a < D; ++a)
      if (target.neighbourhood[a] - source.neighbourhood[a] + 1 > 2) return;
    const std::int64_t cost = sat_i64(std::sqrt(d2) * 1000000.0f);
    if (cost > ctx.scale.no_link_cost) return;
    out.push_back(Candidate{source_id, target.point - targets_first, cost});
  };
  targets.visit(box, visit);
}

/// Union-find over the targets of one frame pair.
struct TargetSets {
  std::vector<std::uint64_t> parent;
  explicit TargetSets(std::uint64_t n) : parent(n) {
    for (std::uint64_t i = 0; i < n; ++i) parent[i] = i;
  }
  std::uint64_t find(std::uint64_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  }
  void unite(std::uint64_t a, std::uint64_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
};

constexpr std::uint64_t kNoTarget = ~std::uint64_t{0};

/// The cheapest of the candidates [first, last) (the lowest target among equals). Every candidate
/// costs no more than staying unlinked, so a source alone in its component takes this one.
std::uint64_t cheapest_target(const std::vector<Candidate>& cand, std::uint64_t first,
                              std::uint64_t last) {
  const Candidate* best = &cand[first];
  for (std::uint64_t e = first + 1; e < last; ++e)
    if (cand[e].cost < best->cost || (cand[e].cost == best->cost && cand[e].target < best->target))
      best = &cand[e];
  return best->target;
}

/// Two sources sharing targets: every choice (each source takes nothing or one of its targets,
/// never the same one) is tried, the smallest total cost wins, and among equal totals the one with
/// more links. Cheaper than the general solver for the most common shared component.
void solve_pair(std::uint64_t s0, std::uint64_t s1, const std::vector<Candidate>& cand,
                const std::vector<std::uint64_t>& row_first, std::int64_t no_link_cost,
                std::vector<std::uint64_t>& chosen) {
  std::int64_t best_total = 2 * no_link_cost;
  int best_links = 0;
  std::uint64_t best0 = kNoTarget, best1 = kNoTarget;
  auto consider = [&](std::int64_t total, int links, std::uint64_t t0, std::uint64_t t1) {
    if (total < best_total || (total == best_total && links > best_links)) {
      best_total = total;
      best_links = links;
      best0 = t0;
      best1 = t1;
    }
  };
  for (std::uint64_t e = row_first[s0]; e < row_first[s0 + 1]; ++e)
    consider(cand[e].cost + no_link_cost, 1, cand[e].target, kNoTarget);
  for (std::uint64_t e = row_first[s1]; e < row_first[s1 + 1]; ++e)
    consider(no_link_cost + cand[e].cost, 1, kNoTarget, cand[e].target);
  for (std::uint64_t e = row_first[s0]; e < row_first[s0 + 1]; ++e)
    for (std::uint64_t h = row_first[s1]; h < row_first[s1 + 1]; ++h)
      if (cand[e].target != cand[h].target)
        consider(cand[e].cost + cand[h].cost, 2, cand[e].target, cand[h].target);
  chosen[s0] = best0;
  chosen[s1] = best1;
}

/// Solves connected components of at least two sources: sources and targets (both ascending,
/// positions within their frames), with the candidates of source s at
/// cand[row_first[s] .. row_first[s + 1]). Writes each linked source's target into chosen.
struct ComponentSolver {
  AssignmentSolver solver;
  std::vector<std::size_t> row_begin;
  std::vector<AssignmentEntry> entries;
  std::vector<std::int64_t> no_link;

  void solve(std::span<const std::uint64_t> sources, std::span<const std::uint64_t> targets,
             const std::vector<Candidate>& cand, const std::vector<std::uint64_t>& row_first,
             const std::vector<std::uint32_t>& column_of_target, std::int64_t no_link_cost,
             std::vector<std::uint64_t>& chosen) {
    if (sources.size() == 2) {
      solve_pair(sources[0], sources[1], cand, row_first, no_link_cost, chosen);
      return;
    }
    row_begin.assign(1, 0);
    entries.clear();
    no_link.assign(sources.size(), no_link_cost);
    for (std::uint64_t s : sources) {
      for (std::uint64_t e = row_first[s]; e < row_first[s + 1]; ++e)
        entries.push_back(AssignmentEntry{column_of_target[cand[e].target], cand[e].cost});
      row_begin.push_back(entries.size());
    }
    const auto& column = solver.solve(row_begin, entries, targets.size(), no_link);
    for (std::size_t r = 0; r < sources.size(); ++r)
      if (column[r] != kUnassigned) chosen[sources[r]] = targets[column[r]];
  }
};

/// Counting sort of items 0 .. n-1 by group (ascending, stable); returns the groups' offsets.
std::vector<std::uint64_t> group_offsets(const std::vector<std::uint64_t>& group_of,
                                         std::uint64_t groups, std::vector<std::uint64_t>& order,
                                         const std::vector<std::uint64_t>& items) {
  std::vector<std::uint64_t> begin(groups + 1, 0);
  for (std::uint64_t g : group_of) ++begin[g + 1];
  for (std::uint64_t g = 0; g < groups; ++g) begin[g + 1] += begin[g];
  std::vector<std::uint64_t> next(begin.begin(), begin.end() - 1);
  order.resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) order[next[group_of[i]]++] = items[i];
  return begin;
}

/// Splits the sources that share targets into connected components (sources joined through the
/// targets they reach) and solves each exactly. The total cost separates over components because
/// every source's no-link column is its own.
void solve_shared_components(const std::vector<Candidate>& cand,
                             const std::vector<std::uint64_t>& row_first,
                             const std::vector<std::uint64_t>& shared_sources, std::uint64_t g,
                             std::int64_t no_link_cost, std::vector<std::uint64_t>& chosen) {
  // The targets the shared sources reach, numbered densely in order of first appearance.
  constexpr std::uint32_t kUnseen = ~std::uint32_t{0};
  std::vector<std::uint32_t> local_of(g, kUnseen);
  std::vector<std::uint64_t> reached_targets;
  auto local = [&](std::uint64_t target) -> std::uint64_t {
    if (local_of[target] == kUnseen) {
      if (reached_targets.size() >= kUnseen)
        throw std::length_error("linking: too many shared targets in one frame pair");
      local_of[target] = static_cast<std::uint32_t>(reached_targets.size());
      reached_targets.push_back(target);
    }
    return local_of[target];
  };
  for (std::uint64_t r : shared_sources)
    for (std::uint64_t e = row_first[r]; e < row_first[r + 1]; ++e) local(cand[e].target);
  TargetSets sets(reached_targets.size());
  for (std::uint64_t r : shared_sources) {
    const std::uint64_t first = local(cand[row_first[r]].target);
    for (std::uint64_t e = row_first[r] + 1; e < row_first[r + 1]; ++e)
      sets.unite(first, local(cand[e].target));
  }
  constexpr std::uint64_t kNoComponent = ~std::uint64_t{0};
  std::vector<std::uint64_t> component_of_root(reached_targets.size(), kNoComponent);
  std::vector<std::uint64_t> source_component;
  std::uint64_t components = 0;
  for (std::uint64_t r : shared_sources) {
    auto& id = component_of_root[sets.find(local(cand[row_first[r]].target))];
    if (id == kNoComponent) id = components++;
    source_component.push_back(id);
  }
  std::vector<std::uint64_t> target_component(reached_targets.size());
  for (std::uint64_t t = 0; t < reached_targets.size(); ++t)
    target_component[t] = component_of_root[sets.find(t)];
  std::vector<std::uint64_t> sources_by_component, targets_by_component;
  const auto source_begin =
      group_offsets(source_component, components, sources_by_component, shared_sources);
  const auto target_begin =
      group_offsets(target_component, components, targets_by_component, reached_targets);
  // From here on a reached target's entry holds its column within its component.
  std::vector<std::uint32_t>& column_of_target = local_of;
  for (std::uint64_t c = 0; c < components; ++c)
    for (std::uint64_t k = target_begin[c]; k < target_begin[c + 1]; ++k)
      column_of_target[targets_by_component[k]] = static_cast<std::uint32_t>(k - target_begin[c]);

  // Components are independent: solved in parallel, each writing only its own sources' choices.
  constexpr std::size_t kComponentsPerTask = 256;
  parallel_for((components + kComponentsPerTask - 1) / kComponentsPerTask, [&](std::size_t task) {
    ComponentSolver solver;
    const std::uint64_t end = std::min<std::uint64_t>(components, (task + 1) * kComponentsPerTask);
    for (std::uint64_t c = task * kComponentsPerTask; c < end; ++c) {
      const auto sources = std::span(sources_by_component)
                               .subspan(source_begin[c], source_begin[c + 1] - source_begin[c]);
      const auto targets = std::span(targets_by_component)
                               .subspan(target_begin[c], target_begin[c + 1] - target_begin[c]);
      solver.solve(sources, targets, cand, row_first, column_of_target, no_link_cost, chosen);
    }
  });
}

/// The links of source frame a to frame a + s: an optimal assignment of the pair, solved
/// component by component. Pairs come in ascending source order.
template <std::size_t D, class Gate>
std::vector<LinkPair> link_frame_pair(const LinkContext<D, Gate>& ctx, std::size_t a,
                                      std::size_t s) {
  const std::size_t b = a + s;
  const std::uint64_t sources_first = ctx.store.frame_begin[a];
  const std::uint64_t targets_first = ctx.store.frame_begin[b];
  const std::uint64_t f = ctx.store.frame_begin[a + 1] - sources_first;
  const std::uint64_t g = ctx.store.frame_begin[b + 1] - targets_first;
  std::vector<LinkPair> pairs;
  if (f == 0 || g == 0) return pairs;

  // Sources are taken in the cell order of their own frame's index, so successive searches
  // touch neighbouring parts of the target index and every per-source array is walked in order;
  // a fixed chunking keeps the result independent of scheduling. Sources with a non-finite
  // coordinate are not in the index: they never link.
  const auto& sorted_sources = ctx.indexes[a].entries;
  const std::uint64_t m = sorted_sources.size();
  constexpr std::size_t kSourcesPerTask = 2048;
  std::vector<std::vector<Candidate>> parts((m + kSourcesPerTask - 1) / kSourcesPerTask);
  parallel_for(parts.size(), [&](std::size_t task) {
    IndexCursor<D> targets(ctx.indexes[b]);
    const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
    for (std::uint64_t k = task * kSourcesPerTask; k < end; ++k)
      feasible_entries(ctx, sorted_sources[k], a, k, targets_first, targets, parts[task]);
  });
  std::vector<Candidate> cand;
  if (parts.size() == 1) {
    cand = std::move(parts[0]);
  } else {
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    cand.reserve(total);
    for (const auto& part : parts) cand.insert(cand.end(), part.begin(), part.end());
  }
  if (cand.empty()) return pairs;
  // Candidates come grouped by source, in source order: row_first[k] is where source k's begin.
  std::vector<std::uint64_t> row_first(m + 1, 0);
  for (const auto& c : cand) ++row_first[c.source + 1];
  for (std::uint64_t k = 0; k < m; ++k) row_first[k + 1] += row_first[k];

  // A source whose targets no other source reaches is a component of its own (the usual case).
  std::vector<std::uint8_t> reached_by(g, 0);
  for (const auto& c : cand) reached_by[c.target] = reached_by[c.target] == 0 ? 1 : 2;
  std::vector<std::uint64_t> chosen(m, kNoTarget);
  std::vector<std::uint64_t> shared_sources;
  for (std::uint64_t k = 0; k < m; ++k) {
    if (row_first[k] == row_first[k + 1]) continue;  // no feasible target: stays unlinked
    bool shared = false;
    for (std::uint64_t e = row_first[k]; e < row_first[k + 1]; ++e)
      shared = shared || reached_by[cand[e].target] > 1;
    if (shared)
      shared_sources.push_back(k);
    else
      chosen[k] = cheapest_target(cand, row_first[k], row_first[k + 1]);
  }
  if (!shared_sources.empty())
    solve_shared_components(cand, row_first, shared_sources, g, ctx.scale.no_link_cost, chosen);

  std::vector<std::uint64_t> target_of_row(f, kNoTarget);
  for (std::uint64_t k = 0; k < m; ++k)
    target_of_row[sorted_sources[k].point - sources_first] = chosen[k];
  for (std::uint64_t r = 0; r < f; ++r)
    if (target_of_row[r] != kNoTarget)
      pairs.emplace_back(sources_first + r, targets_first + target_of_row[r]);
  return pairs;
}

}  // namespace

template <std::size_t D, class Gate>
LinkTable link_table_with(const PointStore<D>& store, float max_distance, std::uint64_t max_skip,
                          const Gate& gate) {
  const DistanceScale scale = distance_scale(max_distance);
  const std::size_t n = store.frames();

  // Cells twice as wide as the reach of the distance gate: the box around a source then spans at
  // most two cells per axis.
  const double inverse_side = 1.0 / (2.0 * scale.axis_reach * (1.0 + 0x1p-18));
  std::vector<FrameIndex<D>> indexes(n);
  parallel_for(n, [&](std::size_t k) { indexes[k] = build_index(store, scale, k, inverse_side); });
  const LinkContext<D, Gate> ctx{store, indexes, scale, gate};

  // Gaps run from 1 to max_skip + 1 (no overflow) and stop before reaching past the last frame.
  const std::size_t gaps =
      n < 2 ? 0 : (max_skip >= n - 2 ? n - 1 : static_cast<std::size_t>(max_skip) + 1);
  // Proposals read only the points, never the link table, so recording a batch of gaps before the
  // next batch is computed gives exactly the links of computing every proposal first. Batches
  // bound the memory of the pending proposals when many frames meet a large max_skip; a batch
  // holds every gap when n * gaps is modest, as in most calls.
  const std::size_t gaps_per_batch =
      std::max<std::size_t>(1, (std::size_t{1} << 18) / std::max<std::size_t>(n, 1));
  LinkTable links(store.points.size());
  for (std::size_t batch_first = 1; batch_first <= gaps; batch_first += gaps_per_batch) {
    const std::size_t batch = std::min(gaps_per_batch, gaps - batch_first + 1);
    // proposals[s - batch_first][a]: gaps (outer) and source frames (inner) in parallel.
    std::vector<std::vector<std::vector<LinkPair>>> proposals(batch);
    parallel_for(batch, [&](std::size_t k) {
      const std::size_t s = batch_first + k;
      proposals[k].resize(n - s);
      parallel_for(n - s, [&](std::size_t a) { proposals[k][a] = link_frame_pair(ctx, a, s); });
    });
    // Recording in gap-major, frame-minor order: a link of a longer gap is kept only if no shorter
    // gap has already given its source a successor or its target a predecessor.
    for (const auto& by_frame : proposals)
      for (const auto& pairs : by_frame)
        for (const auto& [i, j] : pairs)
          if (links.successor[i] == LinkTable::kNone && links.predecessor[j] == LinkTable::kNone) {
            links.successor[i] = j;
            links.predecessor[j] = i;
          }
  }
  return links;
}

template <std::size_t D, class Gate>
TrackArrays link_points_with(std::span<const View2<float>> frames, float max_distance,
                             std::uint64_t max_skip, const Gate& gate) {
  // The distance scale is checked before the points are read, as the caller sees its errors.
  distance_scale(max_distance);
  const PointStore<D> store = read_points<D>(frames);
  return tracks_to_arrays(assemble_tracks(store, link_table_with(store, max_distance, max_skip, gate)));
}

template LinkTable link_table_with<2, IntensityRatioGate>(const PointStore<2>&, float, std::uint64_t,
                                                          const IntensityRatioGate&);
// 2-D points without the intensity gate (the user layer's linking without a ratio).
template LinkTable link_table_with<2, AnyIntensity>(const PointStore<2>&, float, std::uint64_t,
                                                    const AnyIntensity&);
template LinkTable link_table_with<3, AnyIntensity>(const PointStore<3>&, float, std::uint64_t,
                                                    const AnyIntensity&);
template TrackArrays link_points_with<2, IntensityRatioGate>(std::span<const View2<float>>, float,
                                                             std::uint64_t,
                                                             const IntensityRatioGate&);
template TrackArrays link_points_with<3, AnyIntensity>(std::span<const View2<float>>, float,
                                                       std::uint64_t, const AnyIntensity&);

TrackArrays link_points(std::span<const View2<float>> frames, float max_distance,
                        std::uint64_t max_skip, float max_intensity_ratio) {
  return link_points_with<2>(frames, max_distance, max_skip,
                             IntensityRatioGate{max_intensity_ratio});
}

}  // namespace quorlin
