// Band-pass prefilter of a 2-D frame.
#include "detect/bandpass.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/parallel.h"
#include "common/simd.h"

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

// The kernels below hold all the arithmetic. Each output value is summed in one fixed order
// (centre first, then the pairs at offsets 1, 2, ...), whichever kernel computes it, so they give
// the same bits. Where the reaches are known when compiling (the spot path's filter), each value
// is summed in registers across the taps; otherwise tap by tap over the whole line.

/// Reaches of the Gaussian (g) and of the square (w), fixed when compiling.
template <std::int64_t G, std::int64_t W>
struct FixedReach {
  static constexpr std::int64_t g = G, w = W;
};

/// Reaches known only at run time.
struct AnyReach {
  std::int64_t g, w;
};

/// One line: smooth[j] = sum_k taps[|k|] * in[j + k], box[j] = sum_{|k| <= w} in[j + k], for
/// j in [0, n); in must be readable from -reach to n + reach, reach = max(g, w).
template <std::int64_t G, std::int64_t W>
void filter_line(const float* in, std::int64_t n, const float* taps, FixedReach<G, W>, float* __restrict smooth,
                 float* __restrict box) {
  for (std::int64_t j = 0; j < n; ++j) {
    float s = taps[0] * in[j];
    for (std::int64_t k = 1; k <= G; ++k) s += taps[k] * (in[j - k] + in[j + k]);
    float b = in[j];
    for (std::int64_t k = 1; k <= W; ++k) b += in[j - k] + in[j + k];
    smooth[j] = s;
    box[j] = b;
  }
}

void filter_line(const float* in, std::int64_t n, const float* taps, AnyReach reach, float* smooth, float* box) {
  for (std::int64_t j = 0; j < n; ++j) smooth[j] = taps[0] * in[j];
  for (std::int64_t k = 1; k <= reach.g; ++k) {
    const float tap = taps[k];
    for (std::int64_t j = 0; j < n; ++j) smooth[j] += tap * (in[j - k] + in[j + k]);
  }
  for (std::int64_t j = 0; j < n; ++j) box[j] = in[j];
  for (std::int64_t k = 1; k <= reach.w; ++k)
    for (std::int64_t j = 0; j < n; ++j) box[j] += in[j - k] + in[j + k];
}

/// Where one output row's values go: the band-passed row, and the square's mean when wanted.
/// `low` and `box` are a row of scratch each for the tap-by-tap kernel.
struct OutputRow {
  float* out;
  float* mean;
  float* low;
  float* box;
};

/// The values of one output row from the rows at offsets -G..G (smooth) and -W..W (boxed), all
/// held by value so that the compiler knows the stores leave them be and vectorizes the loop.
template <std::int64_t G, std::int64_t W, bool WithMean>
void combine_values(std::array<const float*, 2 * G + 1> smooth, std::array<const float*, 2 * W + 1> boxed,
                    std::array<float, G + 1> tap, std::int64_t n, float area, float* __restrict out,
                    float* __restrict mean) {
  for (std::int64_t j = 0; j < n; ++j) {
    float low = tap[0] * smooth[G][j];
    for (std::int64_t k = 1; k <= G; ++k) low += tap[k] * (smooth[G - k][j] + smooth[G + k][j]);
    float box = boxed[W][j];
    for (std::int64_t k = 1; k <= W; ++k) box += boxed[W - k][j] + boxed[W + k][j];
    out[j] = low - box / area;
    if constexpr (WithMean) mean[j] = box / area;
  }
}

/// One output row from the rows of the first pass: s[k] and b[k] point at the smoothed and boxed
/// rows at offset k (mirrored at the frame's edges), k from -reach to reach.
template <std::int64_t G, std::int64_t W>
void combine_rows(const float* const* s, const float* const* b, std::int64_t n, const float* taps,
                  FixedReach<G, W>, float area, const OutputRow& row) {
  std::array<const float*, 2 * G + 1> smooth;
  std::array<const float*, 2 * W + 1> boxed;
  std::array<float, G + 1> tap;
  for (std::int64_t k = -G; k <= G; ++k) smooth[static_cast<std::size_t>(k + G)] = s[k];
  for (std::int64_t k = -W; k <= W; ++k) boxed[static_cast<std::size_t>(k + W)] = b[k];
  std::copy(taps, taps + G + 1, tap.begin());
  if (row.mean != nullptr)
    combine_values<G, W, true>(smooth, boxed, tap, n, area, row.out, row.mean);
  else
    combine_values<G, W, false>(smooth, boxed, tap, n, area, row.out, nullptr);
}

