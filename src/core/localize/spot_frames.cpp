// The default detection path of many 2-D frames at once: camera values converted (to photons with
// a camera model, inverted for dark particles), band-passed, thresholded against each pixel's
// noise, and every spot measured; frames in parallel.
#include "localize/spot_frames.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "common/buffer_pool.h"
#include "common/errors.h"
#include "common/simd.h"
#include "detect/bandpass.h"
#include "detect/detection2d.h"
#include "detect/noise_model.h"
#include "detect/sample_conversion.h"
#include "localize/stuck_pixels.h"

namespace quorlin {

namespace {

/// Width of the band-pass filter's Gaussian, pixels: it averages the pixel noise of a spot a
/// little narrower than a diffraction-limited one.
constexpr double kNoiseSize = 1.0;
/// The noise sigma never falls below this share of the frame's highest band-passed value: on a
/// noise-free frame the filter's own far tails (a few 1e-4 of a spot's height) stay below the
/// threshold, while every camera's noise lies far above it.
constexpr float kNoiseFreeShare = 3e-4f;

/// Converts n samples to the frame's units (photons with a camera model: (v - offset) / gain)
/// into `out` and, for dark particles, turns the frame over: v -> top - v, top being the brightest
/// value the sample type can hold (the frame's brightest finite value for floating-point samples).
/// One pass for integer samples, which are always finite; returns whether a value is missing (NaN
/// or infinite).
template <class T>
bool calibrate(const T* samples, std::size_t n, float* out, const SpotPathSettings& s) {
  const auto scale = static_cast<float>(1.0 / s.gain);
  const auto offset = static_cast<float>(s.offset);
  for (std::size_t i = 0; i < n; ++i) out[i] = (static_cast<float>(samples[i]) - offset) * scale;
  bool nan = false;
  if constexpr (!std::is_integral_v<T>) {
    // NaN fails the comparison, infinities exceed the bound; written so it vectorizes.
    for (std::size_t i = 0; i < n; ++i) nan |= !(std::fabs(out[i]) <= std::numeric_limits<float>::max());
  }
  if (!s.invert) return nan;
  float top = -std::numeric_limits<float>::infinity();
  if constexpr (std::is_integral_v<T>) {
    top = (static_cast<float>(std::numeric_limits<T>::max()) - offset) * scale;
  } else {
    for (std::size_t i = 0; i < n; ++i)
      if (out[i] > top && std::isfinite(out[i])) top = out[i];
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = top - out[i];
  return nan;
}

/// The largest of n > 0 values (NaN compares false and is passed over unless it comes first), lane
/// by lane in vector registers: each lane keeps the largest of its share, then the lanes are
/// compared.
float largest(const float* values, std::size_t n) {
  using Lanes = simd::Lanes<simd::Baseline>;
  auto top = Lanes::splat(values[0]);
  std::size_t i = 0;
  for (; i + Lanes::width <= n; i += Lanes::width) top = Lanes::larger(Lanes::load(values + i), top);
  std::array<float, Lanes::width> lanes;
  Lanes::store(lanes.data(), top);
  for (; i < n; ++i) lanes[0] = values[i] > lanes[0] ? values[i] : lanes[0];
  return *std::max_element(lanes.begin(), lanes.end());
}

/// The signed square s |s| of each pixel's significance s = f / sigma (band-passed value over its
/// noise sigma, the sigma never below `least`), written over the local mean it is computed from.
/// It orders pixels as s does, without a square root per pixel.
void squared_significance(const float* filtered, float* mean_then_squares, std::size_t n, const NoiseModel& noise,
                          float least) {
  const auto intercept = static_cast<float>(noise.filter_gain * noise.intercept);
  const auto slope = static_cast<float>(noise.filter_gain * noise.slope);
  const float lowest = std::max(static_cast<float>(noise.filter_gain * noise.floor), least * least);
  for (std::size_t i = 0; i < n; ++i) {
    const float f = filtered[i];
    const float variance = intercept + slope * mean_then_squares[i];
    mean_then_squares[i] = f * std::fabs(f) / (variance > lowest ? variance : lowest);
  }
}

/// The band-pass mirrors the frame at its edges (d c b a | a b c d), so a pixel on an edge takes in
/// some of its neighbours' noise twice: along an axis the mirrored weights' squares sum to at most
/// twice the unmirrored ones ((a + b)^2 <= 2 (a^2 + b^2)), so the noise variance there is at most
/// this many times the model's per edge the pixel lies on (a corner lies on two).
constexpr float kEdgeVarianceBound = 2.0f;

/// Divides the squared significance of each pixel on the frame's edges by kEdgeVarianceBound per
/// edge it lies on: there the noise reaches a significance no larger than elsewhere, and a spot on
/// the edge (whose mirror image adds its light) is measured against that bound.
void bound_edge_significance(float* squares, std::uint64_t rows, std::uint64_t cols) {
  if (rows < 3 || cols < 3) return;
  const auto last_row = static_cast<std::int64_t>(rows) - 1, last_col = static_cast<std::int64_t>(cols) - 1;
  for_each_on_frame_edge(last_row + 1, last_col + 1, [&](std::int64_t r, std::int64_t c) {
    const bool corner = (r == 0 || r == last_row) && (c == 0 || c == last_col);
    squares[r * (last_col + 1) + c] /= corner ? kEdgeVarianceBound * kEdgeVarianceBound : kEdgeVarianceBound;
  });
}

/// The frame's peaks with those on its edges that reach `level` added, brightest first and thinned
/// again by min_distance.
std::vector<Peak<2>> with_edge_peaks(std::vector<Peak<2>> peaks, const View2<float>& squares, const Extent2d& extent,
                                     float level, float min_distance) {
  std::vector<Peak<2>> edge = detect_edge_peaks_2d(squares, extent, level);
  if (edge.empty()) return peaks;
  peaks.insert(peaks.end(), edge.begin(), edge.end());
  sort_brightest_first(peaks);
  return thin_by_distance<2>(peaks, min_distance);
}

/// A copy of the frame with every missing (NaN or infinite) value replaced by the mean of the
/// finite pixels, for the filter.
void fill_missing(const float* values, std::size_t n, std::vector<float>& filled) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (std::isfinite(values[i])) {
      sum += values[i];
      ++count;
    }
  const float mean = count > 0 ? static_cast<float>(sum / static_cast<double>(count)) : 0.0f;
  filled.assign(values, values + n);
  for (float& v : filled)
    if (!std::isfinite(v)) v = mean;
}

}  // namespace

SpotPathSettings spot_path_settings(std::uint64_t diameter, std::optional<float> threshold, float min_distance,
                                    double gain, double offset, std::optional<double> read_noise, bool camera,
                                    bool invert, bool keep_hot_pixels) {
  if (diameter < 3 || diameter % 2 == 0) throw ValueError("diameter must be an odd integer >= 3 (pixels)");
  validate_bandpass(kNoiseSize, static_cast<double>(diameter / 2));
  SpotPathSettings s{diameter, threshold, min_distance, gain, offset, {}, invert, keep_hot_pixels, {}};
  // In photons, shot noise adds one unit of variance per photon of background (less one, the
  // frame turned over).
  if (camera) s.known.slope = invert ? -1.0 : 1.0;
  if (read_noise) s.known.intercept = (*read_noise / gain) * (*read_noise / gain);
  return s;
}

template <class T>
std::vector<FrameSpots> detect_spot_frames(const T* samples, std::uint64_t frames, std::uint64_t rows,
                                           std::uint64_t cols, const SpotPathSettings& s,
                                           const StopRequested& stopped) {
  const std::uint64_t pixels = rows * cols;
  const double feature = static_cast<double>(s.window / 2);
  const double gain = bandpass_noise_gain(kNoiseSize, feature);
  const Extent2d extent{0.0f, static_cast<float>(rows) - 1.0f, 0.0f, static_cast<float>(cols) - 1.0f};
  const std::vector<Index<2>> stuck = stuck_in_frame(s.stuck, rows, cols);
  return for_each_frame<FrameSpots>(frames, stopped, [&](std::size_t f, BufferPool& pool) -> FrameSpots {
    if (pixels == 0) return {};
    Lease frame(pool), filled(pool), filtered(pool), significance(pool);
    (*frame).resize(pixels);
    const bool nan = calibrate<T>(samples + f * pixels, pixels, (*frame).data(), s);
    paint_over_stuck((*frame).data(), rows, cols, stuck);
    if (nan) fill_missing((*frame).data(), pixels, *filled);
    const float* clean = nan ? (*filled).data() : (*frame).data();
    (*filtered).resize(pixels);
    (*significance).resize(pixels);
    const View2<float> clean_view = contiguous_view<float, 2>(clean, {rows, cols});
    // The local mean lands in `significance` and is turned into squared noise sigmas there.
    bandpass(clean_view, kNoiseSize, feature, (*filtered).data(), (*significance).data());
    const NoiseModel noise =
        estimate_noise(clean, (*significance).data(), (*filtered).data(), rows, cols, s.known, gain);
    const float highest = largest((*filtered).data(), pixels);
    squared_significance((*filtered).data(), (*significance).data(), pixels, noise,
                         kNoiseFreeShare * std::max(highest, 0.0f));
    bound_edge_significance((*significance).data(), rows, cols);
    const View2<float> filtered_view = contiguous_view<float, 2>((*filtered).data(), {rows, cols});
    const View2<float> sigmas_view = contiguous_view<float, 2>((*significance).data(), {rows, cols});
    const float lowest = kLowestSpotSigmas * kLowestSpotSigmas;
    // With the automatic threshold, spots are looked for on the frame's edges too (particles
    // entering and leaving), against the edges' bound on the noise.
    const auto peaks =
        s.threshold ? detect_peaks_2d(filtered_view, extent, *s.threshold, s.min_distance)
                    : with_edge_peaks(detect_peaks_2d(sigmas_view, extent, lowest, s.min_distance), sigmas_view,
                                      extent, lowest, s.min_distance);
    SpotSettings settings{s.window, s.keep_hot_pixels, nan, kNoiseSize, std::nullopt, std::nullopt};
    settings.filter_gain = gain;
    if (!s.threshold) {
      settings.min_snr = kSpotSigmas;
      settings.lowest_snr = kLowestSpotSigmas;
      settings.typical_spread = frame_spread(sigmas_view);
    }
    return measure_spots(contiguous_view<float, 2>((*frame).data(), {rows, cols}), filtered_view, sigmas_view,
                         peaks, settings);
  });
}

// Every real sample type a movie may hold.
#define QUORLIN_SPOT_FRAMES(T)                                                                           \
  template std::vector<FrameSpots> detect_spot_frames(const T*, std::uint64_t, std::uint64_t, std::uint64_t, \
                                                       const SpotPathSettings&, const StopRequested&);
QUORLIN_FOR_EACH_SAMPLE_TYPE(QUORLIN_SPOT_FRAMES)
#undef QUORLIN_SPOT_FRAMES

}  // namespace quorlin
