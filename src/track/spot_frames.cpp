// quorlin_track._native.detect_spot_frames: the default detection path (the core's spot frames) on
// a chunk of a movie, results as flat arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bindings.h"
#include "convert.h"
#include "localize/spot_frames.h"
#include "localize/stuck_pixels.h"
#include "results.h"
#include "samples.h"

namespace quorlin::track {

namespace py = pybind11;

namespace {

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
  const auto n = static_cast<py::ssize_t>(results.size());
  return py::make_tuple(to_numpy(std::move(counts)), to_numpy(std::move(y)), to_numpy(std::move(x)),
                        to_numpy(std::move(signal)), to_numpy(std::move(mass)), to_numpy(std::move(background)),
                        to_numpy(std::move(size)), to_numpy(std::move(snr)), to_numpy(std::move(how)),
                        to_numpy(std::move(dropped), {n, 2}));
}

/// Rows of (row, column) of an (n, 2) array.
std::vector<Index<2>> pixel_rows(const Contiguous<std::int64_t>& pixels) {
  if (pixels.ndim() != 2 || pixels.shape(1) != 2) throw py::value_error("stuck must be an (n, 2) array of pixels");
  std::vector<Index<2>> out(static_cast<std::size_t>(pixels.shape(0)));
  const std::int64_t* p = pixels.data();
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = {p[2 * i], p[2 * i + 1]};
  return out;
}

py::tuple detect_spots(const py::array& chunk, std::uint64_t diameter, std::optional<float> threshold,
                       float min_distance, double gain, double offset, std::optional<double> read_noise, bool camera,
                       bool invert, bool keep_hot_pixels, std::optional<py::array_t<std::uint8_t>> stop,
                       std::optional<Contiguous<std::int64_t>> stuck) {
  SpotPathSettings settings = spot_path_settings(diameter, threshold, min_distance, gain, offset, read_noise,
                                                 camera, invert, keep_hot_pixels);
  if (stuck) settings.stuck = pixel_rows(*stuck);
  const StopRequested stopped = stop_flag_reader(stop_flag_of(stop));
  std::vector<FrameSpots> results;
  with_chunk_samples(chunk, [&](const auto* samples, std::uint64_t frames, std::uint64_t rows, std::uint64_t cols) {
    results = detect_spot_frames(samples, frames, rows, cols, settings, stopped);
  });
  return flatten(results);
}

/// A copy of (P, Y, X) or (Y, X) planes with the stuck pixels painted over in every plane.
py::array paint_stuck(const Contiguous<float>& planes, const Contiguous<std::int64_t>& stuck) {
  if (planes.ndim() != 2 && planes.ndim() != 3) throw py::value_error("argument 'planes': must be a 2-D or 3-D array");
  const auto rows = static_cast<std::uint64_t>(planes.shape(planes.ndim() - 2));
  const auto cols = static_cast<std::uint64_t>(planes.shape(planes.ndim() - 1));
  const std::vector<Index<2>> pixels = stuck_in_frame(pixel_rows(stuck), rows, cols);
  std::vector<float> out(planes.data(), planes.data() + planes.size());
  {
    py::gil_scoped_release free;
    for (std::uint64_t at = 0; at + rows * cols <= out.size() && rows * cols > 0; at += rows * cols)
      paint_over_stuck(out.data() + at, rows, cols, pixels);
  }
  return to_numpy(std::move(out), std::vector<py::ssize_t>(planes.shape(), planes.shape() + planes.ndim()));
}

/// The stuck pixels found on a movie's mean frame, as an (n, 2) array of (row, column).
py::array find_stuck(const Contiguous<float>& mean) {
  if (mean.ndim() != 2) throw py::value_error("argument 'mean': must be a 2-D array");
  const auto viewed = view_of<2>(mean);
  std::vector<Index<2>> stuck;
  {
    py::gil_scoped_release free;
    stuck = find_stuck_pixels(viewed.view);
  }
  std::vector<std::int64_t> flat;
  for (const Index<2>& p : stuck) flat.insert(flat.end(), p.begin(), p.end());
  return to_numpy(std::move(flat), {static_cast<py::ssize_t>(stuck.size()), 2});
}

}  // namespace

void bind_spots(py::module_& m) {
  m.def("detect_spot_frames", &detect_spots, py::arg("chunk"), py::arg("diameter"), py::arg("threshold"),
        py::arg("min_distance"), py::arg("gain"), py::arg("offset"), py::arg("read_noise"), py::arg("camera"),
        py::arg("invert"), py::arg("keep_hot_pixels"), py::arg("stop") = py::none(), py::arg("stuck") = py::none(),
        "Detects and measures the spots of each frame of a (T, Y, X) chunk on the band-passed frame "
        "against its noise; returns (spots per frame, y, x, signal, mass, background, size, snr, located_by, "
        "dropped (T, 2): NaN pixels, hot pixels); the (n, 2) pixels of `stuck` are painted over in every frame.");
  m.def("paint_stuck_pixels", &paint_stuck, py::arg("planes"), py::arg("stuck"),
        "A float32 copy of (P, Y, X) or (Y, X) planes with the (n, 2) stuck pixels painted over in every plane "
        "(the median of each one's other neighbours in its plane).");
  m.def("find_stuck_pixels", &find_stuck, py::arg("mean"),
        "The stuck pixels of a camera found on the float32 mean of several frames of a movie: (n, 2) rows and "
        "columns, row by row.");
  m.attr("SPOT_SIGMAS") = kSpotSigmas;
}

}  // namespace quorlin::track
