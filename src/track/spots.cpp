// The default detection path of many 2-D frames at once: camera values converted (to photons with
// a camera model, inverted for dark particles), band-passed, thresholded against each pixel's
// noise, and every spot measured; frames in parallel, results as flat arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "bindings.h"
#include "chunk_support.h"
#include "common/errors.h"
#include "common/parallel.h"
#include "detect/bandpass.h"
#include "detect/detection2d.h"
#include "detect/noise_model.h"
#include "localize/spot_measure.h"
#include "samples.h"

namespace quorlin::track {

namespace py = pybind11;

namespace {

/// Width of the band-pass filter's Gaussian, pixels: it averages the pixel noise of a spot a
/// little narrower than a diffraction-limited one.
constexpr double kNoiseSize = 1.0;
/// The automatic threshold, in noise sigmas of the band-passed frame: pure camera noise (shot and
/// read noise, noisy pixels, uneven light) then gives about one false spot in 5 million pixels.
constexpr float kSpotSigmas = 5.5f;
/// The lowest the automatic threshold falls to in a frame whose peaks outnumber its dips (faint
/// spots): noise reaches it about once in 10,000 pixels, so a few false spots can only come
/// with many real ones.
constexpr float kLowestSpotSigmas = 4.0f;
/// The noise sigma never falls below this share of the frame's highest band-passed value: on a
/// noise-free frame the filter's own far tails (a few 1e-4 of a spot's height) stay below the
/// threshold, while every camera's noise lies far above it.
constexpr float kNoiseFreeShare = 3e-4f;

/// Independent running minima and maxima in a scan of the frame: one vector register's floats.
constexpr std::size_t kLanes = 8;

struct SpotPathSettings {
  std::uint64_t window;                ///< the spot diameter: odd, pixels
  std::optional<float> threshold;      ///< band-passed units; absent: kSpotSigmas noise sigmas
  float min_distance;
  double gain;                         ///< counts per photon (1 without a camera model)
  double offset;                       ///< counts at zero light (0 without a camera model)
  KnownNoise known;
  bool invert;
  bool keep_hot_pixels;
};

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
/// by lane so the compiler keeps the lanes in vector registers.
float largest(const float* values, std::size_t n) {
  std::array<float, kLanes> top;
  top.fill(values[0]);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t k = 0; k < kLanes; ++k) top[k] = values[i + k] > top[k] ? values[i + k] : top[k];
  for (; i < n; ++i) top[0] = values[i] > top[0] ? values[i] : top[0];
  return *std::max_element(top.begin(), top.end());
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

template <class T>
std::vector<FrameSpots> spot_chunk(const T* samples, std::uint64_t frames, std::uint64_t rows,
                                   std::uint64_t cols, const SpotPathSettings& s, std::uint8_t* stop) {
  std::vector<FrameSpots> results(frames);
  const std::uint64_t pixels = rows * cols;
  const double feature = static_cast<double>(s.window / 2);
  const double gain = bandpass_noise_gain(kNoiseSize, feature);
  const Extent2d extent{0.0f, static_cast<float>(rows) - 1.0f, 0.0f, static_cast<float>(cols) - 1.0f};
  BufferPool pool;
  parallel_for(frames, [&](std::size_t f) {
    if (stop_requested(stop) || pixels == 0) return;
    Lease frame(pool), filled(pool), filtered(pool), significance(pool);
    (*frame).resize(pixels);
    const bool nan = calibrate<T>(samples + f * pixels, pixels, (*frame).data(), s);
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
    const View2<float> filtered_view = contiguous_view<float, 2>((*filtered).data(), {rows, cols});
    const View2<float> sigmas_view = contiguous_view<float, 2>((*significance).data(), {rows, cols});
    const float lowest = kLowestSpotSigmas * kLowestSpotSigmas;
    const auto peaks = s.threshold ? detect_peaks_2d(filtered_view, extent, *s.threshold, s.min_distance)
                                   : detect_peaks_2d(sigmas_view, extent, lowest, s.min_distance);
    SpotSettings settings{s.window, s.keep_hot_pixels, nan, std::nullopt, std::nullopt};
    if (!s.threshold) {
      settings.min_snr = kSpotSigmas;
      settings.lowest_snr = kLowestSpotSigmas;
      settings.typical_spread = frame_spread(sigmas_view);
    }
    results[f] = measure_spots(contiguous_view<float, 2>((*frame).data(), {rows, cols}), filtered_view,
                               sigmas_view, peaks, settings);
  });
  return results;
}

/// (spots per frame, y, x, signal, mass, background, size, snr, located_by, dropped (frames, 2): NaN
/// pixels, hot pixels).
py::tuple flatten(const std::vector<FrameSpots>& results) {
  std::vector<std::int64_t> counts, dropped;
  std::vector<float> y, x, signal, mass, background, size, snr;
  std::vector<std::uint8_t> how;
  for (const FrameSpots& r : results) {
    counts.push_back(static_cast<std::int64_t>(r.spots.size()));
    dropped.push_back(static_cast<std::int64_t>(r.dropped_nan));
    dropped.push_back(static_cast<std::int64_t>(r.dropped_hot));
    for (const Spot& s : r.spots) {
      y.push_back(s.y);
      x.push_back(s.x);
      signal.push_back(s.signal);
      mass.push_back(s.mass);
      background.push_back(s.background);
      size.push_back(s.size);
      snr.push_back(s.snr);
      how.push_back(static_cast<std::uint8_t>(s.located_by));
    }
  }
  const auto k = static_cast<py::ssize_t>(y.size());
  const auto n = static_cast<py::ssize_t>(results.size());
  return py::make_tuple(flat_array(counts, {n}), flat_array(y, {k}), flat_array(x, {k}), flat_array(signal, {k}),
                        flat_array(mass, {k}),
                        flat_array(background, {k}), flat_array(size, {k}), flat_array(snr, {k}),
                        flat_array(how, {k}), flat_array(dropped, {n, 2}));
}

py::tuple detect_spot_frames(const py::array& chunk, std::uint64_t diameter, std::optional<float> threshold,
                             float min_distance, double gain, double offset, std::optional<double> read_noise,
                             bool camera, bool invert, bool keep_hot_pixels,
                             std::optional<py::array_t<std::uint8_t>> stop) {
  if (chunk.ndim() != 3) throw py::value_error("chunk must have 3 dimensions (frames, rows, columns)");
  if (diameter < 3 || diameter % 2 == 0) throw ValueError("diameter must be an odd integer >= 3 (pixels)");
  validate_bandpass(kNoiseSize, static_cast<double>(diameter / 2));
  SpotPathSettings s{diameter, threshold, min_distance, gain, offset, {}, invert, keep_hot_pixels};
  // In photons, shot noise adds one unit of variance per photon of background (less one, the
  // frame turned over).
  if (camera) s.known.slope = invert ? -1.0 : 1.0;
  if (read_noise) s.known.intercept = (*read_noise / gain) * (*read_noise / gain);
  if (stop && stop->size() != 1) throw py::value_error("stop must hold one byte");
  std::uint8_t* const stop_flag = stop ? stop->mutable_data() : nullptr;
  std::vector<FrameSpots> results;
  const bool known = visit_samples(chunk, [&](const auto& typed) {
    using T = std::remove_cv_t<std::remove_pointer_t<decltype(typed.data())>>;
    const auto frames = static_cast<std::uint64_t>(typed.shape(0));
    const auto rows = static_cast<std::uint64_t>(typed.shape(1));
    const auto cols = static_cast<std::uint64_t>(typed.shape(2));
    const T* samples = typed.data();
    // The chunk is a buffer this call holds (`typed` keeps it alive): read without the lock.
    py::gil_scoped_release unlocked;
    results = spot_chunk(samples, frames, rows, cols, s, stop_flag);
  });
  if (!known) throw py::type_error("chunk has an unsupported sample type");
  return flatten(results);
}

}  // namespace

void bind_spots(py::module_& m) {
  m.def("detect_spot_frames", &detect_spot_frames, py::arg("chunk"), py::arg("diameter"), py::arg("threshold"),
        py::arg("min_distance"), py::arg("gain"), py::arg("offset"), py::arg("read_noise"), py::arg("camera"),
        py::arg("invert"), py::arg("keep_hot_pixels"), py::arg("stop") = py::none(),
        "Detects and measures the spots of each frame of a (T, Y, X) chunk on the band-passed frame "
        "against its noise; returns (spots per frame, y, x, signal, mass, background, size, snr, located_by, "
        "dropped (T, 2): NaN pixels, hot pixels).");
  m.attr("SPOT_SIGMAS") = kSpotSigmas;
}

}  // namespace quorlin::track
