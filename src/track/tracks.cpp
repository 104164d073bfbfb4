// quorlin_track._native.track_geometry: the shape of each track's path, behind track_table.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "analysis/track_geometry.h"
#include "bindings.h"
#include "convert.h"
#include "results.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

py::tuple track_geometry_py(const Contiguous<double>& positions, const Contiguous<std::int64_t>& track_starts) {
  if (positions.ndim() != 2 || track_starts.ndim() != 1)
    throw py::value_error("positions must be 2-D, track_starts 1-D");
  const auto rows = view_of<2>(positions);
  const auto starts = view_of<1>(track_starts);
  TrackGeometry geometry;
  {
    // The arrays are track_table's own, held by this call: read in place, without the lock.
    py::gil_scoped_release released;
    geometry = track_geometry(rows.view, starts.view);
  }
  return py::make_tuple(to_numpy(std::move(geometry.path)), to_numpy(std::move(geometry.net)),
                        to_numpy(std::move(geometry.turning)), to_numpy(std::move(geometry.turns)));
}

}  // namespace

void bind_tracks(py::module_& m) {
  m.def("track_geometry", &track_geometry_py, py::arg("positions"), py::arg("track_starts"),
        "Per track (rows [track_starts[t], track_starts[t + 1]) in frame order): path length, net "
        "displacement, sum and number of turning angles (radians).");
}

}  // namespace quorlin::track
