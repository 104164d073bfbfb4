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

/// Output rows per parallel task: the halo of rows filtered again for each block stays a small
/// share of its work, and the block's intermediate rows stay in cache.
constexpr std::int64_t kBlockRows = 64;

/// Index i folded into [0, n) by mirroring at both edges, for any i (period 2n).
std::int64_t mirror(std::int64_t i, std::int64_t n) {
  const std::int64_t period = 2 * n;
  std::int64_t m = i % period;
  if (m < 0) m += period;
  return m < n ? m : period - 1 - m;
}

/// Normalised Gaussian taps at offsets 0..radius (the kernel is symmetric).
std::vector<float> gaussian_taps(double sigma) {
  if (sigma == 0.0) return {1.0f};
  const auto radius = static_cast<std::size_t>(std::ceil(kGaussianTruncation * sigma));
  std::vector<double> w(radius + 1);
  double sum = 0.0;
  for (std::size_t k = 0; k <= radius; ++k) {
    const double z = static_cast<double>(k) / sigma;
    w[k] = std::exp(-0.5 * z * z);
    sum += k == 0 ? w[k] : 2.0 * w[k];
  }
  std::vector<float> taps(w.size());
  for (std::size_t k = 0; k < w.size(); ++k) taps[k] = static_cast<float>(w[k] / sum);
  return taps;
}

// The two kernels below hold all the arithmetic, in plain loops: their lines may overlap, so
// compilers keep them scalar, and a copy compiled for a wider instruction set measured no faster.

/// One line: smooth[j] = sum_k taps[|k|] * in[j + k], box[j] = sum_{|k| <= w} in[j + k], for
/// j in [0, n); in must be readable from -reach to n + reach, reach = max(g, w).
void filter_line(
    const float* in, std::int64_t n, const float* taps, std::int64_t g, std::int64_t w,
    float* smooth, float* box) {
  for (std::int64_t j = 0; j < n; ++j) smooth[j] = taps[0] * in[j];
  for (std::int64_t k = 1; k <= g; ++k) {
    const float tap = taps[k];
    for (std::int64_t j = 0; j < n; ++j) smooth[j] += tap * (in[j - k] + in[j + k]);
  }
  for (std::int64_t j = 0; j < n; ++j) box[j] = in[j];
  for (std::int64_t k = 1; k <= w; ++k)
    for (std::int64_t j = 0; j < n; ++j) box[j] += in[j - k] + in[j + k];
}

