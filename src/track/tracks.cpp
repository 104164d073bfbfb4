// quorlin_track._native.track_geometry: the shape of each track's path, behind track_table.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "analysis/track_geometry.h"
#include "bindings.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

template <class T>
py::array_t<T> copied(const std::vector<T>& values) {
  return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::tuple track_geometry_py(
    const py::array_t<double, py::array::c_style | py::array::forcecast>& positions,
    const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& track_starts) {
  if (positions.ndim() != 2 || track_starts.ndim() != 1)
    throw py::value_error("positions must be 2-D, track_starts 1-D");
  const auto rows = static_cast<std::uint64_t>(positions.shape(0));
  const auto columns = static_cast<std::uint64_t>(positions.shape(1));
  const auto starts = static_cast<std::uint64_t>(track_starts.shape(0));
  TrackGeometry geometry;
  {
    // The arrays are track_table's own, held by this call: read in place, without the lock.
    py::gil_scoped_release released;
    geometry = track_geometry(contiguous_view<double, 2>(positions.data(), {rows, columns}),
                              contiguous_view<std::int64_t, 1>(track_starts.data(), {starts}));
  }
  return py::make_tuple(copied(geometry.path), copied(geometry.net), copied(geometry.turning),
                        copied(geometry.turns));
}

}  // namespace

void bind_tracks(py::module_& m) {
  m.def("track_geometry", &track_geometry_py, py::arg("positions"), py::arg("track_starts"),
        "Per track (rows [track_starts[t], track_starts[t + 1]) in frame order): path length, net "
        "displacement, sum and number of turning angles (radians).");
}

}  // namespace quorlin::track
