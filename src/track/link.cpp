// Linking of a detection table: the core's links by global point index, turned into one particle
// id per detection, so every row keeps its frame and its place in the table.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "common/errors.h"
#include "convert.h"
#include "link/linking.h"
#include "link/motion.h"
#include "results.h"

namespace quorlin::track {

namespace py = pybind11;

namespace {

/// Particle id of every stored point: points without a predecessor start a particle, numbered in
/// the order of their global index (the order of the linker's tracks); every other point takes
/// its predecessor's id. Predecessors lie in earlier frames, so one forward pass suffices.
std::vector<std::int64_t> particle_ids(const LinkTable& links) {
  const std::size_t n = links.predecessor.size();
  std::vector<std::int64_t> particle(n);
  std::int64_t next = 0;
  for (std::size_t i = 0; i < n; ++i)
    particle[i] = links.predecessor[i] == LinkTable::kNone ? next++ : particle[links.predecessor[i]];
  return particle;
}

template <std::size_t D>
PointStore<D> store_of(const Contiguous<float>& points, const Contiguous<std::uint64_t>& frame_begin,
                       const Contiguous<std::int64_t>& frame_number) {
  if (points.ndim() != 2 || static_cast<std::size_t>(points.shape(1)) != D + 1)
    throw py::value_error("points must have one row per detection: coordinates, then intensity");
  const auto n = static_cast<std::uint64_t>(points.shape(0));
  const Contiguous<float> rows = readable(points);
  const Contiguous<std::uint64_t> begins = readable(frame_begin);
  const Contiguous<std::int64_t> numbers = readable(frame_number);
  PointStore<D> store;
  store.frame_begin.assign(begins.data(), begins.data() + begins.size());
  if (store.frame_begin.empty() || store.frame_begin.front() != 0 || store.frame_begin.back() != n)
    throw py::value_error("frame_begin must run from 0 to the number of points");
  for (std::size_t k = 1; k < store.frame_begin.size(); ++k)
    if (store.frame_begin[k] < store.frame_begin[k - 1]) throw py::value_error("frame_begin must not decrease");
  store.frame_number.assign(numbers.data(), numbers.data() + numbers.size());
  if (store.frame_number.size() != store.frames())
    throw py::value_error("frame_number must hold one number per frame of frame_begin");
  for (std::size_t k = 1; k < store.frame_number.size(); ++k)
    if (store.frame_number[k] <= store.frame_number[k - 1])
      throw py::value_error("frame_number must increase strictly");
  store.points.resize(n);
  const float* row = rows.data();
  for (auto& p : store.points) {
    for (std::size_t a = 0; a < D; ++a) p.position[a] = row[a];
    p.intensity = row[D];
    row += D + 1;
  }
  return store;
}

/// The particle ids of the links that link() returns, made without the interpreter lock (link
/// reads only the call's own copy of the points).
template <class Link>
py::array particles_of(Link&& link) {
  std::vector<std::int64_t> particle;
  {
    py::gil_scoped_release unlocked;
    particle = particle_ids(link());
  }
  return to_numpy(std::move(particle));
}

/// The particle ids of the stored points under `motion` ("position": the frame-pair linker;
/// "velocity", "drift": the motion linker with initial_distance). stop: a byte that another
/// thread sets to 1 to end the work early (the ids are then meaningless, and the caller discards
/// them).
template <std::size_t D, class Gate>
py::array link_store(const PointStore<D>& store, float max_distance, std::uint64_t max_skip,
                                     const Gate& gate, const std::string& motion,
                                     std::optional<float> initial_distance, std::uint8_t* stop) {
  const StopRequested stopped = stop_flag_reader(stop);
  if (motion == "position") {
    if (initial_distance) throw py::value_error("initial_distance applies to motion 'velocity' or 'drift' only");
    return particles_of([&] { return link_table_with<D>(store, max_distance, max_skip, gate, stopped); });
  }
  const MotionSettings settings{motion_model(motion), max_distance, initial_distance.value_or(max_distance),
                                max_skip};
  return particles_of([&] { return link_table_moving<D>(store, settings, gate, stopped); });
}

/// Rows (axis-0 coordinate, axis-1 coordinate[, axis-2 coordinate], intensity) grouped by frame:
/// stored frame k, numbered frame_number[k], holds rows [frame_begin[k], frame_begin[k + 1]).
/// Returns the particle id of each row.
py::array link_particles(const Contiguous<float>& points, const Contiguous<std::uint64_t>& frame_begin,
                         const Contiguous<std::int64_t>& frame_number, float max_distance, std::uint64_t max_skip,
                         std::optional<float> max_intensity_ratio, std::optional<py::array_t<std::uint8_t>> stop,
                         const std::string& motion, std::optional<float> initial_distance) {
  std::uint8_t* const stop_flag = stop_flag_of(stop);
  const std::string what = "link " + std::to_string(points.shape(0)) + " detections in " +
                           std::to_string(frame_number.size()) + " frames";
  return naming_memory(what, [&] {
    if (points.ndim() == 2 && points.shape(1) == 4) {
      if (max_intensity_ratio) throw py::value_error("max_intensity_ratio applies to 2-D points only");
      return link_store(store_of<3>(points, frame_begin, frame_number), max_distance, max_skip,
                        AnyIntensity{}, motion, initial_distance, stop_flag);
    }
    const PointStore<2> store = store_of<2>(points, frame_begin, frame_number);
    if (max_intensity_ratio)
      return link_store(store, max_distance, max_skip, SameSignRatioGate{*max_intensity_ratio}, motion,
                        initial_distance, stop_flag);
    return link_store(store, max_distance, max_skip, AnyIntensity{}, motion, initial_distance, stop_flag);
  });
}

}  // namespace

void bind_link(py::module_& m) {
  m.def("link_particles", &link_particles, py::arg("points"), py::arg("frame_begin"), py::arg("frame_number"),
        py::arg("max_distance"), py::arg("max_skip"), py::arg("max_intensity_ratio"),
        py::arg("stop") = py::none(), py::arg("motion") = "position", py::arg("initial_distance") = py::none(),
        "Particle id of every point (rows grouped by frame as frame_begin says, frame k numbered "
        "frame_number[k]), linked under the motion model `motion`. Setting stop[0] to 1 from another "
        "thread ends the work early; the ids are then meaningless.");
}

}  // namespace quorlin::track
