// Gaussian-correlation scores of 3-D peaks.
#include "detect/gaussian_correlation.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quorlin {

namespace {

/// Voxels from the peak to the template's edge along each axis: two voxels hold most of a spot of
/// the usual width, and the 5x5x5 template stays cheap next to localization.
constexpr std::int64_t kReach = 2;
constexpr std::int64_t kSide = 2 * kReach + 1;
constexpr std::size_t kVoxels = kSide * kSide * kSide;

/// The 5x5x5 Gaussian template, normalised to sum 1, in raster order.
std::array<float, kVoxels> gaussian_template(const View3<float>& volume, const Extent3d& e,
                                             const std::array<float, 3>& sigmas) {
  std::array<float, 3> voxel{};
  for (std::size_t r = 0; r < 3; ++r)
    voxel[r] = (e[2 * r + 1] - e[2 * r]) / static_cast<float>(volume.shape[r]);
  auto scaled = [&](std::size_t r, std::int64_t u) {
    return (static_cast<float>(u) * voxel[r]) / sigmas[r];
  };
  std::array<float, kVoxels> k{};
  std::size_t t = 0;
  for (std::int64_t u0 = -kReach; u0 <= kReach; ++u0)
    for (std::int64_t u1 = -kReach; u1 <= kReach; ++u1)
      for (std::int64_t u2 = -kReach; u2 <= kReach; ++u2) {
        const float a0 = scaled(0, u0), a1 = scaled(1, u1), a2 = scaled(2, u2);
        k[t++] = std::exp(-0.5f * (a2 * a2 + (a1 * a1 + a0 * a0)));
      }
  float sum = 0.0f;
  for (float x : k) sum += x;
  for (float& x : k) x /= sum;
  return k;
}

/// Pearson correlation of the first n pairs of a and b; 0 for no pairs or a zero variance.
/// Every sum starts from -0.0 (the additive identity of IEEE floats) and runs in list order.
float pearson(const std::array<float, kVoxels>& a, const std::array<float, kVoxels>& b,
              std::size_t n) {
  if (n == 0) return 0.0f;
  float sum_a = -0.0f, sum_b = -0.0f;
  for (std::size_t i = 0; i < n; ++i) sum_a += a[i];
  for (std::size_t i = 0; i < n; ++i) sum_b += b[i];
  const float mean_a = sum_a / static_cast<float>(n);
  const float mean_b = sum_b / static_cast<float>(n);
  float saa = -0.0f, sab = -0.0f, sbb = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float da = a[i] - mean_a, db = b[i] - mean_b;
    saa += da * da;
    sab += da * db;
    sbb += db * db;
  }
  const float product = sbb * saa;
  if (product == 0.0f) return 0.0f;
  return sab / std::sqrt(product);
}

}  // namespace

void correlate_peaks(const View3<float>& volume, const Extent3d& extent,
                     std::vector<Peak<3>>& peaks, const std::array<float, 3>& sigmas) {
  if (peaks.empty()) return;
  const std::array<float, kVoxels> k = gaussian_template(volume, extent, sigmas);
  std::array<std::int64_t, 3> n{};
  for (std::size_t r = 0; r < 3; ++r) n[r] = static_cast<std::int64_t>(volume.shape[r]);
  auto inside = [](std::int64_t i, std::int64_t size) { return i >= 0 && i < size; };

  std::array<float, kVoxels> values{}, weights{};
  for (Peak<3>& peak : peaks) {
    const std::int64_t b0 = static_cast<std::int64_t>(peak.index[0]) - kReach;
    const std::int64_t b1 = static_cast<std::int64_t>(peak.index[1]) - kReach;
    const std::int64_t b2 = static_cast<std::int64_t>(peak.index[2]) - kReach;
    std::size_t count = 0, t = 0;
    for (std::int64_t t0 = 0; t0 < kSide; ++t0)
      for (std::int64_t t1 = 0; t1 < kSide; ++t1)
        for (std::int64_t t2 = 0; t2 < kSide; ++t2, ++t) {
          const std::int64_t i0 = b0 + t0, i1 = b1 + t1, i2 = b2 + t2;
          if (!inside(i0, n[0]) || !inside(i1, n[1]) || !inside(i2, n[2])) continue;
          values[count] = volume(i0, i1, i2);
          weights[count] = k[t];
          ++count;
        }
    peak.correlation = pearson(values, weights, count);
  }
}

void keep_correlated(std::vector<Peak<3>>& peaks, float threshold) {
  std::erase_if(peaks, [threshold](const Peak<3>& p) {
    return !(threshold <= p.correlation.value_or(0.0f));
  });
}

}  // namespace quorlin
