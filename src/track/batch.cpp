// Detection and localization of many 2-D frames at once (the core's frame batch), results returned
// as flat arrays so the caller builds its table once; and the automatic threshold of a frame.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "convert.h"
#include "detect/sample_conversion.h"
#include "localize/frame_batch.h"
#include "results.h"
#include "samples.h"

namespace quorlin::track {

namespace py = pybind11;

namespace {

/// (peaks per frame, positions (K, 2) along axes 0 and 1, intensities (K,), thresholds per frame).
py::tuple flatten(const std::vector<FramePeaks>& results) {
  std::vector<std::int64_t> counts;
  std::vector<float> positions, intensities, thresholds;
  for (const FramePeaks& r : results) {
    counts.push_back(static_cast<std::int64_t>(r.peaks.size()));
    thresholds.push_back(r.threshold);
    for (const Peak<2>& p : r.peaks) {
      positions.insert(positions.end(), p.position.begin(), p.position.end());
      intensities.push_back(p.intensity);
    }
  }
  const auto k = static_cast<py::ssize_t>(intensities.size());
  return py::make_tuple(to_numpy(std::move(counts)), to_numpy(std::move(positions), {k, 2}),
                        to_numpy(std::move(intensities)), to_numpy(std::move(thresholds)));
}

py::tuple detect_frames(const py::array& chunk, std::optional<float> threshold, float min_distance,
                        std::optional<std::string> method, std::optional<std::uint64_t> window,
                        std::optional<std::uint64_t> max_peaks,
                        std::optional<py::array_t<std::uint8_t>> stop) {
  const FrameBatchRequest request{threshold, min_distance, std::move(method), window, max_peaks};
  // Argument errors are raised here, once, rather than from every frame's worker.
  check_frame_batch(request);
  const StopRequested stopped = stop_flag_reader(stop_flag_of(stop));
  std::vector<FramePeaks> results;
  with_chunk_samples(chunk, [&](const auto* samples, std::uint64_t frames, std::uint64_t rows, std::uint64_t cols) {
    results = detect_frame_batch(samples, frames, rows, cols, request, stopped);
  });
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
