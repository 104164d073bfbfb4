// The 2-D octant walk and the trimmed-sum track image.
#include "render/image.h"

namespace quorlin {

LineCells2d::LineCells2d(const Cell<2>& from, const Cell<2>& to) : start_(from) {
  // Fold the direction into octant 0 (0 <= DW <= DU). T maps a cell into the octant, F = T⁻¹ maps
  // back; F is linear, so its images of (1, 0) and (0, 1) are the major and minor unit steps.
  const int128 diff_x = static_cast<int128>(to[0]) - from[0];
  const int128 diff_y = static_cast<int128>(to[1]) - from[1];
  int128 dx = diff_x;
  int128 dy = diff_y;
  int octant = 0;
  if (dy < 0) {
    dx = -dx;
    dy = -dy;
    octant += 4;
  }
  if (dx < 0) {
    const int128 old_dx = dx;
    dx = dy;
    dy = -old_dx;
    octant += 2;
  }
  if (dx < dy) octant += 1;
  // F(1, 0) and F(0, 1) of each octant.
  static constexpr std::int64_t kMajor[8][2] = {{1, 0},  {0, 1},  {0, 1},  {-1, 0},
                                                {-1, 0}, {0, -1}, {0, -1}, {1, 0}};
  static constexpr std::int64_t kMinor[8][2] = {{0, 1},  {1, 0},  {-1, 0}, {0, 1},
                                                {0, -1}, {-1, 0}, {1, 0},  {0, -1}};
  major_step_ = {kMajor[octant][0], kMajor[octant][1]};
  minor_step_ = {kMinor[octant][0], kMinor[octant][1]};
  // DU and DW are the components of the difference along the two steps (F is orthogonal, so T is
  // its transpose); both lie in [0, 2^64).
  major_length_ = static_cast<std::uint64_t>(major_step_[0] * diff_x + major_step_[1] * diff_y);
  minor_length_ = static_cast<std::uint64_t>(minor_step_[0] * diff_x + minor_step_[1] * diff_y);
}

Cell<2> LineCells2d::at(std::uint64_t j, std::uint64_t k) const {
  Cell<2> cell;
  for (std::size_t a = 0; a < 2; ++a)
    cell[a] = static_cast<std::int64_t>(static_cast<int128>(start_[a]) +
                                        static_cast<int128>(j) * major_step_[a] +
                                        static_cast<int128>(k) * minor_step_[a]);
  return cell;
}

Cell<2> LineCells2d::cell_at(std::uint64_t j) const {
  return at(j, static_cast<std::uint64_t>(static_cast<uint128>(j) * minor_length_ / major_length_));
}

namespace {

/// Trimmed sum of a pixel's hits: ascending, the lowest quarter skipped, added one by one from
/// −0.0 (so a pixel of −0.0 hits keeps its sign).
void pixel_statistics(std::span<float> hits, std::array<float, 1>& image) {
  float sum = -0.0f;
  for (float h : trimmed_hits(hits)) sum = sum + h;
  image[0] = sum;
}

}  // namespace

RenderedTracks<2, 1> render_track_image(View2<float> matrix_x_y_intensity,
                                        View1<std::int32_t> track_end_indices,
                                        const std::array<float, 4>& extent, float pixel_size) {
  return render_hit_lists<2, 1, std::int64_t, LineCells2d, float>(
      matrix_x_y_intensity, track_end_indices, extent, pixel_size, "matrix_x_y_intensity",
      pixel_statistics);
}

}  // namespace quorlin
