// The 3-D value volume behind rs_draw_tracks_value_3d.
#pragma once

#include <array>
#include <cstdint>

#include "common/array_view.h"
#include "render/render_common.h"

namespace quorlin {

/// rs_draw_tracks_value_3d: the trimmed intensity sum, the weighted mean value and the hit count
/// per voxel, shape (nx, ny, nz).
RenderedTracks<3, 2> render_value_volume(View2<float> matrix_x_y_z_intensity_value,
                                         View1<std::int32_t> track_end_indices,
                                         const std::array<float, 6>& extent, float pixel_size);

}  // namespace quorlin
