// Detection and localization of many 2-D frames at once: conversion to float32, the automatic
// threshold, detection and localization fused per frame, frames in parallel, results returned as
// flat arrays so the caller builds its table once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "chunk_support.h"
#include "common/parallel.h"
#include "detect/detection2d.h"
#include "detect/peaks.h"
#include "localize/localize.h"
#include "samples.h"

namespace quorlin::track {

namespace py = pybind11;

namespace {

/// What to do with each frame; the same meaning as the raw detector's arguments.
struct DetectSettings {
  std::optional<float> threshold;  ///< absent: each frame's automatic threshold
  float min_distance;
  std::optional<std::string> method;
  std::optional<std::uint64_t> window;
  std::optional<std::uint64_t> max_peaks;
};

/// The outcome of one frame.
struct FrameResult {
  std::vector<PeakCandidate> peaks;
  float threshold = 0;
};

FrameResult detect_frame(const float* frame, std::uint64_t rows, std::uint64_t cols, float threshold,
                         const DetectSettings& settings) {
  const View2<float> view = contiguous_view<float, 2>(frame, {rows, cols});
  // Positions in pixels: the first and last pixel centres are 0 and N - 1 along each axis.
  const Extent2d extent{0.0f, static_cast<float>(rows) - 1.0f, 0.0f, static_cast<float>(cols) - 1.0f};
  auto peaks = detect_peaks_2d(view, extent, threshold, settings.min_distance);
  std::optional<std::string_view> method;
  if (settings.method) method = *settings.method;
  return {refine_peaks_2d(view, std::move(peaks), extent, method, settings.window, settings.max_peaks),
          threshold};
}

template <class T>
std::vector<FrameResult> detect_chunk(const T* samples, std::uint64_t frames, std::uint64_t rows,
                                      std::uint64_t cols, const DetectSettings& settings,
                                      std::uint8_t* stop) {
  std::vector<FrameResult> results(frames);
  const std::uint64_t pixels = rows * cols;
  BufferPool pool;
  parallel_for(frames, [&](std::size_t f) {
    if (stop_requested(stop)) return;
    Lease converted(pool), scratch(pool);
    (*converted).resize(pixels);
    const auto background = convert_samples(samples + f * pixels, pixels, (*converted).data(),
                                            !settings.threshold, *scratch);
    const float threshold = settings.threshold ? *settings.threshold : background->threshold;
    results[f] = detect_frame((*converted).data(), rows, cols, threshold, settings);
  });
  return results;
}

/// (peaks per frame, positions (K, 2) along axes 0 and 1, intensities (K,), thresholds per frame).
py::tuple flatten(const std::vector<FrameResult>& results) {
  std::vector<std::int64_t> counts;
  std::vector<float> positions, intensities, thresholds;
  for (const FrameResult& r : results) {
    counts.push_back(static_cast<std::int64_t>(r.peaks.size()));
    thresholds.push_back(r.threshold);
    for (const PeakCandidate& p : r.peaks) {
      positions.insert(positions.end(), p.position.begin(), p.position.end());
      intensities.push_back(p.intensity);
    }
  }
  const auto k = static_cast<py::ssize_t>(intensities.size());
  const auto n = static_cast<py::ssize_t>(results.size());
  return py::make_tuple(flat_array(counts, {n}), flat_array(positions, {k, 2}), flat_array(intensities, {k}),
                        flat_array(thresholds, {n}));
}

py::tuple detect_frames(const py::array& chunk, std::optional<float> threshold, float min_distance,
                        std::optional<std::string> method, std::optional<std::uint64_t> window,
                        std::optional<std::uint64_t> max_peaks,
                        std::optional<py::array_t<std::uint8_t>> stop) {
  if (chunk.ndim() != 3) throw py::value_error("chunk must have 3 dimensions (frames, rows, columns)");
  // Argument errors are raised here, once, rather than from every frame's worker.
  if (method) {
    checked_window_size(window);
    parse_localization_method(*method);
  }
  const DetectSettings settings{threshold, min_distance, std::move(method), window, max_peaks};
  if (stop && stop->size() != 1) throw py::value_error("stop must hold one byte");
  std::uint8_t* const stop_flag = stop ? stop->mutable_data() : nullptr;
  std::vector<FrameResult> results;
  const bool known = visit_samples(chunk, [&](const auto& typed) {
    const auto frames = static_cast<std::uint64_t>(typed.shape(0));
    const auto rows = static_cast<std::uint64_t>(typed.shape(1));
    const auto cols = static_cast<std::uint64_t>(typed.shape(2));
    const auto* samples = typed.data();
    // The chunk is a read buffer that quorlin_track allocated for this call and shares with no
    // other code, and `typed` keeps it alive: it is safe to read without the interpreter lock.
    py::gil_scoped_release unlocked;
    results = detect_chunk(samples, frames, rows, cols, settings, stop_flag);
  });
  if (!known) throw py::type_error("chunk has an unsupported sample type");
  return flatten(results);
}

py::tuple frame_background(const py::array& frame) {
  std::optional<Background> background;
  const bool known = visit_samples(frame, [&](const auto& typed) {
    std::vector<float> converted(static_cast<std::size_t>(typed.size()));
    std::vector<float> scratch;
    background = convert_samples(typed.data(), converted.size(), converted.data(), true, scratch);
  });
  if (!known) throw py::type_error("frame has an unsupported sample type");
  return py::make_tuple(background->median, background->mad, background->threshold);
}

}  // namespace

void bind_batch(py::module_& m) {
  m.def("detect_frames", &detect_frames, py::arg("chunk"), py::arg("threshold"), py::arg("min_distance"),
        py::arg("method"), py::arg("window"), py::arg("max_peaks"), py::arg("stop") = py::none(),
        "Detects and localizes the peaks of each frame of a (T, Y, X) chunk; returns (peaks per "
        "frame, positions (K, 2) in pixels along axes 0 and 1, intensities, threshold per frame). "
        "Setting stop[0] to 1 from another thread skips the frames not yet started (their results "
        "are empty).");
  m.def("background", &frame_background, py::arg("frame"),
        "Median, median absolute deviation and automatic threshold of a frame or volume.");
}

}  // namespace quorlin::track
