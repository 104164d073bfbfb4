// Grid, track splitting, point mapping, hits and per-cell hit lists shared by the track renderers.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/array_view.h"
#include "common/errors.h"
#include "common/memory.h"
#include "common/saturate.h"
#include "common/sort.h"

namespace quorlin {

using int128 = __int128;
using uint128 = unsigned __int128;

/// A cell index per axis (x, y[, z]); may lie outside the grid, below zero included.
template <std::size_t N>
using Cell = std::array<std::int64_t, N>;

/// A regular grid of square cells laid over an extent at pitch p. Cell i on axis a is centred on
/// lower[a] + i·p; upper[a] = lower[a] + p·size[a] is the adjusted upper bound.
template <std::size_t N>
struct RenderGrid {
  std::array<std::uint64_t, N> size{};
  std::array<float, N> lower{};
  std::array<float, N> upper{};

  bool contains(const Cell<N>& cell) const {
    for (std::size_t a = 0; a < N; ++a)
      if (cell[a] < 0 || static_cast<std::uint64_t>(cell[a]) >= size[a]) return false;
    return true;
  }
  /// Row-major number of an in-grid cell: X·ny + Y in 2-D, (X·ny + Y)·nz + Z in 3-D.
  std::uint64_t flat(const Cell<N>& cell) const {
    std::uint64_t index = 0;
    for (std::size_t a = 0; a < N; ++a)
      index = index * size[a] + static_cast<std::uint64_t>(cell[a]);
    return index;
  }
  std::vector<std::uint64_t> shape() const { return {size.begin(), size.end()}; }
};

/// Throws the `pixel_size` ValueError unless the pitch is finite and greater than zero.
void check_pixel_size(float pixel_size);

// A span short of k cells by less than 0.001 cell still gets k cells.
constexpr float kSpanMargin = 0.999f;

/// The grid over extent (lower0, upper0, lower1, upper1[, lower2, upper2]) at pitch pixel_size.
template <std::size_t N>
RenderGrid<N> render_grid(const std::array<float, 2 * N>& extent, float pixel_size) {
  check_pixel_size(pixel_size);
  const float margin = kSpanMargin * pixel_size;
  RenderGrid<N> grid;
  for (std::size_t a = 0; a < N; ++a) {
    const float lower = extent[2 * a];
    const float upper = extent[2 * a + 1];
    grid.size[a] = sat_u64(((upper - lower) + margin) / pixel_size);
    grid.lower[a] = lower;
    grid.upper[a] = lower + pixel_size * static_cast<float>(grid.size[a]);
  }
  return grid;
}

/// The rows [begin, end) of one track, already cut to the rows the matrix has.
struct RowRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

/// Cuts the matrix rows into tracks by their exclusive end rows. Ends past the last row keep the
/// rows that exist; a track ending at or before its start is empty; rows after the last end are not
/// drawn. Throws ValueError for a matrix of fewer than `width` columns (naming `matrix_name`) and
/// for a negative end.
std::vector<RowRange> split_tracks(View2<float> matrix, View1<std::int32_t> track_end_indices,
                                   std::uint64_t width, const char* matrix_name);

/// One hit of the value renderers: the interpolated intensity and value.
struct ValueHit {
  float intensity;
  float value;
};

inline float intensity_of(float hit) {
  return hit;
}
inline float intensity_of(const ValueHit& hit) {
  return hit.intensity;
}
inline bool has_nan(float hit) {
  return std::isnan(hit);
}
inline bool has_nan(const ValueHit& hit) {
  return std::isnan(hit.intensity) || std::isnan(hit.value);
}

/// t·to + (1 − t)·from in 32-bit arithmetic, in that order.
inline float lerp_hit(float t, float from, float to) {
  return t * to + (1.0f - t) * from;
}
inline ValueHit lerp_hit(float t, const ValueHit& from, const ValueHit& to) {
  return {lerp_hit(t, from.intensity, to.intensity), lerp_hit(t, from.value, to.value)};
}

/// The hit quantities of a matrix row, starting at `column` (intensity, then value).
template <class Hit>
Hit read_hit(View2<float> matrix, std::uint64_t row, std::uint64_t column) {
  if constexpr (std::is_same_v<Hit, ValueHit>)
    return {matrix(row, column), matrix(row, column + 1)};
  else
    return matrix(row, column);
}

/// A track point mapped to the grid. A point whose cell is undefined (a NaN coordinate) is not
/// placed: neither it nor the segments that touch it are drawn.
template <std::size_t N, class Hit>
struct GridPoint {
  Cell<N> cell{};
  Hit hit{};
  bool placed = true;
};

/// The saturating conversion of a rounded cell coordinate to the renderer's index type.
template <class Index>
std::int64_t saturate_index(float v) {
  if constexpr (std::is_same_v<Index, std::int32_t>)
    return sat_i32(v);
  else
    return sat_i64(v);
}

/// Maps the rows of one track to grid points (columns 0 .. N-1 are the coordinates, the hit
/// follows), dropping a point that falls into the same cell as the last point kept.
template <std::size_t N, class Index, class Hit>
void map_track(View2<float> matrix, RowRange rows, const RenderGrid<N>& grid,
               std::vector<GridPoint<N, Hit>>& points) {
  points.clear();
  for (std::uint64_t r = rows.begin; r < rows.end; ++r) {
    GridPoint<N, Hit> p;
    for (std::size_t a = 0; a < N; ++a) {
      const float scaled = (matrix(r, a) - grid.lower[a]) / (grid.upper[a] - grid.lower[a]) *
                           static_cast<float>(grid.size[a]);
      if (std::isnan(scaled)) p.placed = false;
      p.cell[a] = saturate_index<Index>(std::round(scaled));
    }
    p.hit = read_hit<Hit>(matrix, r, N);
    const bool repeat =
        p.placed && !points.empty() && points.back().placed && points.back().cell == p.cell;
    if (!repeat) points.push_back(p);
  }
}

/// Smallest j in [0, n) with pred(j) true, or n; pred must be false and then true along j.
template <class Pred>
std::uint64_t first_step_where(std::uint64_t n, Pred&& pred) {
  std::uint64_t lo = 0;
  std::uint64_t hi = n;
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (pred(mid))
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

/// The steps [first, last) of a walk whose cells lie inside the grid. Every coordinate of a walk
/// moves monotonically, so these steps form one range; it is found by bisection on the walk's
/// closed form, so a segment reaching astronomically far outside costs no more than one inside.
template <std::size_t N, class Walk>
std::pair<std::uint64_t, std::uint64_t> in_grid_steps(const Walk& walk, const RenderGrid<N>& grid) {
  const std::uint64_t n = walk.cells();
  if (n == 0) return {0, 0};
  const Cell<N> head = walk.cell_at(0);
  const Cell<N> tail = walk.cell_at(n - 1);
  if (grid.contains(head) && grid.contains(tail)) return {0, n};
  std::uint64_t first = 0;
  std::uint64_t last = n;
  for (std::size_t a = 0; a < N; ++a) {
    const int128 size = static_cast<int128>(grid.size[a]);
    auto coordinate = [&](std::uint64_t j) { return static_cast<int128>(walk.cell_at(j)[a]); };
    std::uint64_t enter = 0;
    std::uint64_t leave = 0;
    if (head[a] <= tail[a]) {
      enter = first_step_where(n, [&](std::uint64_t j) { return coordinate(j) >= 0; });
      leave = first_step_where(n, [&](std::uint64_t j) { return coordinate(j) >= size; });
    } else {
      enter = first_step_where(n, [&](std::uint64_t j) { return coordinate(j) < size; });
      leave = first_step_where(n, [&](std::uint64_t j) { return coordinate(j) < 0; });
    }
    first = std::max(first, enter);
    last = std::min(last, leave);
  }
  if (first >= last) return {0, 0};
  return {first, last};
}

/// The interpolation denominator of a walk of `cells` cells: f32(cells + 1) − 1, equal to `cells`
/// below 2^24.
inline float walk_denominator(std::uint64_t cells) {
  return static_cast<float>(static_cast<uint128>(cells) + 1) - 1.0f;
}

/// Draws one track: the j-th cell of the walk between consecutive points receives the hit
/// interpolated at t = j / walk_denominator, then the last point receives its own hit. Hits with a
/// NaN quantity and cells outside the grid are left out. sink(cell number, hit) takes each hit.
template <class Walk, std::size_t N, class Hit, class Sink>
void draw_track(const std::vector<GridPoint<N, Hit>>& points, const RenderGrid<N>& grid,
                Sink&& sink) {
  if (points.empty()) return;
  for (std::size_t k = 0; k + 1 < points.size(); ++k) {
    const GridPoint<N, Hit>& from = points[k];
    const GridPoint<N, Hit>& to = points[k + 1];
    // A NaN at either end makes every interpolated hit NaN (t and 1 − t are finite), so such a
    // segment adds nothing and need not be walked.
    if (!from.placed || !to.placed || has_nan(from.hit) || has_nan(to.hit)) continue;
    const Walk walk(from.cell, to.cell);
    // A walk stays within the box spanned by its ends, so with both ends inside nothing is clipped.
    const auto [first, last] = grid.contains(from.cell) && grid.contains(to.cell)
                                   ? std::pair<std::uint64_t, std::uint64_t>{0, walk.cells()}
                                   : in_grid_steps(walk, grid);
    if (first == last) continue;
    const float d = walk_denominator(walk.cells());
    walk.visit(first, last, [&](std::uint64_t j, const Cell<N>& cell) {
      const float t = d == 0.0f ? 0.0f : static_cast<float>(j) / d;
      const Hit hit = lerp_hit(t, from.hit, to.hit);
      if (!has_nan(hit)) sink(grid.flat(cell), hit);
    });
  }
  const GridPoint<N, Hit>& tail = points.back();
  if (tail.placed && !has_nan(tail.hit) && grid.contains(tail.cell))
    sink(grid.flat(tail.cell), tail.hit);
}

/// Splits the matrix into tracks and draws them in track order. `Index` is the integer type cell
/// coordinates saturate to; the hit is read from the column after the N coordinates.
template <std::size_t N, class Index, class Walk, class Hit, class Sink>
void draw_tracks(View2<float> matrix, const std::vector<RowRange>& tracks,
                 const RenderGrid<N>& grid, Sink&& sink) {
  for (std::uint64_t s : grid.size)
    if (s == 0) return;
  std::vector<GridPoint<N, Hit>> points;
  for (const RowRange& rows : tracks) {
    map_track<N, Index>(matrix, rows, grid, points);
    draw_track<Walk>(points, grid, sink);
  }
}

/// Number of cells of the grid, after taking bytes_per_cell for each of them from the budget;
/// throws MemoryError when the buffers of such a grid cannot be had.
template <std::size_t N>
std::uint64_t reserve_grid(const RenderGrid<N>& grid, std::uint64_t bytes_per_cell,
                           MemoryBudget& budget);

/// The hits of every cell, grouped by cell in arrival order: cell c owns hits[offsets[c] ..
/// offsets[c+1]).
template <class Hit>
struct HitLists {
  std::vector<std::uint64_t> offsets;
  std::vector<Hit> hits;

  std::span<Hit> of(std::uint64_t c) {
    return {hits.data() + offsets[c], hits.data() + offsets[c + 1]};
  }
};

/// Draws the tracks twice: the first pass counts the hits of every cell, which places each cell's
/// run in one buffer; the second, over the same walks, stores every hit once, as itself, in the
/// next slot of its cell's run. The runs thus hold the hits in arrival order, at sizeof(Hit) bytes
/// per hit and one offset per cell (reserved with the grid). Throws MemoryError, before taking the
/// buffer, when the hits do not fit the budget.
template <std::size_t N, class Index, class Walk, class Hit>
HitLists<Hit> collect_hits(View2<float> matrix, const std::vector<RowRange>& tracks,
                           const RenderGrid<N>& grid, std::uint64_t cells, MemoryBudget& budget) {
  HitLists<Hit> lists;
  lists.offsets.assign(cells + 1, 0);
  draw_tracks<N, Index, Walk, Hit>(
      matrix, tracks, grid, [&](std::uint64_t cell, const Hit&) { ++lists.offsets[cell + 1]; });
  for (std::uint64_t c = 0; c < cells; ++c) lists.offsets[c + 1] += lists.offsets[c];
  budget.take(lists.offsets[cells], sizeof(Hit), "the hits of the tracks");
  lists.hits.resize(lists.offsets[cells]);
  // Placing with offsets[c]++ leaves each offset at the next cell's start; shift them back.
  draw_tracks<N, Index, Walk, Hit>(matrix, tracks, grid, [&](std::uint64_t cell, const Hit& hit) {
    lists.hits[lists.offsets[cell]++] = hit;
  });
  for (std::uint64_t c = cells; c > 0; --c) lists.offsets[c] = lists.offsets[c - 1];
  lists.offsets[0] = 0;
  return lists;
}

// Up to this many hits an insertion sort beats the general sort.
constexpr std::size_t kInsertionSortHits = 20;

/// Sorts a cell's hits by ascending intensity; hits of equal intensity keep their arrival order.
template <class Hit>
void sort_by_intensity(std::span<Hit> hits) {
  stable_sort_short(hits, kInsertionSortHits,
                    [](const Hit& a, const Hit& b) { return intensity_of(a) < intensity_of(b); });
}

/// The hits left after sorting by intensity and dropping the lowest ⌊n/4⌋ of the n hits.
template <class Hit>
std::span<Hit> trimmed_hits(std::span<Hit> hits) {
  sort_by_intensity(hits);
  return hits.subspan(hits.size() / 4);
}

/// Output buffers of a renderer: `Images` float images, the counts and the grid.
template <std::size_t N, std::size_t Images>
struct RenderedTracks {
  std::array<ResultArray<float>, Images> images;
  ResultArray<std::uint32_t> counts;
  RenderGrid<N> grid;
};

/// Runs `statistics(hits, outputs..., counts)` over the hit lists of every cell of the grid and
/// returns the filled buffers; `statistics` sets the images of a cell with hits (cells without
/// hits keep 0).
template <std::size_t N, std::size_t Images, class Hit, class Statistics>
RenderedTracks<N, Images> cell_statistics(HitLists<Hit>& lists, const RenderGrid<N>& grid,
                                          std::uint64_t cells, Statistics&& statistics) {
  RenderedTracks<N, Images> out;
  out.grid = grid;
  for (auto& image : out.images)
    image = ResultArray<float>(std::vector<float>(cells, 0.0f), grid.shape());
  out.counts = ResultArray<std::uint32_t>(std::vector<std::uint32_t>(cells, 0), grid.shape());
  std::array<float, Images> values{};
  for (std::uint64_t c = 0; c < cells; ++c) {
    const std::span<Hit> hits = lists.of(c);
    out.counts.data[c] = static_cast<std::uint32_t>(hits.size());
    if (hits.empty()) continue;
    statistics(hits, values);
    for (std::size_t i = 0; i < Images; ++i) out.images[i].data[c] = values[i];
  }
  return out;
}

/// The common run of the hit-list renderers: grid, splitting, the hits grouped by cell, then
/// `statistics` per cell. Each cell costs its output buffers and one offset, each hit sizeof(Hit).
template <std::size_t N, std::size_t Images, class Index, class Walk, class Hit, class Statistics>
RenderedTracks<N, Images> render_hit_lists(View2<float> matrix,
                                           View1<std::int32_t> track_end_indices,
                                           const std::array<float, 2 * N>& extent, float pixel_size,
                                           const char* matrix_name, Statistics&& statistics) {
  const RenderGrid<N> grid = render_grid<N>(extent, pixel_size);
  const std::vector<RowRange> tracks = split_tracks(
      matrix, track_end_indices, N + (std::is_same_v<Hit, ValueHit> ? 2 : 1), matrix_name);
  MemoryBudget budget;
  const std::uint64_t per_cell =
      Images * sizeof(float) + sizeof(std::uint32_t) + sizeof(std::uint64_t);
  const std::uint64_t cells = reserve_grid(grid, per_cell, budget);
  HitLists<Hit> lists = collect_hits<N, Index, Walk, Hit>(matrix, tracks, grid, cells, budget);
  return cell_statistics<N, Images>(lists, grid, cells, statistics);
}

}  // namespace quorlin
