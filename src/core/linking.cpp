// The linking machinery shared by 2-D and 3-D, and the 2-D entry `link_points`.
#include "linking.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

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

/// Cell of the search index along one axis: floor(v / side) in double, clamped to +-2^62. Keeps
/// its sign, so negative coordinates spread over cells like positive ones; monotone in v.
std::int64_t index_cell(double v, double side) {
  const double q = std::floor(v / side);
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

/// One frame's points with finite coordinates, sorted by index cell (lexicographic), then by
/// global index. A point with a non-finite coordinate can never pass the distance gate.
template <std::size_t D>
struct FrameIndex {
  struct Entry {
    std::array<std::int64_t, D> cell;
    std::uint64_t point;
  };
  std::vector<Entry> entries;
};

template <std::size_t D>
FrameIndex<D> build_index(const PointStore<D>& store, std::size_t frame, double side) {
  FrameIndex<D> index;
  const std::uint64_t first = store.frame_begin[frame], last = store.frame_begin[frame + 1];
  index.entries.reserve(last - first);
  for (std::uint64_t p = first; p < last; ++p) {
    const auto& pos = store.points[p].position;
    if (!std::all_of(pos.begin(), pos.end(), [](float v) { return std::isfinite(v); })) continue;
    typename FrameIndex<D>::Entry e{};
    for (std::size_t a = 0; a < D; ++a) e.cell[a] = index_cell(pos[a], side);
    e.point = p;
    index.entries.push_back(e);
  }
  std::sort(index.entries.begin(), index.entries.end(),
            [](const auto& x, const auto& y) { return std::tie(x.cell, x.point) < std::tie(y.cell, y.point); });
  return index;
}

/// Calls visit(point) for every entry of the sorted range [first, last) whose cell lies within
/// [lo, hi] on every axis from A on; the entries of the range share their cells on earlier axes.
template <std::size_t A, std::size_t D, class Visit>
void visit_box(const typename FrameIndex<D>::Entry* first, const typename FrameIndex<D>::Entry* last,
               const std::array<std::int64_t, D>& lo, const std::array<std::int64_t, D>& hi,
               Visit& visit) {
  using Entry = typename FrameIndex<D>::Entry;
  const Entry* it = std::lower_bound(first, last, lo[A],
                                     [](const Entry& e, std::int64_t c) { return e.cell[A] < c; });
  if constexpr (A + 1 == D) {
    for (; it != last && it->cell[A] <= hi[A]; ++it) visit(it->point);
  } else {
    while (it != last && it->cell[A] <= hi[A]) {
      const Entry* run_end = std::upper_bound(
          it, last, it->cell[A], [](std::int64_t c, const Entry& e) { return c < e.cell[A]; });
      visit_box<A + 1, D>(it, run_end, lo, hi, visit);
      it = run_end;
    }
  }
}

/// Everything a (frame, gap) task reads; shared and read-only during the proposal phase.
template <std::size_t D, class Gate>
struct LinkContext {
  const PointStore<D>& store;
  const std::vector<FrameIndex<D>>& indexes;
  DistanceScale scale;
  double cell_side;
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
  const auto& pos = source.position;
  if (!std::all_of(pos.begin(), pos.end(), [](float v) { return std::isfinite(v); })) return;
  const float md = ctx.scale.max_distance;
  // A point passes the distance gate only if |fl(x_i - x_j)| <= axis_reach on every axis, so its
  // exact offset is within axis_reach * (1 + 2^-24). The box adds a margin for the double
  // arithmetic of the cell bounds; the exact tests below decide.
  std::array<std::int64_t, D> lo{}, hi{};
  std::array<std::uint64_t, D> cell{};
  for (std::size_t a = 0; a < D; ++a) {
    const double x = pos[a];
    const double reach = ctx.scale.axis_reach * (1.0 + 0x1p-20) + (std::fabs(x) + ctx.scale.axis_reach) * 0x1p-50;
    lo[a] = index_cell(x - reach, ctx.cell_side);
    hi[a] = index_cell(x + reach, ctx.cell_side);
    cell[a] = neighbourhood_cell(pos[a], md);
  }
  auto visit = [&](std::uint64_t q) {
    const auto& target = ctx.store.points[q];
    const float d2 = detail::squared_distance<D>(pos, target.position);
    if (!(d2 <= ctx.scale.max_distance_squared)) return;
    if (!ctx.gate(source.intensity, target.intensity)) return;
    for (std::size_t a = 0; a < D; ++a)
      if (neighbourhood_cell(target.position[a], md) - cell[a] + 1 > 2) return;
    const std::int64_t cost = sat_i64(std::sqrt(d2) * 1000000.0f);
    if (cost > ctx.scale.no_link_cost) return;
    out.push_back(Candidate{r, q - targets_first, cost});
  };
  const auto* entries = targets.entries.data();
  visit_box<0, D>(entries, entries + targets.entries.size(), lo, hi, visit);
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

/// Solves one connected component: sources and targets (both ascending, positions within their
/// frames), with the candidates of each source at cand[row_first[s] .. row_first[s + 1]).
/// Writes the chosen target of each source into chosen (untouched for an unlinked source).
struct ComponentSolver {
  AssignmentSolver solver;
  std::vector<std::size_t> row_begin;
  std::vector<AssignmentEntry> entries;
  std::vector<std::int64_t> no_link;

  void solve(std::span<const std::uint64_t> sources, std::span<const std::uint64_t> targets,
             const std::vector<Candidate>& cand, const std::vector<std::uint64_t>& row_first,
             const std::vector<std::uint32_t>& column_of_target, std::int64_t no_link_cost,
             std::vector<std::uint64_t>& chosen) {
    if (sources.size() == 1) {
      // A lone source takes its cheapest target (the lowest one among equals) when that costs no
      // more than staying unlinked; every candidate already does.
      const std::uint64_t s = sources[0];
      const Candidate* best = nullptr;
      for (std::uint64_t e = row_first[s]; e < row_first[s + 1]; ++e)
        if (best == nullptr || cand[e].cost < best->cost ||
            (cand[e].cost == best->cost && cand[e].target < best->target))
          best = &cand[e];
      chosen[s] = best->target;
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

  // Sources that can reach a common target belong to one component; the total cost separates
  // over components because every source's no-link column is its own.
  TargetSets sets(g);
  for (std::uint64_t r = 0; r < f; ++r)
    for (std::uint64_t e = row_first[r] + 1; e < row_first[r + 1]; ++e)
      sets.unite(cand[row_first[r]].target, cand[e].target);
  constexpr std::uint64_t kNoComponent = ~std::uint64_t{0};
  std::vector<std::uint64_t> component_of_root(g, kNoComponent);
  std::vector<std::uint64_t> linked_sources, source_component;
  std::uint64_t components = 0;
  for (std::uint64_t r = 0; r < f; ++r) {
    if (row_first[r] == row_first[r + 1]) continue;  // no feasible target: stays unlinked
    auto& id = component_of_root[sets.find(cand[row_first[r]].target)];
    if (id == kNoComponent) id = components++;
    linked_sources.push_back(r);
    source_component.push_back(id);
  }
  std::vector<char> reached(g, 0);
  for (const auto& c : cand) reached[c.target] = 1;
  std::vector<std::uint64_t> reached_targets, target_component;
  for (std::uint64_t t = 0; t < g; ++t) {
    if (!reached[t]) continue;
    reached_targets.push_back(t);
    target_component.push_back(component_of_root[sets.find(t)]);
  }
  std::vector<std::uint64_t> sources_by_component, targets_by_component;
  const auto source_begin = group_offsets(source_component, components, sources_by_component, linked_sources);
  const auto target_begin = group_offsets(target_component, components, targets_by_component, reached_targets);
  std::vector<std::uint32_t> column_of_target(g, 0);
  for (std::uint64_t c = 0; c < components; ++c) {
    if (target_begin[c + 1] - target_begin[c] >= kUnassigned)
      throw std::length_error("linking: a connected group of targets is too large");
    for (std::uint64_t k = target_begin[c]; k < target_begin[c + 1]; ++k)
      column_of_target[targets_by_component[k]] = static_cast<std::uint32_t>(k - target_begin[c]);
  }

  // Components are independent: solved in parallel, each writing only its own sources' choices.
  std::vector<std::uint64_t> chosen(f, kNoComponent);
  constexpr std::size_t kComponentsPerTask = 256;
  parallel_for((components + kComponentsPerTask - 1) / kComponentsPerTask, [&](std::size_t task) {
    ComponentSolver solver;
    const std::uint64_t end = std::min<std::uint64_t>(components, (task + 1) * kComponentsPerTask);
    for (std::uint64_t c = task * kComponentsPerTask; c < end; ++c) {
      solver.solve(std::span(sources_by_component).subspan(source_begin[c], source_begin[c + 1] - source_begin[c]),
                   std::span(targets_by_component).subspan(target_begin[c], target_begin[c + 1] - target_begin[c]),
                   cand, row_first, column_of_target, ctx.scale.no_link_cost, chosen);
    }
  });
  for (std::uint64_t r = 0; r < f; ++r)
    if (chosen[r] != kNoComponent) pairs.emplace_back(sources_first + r, targets_first + chosen[r]);
  return pairs;
}

}  // namespace

template <std::size_t D, class Gate>
TrackArrays link_points_with(std::span<const View2<float>> frames, float max_distance,
                             std::uint64_t max_skip, const Gate& gate) {
  const DistanceScale scale = distance_scale(max_distance);
  const PointStore<D> store = read_points<D>(frames);
  const std::size_t n = store.frames();

  const double cell_side = max_distance;
  std::vector<FrameIndex<D>> indexes(n);
  parallel_for(n, [&](std::size_t k) { indexes[k] = build_index(store, k, cell_side); });
  const LinkContext<D, Gate> ctx{store, indexes, scale, cell_side, gate};

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
