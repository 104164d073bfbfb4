// 3-D linking: points (x, y, z, intensity), the distance gate only.
#pragma once

#include <cstdint>
#include <span>

#include "link/linking.h"

namespace quorlin {

/// Links the frames' 3-D points (rows x, y, z, intensity) into tracks; intensities are carried to
/// the output and never compared. Returns the (N, 4) matrix and the end indices.
TrackArrays link_points_3d(std::span<const View2<float>> frames, float max_distance,
                           std::uint64_t max_skip);

}  // namespace quorlin
