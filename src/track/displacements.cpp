// quorlin_track._native.displacement_sums: the pair sums behind the mean squared displacements.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/displacements.h"
#include "analysis/independent.h"
#include "bindings.h"
#include "common/errors.h"
#include "convert.h"
#include "results.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

/// An owned copy of a NumPy array's elements, so the work can run without the interpreter lock.
template <class T>
std::vector<T> owned_copy(const Contiguous<T>& a) {
  const Contiguous<T> held = readable(a);
  return std::vector<T>(held.data(), held.data() + held.size());
}

py::tuple displacement_sums_py(const Contiguous<std::int64_t>& frames,
                               const Contiguous<double>& positions,
                               const Contiguous<std::int64_t>& track_starts, std::uint64_t max_lag) {
  if (frames.ndim() != 1 || positions.ndim() != 2 || track_starts.ndim() != 1) {
    throw py::value_error("frames and track_starts must be 1-D, positions 2-D");
  }
  const std::string what = "sum the displacements of " + std::to_string(frames.size()) +
                           " detections in " + std::to_string(std::max<py::ssize_t>(track_starts.size() - 1, 0)) +
                           " tracks";
  return naming_memory(what, [&] {
    const auto frame_values = owned_copy(frames);
    const auto position_values = owned_copy(positions);
    const auto start_values = owned_copy(track_starts);
    const std::array<std::uint64_t, 2> position_shape{static_cast<std::uint64_t>(positions.shape(0)),
                                                      static_cast<std::uint64_t>(positions.shape(1))};
    DisplacementSums sums;
    {
      py::gil_scoped_release released;
      sums = displacement_sums(
          contiguous_view<std::int64_t, 1>(frame_values.data(), {frame_values.size()}),
          contiguous_view<double, 2>(position_values.data(), position_shape),
          contiguous_view<std::int64_t, 1>(start_values.data(), {start_values.size()}), max_lag);
    }
    const auto cells = static_cast<py::ssize_t>(sums.lags.size());
    const auto dims = static_cast<py::ssize_t>(sums.dims);
    return py::make_tuple(to_numpy(std::move(sums.cell_begin)), to_numpy(std::move(sums.lags)),
                          to_numpy(std::move(sums.counts)), to_numpy(std::move(sums.sums), {cells, dims}),
                          to_numpy(std::move(sums.squared_sums), {cells, dims}));
  });
}

py::array independent_py(const Contiguous<double>& n, const Contiguous<double>& t) {
  if (n.ndim() != 1 || t.ndim() != 1 || n.size() != t.size())
    throw py::value_error("n and t must be 1-D arrays of one length");
  const Contiguous<double> spans = readable(n);
  const Contiguous<double> lags = readable(t);
  py::array_t<double> out(n.size());
  double* values = out.mutable_data();
  for (py::ssize_t k = 0; k < n.size(); ++k) values[k] = independent_displacements(spans.data()[k], lags.data()[k]);
  return out;
}

py::array sum_independent_py(const Contiguous<double>& n, const Contiguous<std::uint64_t>& first,
                                       const Contiguous<std::uint64_t>& last) {
  if (n.ndim() != 1 || first.ndim() != 1 || last.ndim() != 1 || n.size() != first.size() ||
      n.size() != last.size())
    throw py::value_error("n, first and last must be 1-D arrays of one length");
  const auto size = static_cast<std::size_t>(n.size());
  const Contiguous<double> spans = readable(n);
  const Contiguous<std::uint64_t> firsts = readable(first);
  const Contiguous<std::uint64_t> lasts = readable(last);
  std::vector<double> sums;
  {
    py::gil_scoped_release released;  // forcecast arrays are this call's own or held by the caller
    sums = sum_independent_displacements({spans.data(), size}, {firsts.data(), size}, {lasts.data(), size});
  }
  return to_numpy(std::move(sums));
}

}  // namespace

void bind_displacements(py::module_& m) {
  m.def("displacement_sums", &displacement_sums_py, py::arg("frames"), py::arg("positions"),
        py::arg("track_starts"), py::arg("max_lag"),
        "The (track, lag) cells with pairs, lags 1 to max_lag frames: (cell_begin, lags, counts, "
        "sums, squared_sums); track t's cells are [cell_begin[t], cell_begin[t + 1]), lags "
        "ascending; sums and squared_sums have one column per axis.\n\nRows of each track "
        "[track_starts[t], track_starts[t + 1]) must have strictly increasing frames.");
  m.def("independent_displacements", &independent_py, py::arg("n"), py::arg("t"),
        "Effective number of independent squared displacements of lag t in a track spanning n "
        "frames (1 <= t <= n - 1), element by element.");
  m.def("sum_independent_displacements", &sum_independent_py, py::arg("n"), py::arg("first"),
        py::arg("last"),
        "Per entry, the sum of independent_displacements(n, t) over t = first .. last.");
}

}  // namespace quorlin::track
