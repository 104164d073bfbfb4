// The 2-D value image and the trimmed intensity-weighted value statistics.
#include "render/value_image.h"

#include "render/image.h"

namespace quorlin {

void value_statistics(std::span<ValueHit> hits, std::array<float, 2>& intensity_and_value) {
  // Both sums start at −0.0 so that a cell of −0.0 intensities keeps its sign; each product is
  // rounded to 32 bits before it is added.
  float sum = -0.0f;
  float weighted = -0.0f;
  for (const ValueHit& h : trimmed_hits(hits)) {
    sum = sum + h.intensity;
    const float product = h.intensity * h.value;
    weighted = weighted + product;
  }
  intensity_and_value[0] = sum;
  intensity_and_value[1] = sum > 0.0f ? weighted / sum : 0.0f;
}

RenderedTracks<2, 2> render_value_image(View2<float> matrix_x_y_intensity_value,
                                        View1<std::int32_t> track_end_indices,
                                        const std::array<float, 4>& extent, float pixel_size) {
  return render_hit_lists<2, 2, std::int64_t, LineCells2d, ValueHit>(
      matrix_x_y_intensity_value, track_end_indices, extent, pixel_size,
      "matrix_x_y_intensity_value", value_statistics);
}

}  // namespace quorlin
