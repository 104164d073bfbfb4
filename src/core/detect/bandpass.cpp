// Band-pass prefilter of a 2-D frame.
#include "detect/bandpass.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/parallel.h"

namespace quorlin {
namespace {

/// The Gaussian kernel is cut at this many standard deviations: the tail beyond holds less than
/// 1e-4 of its weight.
constexpr double kGaussianTruncation = 4.0;

/// Index i folded into [0, n) by mirroring at both edges, for any i (period 2n).
std::int64_t mirror(std::int64_t i, std::int64_t n) {
  const std::int64_t period = 2 * n;
  std::int64_t m = i % period;
  if (m < 0) m += period;
  return m < n ? m : period - 1 - m;
}

/// Normalised Gaussian taps at offsets -radius..radius.
std::vector<float> gaussian_taps(double sigma) {
  if (sigma == 0.0) return {1.0f};
  const auto radius = static_cast<std::int64_t>(std::ceil(kGaussianTruncation * sigma));
  std::vector<double> w(static_cast<std::size_t>(2 * radius + 1));
  double sum = 0.0;
  for (std::int64_t k = -radius; k <= radius; ++k) {
    const double z = static_cast<double>(k) / sigma;
    w[static_cast<std::size_t>(k + radius)] = std::exp(-0.5 * z * z);
    sum += w[static_cast<std::size_t>(k + radius)];
  }
  std::vector<float> taps(w.size());
  for (std::size_t k = 0; k < w.size(); ++k) taps[k] = static_cast<float>(w[k] / sum);
  return taps;
}

}  // namespace

void validate_bandpass(double noise_size, double feature_size) {
  if (!(noise_size >= 0.0) || !(kGaussianTruncation * noise_size <= kMaxFilterRadius))
    throw ValueError("argument 'noise_size': must be a number from 0 to " +
                     std::to_string(kMaxFilterRadius / kGaussianTruncation));
  if (!(std::nearbyint(feature_size) >= 1.0) || !(feature_size <= kMaxFilterRadius))
    throw ValueError("argument 'feature_size': must be a number from 0.5 to " +
                     std::to_string(kMaxFilterRadius));
}

ResultArray<float> bandpass(const View2<float>& frame, double noise_size, double feature_size) {
  validate_bandpass(noise_size, feature_size);
  const auto rows = static_cast<std::int64_t>(frame.shape[0]);
  const auto cols = static_cast<std::int64_t>(frame.shape[1]);
  ResultArray<float> out(std::vector<float>(static_cast<std::size_t>(rows * cols)),
                         {frame.shape[0], frame.shape[1]});
  if (rows == 0 || cols == 0) return out;
  const std::vector<float> taps = gaussian_taps(noise_size);
  const auto g = static_cast<std::int64_t>(taps.size() / 2);
  const auto w = static_cast<std::int64_t>(std::nearbyint(feature_size));
  const std::int64_t reach = std::max(g, w);
  const auto area = static_cast<float>((2 * w + 1) * (2 * w + 1));

  // Pass 1, along each row: the smoothed row and the row's running box sum.
  std::vector<float> smooth(static_cast<std::size_t>(rows * cols));
  std::vector<float> boxed(static_cast<std::size_t>(rows * cols));
  parallel_for(static_cast<std::size_t>(rows), [&](std::size_t i) {
    const auto r = static_cast<std::int64_t>(i);
    std::vector<float> padded(static_cast<std::size_t>(cols + 2 * reach));
    for (std::int64_t j = -reach; j < cols + reach; ++j)
      padded[static_cast<std::size_t>(j + reach)] = frame(r, mirror(j, cols));
    float* s = smooth.data() + r * cols;
    const float* centre = padded.data() + reach;
    for (std::int64_t j = 0; j < cols; ++j) s[j] = 0.0f;
    for (std::int64_t k = -g; k <= g; ++k) {
      const float tap = taps[static_cast<std::size_t>(k + g)];
      for (std::int64_t j = 0; j < cols; ++j) s[j] += tap * centre[j + k];
    }
    // A running sum in double: adding and dropping one value per step loses nothing that matters.
    float* bx = boxed.data() + r * cols;
    double run = 0.0;
    for (std::int64_t k = -w; k <= w; ++k) run += centre[k];
    for (std::int64_t j = 0; j < cols; ++j) {
      bx[j] = static_cast<float>(run);
      if (j + 1 < cols)
        run += static_cast<double>(centre[j + w + 1]) - static_cast<double>(centre[j - w]);
    }
  });

  // Pass 2, along each column, one output row per task.
  parallel_for(static_cast<std::size_t>(rows), [&](std::size_t i) {
    const auto r = static_cast<std::int64_t>(i);
    std::vector<float> low(static_cast<std::size_t>(cols), 0.0f);
    std::vector<float> box(static_cast<std::size_t>(cols), 0.0f);
    for (std::int64_t k = -g; k <= g; ++k) {
      const float tap = taps[static_cast<std::size_t>(k + g)];
      const float* src = smooth.data() + mirror(r + k, rows) * cols;
      for (std::int64_t j = 0; j < cols; ++j) low[static_cast<std::size_t>(j)] += tap * src[j];
    }
    for (std::int64_t k = -w; k <= w; ++k) {
      const float* src = boxed.data() + mirror(r + k, rows) * cols;
      for (std::int64_t j = 0; j < cols; ++j) box[static_cast<std::size_t>(j)] += src[j];
    }
    float* dst = out.data.data() + r * cols;
    for (std::int64_t j = 0; j < cols; ++j)
      dst[j] = low[static_cast<std::size_t>(j)] - box[static_cast<std::size_t>(j)] / area;
  });
  return out;
}

}  // namespace quorlin
