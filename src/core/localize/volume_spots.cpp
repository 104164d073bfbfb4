// Spots of a volume measured around the positions the 3-D detector found.
#include "localize/volume_spots.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "localize/spot_shape.h"

namespace quorlin {
namespace {

/// Voxels sampled for the noise sigma: its median to within about 2 %.
constexpr double kNoiseSamples = 8192.0;
/// Standard deviation of (v - mean of the six neighbours) for white noise of unit variance:
/// sqrt(1 + 6 / 36).
const float kSixNeighbourGain = std::sqrt(7.0f / 6.0f);

}  // namespace

float volume_noise_sigma(const View3<float>& v) {
  if (v.shape[0] < 3 || v.shape[1] < 3 || v.shape[2] < 3) return 0.0f;
  const double interior = static_cast<double>((v.shape[0] - 2) * (v.shape[1] - 2) * (v.shape[2] - 2));
  const auto step = static_cast<std::int64_t>(std::max(1.0, std::floor(std::cbrt(interior / kNoiseSamples))));
  std::vector<float> deviations;
  for (std::int64_t z = 1; z + 1 < static_cast<std::int64_t>(v.shape[0]); z += step)
    for (std::int64_t y = 1; y + 1 < static_cast<std::int64_t>(v.shape[1]); y += step)
      for (std::int64_t x = 1; x + 1 < static_cast<std::int64_t>(v.shape[2]); x += step) {
        const float around = ((v(z - 1, y, x) + v(z + 1, y, x)) + (v(z, y - 1, x) + v(z, y + 1, x)) +
                              (v(z, y, x - 1) + v(z, y, x + 1))) / 6.0f;
        const float d = std::fabs(v(z, y, x) - around);
        if (std::isfinite(d)) deviations.push_back(d);
      }
  if (deviations.empty()) return 0.0f;
  return median_of(deviations) / kMedianAbsNormal / kSixNeighbourGain;
}

VolumeSpots measure_volume_spots(const View3<float>& volume, const std::vector<std::array<float, 3>>& positions,
                                 std::uint64_t window, bool keep_hot_pixels) {
  const auto half = static_cast<std::int64_t>(window / 2);
  const float sigma = volume_noise_sigma(volume);
  VolumeSpots out;
  out.kept.assign(positions.size(), 0);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const std::array<float, 3>& at = positions[i];
    // A localizer that met a missing voxel in its window leaves a NaN position.
    if (!(std::isfinite(at[0]) && std::isfinite(at[1]) && std::isfinite(at[2]))) {
      ++out.dropped_nan;
      continue;
    }
    Index<3> p;
    for (std::size_t a = 0; a < 3; ++a)
      p[a] = std::clamp(static_cast<std::int64_t>(std::nearbyint(at[a])), std::int64_t{0},
                        static_cast<std::int64_t>(volume.shape[a]) - 1);
    if (has_nan<3>(volume, p, 1)) {
      ++out.dropped_nan;
      continue;
    }
    VolumeSpot s;
    s.background = border_median<3>(volume, p, half + 1);
    if (!keep_hot_pixels && is_spike<3>(volume, p, s.background)) {
      ++out.dropped_hot;
      continue;
    }
    std::tie(s.mass, s.size) = mass_and_size<3>(volume, p, half, s.background, at);
    const float height = value_at<3>(volume, p) - s.background;
    s.snr = sigma > 0.0f ? height / sigma : std::numeric_limits<float>::infinity();
    out.kept[i] = 1;
    out.spots.push_back(s);
  }
  return out;
}

}  // namespace quorlin
