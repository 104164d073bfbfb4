// The 2-D track image: the octant line walk and the trimmed-sum renderer behind rs_draw_tracks.
#pragma once

#include <array>
#include <cstdint>

#include "common/array_view.h"
#include "render/render_common.h"

namespace quorlin {

/// The 2-D octant walk from a start cell towards an end cell: D = max(|Δx|, |Δy|) cells, the start
/// first and the end never. Step j moves one cell along the major direction and the minor
/// coordinate is ⌊j·DW / DU⌋: the error term starts at DW − DU, not at the midpoint form's
/// 2·DW − DU, so the walk is not symmetric (from (0,0) to (3,2) it takes (1,0), back it takes
/// (2,2)). The closed form lets a walk start at any step, which clipping to the grid needs.
class LineCells2d {
 public:
  LineCells2d(const Cell<2>& from, const Cell<2>& to);

  /// Number of cells, D.
  std::uint64_t cells() const { return major_length_; }
  /// The cell of step j < D.
  Cell<2> cell_at(std::uint64_t j) const;

  /// Calls visit(j, cell) for the steps first <= j < last, in order.
  template <class Visit>
  void visit(std::uint64_t first, std::uint64_t last, Visit&& visit) const {
    Cell<2> cell = start_;
    int128 err = static_cast<int128>(minor_length_) - static_cast<int128>(major_length_);
    if (first != 0) {
      // The remainder of j·DW / DU is how far the error term has advanced past DW − DU.
      const uint128 product = static_cast<uint128>(first) * minor_length_;
      cell = at(first, static_cast<std::uint64_t>(product / major_length_));
      err += static_cast<int128>(product % major_length_);
    }
    for (std::uint64_t j = first; j < last; ++j) {
      visit(j, cell);
      if (err >= 0) {
        cell[0] += minor_step_[0];
        cell[1] += minor_step_[1];
        err -= major_length_;
      }
      err += minor_length_;
      cell[0] += major_step_[0];
      cell[1] += major_step_[1];
    }
  }

 private:
  Cell<2> at(std::uint64_t j, std::uint64_t k) const;

  Cell<2> start_;
  Cell<2> major_step_{};            // one step of u in cell coordinates
  Cell<2> minor_step_{};            // one step of w in cell coordinates
  std::uint64_t major_length_ = 0;  // DU
  std::uint64_t minor_length_ = 0;  // DW
};

/// rs_draw_tracks: the trimmed intensity sum and the hit count per pixel, shape (nx, ny).
RenderedTracks<2, 1> render_track_image(View2<float> matrix_x_y_intensity,
                                        View1<std::int32_t> track_end_indices,
                                        const std::array<float, 4>& extent, float pixel_size);

}  // namespace quorlin
