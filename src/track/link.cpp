// Linking of a detection table: the core's links by global point index, turned into one particle
// id per detection, so every row keeps its frame and its place in the table.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "link/linking.h"
#include "link/motion.h"

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
PointStore<D> store_of(const py::array_t<float, py::array::c_style | py::array::forcecast>& points,
                       const py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>& frame_begin) {
  if (points.ndim() != 2 || static_cast<std::size_t>(points.shape(1)) != D + 1)
    throw py::value_error("points must have one row per detection: coordinates, then intensity");
  const auto n = static_cast<std::uint64_t>(points.shape(0));
  PointStore<D> store;
  store.frame_begin.assign(frame_begin.data(), frame_begin.data() + frame_begin.size());
  if (store.frame_begin.empty() || store.frame_begin.front() != 0 || store.frame_begin.back() != n)
    throw py::value_error("frame_begin must run from 0 to the number of points");
  for (std::size_t k = 1; k < store.frame_begin.size(); ++k)
    if (store.frame_begin[k] < store.frame_begin[k - 1]) throw py::value_error("frame_begin must not decrease");
  store.points.resize(n);
  const float* row = points.data();
  for (auto& p : store.points) {
    for (std::size_t a = 0; a < D; ++a) p.position[a] = row[a];
    p.intensity = row[D];
    row += D + 1;
  }
  return store;
}

/// Particle ids of the links that link() returns, made without the interpreter lock: link reads
/// only the call's own copies of the points.
template <class Link>
py::array_t<std::int64_t> particles_of(Link&& link) {
  std::vector<std::int64_t> particle;
  {
    py::gil_scoped_release unlocked;
    particle = particle_ids(link());
  }
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(particle.size()));
  std::copy(particle.begin(), particle.end(), out.mutable_data());
  return out;
}

template <std::size_t D, class Gate>
py::array_t<std::int64_t> link_store(const PointStore<D>& store, float max_distance, std::uint64_t max_skip,
                                     const Gate& gate) {
  return particles_of([&] { return link_table_with<D>(store, max_distance, max_skip, gate); });
}

/// Rows (axis-0 coordinate, axis-1 coordinate[, axis-2 coordinate], intensity) grouped by frame:
/// frame k holds rows [frame_begin[k], frame_begin[k + 1]). Returns the particle id of each row.
py::array_t<std::int64_t> link_particles(const py::array_t<float, py::array::c_style | py::array::forcecast>& points,
                                         const py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>& frame_begin,
                                         float max_distance, std::uint64_t max_skip,
                                         std::optional<float> max_intensity_ratio) {
  if (points.ndim() == 2 && points.shape(1) == 4) {
    if (max_intensity_ratio) throw py::value_error("max_intensity_ratio applies to 2-D points only");
    return link_store(store_of<3>(points, frame_begin), max_distance, max_skip, AnyIntensity{});
  }
  const PointStore<2> store = store_of<2>(points, frame_begin);
  if (max_intensity_ratio)
    return link_store(store, max_distance, max_skip, IntensityRatioGate{*max_intensity_ratio});
  return link_store(store, max_distance, max_skip, AnyIntensity{});
}

// Linking under a motion model.

template <std::size_t D, class Gate>
py::array_t<std::int64_t> link_store_moving(const PointStore<D>& store, const std::vector<std::int64_t>& numbers,
                                            const MotionSettings& settings, const Gate& gate) {
  return particles_of([&] { return link_table_moving<D>(store, numbers, settings, gate); });
}

/// Rows grouped by frame as for link_particles, but only frames that hold rows need be given:
/// stored frame k is frame number frame_numbers[k]. Returns the particle id of each row.
py::array_t<std::int64_t> link_particles_moving(
    const py::array_t<float, py::array::c_style | py::array::forcecast>& points,
    const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& frame_numbers,
    const py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>& frame_begin,
    float max_distance, std::uint64_t max_skip, std::optional<float> max_intensity_ratio,
    const std::string& motion, float initial_distance) {
  const MotionSettings settings{motion_model(motion), max_distance, initial_distance, max_skip};
  const std::vector<std::int64_t> numbers(frame_numbers.data(), frame_numbers.data() + frame_numbers.size());
  if (points.ndim() == 2 && points.shape(1) == 4) {
    if (max_intensity_ratio) throw py::value_error("max_intensity_ratio applies to 2-D points only");
    return link_store_moving(store_of<3>(points, frame_begin), numbers, settings, AnyIntensity{});
  }
  const PointStore<2> store = store_of<2>(points, frame_begin);
  if (max_intensity_ratio)
    return link_store_moving(store, numbers, settings, IntensityRatioGate{*max_intensity_ratio});
  return link_store_moving(store, numbers, settings, AnyIntensity{});
}

}  // namespace

void bind_link(py::module_& m) {
  m.def("link_particles", &link_particles, py::arg("points"), py::arg("frame_begin"), py::arg("max_distance"),
        py::arg("max_skip"), py::arg("max_intensity_ratio"),
        "Particle id of every point (rows grouped by frame as frame_begin says).");
  m.def("link_particles_moving", &link_particles_moving, py::arg("points"), py::arg("frame_numbers"),
        py::arg("frame_begin"), py::arg("max_distance"), py::arg("max_skip"), py::arg("max_intensity_ratio"),
        py::arg("motion"), py::arg("initial_distance"),
        "Particle id of every point, linked under a motion model ('velocity' or 'drift'); stored frame k "
        "is frame number frame_numbers[k].");
}

}  // namespace quorlin::track
