// The 3-D value volume: the voxel walk with the value statistics of the 2-D value image.
#include "render/value_image3d.h"

#include "render/image3d.h"
#include "render/value_image.h"

namespace quorlin {

RenderedTracks<3, 2> render_value_volume(View2<float> matrix_x_y_z_intensity_value,
                                         View1<std::int32_t> track_end_indices,
                                         const std::array<float, 6>& extent, float pixel_size) {
  return render_hit_lists<3, 2, std::int32_t, LineCells3d, ValueHit>(
      matrix_x_y_z_intensity_value, track_end_indices, extent, pixel_size,
      "matrix_x_y_z_intensity_value", value_statistics);
}

}  // namespace quorlin