void combine_rows(const float* const* s, const float* const* b, std::int64_t n, const float* taps, AnyReach reach,
                  float area, const OutputRow& row) {
  float* low = row.low;
  float* box = row.box;
  for (std::int64_t j = 0; j < n; ++j) low[j] = taps[0] * s[0][j];
  for (std::int64_t k = 1; k <= reach.g; ++k) {
    const float tap = taps[k];
    const float* up = s[-k];
    const float* down = s[k];
    for (std::int64_t j = 0; j < n; ++j) low[j] += tap * (up[j] + down[j]);
  }
  for (std::int64_t j = 0; j < n; ++j) box[j] = b[0][j];
  for (std::int64_t k = 1; k <= reach.w; ++k) {
    const float* up = b[-k];
    const float* down = b[k];
    for (std::int64_t j = 0; j < n; ++j) box[j] += up[j] + down[j];
  }
  for (std::int64_t j = 0; j < n; ++j) row.out[j] = low[j] - box[j] / area;
  if (row.mean != nullptr)
    for (std::int64_t j = 0; j < n; ++j) row.mean[j] = box[j] / area;
}

/// The filter of a whole frame with the given reaches.
template <class Reach>
void bandpass_frame(const View2<float>& frame, const std::vector<float>& taps, Reach shape, float* out,
                    float* local_mean) {
  const auto rows = static_cast<std::int64_t>(frame.shape[0]);
  const auto cols = static_cast<std::int64_t>(frame.shape[1]);
  const std::int64_t g = shape.g, w = shape.w;
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
    smooth_rows.resize(static_cast<std::size_t>(lines));
    box_rows.resize(static_cast<std::size_t>(lines));
    low.resize(static_cast<std::size_t>(cols));
    box.resize(static_cast<std::size_t>(cols));
    // The loops are element-wise with the same operations per element on every instruction set,
    // so the widest set the processor has gives the same bits.
    simd::run_widest([&]<class>() {
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
        filter_line(line, cols, taps.data(), shape, smooth.data() + l * cols, boxed.data() + l * cols);
      }
      for (std::int64_t l = 0; l < lines; ++l) {
        smooth_rows[static_cast<std::size_t>(l)] = smooth.data() + l * cols;
        box_rows[static_cast<std::size_t>(l)] = boxed.data() + l * cols;
      }
      for (std::int64_t r = r0; r < r1; ++r) {
        const std::int64_t centre = r - r0 + reach;
        const OutputRow row{out + r * cols, local_mean == nullptr ? nullptr : local_mean + r * cols, low.data(),
                            box.data()};
        combine_rows(smooth_rows.data() + centre, box_rows.data() + centre, cols, taps.data(), shape, area, row);
      }
    });
  });
}

/// The Gaussian reach of the spot path's filter (a width of one pixel, cut at kGaussianTruncation
/// widths) and the widest square compiled for it (diameters up to 17 pixels).
constexpr std::int64_t kCompiledGaussianReach = 4;
constexpr std::int64_t kCompiledSquareReach = 8;

/// Runs the filter with the reaches fixed when compiling where they are among those compiled:
/// square reach W or narrower.
template <std::int64_t W>
void bandpass_dispatch(const View2<float>& frame, const std::vector<float>& taps, AnyReach shape, float* out,
                       float* local_mean) {
  if constexpr (W == 0) {
    bandpass_frame(frame, taps, shape, out, local_mean);
  } else {
    if (shape.g == kCompiledGaussianReach && shape.w == W)
      bandpass_frame(frame, taps, FixedReach<kCompiledGaussianReach, W>{}, out, local_mean);
    else
      bandpass_dispatch<W - 1>(frame, taps, shape, out, local_mean);
  }
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

BandpassImpulse::BandpassImpulse(double noise_size, double feature_size) {
  validate_bandpass(noise_size, feature_size);
  taps_ = gaussian_taps(noise_size);
  reach_ = static_cast<std::int64_t>(std::nearbyint(feature_size));
  inverse_area_ = 1.0f / static_cast<float>((2 * reach_ + 1) * (2 * reach_ + 1));
}

float BandpassImpulse::operator()(std::int64_t dy, std::int64_t dx) const {
  const auto g = static_cast<std::int64_t>(taps_.size()) - 1;
  const std::int64_t ay = dy < 0 ? -dy : dy, ax = dx < 0 ? -dx : dx;
  float value = 0.0f;
  if (ay <= g && ax <= g) value += taps_[static_cast<std::size_t>(ay)] * taps_[static_cast<std::size_t>(ax)];
  if (ay <= reach_ && ax <= reach_) value -= inverse_area_;
  return value;
}

void bandpass(const View2<float>& frame, double noise_size, double feature_size, float* out,
              float* local_mean) {
  validate_bandpass(noise_size, feature_size);
  if (frame.shape[0] == 0 || frame.shape[1] == 0) return;
  const std::vector<float> taps = gaussian_taps(noise_size);
  const AnyReach shape{static_cast<std::int64_t>(taps.size()) - 1,
                       static_cast<std::int64_t>(std::nearbyint(feature_size))};
  bandpass_dispatch<kCompiledSquareReach>(frame, taps, shape, out, local_mean);
}

}  // namespace quorlin
