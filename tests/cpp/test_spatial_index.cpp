// Randomized check of the spatial index against brute force in 2-D and 3-D: every pair of points
// closer than the reach on every axis lies in adjacent cells, adjacency among occupied cells is
// symmetric, and with a reach that needs no widening of the cells, adjacent cells hold only points
// within two cell sides. The same for the cells adjacent to positions of a second set (points
// that are not filed, some far outside the filed ones or not finite), with cells numbered by key
// and by occupied cell.
// Exits non-zero on the first failure.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "common/spatial_index.h"

namespace {

// The index's three numberings of cells, as (box_cells_per_point, bitmap_cells_per_point): by
// sorted occupied keys, as for thinning (by key where the box is small), by bitmap, by key.
constexpr std::uint64_t kFew = 1, kMany = 4096;
constexpr std::uint64_t kNumberings[4][2] = {{kFew, 0}, {8, 0}, {kFew, kMany}, {kMany, 0}};

template <std::size_t N>
std::vector<std::size_t> adjacent_cells(const quorlin::SpatialIndex<N>& index, std::size_t cell) {
  std::vector<std::size_t> cells;
  index.any_adjacent(cell, [&](std::size_t c) {
    cells.push_back(c);
    return false;
  });
  return cells;
}

template <std::size_t N>
bool finite(const std::array<float, N>& p) {
  return std::all_of(p.begin(), p.end(), [](float v) { return std::isfinite(v); });
}

template <std::size_t N>
bool check_round(const std::vector<std::array<float, N>>& points, double reach, int round) {
  const auto& numbering = kNumberings[round % 4];
  const quorlin::SpatialIndex<N> index(points.size(), [&](std::size_t i) { return points[i]; },
                                       reach, numbering[0], numbering[1]);
  const auto fail = [&](const char* what) {
    std::printf("%zu-D round %d, reach %g: %s\n", N, round, reach, what);
    return false;
  };
  // Every finite point is filed, no other.
  for (std::size_t i = 0; i < points.size(); ++i)
    if ((index.cell_of(i) == index.kNoCell) == finite(points[i]) ||
        (finite(points[i]) && index.cell_of(i) >= index.cell_count()))
      return fail("finite points must be filed, others not");
  std::vector<char> occupied(index.cell_count(), 0);
  for (std::size_t i = 0; i < points.size(); ++i)
    if (finite(points[i])) occupied[index.cell_of(i)] = 1;
  for (std::size_t c = 0; c < index.cell_count(); ++c) {
    if (!occupied[c]) continue;
    const auto adjacent = adjacent_cells(index, c);
    if (std::find(adjacent.begin(), adjacent.end(), c) == adjacent.end())
      return fail("cell not adjacent to itself");
    auto distinct = adjacent;
    std::sort(distinct.begin(), distinct.end());
    if (std::unique(distinct.begin(), distinct.end()) != distinct.end()) return fail("repeated");
    if (adjacent.size() > static_cast<std::size_t>(std::pow(3.0, N))) return fail("too many");
    for (std::size_t d : adjacent) {
      if (d >= index.cell_count()) return fail("adjacent cell out of range");
      if (!occupied[d]) continue;
      const auto back = adjacent_cells(index, d);
      if (std::find(back.begin(), back.end(), c) == back.end()) return fail("asymmetric");
    }
  }
  double widest = 0.0;
  for (std::size_t r = 0; r < N; ++r) {
    double lo = INFINITY, hi = -INFINITY;
    for (const auto& p : points)
      if (finite(p)) {
        lo = std::min(lo, static_cast<double>(p[r]));
        hi = std::max(hi, static_cast<double>(p[r]));
      }
    widest = std::max(widest, hi - lo);
  }
  const bool narrow = reach >= widest * 1e-6;  // no cell widened beyond the reach
  if (narrow && index.cell_count() > 0 && !(index.cell_side() <= reach * (1.0 + 0x1p-15)))
    return fail("cells wider than the reach needs");
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!finite(points[i])) continue;
    std::vector<char> near(index.cell_count(), 0);
    for (std::size_t c : adjacent_cells(index, index.cell_of(i))) near[c] = 1;
    for (std::size_t j = 0; j < points.size(); ++j) {
      if (!finite(points[j])) continue;
      bool close = true;
      double farthest = 0.0;
      for (std::size_t r = 0; r < N; ++r) {
        const double d = std::fabs(static_cast<double>(points[i][r]) - points[j][r]);
        close &= d < reach;
        farthest = std::max(farthest, d);
      }
      const bool adjacent = near[index.cell_of(j)];
      if (close && !adjacent) return fail("a close pair lies in cells that are not adjacent");
      if (adjacent && narrow && !(farthest <= 2.0 * index.cell_side() * (1.0 + 1e-12)))
        return fail("adjacent cells hold a far point");
    }
  }
  return true;
}

