// The 3-D track volume: the voxel line walk and the sum renderer behind rs_draw_tracks_3d.
#pragma once

#include <array>
#include <cstdint>

#include "common/array_view.h"
#include "render/render_common.h"

namespace quorlin {

/// The 3-D line walk between two cells: n + 1 cells with n = max |Δ| over the axes, the start
/// first and the end last. Each axis keeps an error term starting at ⌊n/2⌋ that loses |Δa| per
/// step and steps the axis when it falls below 0; after j steps axis a has therefore moved
/// ⌈(j·|Δa| − ⌊n/2⌋) / n⌉ cells, the closed form used to start a walk at any step. Differences are
/// taken exactly (64-bit), also between cells at the ends of the 32-bit index range.
class LineCells3d {
 public:
  LineCells3d(const Cell<3>& from, const Cell<3>& to);

  /// Number of cells, n + 1.
  std::uint64_t cells() const { return steps_ + 1; }
  /// The cell of step j <= n.
  Cell<3> cell_at(std::uint64_t j) const;

  /// Calls visit(j, cell) for the steps first <= j < last, in order.
  template <class Visit>
  void visit(std::uint64_t first, std::uint64_t last, Visit&& visit) const {
    Cell<3> cell = start_;
    std::array<std::int64_t, 3> err{};
    for (std::size_t a = 0; a < 3; ++a) {
      const std::int64_t moved = moved_along(a, first);
      cell[a] += sign_[a] * moved;
      err[a] = static_cast<std::int64_t>(static_cast<int128>(half_) -
                                         static_cast<int128>(first) * length_[a] +
                                         static_cast<int128>(moved) * steps_);
    }
    for (std::uint64_t j = first; j < last; ++j) {
      visit(j, cell);
      for (std::size_t a = 0; a < 3; ++a) {
        err[a] -= length_[a];
        if (err[a] < 0) {
          err[a] += steps_;
          cell[a] += sign_[a];
        }
      }
    }
  }

 private:
  /// Cells moved along axis a after j steps.
  std::int64_t moved_along(std::size_t a, std::uint64_t j) const;

  Cell<3> start_;
  std::array<std::int64_t, 3> length_{};  // |Δa|
  std::array<std::int64_t, 3> sign_{};    // −1, 0 or +1
  std::int64_t steps_ = 0;                // n
  std::int64_t half_ = 0;                 // ⌊n/2⌋
};

/// rs_draw_tracks_3d: the sum of all samples and their count per voxel, shape (nx, ny, nz).
RenderedTracks<3, 1> render_track_volume(View2<float> matrix_x_y_z_intensity,
                                         View1<std::int32_t> track_end_indices,
                                         const std::array<float, 6>& extent, float pixel_size);

}  // namespace quorlin
