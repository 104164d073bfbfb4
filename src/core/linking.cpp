// The linking machinery shared by 2-D and 3-D, and the 2-D entry `link_points`.
#include "linking.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>

#include "assignment.h"
#include "errors.h"
#include "parallel.h"
#include "peaks.h"
#include "saturate.h"

namespace quorlin {

template <std::size_t D>
PointStore<D> read_points(std::span<const View2<float>> frames) {
  PointStore<D> store;
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const auto& f = frames[k];
    if (f.shape[0] > 0 && f.shape[1] < D + 1) {
      const char* columns = D == 2 ? "x, y, intensity" : "x, y, z, intensity";
      throw ValueError("points_list[" + std::to_string(k) + "]: a frame with points needs at least " +
                       std::to_string(D + 1) + " columns (" + columns + "), got " +
                       std::to_string(f.shape[1]));
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
    throw ValueError(std::string("max_distance must be at least 0.000001 and below 9.2e11, got ") +
                     shown);
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
  const double q = std::floor(v * inverse_side);
  if (q <= -static_cast<double>(kCellLimit)) return -kCellLimit;
  if (q >= static_cast<double>(kCellLimit)) return kCellLimit;
  return static_cast<std::int64_t>(q);
}

/// The neighbourhood cell: floor(v / max_distance) in 32-bit floats, saturated to unsigned 64 bits
/// (negative coordinates and NaN all give 0). Two points are neighbours when these differ by at
/// most one on every axis, with 64-bit wrap-around.
std::uint64_t neighbourhood_cell(float v, float max_distance) {
  return sat_u64(std::floor(v / max_distance));
}

template <std::size_t D>
bool same_cell(const std::array<std::int64_t, D>& a, const std::array<std::int64_t, D>& b) {
  for (std::size_t k = 0; k < D; ++k)
    if (a[k] != b[k]) return false;
  return true;
}

/// One frame's points with finite coordinates (a point with a non-finite coordinate can never pass
/// the distance gate), sorted by index cell (lexicographic), then by global index, with a hash
/// table from each occupied cell to its run of entries.
template <std::size_t D>
struct FrameIndex {
  struct Entry {
    std::array<std::int64_t, D> cell;
    std::uint64_t point;
    PointND<D> at;  ///< a copy of the point, so a cell's points are read from one run of memory
    std::array<std::uint64_t, D> neighbourhood;  ///< neighbourhood_cell of each coordinate
  };
  struct Slot {
    std::array<std::int64_t, D> cell;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;  ///< 0 marks an empty slot (an occupied cell's run ends after 0)
  };
  std::vector<Entry> entries;
  std::vector<Slot> slots;

  /// The run of entries of cell c (empty if the cell holds no point).
  std::span<const Entry> run(const std::array<std::int64_t, D>& c) const {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t k = detail::CellHash<D>{}(c) & mask;; k = (k + 1) & mask) {
      const Slot& slot = slots[k];
      if (slot.end == 0) return {};
      if (same_cell(slot.cell, c)) return std::span(entries).subspan(slot.begin, slot.end - slot.begin);
    }
  }
};

/// Where a point searches as a source: the box of index cells that holds every point within the
/// reach of the distance gate, and its own neighbourhood cells. Does not depend on the target frame.
template <std::size_t D>
struct SearchBox {
  std::array<std::int64_t, D> lo, hi;
  std::array<std::uint64_t, D> neighbourhood;
  bool finite;  ///< false: a coordinate is not finite, nothing passes the distance gate
};

template <std::size_t D>
SearchBox<D> search_box(const PointND<D>& point, const DistanceScale& scale, double inverse_side) {
  SearchBox<D> box{};
  const auto& pos = point.position;
  box.finite = std::all_of(pos.begin(), pos.end(), [](float v) { return std::isfinite(v); });
  // A point passes the distance gate only if |fl(x_i - x_j)| <= axis_reach on every axis, so its
  // exact offset is within axis_reach * (1 + 2^-24). The box adds a margin for the double
  // arithmetic of its bounds; the exact tests of feasible_entries decide.
  for (std::size_t a = 0; a < D; ++a) {
    box.neighbourhood[a] = neighbourhood_cell(pos[a], scale.max_distance);
    if (!box.finite) continue;
    const double x = pos[a];
    const double reach = scale.axis_reach * (1.0 + 0x1p-20) + (std::fabs(x) + scale.axis_reach) * 0x1p-50;
    box.lo[a] = index_cell(x - reach, inverse_side);
    box.hi[a] = index_cell(x + reach, inverse_side);
  }
  return box;
}

template <std::size_t D>
FrameIndex<D> build_index(const PointStore<D>& store, const std::vector<SearchBox<D>>& boxes,
                          std::size_t frame, double inverse_side) {
  using Entry = typename FrameIndex<D>::Entry;
  FrameIndex<D> index;
  const std::uint64_t first = store.frame_begin[frame], last = store.frame_begin[frame + 1];
  index.entries.reserve(last - first);
  for (std::uint64_t p = first; p < last; ++p) {
    const auto& point = store.points[p];
    if (!boxes[p].finite) continue;
    Entry e{};
    for (std::size_t a = 0; a < D; ++a) e.cell[a] = index_cell(point.position[a], inverse_side);
    e.point = p;
    e.at = point;
    e.neighbourhood = boxes[p].neighbourhood;
    index.entries.push_back(e);
  }
  std::sort(index.entries.begin(), index.entries.end(), [](const Entry& x, const Entry& y) {
    return std::tie(x.cell, x.point) < std::tie(y.cell, y.point);
  });
  std::size_t capacity = 2;
  while (capacity < 2 * index.entries.size()) capacity *= 2;
  index.slots.resize(capacity);
  const std::size_t mask = capacity - 1;
  for (std::size_t b = 0; b < index.entries.size();) {
    std::size_t e = b + 1;
    while (e < index.entries.size() && same_cell(index.entries[e].cell, index.entries[b].cell)) ++e;
    std::size_t k = detail::CellHash<D>{}(index.entries[b].cell) & mask;
    while (index.slots[k].end != 0) k = (k + 1) & mask;
    index.slots[k] = typename FrameIndex<D>::Slot{index.entries[b].cell, b, e};
    b = e;
  }
  return index;
}

/// Calls visit(entry) for every entry of the sorted range [first, last) whose cell lies within
/// [lo, hi] on every axis from A on; the entries of the range share their cells on earlier axes.
/// Used for boxes of many cells, which only arise for coordinates vast against max_distance.
template <std::size_t A, std::size_t D, class Visit>
void visit_box(const typename FrameIndex<D>::Entry* first, const typename FrameIndex<D>::Entry* last,
               const std::array<std::int64_t, D>& lo, const std::array<std::int64_t, D>& hi,
               Visit& visit) {
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

/// Calls visit(entry) for every entry whose cell lies in the box [lo, hi]: cell by cell through
/// the hash table for small boxes (the usual 1 or 2 cells per axis), by range search otherwise.
template <std::size_t D, class Visit>
void visit_cells(const FrameIndex<D>& index, const std::array<std::int64_t, D>& lo,
                 const std::array<std::int64_t, D>& hi, Visit& visit) {
  bool small = true;
  for (std::size_t a = 0; a < D; ++a)
    small = small && static_cast<std::uint64_t>(hi[a]) - static_cast<std::uint64_t>(lo[a]) < 4;
  if (!small) {
    const auto* entries = index.entries.data();
    visit_box<0, D>(entries, entries + index.entries.size(), lo, hi, visit);
    return;
  }
  std::array<std::int64_t, D> c = lo;
  while (true) {
    for (const auto& e : index.run(c)) visit(e);
    std::size_t a = D;
    while (a-- > 0) {
      if (c[a] < hi[a]) {
        ++c[a];
        break;
      }
      c[a] = lo[a];
    }
    if (a == static_cast<std::size_t>(-1)) return;
  }
}

/// Everything a (frame, gap) task reads; shared and read-only during the proposal phase.
template <std::size_t D, class Gate>
struct LinkContext {
  const PointStore<D>& store;
  const std::vector<SearchBox<D>>& boxes;
  const std::vector<FrameIndex<D>>& indexes;
  DistanceScale scale;
  Gate gate;
};

/// A feasible (source, target) entry of one frame pair, by positions within the two frames.
struct Candidate {
  std::uint64_t source;
  std::uint64_t target;
  std::int64_t cost;
};

/// The feasible entries of source row r: within the distance gate, passing the intensity gate,
/// in neighbouring cells, and costing no more than S (a dearer link never beats staying unlinked).
template <std::size_t D, class Gate>
void feasible_entries(const LinkContext<D, Gate>& ctx, std::uint64_t r, std::uint64_t sources_first,
                      std::uint64_t targets_first, const FrameIndex<D>& targets,
                      std::vector<Candidate>& out) {
  const auto& source = ctx.store.points[sources_first + r];
  const auto& box = ctx.boxes[sources_first + r];
  if (!box.finite) return;
  auto visit = [&](const typename FrameIndex<D>::Entry& entry) {
    const auto& target = entry.at;
    const std::uint64_t q = entry.point;
    const float d2 = detail::squared_distance<D>(source.position, target.position);
    if (!(d2 <= ctx.scale.max_distance_squared)) return;
    if (!ctx.gate(source.intensity, target.intensity)) return;
    for (std::size_t a = 0; a < D; ++a)
      if (entry.neighbourhood[a] - box.neighbourhood[a] + 1 > 2) return;
    const std::int64_t cost = sat_i64(std::sqrt(d2) * 1000000.0f);
    if (cost > ctx.scale.no_link_cost) return;
    out.push_back(Candidate{r, q - targets_first, cost});
  };
  visit_cells(targets, box.lo, box.hi, visit);
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
std::uint64_t cheapest_target(const std::vector<Candidate>& cand, std::uint64_t first, std::uint64_t last) {
  const Candidate* best = &cand[first];
  for (std::uint64_t e = first + 1; e < last; ++e)
    if (cand[e].cost < best->cost || (cand[e].cost == best->cost && cand[e].target < best->target))
      best = &cand[e];
  return best->target;
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
void solve_shared_components(const std::vector<Candidate>& cand, const std::vector<std::uint64_t>& row_first,
                             const std::vector<std::uint64_t>& shared_sources, std::uint64_t g,
                             std::int64_t no_link_cost, std::vector<std::uint64_t>& chosen) {
  TargetSets sets(g);
  for (std::uint64_t r : shared_sources)
    for (std::uint64_t e = row_first[r] + 1; e < row_first[r + 1]; ++e)
      sets.unite(cand[row_first[r]].target, cand[e].target);
  constexpr std::uint64_t kNoComponent = ~std::uint64_t{0};
  std::vector<std::uint64_t> component_of_root(g, kNoComponent);
  std::vector<std::uint64_t> source_component;
  std::uint64_t components = 0;
  for (std::uint64_t r : shared_sources) {
    auto& id = component_of_root[sets.find(cand[row_first[r]].target)];
    if (id == kNoComponent) id = components++;
    source_component.push_back(id);
  }
  std::vector<char> reached(g, 0);
  for (std::uint64_t r : shared_sources)
    for (std::uint64_t e = row_first[r]; e < row_first[r + 1]; ++e) reached[cand[e].target] = 1;
  std::vector<std::uint64_t> reached_targets, target_component;
  for (std::uint64_t t = 0; t < g; ++t) {
    if (!reached[t]) continue;
    reached_targets.push_back(t);
    target_component.push_back(component_of_root[sets.find(t)]);
  }
  std::vector<std::uint64_t> sources_by_component, targets_by_component;
  const auto source_begin = group_offsets(source_component, components, sources_by_component, shared_sources);
  const auto target_begin = group_offsets(target_component, components, targets_by_component, reached_targets);
  std::vector<std::uint32_t> column_of_target(g, 0);
  for (std::uint64_t c = 0; c < components; ++c) {
    if (target_begin[c + 1] - target_begin[c] >= kUnassigned)
      throw std::length_error("linking: a connected group of targets is too large");
    for (std::uint64_t k = target_begin[c]; k < target_begin[c + 1]; ++k)
      column_of_target[targets_by_component[k]] = static_cast<std::uint32_t>(k - target_begin[c]);
  }

  // Components are independent: solved in parallel, each writing only its own sources' choices.
  constexpr std::size_t kComponentsPerTask = 256;
  parallel_for((components + kComponentsPerTask - 1) / kComponentsPerTask, [&](std::size_t task) {
    ComponentSolver solver;
    const std::uint64_t end = std::min<std::uint64_t>(components, (task + 1) * kComponentsPerTask);
    for (std::uint64_t c = task * kComponentsPerTask; c < end; ++c) {
      solver.solve(std::span(sources_by_component).subspan(source_begin[c], source_begin[c + 1] - source_begin[c]),
                   std::span(targets_by_component).subspan(target_begin[c], target_begin[c + 1] - target_begin[c]),
                   cand, row_first, column_of_target, no_link_cost, chosen);
    }
  });
}

/// The links of source frame a to frame a + s: an optimal assignment of the pair, solved
/// component by component. Pairs come in ascending source order.
template <std::size_t D, class Gate>
std::vector<LinkPair> link_frame_pair(const LinkContext<D, Gate>& ctx, std::size_t a, std::size_t s) {
  const std::size_t b = a + s;
  const std::uint64_t sources_first = ctx.store.frame_begin[a];
  const std::uint64_t targets_first = ctx.store.frame_begin[b];
  const std::uint64_t f = ctx.store.frame_begin[a + 1] - sources_first;
  const std::uint64_t g = ctx.store.frame_begin[b + 1] - targets_first;
  std::vector<LinkPair> pairs;
  if (f == 0 || g == 0) return pairs;

  const auto cand = parallel_gather<Candidate>(
      f,
      [&](std::size_t r, std::vector<Candidate>& out) {
        feasible_entries(ctx, r, sources_first, targets_first, ctx.indexes[b], out);
      },
      1024);
  if (cand.empty()) return pairs;
  std::vector<std::uint64_t> row_first(f + 1, 0);
  for (const auto& c : cand) ++row_first[c.source + 1];
  for (std::uint64_t r = 0; r < f; ++r) row_first[r + 1] += row_first[r];

  // A source whose targets no other source reaches is a component of its own (the usual case).
  std::vector<std::uint8_t> reached_by(g, 0);
  for (const auto& c : cand) reached_by[c.target] = reached_by[c.target] == 0 ? 1 : 2;
  std::vector<std::uint64_t> chosen(f, kNoTarget);
  std::vector<std::uint64_t> shared_sources;
  for (std::uint64_t r = 0; r < f; ++r) {
    if (row_first[r] == row_first[r + 1]) continue;  // no feasible target: stays unlinked
    bool shared = false;
    for (std::uint64_t e = row_first[r]; e < row_first[r + 1]; ++e) shared = shared || reached_by[cand[e].target] > 1;
    if (shared)
      shared_sources.push_back(r);
    else
      chosen[r] = cheapest_target(cand, row_first[r], row_first[r + 1]);
  }
  if (!shared_sources.empty())
    solve_shared_components(cand, row_first, shared_sources, g, ctx.scale.no_link_cost, chosen);
  for (std::uint64_t r = 0; r < f; ++r)
    if (chosen[r] != kNoTarget) pairs.emplace_back(sources_first + r, targets_first + chosen[r]);
  return pairs;
}

}  // namespace

template <std::size_t D, class Gate>
TrackArrays link_points_with(std::span<const View2<float>> frames, float max_distance,
                             std::uint64_t max_skip, const Gate& gate) {
  const DistanceScale scale = distance_scale(max_distance);
  const PointStore<D> store = read_points<D>(frames);
  const std::size_t n = store.frames();

  // Cells twice as wide as the reach of the distance gate: the box around a source then spans at
  // most two cells per axis.
  const double inverse_side = 1.0 / (2.0 * scale.axis_reach * (1.0 + 0x1p-18));
  std::vector<SearchBox<D>> boxes(store.points.size());
  std::vector<FrameIndex<D>> indexes(n);
  parallel_for(n, [&](std::size_t k) {
    for (std::uint64_t p = store.frame_begin[k]; p < store.frame_begin[k + 1]; ++p)
      boxes[p] = search_box(store.points[p], scale, inverse_side);
    indexes[k] = build_index(store, boxes, k, inverse_side);
  });
  const LinkContext<D, Gate> ctx{store, boxes, indexes, scale, gate};

  // Gaps run from 1 to max_skip + 1 (no overflow) and stop before reaching past the last frame.
  const std::size_t gaps = n < 2 ? 0 : (max_skip >= n - 2 ? n - 1 : static_cast<std::size_t>(max_skip) + 1);
  // proposals[s - 1][a]: every proposal is computed before any link is recorded.
  std::vector<std::vector<std::vector<LinkPair>>> proposals(gaps);
  parallel_for(gaps, [&](std::size_t gi) {
    const std::size_t s = gi + 1;
    proposals[gi].resize(n - s);
    parallel_for(n - s, [&](std::size_t a) { proposals[gi][a] = link_frame_pair(ctx, a, s); });
  });

  // Recording in gap-major, frame-minor order: a link of a longer gap is kept only if no shorter
  // gap has already given its source a successor or its target a predecessor.
  LinkTable links(store.points.size());
  for (const auto& by_frame : proposals)
    for (const auto& pairs : by_frame)
      for (const auto& [i, j] : pairs)
        if (links.successor[i] == LinkTable::kNone && links.predecessor[j] == LinkTable::kNone) {
          links.successor[i] = j;
          links.predecessor[j] = i;
        }
  return tracks_to_arrays(assemble_tracks(store, links));
}

template TrackArrays link_points_with<2, IntensityRatioGate>(std::span<const View2<float>>, float,
                                                             std::uint64_t, const IntensityRatioGate&);
template TrackArrays link_points_with<3, AnyIntensity>(std::span<const View2<float>>, float,
                                                       std::uint64_t, const AnyIntensity&);

TrackArrays link_points(std::span<const View2<float>> frames, float max_distance,
                        std::uint64_t max_skip, float max_intensity_ratio) {
  return link_points_with<2>(frames, max_distance, max_skip, IntensityRatioGate{max_intensity_ratio});
}

}  // namespace quorlin