/// One output row from the rows of the first pass: rows[k] points at the smoothed and boxed rows
/// at offset k - reach (mirrored at the frame's edges).
void combine_rows(
    const float* const* smooth_rows, const float* const* box_rows, std::int64_t n,
    const float* taps, std::int64_t g, std::int64_t w, float area, float* low, float* box,
    float* out, float* mean) {
  const float* const* s = smooth_rows;
  const float* const* b = box_rows;
  for (std::int64_t j = 0; j < n; ++j) low[j] = taps[0] * s[0][j];
  for (std::int64_t k = 1; k <= g; ++k) {
    const float tap = taps[k];
    const float* up = s[-k];
    const float* down = s[k];
    for (std::int64_t j = 0; j < n; ++j) low[j] += tap * (up[j] + down[j]);
  }
  for (std::int64_t j = 0; j < n; ++j) box[j] = b[0][j];
  for (std::int64_t k = 1; k <= w; ++k) {
    const float* up = b[-k];
    const float* down = b[k];
    for (std::int64_t j = 0; j < n; ++j) box[j] += up[j] + down[j];
  }
  for (std::int64_t j = 0; j < n; ++j) out[j] = low[j] - box[j] / area;
  if (mean != nullptr)
    for (std::int64_t j = 0; j < n; ++j) mean[j] = box[j] / area;
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

double bandpass_noise_gain(double noise_size, double feature_size) {
  validate_bandpass(noise_size, feature_size);
  const std::vector<float> taps = gaussian_taps(noise_size);
  const auto w = static_cast<std::size_t>(std::nearbyint(feature_size));
  // The kernel is separable in its Gaussian part: sum (G_i G_j - [|i|,|j| <= w] / A)^2
  // = (sum G^2)^2 - 2 (sum_{|i| <= w} G_i)^2 / A + 1 / A.
  double squares = 0.0, inner = 0.0;
  for (std::size_t k = 0; k < taps.size(); ++k) {
    const double t = taps[k];
    squares += (k == 0 ? 1.0 : 2.0) * t * t;
    if (k <= w) inner += (k == 0 ? 1.0 : 2.0) * t;
  }
  const double area = static_cast<double>((2 * w + 1) * (2 * w + 1));
  return squares * squares - 2.0 * inner * inner / area + 1.0 / area;
}

void bandpass(const View2<float>& frame, double noise_size, double feature_size, float* out,
              float* local_mean) {
  validate_bandpass(noise_size, feature_size);
  const auto rows = static_cast<std::int64_t>(frame.shape[0]);
  const auto cols = static_cast<std::int64_t>(frame.shape[1]);
  if (rows == 0 || cols == 0) return;
  const std::vector<float> taps = gaussian_taps(noise_size);
  const auto g = static_cast<std::int64_t>(taps.size()) - 1;
  const auto w = static_cast<std::int64_t>(std::nearbyint(feature_size));
  const std::int64_t reach = std::max(g, w);
  const auto area = static_cast<float>((2 * w + 1) * (2 * w + 1));

  // Blocks of output rows; each block filters the rows it needs along the rows (its own rows
  // and a halo of reach rows on each side, mirrored at the frame's edges) into a small
  // workspace, then combines them down the columns. Working per block keeps the intermediate
  // rows in cache and allocates no frame-sized buffers.
  const std::int64_t blocks = (rows + kBlockRows - 1) / kBlockRows;
  parallel_for(static_cast<std::size_t>(blocks), [&](std::size_t block) {
    const std::int64_t r0 = static_cast<std::int64_t>(block) * kBlockRows;
    const std::int64_t r1 = std::min(rows, r0 + kBlockRows);
    const std::int64_t lines = r1 - r0 + 2 * reach;
    // Each worker's scratch is kept from block to block (and call to call): a block's body starts
    // no parallel work, so no other block runs on this thread before it ends.
    thread_local std::vector<float> padded, smooth, boxed, low, box;
    thread_local std::vector<const float*> smooth_rows, box_rows;
    padded.resize(static_cast<std::size_t>(cols + 2 * reach));
    smooth.resize(static_cast<std::size_t>(lines * cols));
    boxed.resize(static_cast<std::size_t>(lines * cols));
    float* line = padded.data() + reach;
    const std::int64_t step = frame.strides[1];
    for (std::int64_t l = 0; l < lines; ++l) {
      const float* source = frame.data + mirror(r0 - reach + l, rows) * frame.strides[0];
      if (step == 1)
        std::copy(source, source + cols, line);
      else
        for (std::int64_t j = 0; j < cols; ++j) line[j] = source[j * step];
      for (std::int64_t j = 1; j <= reach; ++j) {
        line[-j] = line[mirror(-j, cols)];
        line[cols - 1 + j] = line[mirror(cols - 1 + j, cols)];
      }
      filter_line(line, cols, taps.data(), g, w, smooth.data() + l * cols,
                  boxed.data() + l * cols);
    }
    smooth_rows.resize(static_cast<std::size_t>(lines));
    box_rows.resize(static_cast<std::size_t>(lines));
    for (std::int64_t l = 0; l < lines; ++l) {
      smooth_rows[static_cast<std::size_t>(l)] = smooth.data() + l * cols;
      box_rows[static_cast<std::size_t>(l)] = boxed.data() + l * cols;
    }
    low.resize(static_cast<std::size_t>(cols));
    box.resize(static_cast<std::size_t>(cols));
    for (std::int64_t r = r0; r < r1; ++r) {
      const std::int64_t centre = r - r0 + reach;
      combine_rows(smooth_rows.data() + centre, box_rows.data() + centre, cols, taps.data(), g, w,
                   area, low.data(), box.data(), out + r * cols,
                   local_mean == nullptr ? nullptr : local_mean + r * cols);
    }
  });
}

}  // namespace quorlin