/// Queries near, on, a reach away from and far from the filed points, and non-finite ones: every
/// filed point closer than the reach on every axis lies in a cell visited for the query.
template <std::size_t N>
bool check_queries(const std::vector<std::array<float, N>>& points, double reach, int round,
                   std::mt19937& rng) {
  const auto& numbering = kNumberings[(round / 8 + round) % 4];
  const quorlin::SpatialIndex<N> index(points.size(), [&](std::size_t i) { return points[i]; },
                                       reach, numbering[0], numbering[1]);
  const auto fail = [&](const char* what) {
    std::printf("%zu-D query round %d, reach %g: %s\n", N, round, reach, what);
    return false;
  };
  std::uniform_real_distribution<double> step(-1.5, 1.5);
  for (std::size_t k = 0; k < 2 * points.size(); ++k) {
    std::array<float, N> q = points[k % points.size()];
    for (float& v : q) {
      const int kind = static_cast<int>(rng() % 8);
      if (kind < 4) v = static_cast<float>(v + step(rng) * std::min(reach, 1e30));
      if (kind == 4) v = std::nextafter(static_cast<float>(v - reach), v);
      if (kind == 5) v = -v * 3.0f;
      if (kind == 6 && rng() % 16 == 0) v = rng() % 2 ? NAN : INFINITY;
    }
    std::vector<std::size_t> cells;
    index.any_adjacent_to(q, [&](std::size_t first, std::size_t end) {
      if (first >= end) cells.push_back(index.kNoCell);  // an empty run: reported out of range
      for (std::size_t c = first; c < end; ++c) cells.push_back(c);
      return false;
    });
    std::sort(cells.begin(), cells.end());
    if (std::unique(cells.begin(), cells.end()) != cells.end()) return fail("repeated");
    if (!cells.empty() && (cells.back() >= index.cell_count() || !finite(q)))
      return fail("a cell out of range, or cells for a non-finite position");
    for (std::size_t j = 0; j < points.size(); ++j) {
      if (!finite(points[j]) || !finite(q)) continue;
      bool close = true;
      for (std::size_t r = 0; r < N; ++r)
        close &= std::fabs(static_cast<double>(points[j][r]) - q[r]) < reach;
      if (close && !std::binary_search(cells.begin(), cells.end(), index.cell_of(j)))
        return fail("a close point lies in a cell not adjacent to the position");
    }
  }
  return true;
}

template <std::size_t N>
bool check(std::mt19937& rng, int rounds) {
  const double reaches[] = {1.0, 0.3, 7.0, 1e-9, 1e-30, 1e30, 0x1p64, INFINITY};
  const float spans[] = {10.0f, 1000.0f, 1e-6f, 1e25f};
  std::uniform_int_distribution<int> pick(0, 99);
  for (int round = 0; round < rounds; ++round) {
    const double reach = reaches[round % 8];
    const float span = spans[(round / 8) % 4];
    std::uniform_real_distribution<float> uniform(-span, span);
    std::vector<std::array<float, N>> points(static_cast<std::size_t>(1 + round % 200));
    for (std::size_t k = 0; k < points.size(); ++k) {
      for (float& v : points[k]) v = uniform(rng);
      const int kind = pick(rng);
      if (k > 0 && kind < 30) {  // on, next to, or a reach away from an earlier point
        points[k] = points[static_cast<std::size_t>(rng()) % k];
        float& v = points[k][static_cast<std::size_t>(kind) % N];
        if (kind % 3 == 1) v = std::nextafter(v, INFINITY);
        if (kind % 3 == 2) v = std::nextafter(static_cast<float>(v + reach), v);
      } else if (kind == 99) {
        points[k][N - 1] = k % 2 ? std::numeric_limits<float>::quiet_NaN() : -INFINITY;
      }
    }
    if (!check_round<N>(points, reach, round) || !check_queries<N>(points, reach, round, rng))
      return false;
  }
  return true;
}

}  // namespace

int main() {
  std::mt19937 rng(20261208);
  if (!check<2>(rng, 800) || !check<3>(rng, 800)) return 1;
  std::printf("spatial index: every close pair, and every point close to a position, lies in "
              "adjacent cells\n");
  return 0;
}
