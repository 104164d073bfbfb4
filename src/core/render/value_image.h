// The 2-D value image behind rs_draw_tracks_value, and the per-cell statistics of both value
// renderers.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "common/array_view.h"
#include "render/render_common.h"

namespace quorlin {

/// Statistics of one cell's hits: the trimmed intensity sum S and the intensity-weighted mean
/// value W / S over the same hits (0 unless S > 0). Sorts the hits in place.
void value_statistics(std::span<ValueHit> hits, std::array<float, 2>& intensity_and_value);

/// rs_draw_tracks_value: the trimmed intensity sum, the weighted mean value and the hit count per
/// pixel, shape (nx, ny).
RenderedTracks<2, 2> render_value_image(View2<float> matrix_x_y_intensity_value,
                                        View1<std::int32_t> track_end_indices,
                                        const std::array<float, 4>& extent, float pixel_size);

}  // namespace quorlin
