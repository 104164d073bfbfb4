// The 3-D voxel walk and the sum-and-count track volume.
#include "render/image3d.h"

#include <cstdlib>

namespace quorlin {

LineCells3d::LineCells3d(const Cell<3>& from, const Cell<3>& to) : start_(from) {
  for (std::size_t a = 0; a < 3; ++a) {
    const std::int64_t d = to[a] - from[a];
    length_[a] = std::abs(d);
    sign_[a] = (d > 0) - (d < 0);
    steps_ = std::max(steps_, length_[a]);
  }
  half_ = steps_ / 2;
}

std::int64_t LineCells3d::moved_along(std::size_t a, std::uint64_t j) const {
  if (length_[a] == 0) return 0;
  // The error term stays in [0, n): it is ⌊n/2⌋ − j·|Δa| + moved·n.
  const int128 behind = static_cast<int128>(j) * length_[a] - half_;
  if (behind <= 0) return 0;
  return static_cast<std::int64_t>((behind + steps_ - 1) / steps_);
}

Cell<3> LineCells3d::cell_at(std::uint64_t j) const {
  Cell<3> cell = start_;
  for (std::size_t a = 0; a < 3; ++a) cell[a] += sign_[a] * moved_along(a, j);
  return cell;
}

RenderedTracks<3, 1> render_track_volume(View2<float> matrix_x_y_z_intensity,
                                         View1<std::int32_t> track_end_indices,
                                         const std::array<float, 6>& extent, float pixel_size) {
  const RenderGrid<3> grid = render_grid<3>(extent, pixel_size);
  const std::vector<RowRange> tracks =
      split_tracks(matrix_x_y_z_intensity, track_end_indices, 4, "matrix_x_y_z_intensity");
  MemoryBudget budget;
  const std::uint64_t cells = reserve_grid(grid, sizeof(float) + sizeof(std::uint32_t), budget);
  RenderedTracks<3, 1> out;
  out.grid = grid;
  std::vector<float> sums(cells, 0.0f);
  std::vector<std::uint32_t> counts(cells, 0);
  // Every sample adds to its voxel in drawing order; counts wrap modulo 2^32.
  draw_tracks<3, std::int32_t, LineCells3d, float>(matrix_x_y_z_intensity, tracks, grid,
                                                   [&](std::uint64_t cell, float sample) {
                                                     sums[cell] = sample + sums[cell];
                                                     ++counts[cell];
                                                   });
  out.images[0] = ResultArray<float>(std::move(sums), grid.shape());
  out.counts = ResultArray<std::uint32_t>(std::move(counts), grid.shape());
  return out;
}

}  // namespace quorlin
