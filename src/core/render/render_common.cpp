// Track splitting, the pitch check and the memory budget of the track renderers.
#include "render/render_common.h"

#include <limits>
#include <string>

namespace quorlin {

void check_pixel_size(float pixel_size) {
  if (!(pixel_size > 0.0f) || std::isinf(pixel_size))
    throw ValueError("pixel_size must be a finite number greater than 0");
}

std::vector<RowRange> split_tracks(View2<float> matrix, View1<std::int32_t> track_end_indices,
                                   std::uint64_t width, const char* matrix_name) {
  if (matrix.shape[1] < width)
    throw ValueError(std::string(matrix_name) + " must have at least " + std::to_string(width) +
                     " columns (it has " + std::to_string(matrix.shape[1]) + ")");
  const std::uint64_t count = track_end_indices.shape[0];
  for (std::uint64_t k = 0; k < count; ++k)
    if (track_end_indices(k) < 0)
      throw ValueError("track_end_indices must not hold negative values (entry " +
                       std::to_string(k) + " is " + std::to_string(track_end_indices(k)) + ")");
  const std::uint64_t rows = matrix.shape[0];
  std::vector<RowRange> tracks;
  tracks.reserve(count);
  std::uint64_t start = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    const auto end = static_cast<std::uint64_t>(track_end_indices(k));
    RowRange range;
    if (end > start && start < rows) range = {start, std::min(end, rows)};
    tracks.push_back(range);
    start = end;
  }
  return tracks;
}

template <std::size_t N>
std::uint64_t reserve_grid(const RenderGrid<N>& grid, std::uint64_t bytes_per_cell,
                           MemoryBudget& budget) {
  std::uint64_t cells = 1;
  std::string dims;
  bool overflow = false;
  for (std::size_t a = 0; a < N; ++a) {
    dims += (a == 0 ? "" : " x ") + std::to_string(grid.size[a]);
    if (grid.size[a] != 0 && cells > std::numeric_limits<std::uint64_t>::max() / grid.size[a])
      overflow = true;
    cells *= grid.size[a];
  }
  bool any_empty = false;
  for (std::uint64_t s : grid.size) any_empty = any_empty || s == 0;
  if (any_empty) return 0;
  const std::string what = "a render grid of " + dims + " cells";
  if (overflow)
    throw MemoryError("not enough memory for " + what + " (more cells than a 64-bit count holds)");
  budget.take(cells, bytes_per_cell, what.c_str());
  // The hit lists need one offset more than there are cells.
  budget.take(1, sizeof(std::uint64_t), what.c_str());
  return cells;
}

template std::uint64_t reserve_grid<2>(const RenderGrid<2>&, std::uint64_t, MemoryBudget&);
template std::uint64_t reserve_grid<3>(const RenderGrid<3>&, std::uint64_t, MemoryBudget&);

}  // namespace quorlin
