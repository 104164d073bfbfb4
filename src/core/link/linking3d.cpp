// 3-D linking: the shared machinery with a third coordinate and without the intensity gate.
#include "link/linking3d.h"

namespace quorlin {

TrackArrays link_points_3d(std::span<const View2<float>> frames, float max_distance,
                           std::uint64_t max_skip) {
  return link_points_with<3>(frames, max_distance, max_skip, AnyIntensity{});
}

}  // namespace quorlin
